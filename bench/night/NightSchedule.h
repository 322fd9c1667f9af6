// The night's faults: one table row per kind, and the schedule that a seed draws from the rows that are on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace night {

// One kind of fault. A window sets `settings` on the simulator's /sim/faults (with {N} replaced by a number
// drawn from [lowN, highN]) for a time drawn from [minMs, maxMs], then clears every fault. A row with an
// action instead runs that control request once (the window is then only the time it is watched).
struct FaultRow {
    std::string kind;
    std::string settings;      // query text for POST /sim/faults, may hold {N}
    std::string action;        // "cell-restart" or "busy" (tenants' power changes that hold VMs); "" for settings
    int lowN = 0, highN = 0;
    int minMs = 0, maxMs = 0;
    bool on = true;
    std::string note;          // what it stands for, for the report
};

// The table of the night. Rows that are off stay in it, so the report lists them as not injected.
std::vector<FaultRow> DefaultFaultTable();

// Switches the rows named (comma-separated kinds) on or off; false when a name is not in the table.
bool SetRows(std::vector<FaultRow>& table, const std::string& kinds, bool on, std::string* unknown);

struct FaultWindow {
    std::size_t row = 0;       // index into the table
    std::int64_t startMs = 0;  // from the night's start
    std::int64_t lengthMs = 0;
    int n = 0;                 // the number drawn for {N}
    std::string settings;      // with {N} replaced
};

// Windows one after another, a quiet gap of gapMinMs..gapMaxMs before each, until durationMs. The same
// seed and table give the same schedule; rows that are off are never drawn.
std::vector<FaultWindow> MakeSchedule(const std::vector<FaultRow>& table, std::uint64_t seed, std::int64_t durationMs,
                                      int gapMinMs = 2000, int gapMaxMs = 8000);

}  // namespace night

// The fault table and the seeded schedule of fault windows.
#include "NightSchedule.h"

#include <random>
#include <sstream>

namespace night {

std::vector<FaultRow> DefaultFaultTable() {
    // Per-request faults that lose an answer (reset, truncate) are kept to /api/: a login whose answer is
    // lost leaves a session on the server that no client can end, which would hide a leak of the bridge's.
    return {
        {"session-expiry", "tokenExpiresAfter={N}", "", 5, 60, 8000, 30000, true,
         "every session ends after N more requests (access tokens too, with auth=apiToken)"},
        {"cell-restart", "", "cell-restart", 0, 0, 3000, 3000, true,
         "every session and connection dropped at once, the inventory kept"},
        {"error503", "error503=0.{N}", "", 2, 6, 3000, 10000, true, "a burst of 503 answers (share 0.2 to 0.6)"},
        {"error504", "error504=0.{N}", "", 2, 6, 3000, 10000, true, "a burst of 504 answers (share 0.2 to 0.6)"},
        {"error429", "error429=0.{N}&retryAfter=1", "", 2, 6, 3000, 10000, true,
         "a load balancer throttles: a burst of 429 answers with Retry-After: 1 (share 0.2 to 0.6)"},
        {"connection-reset", "reset=true&path=/api/&count={N}", "", 1, 4, 3000, 3000, true,
         "the next N requests lose their connection after the answer's head"},
        {"truncated-body", "truncate=true&path=/api/&count={N}", "", 1, 4, 3000, 3000, true,
         "the next N answers are cut in half"},
        {"latency", "latencyMs={N}", "", 0, 2000, 5000, 15000, true, "every answer delayed by 0 to 2 s"},
        {"slow-page", "latencyMs=4000&path=/api/query&count={N}", "", 1, 3, 5000, 5000, true,
         "the next N query pages take 4 s"},
        {"busy-entity", "taskMs=4000", "busy", 3, 6, 6000, 12000, true,
         "tenants' power changes hold N VMs busy, tasks take 4 s"},
        {"failing-tasks", "failTasks={N}", "", 1, 3, 5000, 10000, true, "the next N tasks end in error"},
        {"churned-walk", "churn=1&churnWalks={N}", "", 1, 3, 5000, 10000, true,
         "a VM deleted and one created before every query page after the first, for N listings"},
    };
}

bool SetRows(std::vector<FaultRow>& table, const std::string& kinds, bool on, std::string* unknown) {
    std::istringstream in(kinds);
    std::string kind;
    while (std::getline(in, kind, ',')) {
        if (kind.empty()) continue;
        bool found = false;
        for (FaultRow& r : table)
            if (r.kind == kind) {
                r.on = on;
                found = true;
            }
        if (!found) {
            if (unknown) *unknown = kind;
            return false;
        }
    }
    return true;
}

std::vector<FaultWindow> MakeSchedule(const std::vector<FaultRow>& table, std::uint64_t seed, std::int64_t durationMs,
                                      int gapMinMs, int gapMaxMs) {
    std::vector<FaultWindow> out;
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].on) rows.push_back(i);
    if (rows.empty()) return out;
    // mt19937_64 and a hand-rolled draw: the standard distributions may differ between library versions,
    // and a seed must give the same night everywhere.
    std::mt19937_64 rng(seed);
    auto draw = [&rng](std::int64_t lo, std::int64_t hi) {
        return hi <= lo ? lo : lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
    };
    std::int64_t t = 0;
    while (true) {
        t += draw(gapMinMs, gapMaxMs);
        FaultWindow w;
        w.row = rows[static_cast<std::size_t>(draw(0, static_cast<std::int64_t>(rows.size()) - 1))];
        const FaultRow& r = table[w.row];
        w.lengthMs = draw(r.minMs, r.maxMs);
        w.n = static_cast<int>(draw(r.lowN, r.highN));
        if (t + w.lengthMs > durationMs) break;
        w.startMs = t;
        w.settings = r.settings;
        for (std::size_t at; (at = w.settings.find("{N}")) != std::string::npos;)
            w.settings.replace(at, 3, std::to_string(w.n));
        out.push_back(w);
        t += w.lengthMs;
    }
    return out;
}

}  // namespace night

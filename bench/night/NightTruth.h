// The truth of a night: the simulator's journal of the VM inventory, replayed into each VM's history, and
// the checks that decide whether an answer agrees with the inventory at some moment while it was asked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace night {

// One VM as the journal describes it from one moment on.
struct VmState {
    bool exists = false;
    bool templ = false;
    std::string name, vappId, vappName, vdcId, vdcName, org, moref, vcenter, profile, power;
    std::map<std::string, std::string> meta;
};

// One VM of a listing answer.
struct Listed {
    std::string uuid, name, moref;
};

// A failure's error text sorted into the fault that explains it.
enum class Cause {
    None,           // no error text at all
    Unexplained,    // a text that names no fault
    NotFound,       // the entity is not there (or not visible): right only when it may have been gone
    Session,        // 401: a session the server ended
    ServerError,    // 500, 503, 504, an HTML page from a proxy
    Throttled,      // 429
    Connection,     // no answer: a connection dropped, refused, or a body cut short
    Timeout,        // no answer within the time allowed
    Busy,           // the entity stayed busy
    TaskFailed,     // a server task ended in error
    StateChanged,   // the VM's power state changed between the call's read and its change (a task of before)
};

const char* CauseName(Cause c);
Cause Classify(const std::string& errorText);

// '*' matches any run of characters; case is ignored.
bool GlobMatch(const std::string& pattern, const std::string& text);

class Truth {
public:
    // Applies the journal text that GET /sim/journal?after=N answered. Returns false (and leaves what was
    // applied) on a line it cannot read.
    bool Apply(const std::string& journalText, std::string* error = nullptr);
    // Every change made up to this time (microseconds since 1970) is known.
    std::int64_t knownUntil() const { return knownUntil_; }
    // The sequence number the next journal request starts from.
    long next() const { return next_; }

    // The states of a VM that held at some moment of [from, to], in order; an empty list for a VM never
    // seen. A VM not yet added, or deleted, is a state with exists == false.
    std::vector<const VmState*> During(const std::string& uuid, std::int64_t from, std::int64_t to) const;
    // The state at one moment (null for a VM never seen).
    const VmState* At(const std::string& uuid, std::int64_t t) const;
    // The uuids of every VM ever seen.
    std::vector<std::string> Ids() const;
    // The VMs that exist after the last known change.
    std::vector<std::pair<std::string, VmState>> Current() const;

    // Drops what no check can ask about any more, so that a night of any length holds a bounded truth:
    // each VM's states replaced before `before`, and VMs that were gone by then. Every question about an
    // interval that starts at or after `before` is answered as it was before.
    void Forget(std::int64_t before);
    // The states held, for the night's memory figures.
    std::size_t StatesHeld() const;

private:
    struct History {
        std::vector<std::pair<std::int64_t, VmState>> states;  // each holds from its time until the next
    };
    std::map<std::string, History> vms_;
    std::int64_t knownUntil_ = 0;
    long next_ = 0;
};

// The moment before which the truth can be forgotten: the start of the oldest operation not yet judged
// (one a worker still has under way, by when it began, 0 for a worker with none; and those waiting to be
// judged), and never later than `margin` before `now`; less the `slack` that every judgement widens its
// interval by.
std::int64_t ForgetHorizon(std::int64_t now, std::int64_t margin, std::int64_t slack,
                           const std::vector<std::int64_t>& underWaySince, const std::vector<std::int64_t>& waitingStarts);

// The checks. Each returns the problems it found, one text each; none means the answer agrees with the
// truth at some moment of [from, to].
using VmPredicate = std::function<bool(const VmState&)>;

// A listing: it must hold every VM that matched throughout the interval, and only VMs that matched at
// some moment of it, each once, under a name it had then and with its own moref (when one is given).
std::vector<std::string> CheckList(const Truth& truth, const VmPredicate& matches, std::int64_t from, std::int64_t to,
                                   const std::vector<Listed>& answer);

// Where a VM was looked for by name: a VDC, and a vApp when vappId is not empty.
struct Place {
    std::string vdcId, vappId, name;
};

// Whether a VM of that name was in that place throughout the interval (so that "not found" is wrong), and
// the uuids of those that were there at some moment of it (so that "found" is right).
bool ThereThroughout(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to);
std::vector<std::string> ThereAtSomeMoment(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to);

// What a single-VM answer said about the VM; empty fields are not checked.
struct VmAnswer {
    std::string uuid, name, moref, vcenter, profile, power, xml;
};
std::vector<std::string> CheckVm(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to,
                                 const VmAnswer& answer);

// The uuid at the end of an href or URN ("" when there is none).
std::string UuidOf(const std::string& ref);

}  // namespace night

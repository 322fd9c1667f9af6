// vcb-night: a backup agent's night against the simulator. Worker threads run the backup cycle through the
// bridge (sharing one bridge object, or one each), a tenant thread changes the inventory, a fault thread
// injects the seeded schedule, and every answer is checked against the simulator's journal. Writes a
// report in Markdown and data files for the plots; exits 1 on any wrong answer, unexplained failure,
// hang, session left open or re-login storm.
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NightSchedule.h"
#include "NightTruth.h"
#include "SimulatorProcess.h"
#include "VMInfoStructs.h"
#include "vCloudSDKCppBridge.h"

using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace night {
namespace {

const char* const kUsage =
    "usage: vcb-night [--duration SECONDS] [--seed N] [--mode shared|per-thread] [--workers N] [--max-ops N]\n"
    "                 [--generate O,V,A,M] [--auth password|api-token|mixed] [--enable KINDS] [--disable KINDS]\n"
    "                 [--hang SECONDS] [--report FILE] [--data DIR] [--options WRAPPER-OPTIONS] [--log FILE]\n"
    "                 [--list-faults]\n";

struct Settings {
    std::int64_t durationS = 600;
    std::uint64_t seed = 1;
    std::string mode = "shared";
    int workers = 8;
    double maxOps = 40;
    std::string generate = "2,2,3,4";
    std::string auth = "mixed";
    std::string enable, disable;
    int hangS = 240;
    std::string report = "night.md";
    std::string dataDir = "night-data";
    std::string extraOptions;
    std::string log;           // the wrapper's log, one per bridge (FILE.N), at debug level 2
    bool listFaults = false;
};

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The journal's times and ours come from the same clock; an answer is compared with the inventory over its
// call widened by this much on both sides, for the microseconds between a change and its time stamp.
constexpr std::int64_t kSlackUs = 2000;
// The checker forgets the journal's past up to the oldest operation not yet checked, and never less than
// this long ago: an operation's start is published a moment after it is taken.
constexpr std::int64_t kForgetMarginUs = 60LL * 1000000;

// ---- what was asked and answered -------------------------------------------------------------------------

enum class Check { List, Find, Info, Backup, Restore, PowerOn, Delete };

struct Op {
    std::string kind;
    Check check = Check::List;
    int worker = 0;
    std::int64_t start = 0, end = 0;
    bool ok = false;
    std::string error;      // the fresh error text of a failure
    VmPredicate matches;    // lists
    std::vector<Listed> listed;
    Place place;            // single-VM operations
    VmAnswer answer;
    std::string uuid;       // restore, power-on, delete: the VM
};

struct Tally {
    std::map<std::string, long> done, failed, wrong;            // per operation kind
    std::map<std::string, long> failuresByCause;
    std::map<std::string, long> injected;                       // per fault kind
    std::map<std::string, long> costByFault;                    // failed operations that overlap a window
    std::vector<std::string> wrongSamples, unexplainedSamples;
    long wrongTotal = 0, unexplained = 0, checked = 0, hangs = 0;
};

// ---- the simulator's control endpoint -------------------------------------------------------------------

class Control {
public:
    explicit Control(e2e::SimulatorProcess& sim) : sim_(sim) {}
    int Post(const std::string& path, std::string* body = nullptr) {
        std::string b;
        int s = sim_.Request("POST", path, "", b);
        if (body) *body = b;
        return s;
    }
    int Get(const std::string& path, std::string& body) { return sim_.Request("GET", path, "", body); }
    static long Number(const std::string& json, const std::string& key) {
        std::size_t at = json.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::strtol(json.c_str() + at + key.size() + 3, nullptr, 10);
    }

private:
    e2e::SimulatorProcess& sim_;
};

std::string Encode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// ---- the night ------------------------------------------------------------------------------------------

class Night {
public:
    Night(const Settings& s, e2e::SimulatorProcess& sim, std::vector<FaultRow> table, std::string token)
        : s_(s), sim_(sim), control_(sim), table_(std::move(table)), token_(std::move(token)) {}

    int Run();

private:
    // Threads.
    void Worker(int index);
    void Tenants();
    void Faults();
    void Checker();
    void Sampler();

    // Worker steps.
    bool Pick(std::mt19937_64& rng, std::string& uuid, VmState& vm, bool originalVApp);
    void Finish(Op op);
    Op Begin(const char* kind, Check check, int worker);
    void End(Op& op, CVCloudSDKCppBridge& b, bool ok, const std::string& before);
    void Throttle();

    // Checking.
    bool RefreshTruth();
    void CheckReady(bool all);
    void ForgetChecked();
    void Judge(const Op& op);

    CVCloudSDKCppBridge& BridgeFor(int worker) { return *bridges_[s_.mode == "shared" ? 0 : worker]; }
    bool Login(CVCloudSDKCppBridge& b, int index, std::string& error);
    void WriteReport(long open, long made, long ended, long dropped, long logins, const std::string& endNote);

    const Settings& s_;
    e2e::SimulatorProcess& sim_;
    Control control_;
    std::vector<FaultRow> table_;
    std::string token_;
    std::vector<FaultWindow> schedule_;
    std::vector<std::unique_ptr<CVCloudSDKCppBridge>> bridges_;
    std::vector<bool> tokenAuth_;
    std::int64_t startUs_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> checkerStop_{false};

    // The truth and the operations waiting for it.
    std::mutex truthGate_;
    Truth truth_;
    std::vector<std::pair<std::string, VmState>> current_;
    std::deque<Op> pending_;
    std::string journalError_;      // the last read of the night failed: the truth is incomplete
    std::string lastJournalError_;
    long journalReadFailures_ = 0;

    // Results.
    std::mutex tallyGate_;
    Tally tally_;
    std::vector<long> endsPerSecond_;       // operations that ended in each second of the night
    std::vector<std::pair<std::int64_t, std::int64_t>> windows_;  // fault windows done, in µs
    std::vector<std::string> windowKinds_;

    // Throttle.
    std::mutex throttleGate_;
    double tokens_ = 0;
    std::int64_t lastRefill_ = 0;

    // Hang watch: the start of each worker's current operation, 0 when idle.
    std::unique_ptr<std::atomic<std::int64_t>[]> busySince_;
    std::vector<std::unique_ptr<std::atomic<bool>>> hangSeen_;
    // The start of each worker's operation not yet handed to the checker, 0 when none: the checker keeps
    // the truth from the oldest of these on.
    std::unique_ptr<std::atomic<std::int64_t>[]> uncheckedSince_;
    std::atomic<long> statesHeld_{0};

    struct Sample {
        double t;
        double rssMb;
        long fds, threads, ops, open;
        double managedMb, nativeMb;  // the runtime's heap in use, and malloc's (the checker's truth is there)
        long states;                 // journal states the checker holds
    };
    std::mutex sampleGate_;
    std::vector<Sample> samples_;
    std::atomic<long> opsDone_{0};
};

bool Night::Login(CVCloudSDKCppBridge& b, int index, std::string& error) {
    std::string options = "allowHttp=true;pageSize=8;httpTimeout=20s;taskTimeout=90s;taskPollInterval=250ms";
    if (tokenAuth_[static_cast<std::size_t>(index)]) options += ";auth=apiToken";
    if (!s_.extraOptions.empty()) options += ";" + s_.extraOptions;
    const std::string log = s_.log.empty() ? std::string() : s_.log + "." + s_.mode + "." + std::to_string(index);
    if (!b.Initialize(log, options, log.empty() ? 0 : 2)) {
        error = "Initialize: " + b.GetLastErrorString();
        return false;
    }
    const std::string secret = tokenAuth_[static_cast<std::size_t>(index)] ? token_ : std::string("vmware1!");
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (b.Connect(sim_.Url(), "administrator@System", secret)) return true;
        error = "Connect: " + b.GetLastErrorString();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
}

void Night::Throttle() {
    while (!stop_) {
        {
            std::lock_guard<std::mutex> lock(throttleGate_);
            std::int64_t now = NowUs();
            tokens_ = std::min(s_.maxOps, tokens_ + (now - lastRefill_) * s_.maxOps / 1e6);
            lastRefill_ = now;
            if (tokens_ >= 1) {
                tokens_ -= 1;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Night::Pick(std::mt19937_64& rng, std::string& uuid, VmState& vm, bool originalVApp) {
    std::lock_guard<std::mutex> lock(truthGate_);
    std::vector<std::size_t> fit;
    for (std::size_t i = 0; i < current_.size(); ++i) {
        const VmState& v = current_[i].second;
        if (v.templ || v.name.rfind("rst-", 0) == 0) continue;
        if (originalVApp && v.vappName.rfind("vapp-", 0) != 0) continue;
        fit.push_back(i);
    }
    if (fit.empty()) return false;
    const auto& chosen = current_[fit[rng() % fit.size()]];
    uuid = chosen.first;
    vm = chosen.second;
    return true;
}

Op Night::Begin(const char* kind, Check check, int worker) {
    Op op;
    op.kind = kind;
    op.check = check;
    op.worker = worker;
    op.start = NowUs();
    busySince_[static_cast<std::size_t>(worker)] = op.start;
    uncheckedSince_[static_cast<std::size_t>(worker)] = op.start;
    return op;
}

void Night::End(Op& op, CVCloudSDKCppBridge& b, bool ok, const std::string& before) {
    op.end = NowUs();
    busySince_[static_cast<std::size_t>(op.worker)] = 0;
    op.ok = ok;
    if (!ok) {
        // Only FindVM's false may be an answer ("not there") rather than a failure: its error text counts
        // only when it is new. Every other false is a failure, and the text is its own even when a failure
        // before it on this thread read the same.
        std::string after = b.GetLastErrorString();
        op.error = op.check != Check::Find || after != before ? after : std::string();
    }
}

void Night::Finish(Op op) {
    opsDone_++;
    std::lock_guard<std::mutex> lock(truthGate_);
    const int worker = op.worker;
    pending_.push_back(std::move(op));
    uncheckedSince_[static_cast<std::size_t>(worker)] = 0;
}

void Night::Worker(int index) {
    std::mt19937_64 rng(s_.seed * 1000003u + static_cast<std::uint64_t>(index));
    long restores = 0;
    const int vmMask = 0;
    while (!stop_) {
        Throttle();
        if (stop_) break;
        CVCloudSDKCppBridge& b = BridgeFor(index);
        std::string uuid;
        VmState vm;
        const unsigned roll = static_cast<unsigned>(rng() % 100);
        if (!Pick(rng, uuid, vm, roll >= 90)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        const std::string before = b.GetLastErrorString();
        if (roll < 35) {
            // A listing: by VDC, by organisation, by wildcard or by metadata tag.
            std::vector<VMInfoStructs::SVMInfo> vms;
            Op op;
            bool ok = false;
            const unsigned which = roll % 4;
            if (which == 0) {
                op = Begin("list-vdc", Check::List, index);
                const std::string vdc = vm.vdcId;
                op.matches = [vdc](const VmState& v) { return !v.templ && v.vdcId == vdc; };
                ok = b.GetVMListForEntity("urn:vcloud:vdc:" + vdc, VMInfoStructs::eInventoryOrgVdc, vmMask, 0, vms) == 1;
            } else if (which == 1) {
                op = Begin("list-org", Check::List, index);
                const std::string org = vm.org;
                op.matches = [org](const VmState& v) { return !v.templ && v.org == org; };
                ok = b.GetVMListForEntity(org, VMInfoStructs::eInventoryOrg, vmMask, 0, vms) == 1;
            } else if (which == 2) {
                op = Begin("list-wildcard", Check::List, index);
                const std::string pattern = vm.name.substr(0, std::min<std::size_t>(vm.name.size(), 7)) + "*";
                op.matches = [pattern](const VmState& v) { return !v.templ && GlobMatch(pattern, v.name); };
                ok = b.GetVMListForWildCard(vms, vmMask, 0, pattern, VMInfoStructs::eFilterVMName) == 1;
            } else {
                op = Begin("list-tag", Check::List, index);
                const std::string value = rng() % 2 ? "gold" : "silver";
                op.matches = [value](const VmState& v) {
                    auto it = v.meta.find("backup-policy");
                    return !v.templ && it != v.meta.end() && GlobMatch(value, it->second);
                };
                ok = b.GetVMInfoListForMetadataTag("backup-policy", value, vmMask, 0, vms) == 1;
            }
            End(op, b, ok, before);
            if (ok)
                for (const auto& v : vms) op.listed.push_back({UuidOf(v.strUUID), v.strName, v.strMoref});
            Finish(std::move(op));
        } else if (roll < 50) {
            Op op = Begin("find-vm", Check::Find, index);
            op.place = {vm.vdcId, "", vm.name};
            bool ok = b.FindVM(vm.org, vm.vdcName, vm.name);
            End(op, b, ok, before);
            Finish(std::move(op));
        } else if (roll < 65) {
            Op op = Begin("vm-info", Check::Info, index);
            op.place = {vm.vdcId, "", vm.name};
            VMInfoStructs::SVMInfo info;
            bool ok = b.GetVMInfoForVM(vm.org, vm.vdcName, vm.name, 0, 0, info) == 1;
            End(op, b, ok, before);
            if (ok) {
                op.answer.uuid = UuidOf(info.strUUID);
                op.answer.name = info.strName;
                op.answer.moref = info.strMoref;
                op.answer.power = info.ePowerState == 1 ? "on" : info.ePowerState == 0 ? "off" : "suspended";
            }
            Finish(std::move(op));
        } else if (roll < 90) {
            Op op = Begin("backup-vm", Check::Backup, index);
            op.place = {vm.vdcId, vm.vappId, vm.name};
            std::string id, vc, moref, profile, xml;
            bool ok = b.BackupVM(vm.org, vm.vdcName, vm.vappName, vm.name, id, vc, moref, profile, xml);
            End(op, b, ok, before);
            if (ok) {
                op.answer.uuid = UuidOf(id);
                op.answer.moref = moref;
                op.answer.vcenter = vc;
                op.answer.profile = profile;
                op.answer.xml = xml.empty() ? std::string("(empty)") : xml;
            }
            Finish(std::move(op));
        } else {
            // Restore a copy under a new name into an original vApp, power it on, delete it.
            const std::string name = "rst-w" + std::to_string(index) + "-" + std::to_string(++restores);
            const std::string moref = "vm-" + std::to_string(9000000 + index * 100000 + restores);
            Op op = Begin("restore-vm", Check::Restore, index);
            op.place = {vm.vdcId, vm.vappId, name};
            std::string ref;
            bool ok = b.RestoreVM(vm.org, vm.vdcName, vm.vappName, name, false, vm.vcenter, moref, "", "",
                                  "restored by the night", false, ref, false, "");
            End(op, b, ok, before);
            op.uuid = ok ? UuidOf(ref) : std::string();
            const std::string restored = op.uuid;
            Finish(std::move(op));
            if (ok && !stop_) {
                const std::string before2 = b.GetLastErrorString();
                Op on = Begin("power-on", Check::PowerOn, index);
                on.place = {vm.vdcId, vm.vappId, name};
                on.uuid = restored;
                bool powered = b.PowerOnVM(vm.org, vm.vdcName, name);
                End(on, b, powered, before2);
                Finish(std::move(on));
            }
            // Delete the copy, also after a failed restore that may have imported it all the same.
            const std::string before3 = b.GetLastErrorString();
            Op del = Begin("delete-vm", Check::Delete, index);
            del.place = {vm.vdcId, vm.vappId, name};
            del.uuid = restored;
            bool deleted = b.DeleteVM(vm.org, vm.vdcName, vm.vappName, name);
            End(del, b, deleted, before3);
            if (ok || deleted) Finish(std::move(del));
        }
    }
}

// The tenants: a change every 150 to 600 ms, each to a VM or vApp the agent may be working on.
void Night::Tenants() {
    std::mt19937_64 rng(s_.seed * 7919u + 17u);
    long seq = 0;
    std::vector<std::string> ownVApps;
    while (!stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + static_cast<int>(rng() % 450)));
        if (stop_) break;
        std::string uuid;
        VmState vm;
        if (!Pick(rng, uuid, vm, false)) continue;
        const std::string href = Encode("urn:vcloud:vm:" + uuid);
        const unsigned roll = static_cast<unsigned>(rng() % 100);
        ++seq;
        if (roll < 20) {
            control_.Post("/sim/tenant?op=create-vm&vapp=" + Encode("urn:vcloud:vapp:" + vm.vappId) + "&name=t-" +
                          std::to_string(seq) + (rng() % 2 ? "&power=off" : ""));
        } else if (roll < 40) {
            // Delete mostly the tenants' own VMs, so that the inventory keeps its size.
            std::string victim = uuid;
            if (vm.name.rfind("t-", 0) != 0 && rng() % 3 != 0) {
                std::string u2;
                VmState v2;
                for (int k = 0; k < 5 && Pick(rng, u2, v2, false); ++k)
                    if (v2.name.rfind("t-", 0) == 0) {
                        victim = u2;
                        break;
                    }
            }
            control_.Post("/sim/tenant?op=delete-vm&href=" + Encode("urn:vcloud:vm:" + victim));
        } else if (roll < 55) {
            std::string base = vm.name.substr(0, vm.name.find("-r"));
            if (base.empty()) base = vm.name;
            control_.Post("/sim/rename?href=" + href + "&name=" + Encode(base + "-r" + std::to_string(seq)));
        } else if (roll < 75) {
            static const char* states[] = {"on", "off", "suspended"};
            control_.Post("/sim/tenant?op=power&href=" + href + "&state=" + states[rng() % 3]);
        } else if (roll < 90) {
            static const char* values[] = {"gold", "silver", ""};
            control_.Post("/sim/tenant?op=tag&href=" + href + "&key=backup-policy&value=" + values[rng() % 3]);
        } else if (roll < 95 || ownVApps.empty()) {
            std::string body;
            const std::string name = "tv-" + std::to_string(seq);
            if (control_.Post("/sim/tenant?op=create-vapp&vdc=" + Encode("urn:vcloud:vdc:" + vm.vdcId) + "&name=" + name +
                                  "&vms=2",
                              &body) == 200) {
                std::size_t at = body.find("\"href\":\"");
                if (at != std::string::npos) ownVApps.push_back(body.substr(at + 8, body.find('"', at + 8) - at - 8));
            }
        } else {
            std::size_t k = static_cast<std::size_t>(rng() % ownVApps.size());
            if (control_.Post("/sim/tenant?op=delete-vapp&href=" + Encode(ownVApps[k])) == 200)
                ownVApps.erase(ownVApps.begin() + static_cast<long>(k));
        }
    }
}

void Night::Faults() {
    for (const FaultWindow& w : schedule_) {
        const std::int64_t at = startUs_ + w.startMs * 1000;
        while (!stop_ && NowUs() < at) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (stop_) break;
        const FaultRow& r = table_[w.row];
        std::int64_t from = NowUs();
        if (!w.settings.empty()) control_.Post("/sim/faults?" + w.settings);
        if (r.action == "cell-restart") {
            control_.Post("/sim/cell-restart");
        } else if (r.action == "busy") {
            std::mt19937_64 rng(s_.seed + static_cast<std::uint64_t>(w.startMs));
            for (int k = 0; k < w.n; ++k) {
                std::string uuid;
                VmState vm;
                if (Pick(rng, uuid, vm, false))
                    control_.Post("/sim/tenant?op=power&href=" + Encode("urn:vcloud:vm:" + uuid) + "&state=" +
                                  (vm.power == "on" ? "off" : "on"));
            }
        }
        {
            std::lock_guard<std::mutex> lock(tallyGate_);
            tally_.injected[r.kind]++;
        }
        const std::int64_t until = from + w.lengthMs * 1000;
        while (!stop_ && NowUs() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        control_.Post("/sim/faults/reset");
        std::lock_guard<std::mutex> lock(tallyGate_);
        windows_.emplace_back(from, NowUs());
        windowKinds_.push_back(r.kind);
    }
}

bool Night::RefreshTruth() {
    std::string body;
    long after;
    {
        std::lock_guard<std::mutex> lock(truthGate_);
        after = truth_.next();
    }
    if (control_.Get("/sim/journal?after=" + std::to_string(after), body) != 200) return false;
    std::lock_guard<std::mutex> lock(truthGate_);
    std::string error;
    if (!truth_.Apply(body, &error)) {
        // A read cut short by a cell restart: the lines before the cut are applied, the rest come again.
        journalReadFailures_++;
        lastJournalError_ = error;
        return false;
    }
    current_ = truth_.Current();
    return true;
}

void Night::CheckReady(bool all) {
    std::vector<Op> ready;
    {
        std::lock_guard<std::mutex> lock(truthGate_);
        while (!pending_.empty() && (all || pending_.front().end + kSlackUs < truth_.knownUntil())) {
            ready.push_back(std::move(pending_.front()));
            pending_.pop_front();
        }
        // Operations end out of order; the queue is checked from its front, so a late one waits a round.
    }
    for (const Op& op : ready) Judge(op);
}

void Night::Judge(const Op& op) {
    std::vector<std::string> problems;
    Cause cause = op.ok ? Cause::None : Classify(op.error);
    bool unexplained = false;
    {
        std::lock_guard<std::mutex> lock(truthGate_);
        const std::int64_t from = op.start - kSlackUs, to = op.end + kSlackUs;
        switch (op.check) {
            case Check::List:
                if (op.ok) problems = CheckList(truth_, op.matches, from, to, op.listed);
                break;
            case Check::Find:
            case Check::Info:
            case Check::Backup:
                if (op.ok) {
                    problems = CheckVm(truth_, op.place, from, to, op.answer);
                } else if ((cause == Cause::None || cause == Cause::NotFound) &&
                           ThereThroughout(truth_, op.place, from, to)) {
                    problems.push_back("said " + op.place.name + " is not there (" +
                                       (op.error.empty() ? std::string("no error text") : op.error) +
                                       "), but it was there throughout the call");
                }
                break;
            case Check::Restore:
                if (op.ok) {
                    const VmState* s = op.uuid.empty() ? nullptr : truth_.At(op.uuid, op.end);
                    if (s == nullptr || !s->exists || s->name != op.place.name || s->vappId != op.place.vappId)
                        problems.push_back("restore of " + op.place.name + " reported done, but its VM " + op.uuid +
                                           " is not in the vApp under that name");
                    long copies = 0;
                    for (const std::string& id : truth_.Ids()) {
                        const VmState* v = truth_.At(id, op.end);
                        if (v && v->exists && v->name == op.place.name && v->vappId == op.place.vappId) copies++;
                    }
                    if (copies != 1)
                        problems.push_back("restore of " + op.place.name + " reported done; the vApp holds " +
                                           std::to_string(copies) + " VMs of that name");
                }
                break;
            case Check::PowerOn:
                if (op.ok) {
                    const VmState* s = truth_.At(op.uuid, op.end);
                    bool wasOn = false;
                    for (const VmState* d : truth_.During(op.uuid, from, to))
                        if (d->exists && d->power == "on") wasOn = true;
                    if (s == nullptr || !wasOn) problems.push_back("power-on of " + op.place.name + " reported done, but it was never on");
                }
                break;
            case Check::Delete:
                if (op.ok) {
                    std::string uuid = op.uuid;
                    if (uuid.empty()) {
                        std::vector<std::string> there = ThereAtSomeMoment(truth_, op.place, from, to);
                        if (!there.empty()) uuid = there.front();
                    }
                    const VmState* s = uuid.empty() ? nullptr : truth_.At(uuid, op.end);
                    if (s != nullptr && s->exists) problems.push_back("delete of " + op.place.name + " reported done, but it is still there");
                }
                break;
        }
        if (!op.ok && problems.empty() && (cause == Cause::None || cause == Cause::Unexplained)) {
            // A failure with no text, or a text that names no fault. A quiet "not found" of a single VM
            // that may really have been gone is an answer, not a failure.
            bool quietNotFound = cause == Cause::None && (op.check == Check::Find || op.check == Check::Info ||
                                                          op.check == Check::Backup);
            unexplained = !quietNotFound;
        }
    }
    std::lock_guard<std::mutex> lock(tallyGate_);
    tally_.checked++;
    tally_.done[op.kind]++;
    const std::int64_t second = std::max<std::int64_t>(0, (op.end - startUs_) / 1000000);
    if (static_cast<std::size_t>(second) >= endsPerSecond_.size()) endsPerSecond_.resize(static_cast<std::size_t>(second) + 1);
    endsPerSecond_[static_cast<std::size_t>(second)]++;
    if (!op.ok) {
        tally_.failed[op.kind]++;
        tally_.failuresByCause[CauseName(cause)]++;
        for (std::size_t i = 0; i < windows_.size(); ++i)
            if (op.start <= windows_[i].second && op.end >= windows_[i].first) {
                tally_.costByFault[windowKinds_[i]]++;
                break;
            }
    }
    if (!problems.empty()) {
        tally_.wrong[op.kind]++;
        tally_.wrongTotal++;
        if (tally_.wrongSamples.size() < 20)
            tally_.wrongSamples.push_back(op.kind + " (worker " + std::to_string(op.worker) + "): " + problems.front());
    }
    if (unexplained) {
        tally_.unexplained++;
        if (tally_.unexplainedSamples.size() < 20)
            tally_.unexplainedSamples.push_back(op.kind + ": " + (op.error.empty() ? std::string("(no error text)") : op.error));
    }
}

void Night::ForgetChecked() {
    const std::int64_t now = NowUs();
    std::vector<std::int64_t> underWay;
    for (int w = 0; w < s_.workers; ++w) underWay.push_back(uncheckedSince_[static_cast<std::size_t>(w)]);
    std::lock_guard<std::mutex> lock(truthGate_);
    std::vector<std::int64_t> waiting;
    for (const Op& op : pending_) waiting.push_back(op.start);
    truth_.Forget(ForgetHorizon(now, kForgetMarginUs, kSlackUs, underWay, waiting));
    statesHeld_ = static_cast<long>(truth_.StatesHeld());
}

void Night::Checker() {
    while (!checkerStop_) {
        RefreshTruth();
        CheckReady(false);
        ForgetChecked();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

long CountEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    long n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

double StatusValue(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + std::strlen(key), nullptr);
    return -1;
}

void Night::Sampler() {
    const std::int64_t every = std::max<std::int64_t>(1000, s_.durationS * 1000 / 600);
    // The runtime's own count of its heap in use, looked up in the runtime the bridge loaded.
    using UsedSize = std::int64_t (*)();
    const auto managedUsed = reinterpret_cast<UsedSize>(dlsym(RTLD_DEFAULT, "mono_gc_get_used_size"));
    std::int64_t nextAt = NowUs();
    while (!stop_) {
        std::string body;
        long open = control_.Get("/sim/sessions", body) == 200 ? Control::Number(body, "open") : -1;
        const struct mallinfo2 heap = mallinfo2();
        Sample smp{(NowUs() - startUs_) / 1e6, StatusValue("VmRSS:") / 1024.0, CountEntries("/proc/self/fd"),
                   static_cast<long>(StatusValue("Threads:")), opsDone_.load(), open,
                   managedUsed ? static_cast<double>(managedUsed()) / 1048576.0 : -1,
                   static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0, statesHeld_.load()};
        {
            std::lock_guard<std::mutex> lock(sampleGate_);
            samples_.push_back(smp);
        }
        // Hangs: an operation past the time allowed.
        for (int w = 0; w < s_.workers; ++w) {
            std::int64_t since = busySince_[static_cast<std::size_t>(w)];
            if (since != 0 && NowUs() - since > s_.hangS * 1000000LL && !*hangSeen_[static_cast<std::size_t>(w)]) {
                *hangSeen_[static_cast<std::size_t>(w)] = true;
                std::lock_guard<std::mutex> lock(tallyGate_);
                tally_.hangs++;
            }
        }
        nextAt += every * 1000;
        while (!stop_ && NowUs() < nextAt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Least squares slope of y over t (per second), and the spread of the residuals.
void Fit(const std::vector<double>& t, const std::vector<double>& y, double& slope, double& noise) {
    slope = noise = 0;
    const std::size_t n = t.size();
    if (n < 3) return;
    double mt = 0, my = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mt += t[i];
        my += y[i];
    }
    mt /= n;
    my /= n;
    double sxy = 0, sxx = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sxy += (t[i] - mt) * (y[i] - my);
        sxx += (t[i] - mt) * (t[i] - mt);
    }
    slope = sxx > 0 ? sxy / sxx : 0;
    double ss = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double r = y[i] - (my + slope * (t[i] - mt));
        ss += r * r;
    }
    noise = std::sqrt(ss / n);
}

int Night::Run() {
    startUs_ = NowUs();
    lastRefill_ = startUs_;
    schedule_ = MakeSchedule(table_, s_.seed, s_.durationS * 1000);
    busySince_.reset(new std::atomic<std::int64_t>[static_cast<std::size_t>(s_.workers)]);
    uncheckedSince_.reset(new std::atomic<std::int64_t>[static_cast<std::size_t>(s_.workers)]);
    for (int w = 0; w < s_.workers; ++w) {
        busySince_[static_cast<std::size_t>(w)] = 0;
        uncheckedSince_[static_cast<std::size_t>(w)] = 0;
        hangSeen_.emplace_back(new std::atomic<bool>(false));
    }
    if (control_.Post("/sim/journal") != 200 || !RefreshTruth()) {
        std::fprintf(stderr, "vcb-night: the simulator's journal does not answer: %s\n", lastJournalError_.c_str());
        return 2;
    }
    const int nBridges = s_.mode == "shared" ? 1 : s_.workers;
    long logins = 0;
    for (int i = 0; i < nBridges; ++i) {
        bool token = s_.auth == "api-token" || (s_.auth == "mixed" && (static_cast<std::uint64_t>(i) + s_.seed) % 2 == 1);
        tokenAuth_.push_back(token);
        bridges_.emplace_back(new CVCloudSDKCppBridge());
        std::string error;
        if (!Login(*bridges_.back(), i, error)) {
            std::fprintf(stderr, "vcb-night: bridge %d did not log in: %s\n", i, error.c_str());
            return 2;
        }
        logins++;
    }
    std::fprintf(stderr, "vcb-night: %s mode, %d workers on %d bridge(s), %" PRId64 " s, seed %" PRIu64 ", %zu fault windows\n",
                 s_.mode.c_str(), s_.workers, nBridges, s_.durationS, s_.seed, schedule_.size());
    control_.Post("/sim/counters/reset");
    std::string sessionsAtStart;
    control_.Get("/sim/sessions", sessionsAtStart);
    const long madeAtStart = Control::Number(sessionsAtStart, "made"), endedAtStart = Control::Number(sessionsAtStart, "ended");
    const long loggedOutAtStart = Control::Number(sessionsAtStart, "loggedOut");

    std::thread checker([this] { Checker(); });
    std::thread sampler([this] { Sampler(); });
    std::thread faults([this] { Faults(); });
    std::thread tenants([this] { Tenants(); });
    std::vector<std::thread> workers;
    std::vector<std::shared_ptr<std::atomic<bool>>> finished;
    for (int w = 0; w < s_.workers; ++w) {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        finished.push_back(flag);
        workers.emplace_back([this, w, flag] {
            Worker(w);
            *flag = true;
        });
    }
    const std::int64_t deadline = startUs_ + s_.durationS * 1000000LL;
    while (NowUs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop_ = true;
    faults.join();
    tenants.join();
    control_.Post("/sim/faults/reset");
    // Workers finish the operation they are in; one still running past the hang limit is a hang.
    std::string endNote;
    const std::int64_t giveUp = NowUs() + s_.hangS * 1000000LL;
    bool allDone = false;
    while (!allDone && NowUs() < giveUp) {
        allDone = true;
        for (auto& f : finished) allDone = allDone && *f;
        if (!allDone) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    sampler.join();
    if (!allDone) {
        std::lock_guard<std::mutex> lock(tallyGate_);
        for (std::size_t w = 0; w < finished.size(); ++w)
            if (!*finished[w] && !*hangSeen_[w]) tally_.hangs++;
        endNote = "workers still in an operation after the hang limit; the night ends without them";
    }
    for (std::size_t w = 0; w < workers.size(); ++w) {
        if (*finished[w]) workers[w].join();
        else workers[w].detach();
    }
    // Logins that the wrapper logged out at once during the night (its check of the new session failed
    // under a fault): each is followed by another login that no ended session explains.
    std::string beforeLogout;
    control_.Get("/sim/sessions", beforeLogout);
    const long dropped = Control::Number(beforeLogout, "loggedOut") - loggedOutAtStart;
    // Log out as an agent does at the end of its night.
    if (allDone)
        for (auto& b : bridges_)
            if (!b->Disconnect()) std::fprintf(stderr, "vcb-night: Disconnect failed: %s\n", b->GetLastErrorString().c_str());
    checkerStop_ = true;
    checker.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool whole = false;
    for (int attempt = 0; attempt < 5 && !whole; ++attempt) whole = RefreshTruth();
    if (!whole) journalError_ = lastJournalError_.empty() ? "the journal did not answer at the end" : lastJournalError_;
    CheckReady(true);
    std::string body;
    control_.Get("/sim/sessions", body);
    const long open = Control::Number(body, "open");
    const long made = Control::Number(body, "made") - madeAtStart, ended = Control::Number(body, "ended") - endedAtStart;
    WriteReport(open, made, ended, dropped, logins, endNote);

    const long relogins = made;
    bool failed = tally_.wrongTotal > 0 || tally_.unexplained > 0 || tally_.hangs > 0 || open != 0 || relogins > ended + dropped ||
                  !journalError_.empty() || !allDone;
    std::fprintf(stderr,
                 "vcb-night: %ld operations checked, %ld wrong, %ld unexplained failures, %ld hangs, %ld sessions open at "
                 "the end, %ld re-logins for %ld sessions ended and %ld logged out unused%s%s\n",
                 tally_.checked, tally_.wrongTotal, tally_.unexplained, tally_.hangs, open, relogins, ended, dropped,
                 journalError_.empty() ? "" : ", journal: ", journalError_.c_str());
    for (const std::string& w : tally_.wrongSamples) std::fprintf(stderr, "  wrong: %s\n", w.c_str());
    for (const std::string& u : tally_.unexplainedSamples) std::fprintf(stderr, "  unexplained: %s\n", u.c_str());
    std::fflush(stderr);
    if (!allDone) std::_Exit(failed ? 1 : 0);  // a hung worker holds the runtime; leave without unwinding it
    return failed ? 1 : 0;
}

void Night::WriteReport(long open, long made, long ended, long dropped, long logins, const std::string& endNote) {
    std::lock_guard<std::mutex> lock(tallyGate_);
    std::string dir = s_.dataDir;
    std::string prefix = dir + "/" + s_.mode;
    // Samples and rates for the plots.
    {
        std::ofstream out(prefix + "-samples.tsv");
        out << "# seconds\trss_mb\tfds\tthreads\toperations\tsessions_open\tmanaged_mb\tnative_mb\tstates\n";
        for (const Sample& x : samples_)
            out << x.t << '\t' << x.rssMb << '\t' << x.fds << '\t' << x.threads << '\t' << x.ops << '\t' << x.open << '\t'
                << x.managedMb << '\t' << x.nativeMb << '\t' << x.states << '\n';
    }
    {
        std::map<std::int64_t, long> perBucket;
        const std::int64_t bucket = std::max<std::int64_t>(10, s_.durationS / 120);
        for (std::size_t t = 0; t < endsPerSecond_.size(); ++t)
            perBucket[static_cast<std::int64_t>(t) / bucket * bucket] += endsPerSecond_[t];
        std::ofstream out(prefix + "-rate.tsv");
        out << "# seconds\toperations_per_second\n";
        std::int64_t t = 0;
        for (; t < s_.durationS; t += bucket)
            out << t << '\t' << (perBucket.count(t) ? perBucket[t] : 0) / double(bucket) << '\n';
        // The last step's end, so that a step plot draws the last bucket too.
        out << t << '\t' << (perBucket.count(t - bucket) ? perBucket[t - bucket] : 0) / double(bucket) << '\n';
    }
    {
        std::ofstream out(prefix + "-faults.tsv");
        out << "# start_s\tend_s\tkind\n";
        for (std::size_t i = 0; i < windows_.size(); ++i)
            out << (windows_[i].first - startUs_) / 1e6 << '\t' << (windows_[i].second - startUs_) / 1e6 << '\t'
                << windowKinds_[i] << '\n';
    }

    // Flatness over the second half of the run.
    std::vector<double> t, rss, fds, thr, managed, native;
    const double half = s_.durationS / 2.0;
    for (const Sample& x : samples_)
        if (x.t >= half) {
            t.push_back(x.t);
            rss.push_back(x.rssMb);
            fds.push_back(static_cast<double>(x.fds));
            thr.push_back(static_cast<double>(x.threads));
            managed.push_back(x.managedMb);
            native.push_back(x.nativeMb);
        }
    struct Flat {
        const char* what;
        const char* unit;
        std::vector<double>* y;
        double floor;
    } flats[] = {{"resident memory", "MB", &rss, 16},
                 {"of which the runtime's heap in use", "MB", &managed, 16},
                 {"of which malloc in use (the bridge's and the checker's)", "MB", &native, 16},
                 {"file descriptors", "", &fds, 4},
                 {"threads", "", &thr, 4}};

    std::ofstream md(s_.report);
    md << "## Night, " << s_.mode << " mode (" << (s_.mode == "shared" ? "one bridge shared by" : "one bridge each for")
       << " " << s_.workers << " workers)\n\n";
    md << "Seed " << s_.seed << ", " << s_.durationS << " s, at most " << s_.maxOps << " operations a second, cloud --generate "
       << s_.generate << ", login " << s_.auth << ".\n\n";
    const long relogins = made;
    md << "| check | result |\n|---|---|\n";
    md << "| operations checked | " << tally_.checked << " |\n";
    md << "| wrong answers | **" << tally_.wrongTotal << "** |\n";
    md << "| failures that name no fault | **" << tally_.unexplained << "** |\n";
    md << "| hangs (an operation past " << s_.hangS << " s) | **" << tally_.hangs << "** |\n";
    md << "| crashes | **0** (the report is written by the process that ran the night) |\n";
    md << "| sessions open on the server at the end | **" << open << "** |\n";
    md << "| sessions the server ended + new sessions logged out unused / new logins | " << ended << " + " << dropped << " / "
       << relogins << (relogins <= ended + dropped ? " (at most one login per ending)" : " (**more logins than endings**)")
       << " |\n";
    if (!journalError_.empty()) md << "| journal | " << journalError_ << " |\n";
    md << "| journal reads cut short and read again | " << journalReadFailures_ << " |\n";
    if (!endNote.empty()) md << "| end | " << endNote << " |\n";
    md << "\nFirst logins: " << logins << ".\n\n";

    md << "| operation | done | failed | wrong |\n|---|---|---|---|\n";
    for (const auto& kv : tally_.done)
        md << "| " << kv.first << " | " << kv.second << " | " << tally_.failed[kv.first] << " | " << tally_.wrong[kv.first]
           << " |\n";
    md << "\n| fault | on | windows injected | operations that failed during one |\n|---|---|---|---|\n";
    for (const FaultRow& r : table_)
        md << "| " << r.kind << " | " << (r.on ? "yes" : "no") << " | " << tally_.injected[r.kind] << " | "
           << tally_.costByFault[r.kind] << " |\n";
    md << "\n| failure, by the fault its text names | operations |\n|---|---|\n";
    for (const auto& kv : tally_.failuresByCause) md << "| " << kv.first << " | " << kv.second << " |\n";
    md << "\n| over the second half | slope per hour | noise (residual spread) | bound | flat |\n|---|---|---|---|---|\n";
    for (const Flat& f : flats) {
        double slope, noise;
        Fit(t, *f.y, slope, noise);
        const double growth = std::fabs(slope) * half;
        const double bound = std::max(f.floor, 3 * noise);
        char line[256];
        std::snprintf(line, sizeof line, "| %s | %+.2f %s | %.2f | growth over the half %.2f < %.2f | %s |\n", f.what,
                      slope * 3600, f.unit, noise, growth, bound, growth < bound ? "yes" : "**no**");
        md << line;
    }
    if (!samples_.empty()) {
        const Sample& a = samples_.front();
        const Sample& z = samples_.back();
        char line[512];
        std::snprintf(line, sizeof line,
                      "\nFirst and last sample: RSS %.1f / %.1f MB, runtime heap in use %.1f / %.1f MB, malloc in use %.1f / %.1f MB, "
                      "journal states the checker holds %ld / %ld, fds %ld / %ld, threads %ld / %ld.\n",
                      a.rssMb, z.rssMb, a.managedMb, z.managedMb, a.nativeMb, z.nativeMb, a.states, z.states, a.fds, z.fds,
                      a.threads, z.threads);
        md << line;
    }
    if (!tally_.wrongSamples.empty()) {
        md << "\nWrong answers (first " << tally_.wrongSamples.size() << "):\n\n";
        for (const std::string& w : tally_.wrongSamples) md << "- " << w << "\n";
    }
    if (!tally_.unexplainedSamples.empty()) {
        md << "\nFailures that name no fault (first " << tally_.unexplainedSamples.size() << "):\n\n";
        for (const std::string& w : tally_.unexplainedSamples) md << "- " << w << "\n";
    }
    md << "\n";
}

bool Arg(int& i, int argc, char** argv, const char* name, std::string& value) {
    const std::string a = argv[i];
    const std::string flag = std::string("--") + name;
    if (a == flag && i + 1 < argc) {
        value = argv[++i];
        return true;
    }
    if (a.rfind(flag + "=", 0) == 0) {
        value = a.substr(flag.size() + 1);
        return true;
    }
    return false;
}

}  // namespace
}  // namespace night

int main(int argc, char** argv) {
    using namespace night;
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string v;
        if (Arg(i, argc, argv, "duration", v)) s.durationS = std::max(10LL, std::atoll(v.c_str()));
        else if (Arg(i, argc, argv, "seed", v)) s.seed = std::strtoull(v.c_str(), nullptr, 10);
        else if (Arg(i, argc, argv, "mode", v)) s.mode = v;
        else if (Arg(i, argc, argv, "workers", v)) s.workers = std::max(1, std::atoi(v.c_str()));
        else if (Arg(i, argc, argv, "max-ops", v)) s.maxOps = std::max(1.0, std::atof(v.c_str()));
        else if (Arg(i, argc, argv, "generate", v)) s.generate = v;
        else if (Arg(i, argc, argv, "auth", v)) s.auth = v;
        else if (Arg(i, argc, argv, "enable", v)) s.enable = v;
        else if (Arg(i, argc, argv, "disable", v)) s.disable = v;
        else if (Arg(i, argc, argv, "hang", v)) s.hangS = std::max(10, std::atoi(v.c_str()));
        else if (Arg(i, argc, argv, "report", v)) s.report = v;
        else if (Arg(i, argc, argv, "data", v)) s.dataDir = v;
        else if (Arg(i, argc, argv, "options", v)) s.extraOptions = v;
        else if (Arg(i, argc, argv, "log", v)) s.log = v;
        else if (std::strcmp(argv[i], "--list-faults") == 0) s.listFaults = true;
        else {
            std::fprintf(stderr, "vcb-night: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if ((s.mode != "shared" && s.mode != "per-thread") ||
        (s.auth != "password" && s.auth != "api-token" && s.auth != "mixed")) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<FaultRow> table = DefaultFaultTable();
    std::string unknown;
    if (!SetRows(table, s.enable, true, &unknown) || !SetRows(table, s.disable, false, &unknown)) {
        std::fprintf(stderr, "vcb-night: no fault kind '%s' (--list-faults lists them)\n", unknown.c_str());
        return 2;
    }
    if (s.listFaults) {
        for (const FaultRow& r : table)
            std::printf("%-18s %-3s %s\n", r.kind.c_str(), r.on ? "on" : "off", r.note.c_str());
        return 0;
    }
    std::error_code made;
    std::filesystem::create_directories(s.dataDir, made);
    if (made) {
        std::fprintf(stderr, "vcb-night: cannot make %s: %s\n", s.dataDir.c_str(), made.message().c_str());
        return 2;
    }
    const std::string token = "night-token-" + std::to_string(s.seed);
    e2e::SimulatorProcess sim({"--generate", s.generate, "--task-ms", "300", "--api-token", "administrator@System=" + token});
    if (!sim.Running()) {
        std::fprintf(stderr, "vcb-night: the simulator did not start: %s\n", sim.Error().c_str());
        return 2;
    }
    Night n(s, sim, table, token);
    return n.Run();
}

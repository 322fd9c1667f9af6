// The whole VM list of a large cloud, end to end: GetVMListForEntity from the cloud root through the
// bridge, the managed wrapper and HTTP against the simulator, side by side in the same run with curl
// walking the very same query pages over one keep-alive connection. Wall time, CPU time and peak memory
// of each side, and with added latency the bridge against pages x latency / K (K concurrent page
// fetches). Prints a JSON document and nothing else on standard output; no records are printed.
//
// Whole processes, side by side: a small client process that logs in, lists every VM and logs out
// against the Python walker (bench/walker.py) over the same query; and one tool command (find-vm) with the
// ahead-of-time images of the wrapper and the framework, with the wrapper's alone, and with none of ours.
//
//   bench_e2e [--generate=O,V,A,M] [--runs=N] [--latency=0,50,100] [--concurrency=K] [--curl-latency]
//             [--walker=walker.py] [--python=/usr/bin/python3] [--tool=vcloud-bridge] [--command-runs=N] [--out=FILE]
//
// CPU time of the bridge is this process's (every thread: the wrapper's HTTP and XML work runs here);
// CPU time of curl is its child process's. Peak memory of the bridge is the resident high-water mark
// during the call, lowered to the resident size first; of curl, its maximum resident size.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "SimulatorProcess.h"

using namespace MonoAPI;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kUser = "administrator@System";
const char* const kPassword = "vmware1!";
const char* const kApiVersion = "38.0";

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double CpuSeconds(const rusage& u) { return Seconds(u.ru_utime) + Seconds(u.ru_stime); }

double MiB(int64_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

std::string ReadLink(const char* path) {
    char target[4096];
    ssize_t n = readlink(path, target, sizeof target - 1);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

std::vector<int> IntList(const std::string& text) {
    std::vector<int> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty()) out.push_back(std::atoi(item.c_str()));
    }
    return out;
}

// Runs argv as a child with standard output to `outFile` (or discarded); fills its exit status and
// resource use. False when it could not be started.
bool RunChild(const std::vector<std::string>& args, const std::string& outFile, int& status, rusage& usage) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const char* target = outFile.empty() ? "/dev/null" : outFile.c_str();
        std::FILE* out = std::freopen(target, "w", stdout);
        if (out == nullptr) _exit(126);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        unsetenv("LD_PRELOAD");
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return wait4(pid, &status, 0, &usage) == pid;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Logs in with curl as the bridge does (the provider session endpoint) and returns the access token.
std::string CurlLogin(const std::string& url, const std::string& scratch) {
    std::string headers = scratch + "/login.headers";
    int status = 0;
    rusage usage{};
    if (!RunChild({"curl", "-s", "-o", "/dev/null", "-D", headers, "-X", "POST", "-d", "", "-u",
                   std::string(kUser) + ":" + kPassword, "-H", std::string("Accept: application/json;version=") + kApiVersion,
                   url + "/cloudapi/1.0.0/sessions/provider"},
                  "", status, usage) ||
        status != 0) {
        return "";
    }
    std::stringstream in(ReadFile(headers));
    const std::string name = "x-vmware-vcloud-access-token:";
    for (std::string line; std::getline(in, line);) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower.compare(0, name.size(), name) == 0) {
            std::string token = line.substr(name.size());
            token.erase(0, token.find_first_not_of(' '));
            while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
            return token;
        }
    }
    return "";
}

// The query pages the wrapper walked, in order, from its request log ("GET /api/query?... -> 200").
std::vector<std::string> QueryPages(const std::string& log) {
    std::vector<std::string> pages;
    std::stringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::size_t at = line.find("GET /api/query?");
        std::size_t end = line.find(" -> 200");
        if (at == std::string::npos || end == std::string::npos || end < at) continue;
        pages.push_back(line.substr(at + 4, end - at - 4));
    }
    return pages;
}

struct Sample {
    std::string side;
    int latencyMs = 0;
    double wall = 0, cpu = 0, sys = 0;
    double peakMiB = 0, rssBeforeMiB = 0, vectorMiB = 0;
    long records = 0;
    long long bytes = 0;  // curl: body bytes of every page
    double simCpu = 0;    // CPU seconds the simulator spent meanwhile
    bool ok = false;
};

// Reads what --run-measured wrote for its child (user and system CPU seconds, peak resident KiB, wall
// seconds) into the sample; false when the file is missing or short.
bool ReadMeasuredUsage(const std::string& path, Sample& s) {
    double user = 0, system = 0;
    long maxKb = 0;
    if (std::sscanf(ReadFile(path).c_str(), "%lf %lf %ld %lf", &user, &system, &maxKb, &s.wall) != 4) return false;
    s.cpu = user + system;
    s.sys = system;
    s.peakMiB = double(maxKb) / 1024.0;
    return true;
}

// One GetVMListForEntity of the whole cloud, from a collected managed heap, a trimmed native heap and a
// lowered high-water mark.
Sample BridgeList(CVCloudSDKCppBridge& bridge, int latencyMs) {
    Sample s;
    s.side = "bridge";
    s.latencyMs = latencyMs;
    std::vector<VMInfoStructs::SVMInfo> vms;
    mono_gc_collect_ptr(mono_gc_max_generation_ptr());
    malloc_trim(0);
    vcb_bench::ResetPeak();
    int64_t before = vcb_bench::ResidentBytes();
    rusage u0{}, u1{};
    getrusage(RUSAGE_SELF, &u0);
    auto began = Clock::now();
    int result = bridge.GetVMListForEntity("", VMInfoStructs::eInventoryCloud, VM_PROP_ALL, 0, vms);
    s.wall = std::chrono::duration<double>(Clock::now() - began).count();
    getrusage(RUSAGE_SELF, &u1);
    s.cpu = CpuSeconds(u1) - CpuSeconds(u0);
    s.sys = Seconds(u1.ru_stime) - Seconds(u0.ru_stime);
    s.peakMiB = MiB(vcb_bench::PeakResidentBytes());
    s.rssBeforeMiB = MiB(before);
    s.vectorMiB = MiB(int64_t(vms.capacity() * sizeof(VMInfoStructs::SVMInfo)));
    s.records = long(vms.size());
    s.ok = result == 1;
    if (!s.ok) std::fprintf(stderr, "GetVMListForEntity failed: %s\n", bridge.GetLastErrorString().c_str());
    return s;
}

// curl walking `config`'s pages over one connection, or with `parallel` transfers at once; every page must
// answer 200.
Sample CurlWalk(const std::string& config, const std::string& scratch, std::size_t pages, int latencyMs, int parallel = 0) {
    Sample s;
    s.side = parallel > 0 ? "curl-parallel" : "curl";
    s.latencyMs = latencyMs;
    std::string codes = scratch + "/curl.codes";
    std::string measured = scratch + "/curl.usage";
    int status = 0;
    rusage usage{};
    std::vector<std::string> command = {"/proc/self/exe", "--run-measured", measured, "curl", "-s", "-K", config, "-w",
                                        "%{http_code} %{size_download}\\n"};
    if (parallel > 0) {
        command.push_back("--parallel");
        command.push_back("--parallel-max");
        command.push_back(std::to_string(parallel));
    }
    bool ran = RunChild(command, codes, status, usage);
    ran &= ReadMeasuredUsage(measured, s);
    std::stringstream in(ReadFile(codes));
    std::size_t good = 0;
    for (std::string line; std::getline(in, line);) {
        long long size = 0;
        char code[8] = {0};
        if (std::sscanf(line.c_str(), "%7s %lld", code, &size) != 2 || std::strcmp(code, "200") != 0) continue;
        ++good;
        s.bytes += size;
    }
    s.records = long(good);
    s.ok = ran && status == 0 && good == pages;
    if (!s.ok) std::fprintf(stderr, "curl walked %zu of %zu pages with 200\n", good, pages);
    return s;
}

// The same query as `page` with its paging parameters (page, pageSize, offset) removed; pageSize is
// returned in `size`.
std::string QueryWithoutPaging(const std::string& page, long& size) {
    std::size_t q = page.find('?');
    std::string out = page.substr(0, q + 1);
    std::stringstream in(page.substr(q + 1));
    bool first = true;
    for (std::string param; std::getline(in, param, '&');) {
        std::string key = param.substr(0, param.find('='));
        if (key == "pageSize") size = std::atol(param.substr(param.find('=') + 1).c_str());
        if (key == "page" || key == "pageSize" || key == "offset") continue;
        out += (first ? "" : "&") + param;
        first = false;
    }
    return out;
}

void WriteCurlConfig(const std::string& path, const std::string& token, const std::string& url,
                     const std::vector<std::string>& pages) {
    std::ofstream out(path);
    out << "header = \"Authorization: Bearer " << token << "\"\n";
    out << "header = \"Accept: application/*+xml;version=" << kApiVersion << "\"\n";
    for (const auto& page : pages) out << "url = \"" << url << page << "\"\noutput = \"/dev/null\"\n";
}

// CPU seconds used so far by this process's child simulators (the launcher starts vcdsim under mono), from
// /proc: the simulator shares the machine's cores with the client it answers.
double SimulatorCpuSeconds() {
    double total = 0;
    const double tick = double(sysconf(_SC_CLK_TCK));
    std::ifstream tasks("/proc/self/task/" + std::to_string(getpid()) + "/children");
    for (long pid = 0; tasks >> pid;) {
        std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find("vcdsim") == std::string::npos) continue;
        std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::stringstream fields(stat.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::atof(field.c_str());
            if (i == 15) stime = std::atof(field.c_str());
        }
        total += (utime + stime) / tick;
    }
    return total;
}

// The simulator's count of API requests since its counters were last reset.
long SimRequests(const e2e::SimulatorProcess& sim) {
    std::string body;
    if (sim.Request("GET", "/sim/counters", "", body) != 200) return -1;
    std::size_t at = body.find("\"total\":");
    return at == std::string::npos ? -1 : std::atol(body.c_str() + at + 8);
}

bool SetLatency(const e2e::SimulatorProcess& sim, int latencyMs) {
    std::string body;
    if (latencyMs == 0) return sim.Request("POST", "/sim/faults/reset", "", body) == 200;
    return sim.Request("POST", "/sim/faults?latencyMs=" + std::to_string(latencyMs), "", body) == 200;
}

// Runs the command in argv[3...] and writes its CPU seconds (user, system), maximum resident size in KiB
// and wall seconds to the file argv[2]. A child's resident high-water mark starts from the memory of the process it
// was forked from, so curl is started from this freshly executed, small process rather than from the
// benchmark itself, whose runtime and records would count as curl's.
int RunMeasured(int argc, char** argv) {
    if (argc < 4) return 2;
    auto began = Clock::now();
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    double wall = std::chrono::duration<double>(Clock::now() - began).count();
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "%f %f %ld %f\n", Seconds(usage.ru_utime), Seconds(usage.ru_stime), long(usage.ru_maxrss), wall);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// A whole child process measured from a small freshly executed process (as curl is): its CPU, peak memory
// and wall time, and the number it prints on its first line of standard output in `records`.
Sample MeasuredProcess(const std::string& side, const std::vector<std::string>& command, const std::string& scratch) {
    Sample s;
    s.side = side;
    std::string out = scratch + "/process.out", measured = scratch + "/process.usage";
    std::vector<std::string> args = {"/proc/self/exe", "--run-measured", measured};
    args.insert(args.end(), command.begin(), command.end());
    int status = 0;
    rusage usage{};
    bool ran = RunChild(args, out, status, usage);
    ran &= ReadMeasuredUsage(measured, s);
    s.records = std::atol(ReadFile(out).c_str());
    s.ok = ran && status == 0;
    if (!s.ok) std::fprintf(stderr, "%s: the process failed (status %d)\n", side.c_str(), status);
    return s;
}

// The small client process of the whole-process figure: Initialize, Connect, the whole VM list from the
// cloud root, Disconnect; prints the number of VMs.
int RunList(int argc, char** argv) {
    if (argc < 4) return 2;
    CVCloudSDKCppBridge bridge;
    std::vector<VMInfoStructs::SVMInfo> vms;
    if (!bridge.Initialize("", argv[3], 0) || !bridge.Connect(argv[2], kUser, kPassword) ||
        bridge.GetVMListForEntity("", VMInfoStructs::eInventoryCloud, VM_PROP_ALL, 0, vms) != 1) {
        std::fprintf(stderr, "listing failed: %s\n", bridge.GetLastErrorString().c_str());
        return 1;
    }
    bridge.Disconnect();
    std::printf("%zu\n", vms.size());
    return 0;
}

// A copy of the home directory without some of its ahead-of-time images ("" when there is no home to copy):
// the baselines of one command, measured in the same run as the command with every image.
std::string HomeWithout(const std::string& scratch, const std::string& name, const std::string& images) {
    const char* home = std::getenv("XQ_HOME");
    if (home == nullptr) return "";
    std::string copy = scratch + "/" + name;
    std::string command = "cp -r '" + std::string(home) + "' '" + copy + "' && cd '" + copy + "' && rm -rf " + images;
    return std::system(command.c_str()) == 0 ? copy : "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--run-measured") == 0) return RunMeasured(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--run-list") == 0) return RunList(argc, argv);
    std::string generate = vcb_bench::TakeOption(argc, argv, "generate", std::string("10,10,100,10"));
    int runs = int(std::max(1L, vcb_bench::TakeOption(argc, argv, "runs", 3L)));
    std::vector<int> latencies = IntList(vcb_bench::TakeOption(argc, argv, "latency", std::string("0,50,100")));
    int concurrency = int(std::max(1L, vcb_bench::TakeOption(argc, argv, "concurrency", 1L)));
    bool curlLatency = vcb_bench::TakeOption(argc, argv, "curl-latency", 0L) != 0;
    std::string outPath = vcb_bench::TakeOption(argc, argv, "out", std::string());
    std::string extraOptions = vcb_bench::TakeOption(argc, argv, "options", std::string());
    std::string walker = vcb_bench::TakeOption(argc, argv, "walker", std::string());
    // Debian's Python, whose requests and lxml install-deps.sh --bench installs, ahead of any other on PATH.
    std::string python = vcb_bench::TakeOption(argc, argv, "python",
                                               std::string(access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"));
    std::string self = ReadLink("/proc/self/exe");
    std::string tool = vcb_bench::TakeOption(argc, argv, "tool", self.substr(0, self.rfind('/') + 1) + "vcloud-bridge");
    int commandRuns = int(std::max(1L, vcb_bench::TakeOption(argc, argv, "command-runs", 5L)));
    if (argc > 1) {
        std::fprintf(stderr, "unknown argument %s\n", argv[1]);
        return 2;
    }

    char scratchTemplate[] = "/tmp/bench_e2e.XXXXXX";
    if (mkdtemp(scratchTemplate) == nullptr) return 1;
    const std::string scratch = scratchTemplate;

    e2e::SimulatorProcess sim({"--generate", generate});
    if (!sim.Running()) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    std::string options = "allowHttp=true";
    if (concurrency > 1) options += ";queryConcurrency=" + std::to_string(concurrency);
    if (!extraOptions.empty()) options += ";" + extraOptions;

    // A first, logged listing: it warms the runtime up and names the pages a walk requests.
    std::string log = scratch + "/wrapper.log";
    std::vector<std::string> pages;
    long total = 0;
    {
        CVCloudSDKCppBridge probe;
        std::vector<VMInfoStructs::SVMInfo> vms;
        if (!probe.Initialize(log, options, 2) || !probe.Connect(sim.Url(), kUser, kPassword) ||
            probe.GetVMListForEntity("", VMInfoStructs::eInventoryCloud, VM_PROP_ALL, 0, vms) != 1) {
            std::fprintf(stderr, "the first listing failed: %s (XQ_HOME=%s)\n", probe.GetLastErrorString().c_str(),
                         std::getenv("XQ_HOME"));
            return 1;
        }
        total = long(vms.size());
        probe.Disconnect();
        pages = QueryPages(ReadFile(log));
    }
    // Without curl the bridge's figures are still taken, with no baseline beside them.
    const bool haveCurl = std::system("command -v curl >/dev/null 2>&1") == 0;
    if (!haveCurl) std::fprintf(stderr, "curl is not installed: the bridge is measured without its baseline\n");
    std::string token = haveCurl ? CurlLogin(sim.Url(), scratch) : std::string("-");
    if (pages.empty() || token.empty()) {
        std::fprintf(stderr, "no query pages in the wrapper's log, or curl could not log in\n");
        return 1;
    }
    // The baseline walks the same query in the fewest pages its records need: pages 1, 2, ... of the
    // wrapper's page size, no window overlapping another. The pages the wrapper walked are read once
    // by curl as well, for their bytes.
    long pageSize = 0;
    std::string query = QueryWithoutPaging(pages.front(), pageSize);
    if (pageSize <= 0) pageSize = 128;
    std::vector<std::string> minimal;
    for (long page = 1; page == 1 || (page - 1) * pageSize < total; ++page)
        minimal.push_back(query + "&page=" + std::to_string(page) + "&pageSize=" + std::to_string(pageSize));
    std::string config = scratch + "/pages.curl", walkedConfig = scratch + "/walked.curl";
    WriteCurlConfig(config, token, sim.Url(), minimal);
    WriteCurlConfig(walkedConfig, token, sim.Url(), pages);
    long long walkedBytes = 0;
    if (haveCurl) {
        Sample walked = CurlWalk(walkedConfig, scratch, pages.size(), 0);
        walkedBytes = walked.ok ? walked.bytes : -1;
    }

    CVCloudSDKCppBridge bridge;
    if (!bridge.Initialize("", options, 0) || !bridge.Connect(sim.Url(), kUser, kPassword)) {
        std::fprintf(stderr, "the bridge did not connect: %s\n", bridge.GetLastErrorString().c_str());
        return 1;
    }
    std::vector<Sample> samples;
    bool ok = true;
    for (int latency : latencies) {
        if (!SetLatency(sim, latency)) {
            std::fprintf(stderr, "the simulator refused latency %d ms\n", latency);
            return 1;
        }
        for (int run = 0; run < runs; ++run) {
            double sim0 = SimulatorCpuSeconds();
            samples.push_back(BridgeList(bridge, latency));
            samples.back().simCpu = SimulatorCpuSeconds() - sim0;
            ok &= samples.back().ok && samples.back().records == total;
            if (haveCurl && (latency == 0 || curlLatency)) {
                sim0 = SimulatorCpuSeconds();
                samples.push_back(CurlWalk(config, scratch, minimal.size(), latency));
                samples.back().simCpu = SimulatorCpuSeconds() - sim0;
                ok &= samples.back().ok;
            }
            // With added latency, curl with queryConcurrency transfers at once over the minimal pages: what the
            // simulator itself allows a client that does no work of its own.
            if (haveCurl && latency > 0 && run == 0) {
                samples.push_back(CurlWalk(config, scratch, minimal.size(), latency, concurrency));
                ok &= samples.back().ok;
            }
        }
    }
    SetLatency(sim, 0);

    // Whole processes, alternating: the client process listing every VM and the Python walker over the
    // same query in the minimal pages; then one tool command with and without the wrapper's AOT image.
    const bool haveWalker = !walker.empty() &&
        std::system(("'" + python + "' -c 'import requests, lxml' 2>/dev/null && test -f '" + walker + "'").c_str()) == 0;
    if (!walker.empty() && !haveWalker)
        std::fprintf(stderr, "the Python walker (python3-requests, python3-lxml) is missing: no whole-process baseline\n");
    for (int run = 0; run < runs; ++run) {
        samples.push_back(MeasuredProcess("bridge-process", {self, "--run-list", sim.Url(), options}, scratch));
        ok &= samples.back().ok && samples.back().records == total;
        if (haveWalker) {
            samples.push_back(MeasuredProcess("python", {python, walker, sim.Url(), kUser, kPassword, query}, scratch));
            ok &= samples.back().ok && samples.back().records == total;
        }
    }
    // Every image; the wrapper's image alone (the framework compiled just in time); no image of ours (Mono
    // still maps Debian's own image of mscorlib).
    const std::pair<const char*, std::string> homes[] = {
        {"command", ""},
        {"command-wrapper-aot", HomeWithout(scratch, "wrapper-aot-home", "framework-aot")},
        {"command-jit", HomeWithout(scratch, "jit-home", "framework-aot ./*.dll.so")}};
    setenv("VCB_PASSWORD", kPassword, 1);
    for (int run = 0; run < commandRuns; ++run) {
        for (const auto& home : homes) {
            if (home.first != std::string("command") && home.second.empty()) continue;
            std::vector<std::string> command = {tool, "--quiet", "--server", sim.Url(), "--allow-http", "--user", kUser};
            if (!home.second.empty()) command.insert(command.end(), {"--home", home.second});
            command.insert(command.end(), {"find-vm", "Org001", "Org001-VDC01", "vm-000001"});
            samples.push_back(MeasuredProcess(home.first, command, scratch));
            ok &= samples.back().ok;
        }
    }
    unsetenv("VCB_PASSWORD");

    // Requests per operation in one session, first call and repeat, counted at the simulator.
    struct OpCount {
        const char* name;
        long first, repeat;
    };
    std::vector<OpCount> ops;
    {
        CVCloudSDKCppBridge fresh;
        std::string vmId, vcName, moref, profile, xml;
        VMInfoStructs::SVMInfo info;
        bool connected = fresh.Initialize("", options, 0) && fresh.Connect(sim.Url(), kUser, kPassword);
        // Each operation on the first VM of its own organisation, so that none finds what another kept.
        long shape[4] = {1, 1, 1, 1};
        std::sscanf(generate.c_str(), "%ld,%ld,%ld,%ld", &shape[0], &shape[1], &shape[2], &shape[3]);
        auto name = [](const char* prefix, long number, int digits) {
            char text[64];
            std::snprintf(text, sizeof text, "%s%0*ld", prefix, digits, number);
            return std::string(text);
        };
        auto org = [&](long i) { return name("Org", std::min(i, shape[0]), 3); };
        auto vapp = [&](long i) { return name("vapp-", (std::min(i, shape[0]) - 1) * shape[1] * shape[2] + 1, 6); };
        auto vm = [&](long i) { return name("vm-", (std::min(i, shape[0]) - 1) * shape[1] * shape[2] * shape[3] + 1, 6); };
        const std::pair<const char*, std::function<bool()>> calls[] = {
            {"FindVM(org, vdc, vapp, vm)", [&] { return fresh.FindVM(org(1), org(1) + "-VDC01", vapp(1), vm(1)); }},
            {"GetVMInfoForVM(org, vdc, vm)",
             [&] { return fresh.GetVMInfoForVM(org(2), org(2) + "-VDC01", vm(2), VM_PROP_ALL, 0, info) == 1; }},
            {"BackupVM(org, vdc, vapp, vm)",
             [&] { return fresh.BackupVM(org(3), org(3) + "-VDC01", vapp(3), vm(3), vmId, vcName, moref, profile, xml); }},
        };
        for (const auto& call : calls) {
            if (!connected) break;
            std::string body;
            long counts[2] = {-1, -1};
            for (long& count : counts) {
                sim.Request("POST", "/sim/counters/reset", "", body);
                bool done = call.second();
                count = done ? SimRequests(sim) : -1;
                if (!done) std::fprintf(stderr, "%s failed: %s\n", call.first, fresh.GetLastErrorString().c_str());
            }
            ops.push_back({call.first, counts[0], counts[1]});
        }
        if (connected) fresh.Disconnect();
    }
    bridge.Disconnect();

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::ostringstream json;
    json << "{\n  \"context\": {\"generate\": \"" << generate << "\", \"vms\": " << total << ", \"pages\": " << pages.size()
         << ", \"minimal_pages\": " << minimal.size() << ", \"page_size\": " << pageSize << ", \"walked_bytes\": " << walkedBytes
         << ", \"concurrency\": " << concurrency << ", \"options\": \"" << options << "\", \"mono\": \""
         << g_vCloudMonoVersion << "\", \"vm_record_bytes\": "
         << sizeof(VMInfoStructs::SVMInfo) << ", \"load_avg_end\": [" << load[0] << ", " << load[1] << ", " << load[2]
         << "]},\n  \"samples\": [\n";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        json << "    {\"side\": \"" << s.side << "\", \"latency_ms\": " << s.latencyMs << ", \"wall_s\": " << s.wall
             << ", \"cpu_s\": " << s.cpu << ", \"sys_s\": " << s.sys << ", \"peak_MiB\": " << s.peakMiB << ", \"rss_before_MiB\": " << s.rssBeforeMiB
             << ", \"vector_MiB\": " << s.vectorMiB << ", \"count\": " << s.records << ", \"bytes\": " << s.bytes << ", \"sim_cpu_s\": " << s.simCpu
             << ", \"ok\": " << (s.ok ? "true" : "false") << "}" << (i + 1 < samples.size() ? "," : "") << "\n";
    }
    json << "  ],\n  \"requests\": [\n";
    for (std::size_t i = 0; i < ops.size(); ++i)
        json << "    {\"op\": \"" << ops[i].name << "\", \"first\": " << ops[i].first << ", \"repeat\": " << ops[i].repeat << "}"
             << (i + 1 < ops.size() ? "," : "") << "\n";
    json << "  ]\n}\n";
    if (!outPath.empty()) std::ofstream(outPath) << json.str();
    std::fputs(json.str().c_str(), stdout);
    std::string cleanup = "rm -rf '" + scratch + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", scratch.c_str());
    return ok ? 0 : 1;
}

// The first Initialize of a process (runtime start and managed wrapper creation) against a bare runtime
// start: mono_jit_init plus mono_domain_assembly_open of the same assembly. Both can happen only once per
// process, so every sample is a fresh child process of this same program; the child times its own start
// and prints the result, and this driver hands that time to the benchmark library.
//
//   bench_startup [--runs=N] [benchmark flags]      driver, N samples of each, taking turns (default 15)
//   bench_startup --child=bridge|bare                one sample, printed as "<ok> <ns> <extra ns>"
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

long long Nanoseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// The child's answer ends the process at once: the runtime keeps threads of its own, and nothing after
// the measurement is worth waiting for.
[[noreturn]] void Answer(bool ok, long long ns, long long extraNs) {
    std::printf("%d %lld %lld\n", ok ? 1 : 0, ns, extraNs);
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
}

// The bridge's first Initialize, and a second one on the running runtime (the wrapper creation alone).
[[noreturn]] void BridgeChild() {
    auto* bridge = new vCloudSDKCppBridge::CVCloudSDKCppBridge();
    Clock::time_point t0 = Clock::now();
    bool first = bridge->Initialize("", "", 0);
    Clock::time_point t1 = Clock::now();
    bool second = bridge->Initialize("", "", 0);
    Clock::time_point t2 = Clock::now();
    Answer(first && second, Nanoseconds(t0, t1), Nanoseconds(t1, t2));
}

// The bare start, with the same domain name, assembly and thread suspend mode as the bridge. Binding the
// entry points is timed apart: the bridge's figure includes it, the bare one does not.
[[noreturn]] void BareChild() {
    using namespace MonoAPI;
    setenv("MONO_THREADS_SUSPEND", "preemptive", 1);
    const char* home = std::getenv("XQ_HOME");
    std::string assemblyPath = std::string(home ? home : ".") + "/vCloudSDKWrapper.dll";
    Clock::time_point t0 = Clock::now();
    if (!MonoAPI::Initialize()) Answer(false, 0, 0);
    Clock::time_point t1 = Clock::now();
    MonoDomain* domain = mono_jit_init_ptr("vCloudSDKCppBridge");
    MonoAssembly* assembly = domain ? mono_domain_assembly_open_ptr(domain, assemblyPath.c_str()) : nullptr;
    Clock::time_point t2 = Clock::now();
    Answer(assembly != nullptr, Nanoseconds(t1, t2), Nanoseconds(t0, t1));
}

struct Sample {
    bool ok = false;
    double seconds = 0;
    double extraSeconds = 0;
    double processSeconds = 0;
    std::string error;
};

std::string SelfPath() {
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string();
}

// Runs one child of `mode` and reads its answer.
Sample RunChild(const std::string& mode) {
    Sample sample;
    int out[2];
    if (pipe(out) != 0) {
        sample.error = "pipe failed";
        return sample;
    }
    std::string self = SelfPath();
    std::string flag = "--child=" + mode;
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(flag.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);

    Clock::time_point started = Clock::now();
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while (spawned == 0 && (n = read(out[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    close(out[0]);
    if (spawned != 0) {
        sample.error = "could not start a child process";
        return sample;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    sample.processSeconds = std::chrono::duration<double>(Clock::now() - started).count();

    int ok = 0;
    long long ns = 0, extraNs = 0;
    if (std::sscanf(text.c_str(), "%d %lld %lld", &ok, &ns, &extraNs) != 3 || ok != 1 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        sample.error = "the " + mode + " start failed in the child (run with --child=" + mode + " to see why)";
        return sample;
    }
    sample.ok = true;
    sample.seconds = ns * 1e-9;
    sample.extraSeconds = extraNs * 1e-9;
    return sample;
}

std::map<std::string, std::vector<double>> g_samples;

void Startup(benchmark::State& state, const std::string& mode, const char* extraCounter) {
    Sample last;
    for (auto _ : state) {
        last = RunChild(mode);
        if (!last.ok) {
            state.SkipWithError(last.error.c_str());
            break;
        }
        state.SetIterationTime(last.seconds);
        g_samples[mode].push_back(last.seconds);
    }
    if (!last.ok) return;
    state.counters["process_ms"] = last.processSeconds * 1e3;
    state.counters[extraCounter] = last.extraSeconds * 1e3;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t mid = v.size() / 2;
    return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    vcb_bench::DefaultHome();
    std::string child = vcb_bench::TakeOption(argc, argv, "child", std::string());
    if (child == "bridge") BridgeChild();
    if (child == "bare") BareChild();
    if (!child.empty()) {
        std::fprintf(stderr, "unknown child mode %s\n", child.c_str());
        return 2;
    }
    long runs = std::max(1L, vcb_bench::TakeOption(argc, argv, "runs", 15L));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("startup_runs", std::to_string(runs));
    // One child per sample, the two kinds taking turns, so that both see the same load on a shared
    // machine. The report takes the median and the spread over each kind's samples.
    for (long i = 0; i < runs; ++i) {
        for (auto entry : {std::make_pair("Startup/FirstInitialize", "bridge"), std::make_pair("Startup/BareRuntime", "bare")}) {
            std::string mode = entry.second;
            const char* extra = mode == "bridge" ? "second_init_ms" : "bind_ms";
            benchmark::RegisterBenchmark(entry.first, [mode, extra](benchmark::State& s) { Startup(s, mode, extra); })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    double bridge = Median(g_samples["bridge"]), bare = Median(g_samples["bare"]);
    if (bridge > 0 && bare > 0) {
        std::printf("median of %zu: first Initialize %.2f ms, bare start %.2f ms, ratio %.2f\n",
                    g_samples["bridge"].size(), bridge * 1e3, bare * 1e3, bridge / bare);
    }
    return 0;
}

// GetVMListForEntity over a large managed list (100,000 VMs by default): time per VM and peak memory,
// against a bare conversion of the same list through the Mono API: GetEnumerator once, then MoveNext,
// Current, the seven field reads and mono_string_to_utf8 of each text into SVMInfo records of a vector
// reserved up front, with every method and field looked up once. That is the work the bridge's call
// must do at the least, so the ratio is what the bridge's own layers cost. Both sides start each call
// from a collected managed heap and a trimmed native heap, with the resident high-water mark lowered to
// the current size, so the peak is the call's own.
//
// Threads: the same call on two threads at once, each with its own bridge object, against one thread
// alone; throughput in VMs per second of both, whose ratio shows whether the bridge's calls scale.
//
//   bench_vmlist [--vms=N] [benchmark flags]
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"

using namespace MonoAPI;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;
using Clock = std::chrono::steady_clock;

namespace {

CVCloudSDKCppBridge* g_bridge = nullptr;
int g_vms = 100000;

const char* const kEntity = "org-benchmark";
const char* const kVmFields[] = {"name", "uuid", "hostName", "moref", "guestOSName", "guestOSVersion", "poweredState"};

// Collects the managed heap, returns free native memory and lowers the high-water mark: what the next
// call allocates shows up as its own peak. Runs with the timer paused.
int64_t QuietStart() {
    mono_gc_collect_ptr(mono_gc_max_generation_ptr());
    malloc_trim(0);
    vcb_bench::ResetPeak();
    return vcb_bench::ResidentBytes();
}

// Peak above `start` in MiB, and the wall time of the calls per VM, as the run's counters.
class Measure {
public:
    void Begin(benchmark::State& state) {
        state.PauseTiming();
        m_start = QuietStart();
        state.ResumeTiming();
        m_began = Clock::now();
    }
    void End(benchmark::State& state) {
        m_elapsed += Clock::now() - m_began;
        state.PauseTiming();
        m_peak = std::max<int64_t>(m_peak, vcb_bench::PeakResidentBytes() - m_start);
        ++m_calls;
        state.ResumeTiming();
    }
    void Report(benchmark::State& state) const {
        if (m_calls == 0) return;
        double perVm = std::chrono::duration<double, std::nano>(m_elapsed).count() / (double(m_calls) * g_vms);
        state.counters["ns_per_vm"] = perVm;
        state.counters["peak_MiB"] = double(m_peak) / (1024.0 * 1024.0);
        state.counters["vms"] = g_vms;
    }

private:
    int64_t m_start = 0;
    int64_t m_peak = 0;
    long m_calls = 0;
    Clock::time_point m_began;
    Clock::duration m_elapsed{};
};

void BridgeVmList(benchmark::State& state) {
    std::vector<VMInfoStructs::SVMInfo> vms;
    Measure measure;
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<VMInfoStructs::SVMInfo>().swap(vms);
        state.ResumeTiming();
        measure.Begin(state);
        int result = g_bridge->GetVMListForEntity(kEntity, VMInfoStructs::eInventoryOrg, VM_PROP_ALL, g_vms, vms);
        measure.End(state);
        ok &= result == 1 && vms.size() == static_cast<std::size_t>(g_vms);
    }
    if (!ok) {
        state.SkipWithError("GetVMListForEntity did not return every VM");
        return;
    }
    measure.Report(state);
    // What the caller keeps of that peak: the vector's own storage (texts not counted).
    state.counters["vector_MiB"] = double(vms.capacity() * sizeof(VMInfoStructs::SVMInfo)) / (1024.0 * 1024.0);
}

// One exception-checked invoke; false when the method raised.
bool Invoke(MonoMethod* method, void* object, void** args, MonoObject*& result) {
    MonoObject* exception = nullptr;
    result = mono_runtime_invoke_ptr(method, object, args, &exception);
    return exception == nullptr;
}

// The power state as the bridge stores it: a number from the managed status text.
int32_t PowerState(const char* text) {
    if (std::strcmp(text, "POWERED_OFF") == 0) return 0;
    if (std::strcmp(text, "POWERED_ON") == 0) return 1;
    return 2;
}

void BareConversion(benchmark::State& state) {
    MonoObject* wrapper = vcb_bench::WrapperObject(*g_bridge);
    MonoMethod* query = vcb_bench::Method("vCloudWrapper", "GetVMStructListForEntity", 4);
    MonoMethod* getEnumerator = vcb_bench::Method("SVMInfoLibListEnumerator", "GetEnumerator", 1);
    MonoMethod* moveNext = vcb_bench::Method("SVMInfoLibListEnumerator", "MoveNext", 0);
    MonoMethod* current = vcb_bench::Method("SVMInfoLibListEnumerator", "Current", 0);
    MonoClass* record = mono_class_from_name_ptr(g_vCloudImage, "vCloudSDKWrapper", "SVMInfoLib");
    MonoClassField* fields[7] = {};
    for (int i = 0; i < 7 && record != nullptr; ++i) fields[i] = mono_class_get_field_from_name_ptr(record, kVmFields[i]);
    if (wrapper == nullptr || query == nullptr || getEnumerator == nullptr || moveNext == nullptr ||
        current == nullptr || std::find(fields, fields + 7, nullptr) != fields + 7) {
        state.SkipWithError("the test double lacks a method, class or field of the enumeration");
        return;
    }
    // The native members of the first six fields, in kVmFields order; the seventh is the power state.
    using VM = VMInfoStructs::SVMInfo;
    std::string VM::*const members[6] = {&VM::strName, &VM::strUUID, &VM::strHostName,
                                         &VM::strMoref, &VM::strGuestOSName, &VM::strGuestOSVersion};

    // The same list the bridge's call returns, fetched once.
    MonoString* entity = mono_string_new_ptr(g_domain, kEntity);
    int32_t type = VMInfoStructs::eInventoryOrg;
    uint64_t mask = VM_PROP_ALL;
    int32_t max = g_vms;
    void* queryArgs[4] = {entity, &type, &mask, &max};
    MonoObject* list = nullptr;
    if (!Invoke(query, wrapper, queryArgs, list) || list == nullptr) {
        state.SkipWithError("GetVMStructListForEntity gave no list");
        return;
    }

    std::vector<VM> vms;
    Measure measure;
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<VM>().swap(vms);
        state.ResumeTiming();
        measure.Begin(state);
        vms.reserve(static_cast<std::size_t>(g_vms));
        void* enumArgs[1] = {list};
        MonoObject* enumerator = nullptr;
        ok &= Invoke(getEnumerator, nullptr, enumArgs, enumerator) && enumerator != nullptr;
        for (MonoObject* more = nullptr; ok;) {
            ok &= Invoke(moveNext, enumerator, nullptr, more) && more != nullptr;
            if (!ok || *static_cast<const unsigned char*>(mono_object_unbox_ptr(more)) == 0) break;
            MonoObject* element = nullptr;
            ok &= Invoke(current, enumerator, nullptr, element) && element != nullptr;
            if (!ok) break;
            VM& vm = vms.emplace_back();
            for (int i = 0; i < 7; ++i) {
                MonoString* value = nullptr;
                mono_field_get_value_ptr(element, fields[i], &value);
                char* text = value != nullptr ? mono_string_to_utf8_ptr(value) : nullptr;
                if (i < 6) {
                    vm.*members[i] = text != nullptr ? text : "";
                } else {
                    vm.ePowerState = PowerState(text != nullptr ? text : "");
                }
                mono_free_ptr(text);
            }
        }
        measure.End(state);
        ok &= vms.size() == static_cast<std::size_t>(g_vms);
    }
    if (!ok) {
        state.SkipWithError("the bare conversion did not see every VM");
        return;
    }
    measure.Report(state);
}

// Long-lived threads, each with its own connected bridge object, that run the whole VM list on
// request. They stay attached to the runtime for the program's life.
class ListingThreads {
public:
    explicit ListingThreads(int count) {
        for (int i = 0; i < count; ++i) m_threads.emplace_back([this, i] { Loop(i); });
    }

    bool Ready() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_started == m_threads.size(); });
        return m_failed == 0;
    }

    // Every thread lists the whole cloud `calls` times; false when a call did not return every VM.
    bool Run(int threads, int calls) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_active = threads;
        m_calls = calls;
        m_done = 0;
        ++m_round;
        m_changed.notify_all();
        m_changed.wait(lock, [this, threads] { return m_done == threads; });
        return m_failed == 0;
    }

private:
    void Loop(int index) {
        CVCloudSDKCppBridge bridge;
        bool ready = bridge.Initialize("", "", 0) && bridge.Connect("https://127.0.0.1/api", "bench", "bench");
        std::vector<VMInfoStructs::SVMInfo> vms;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_failed += ready ? 0 : 1;
        ++m_started;
        m_changed.notify_all();
        for (long seen = 0;;) {
            m_changed.wait(lock, [&] { return m_round != seen; });
            seen = m_round;
            if (index >= m_active) continue;
            int calls = m_calls;
            lock.unlock();
            bool ok = true;
            for (int c = 0; c < calls; ++c) {
                std::vector<VMInfoStructs::SVMInfo>().swap(vms);
                ok &= bridge.GetVMListForEntity(kEntity, VMInfoStructs::eInventoryOrg, VM_PROP_ALL, g_vms, vms) == 1 &&
                      vms.size() == static_cast<std::size_t>(g_vms);
            }
            std::vector<VMInfoStructs::SVMInfo>().swap(vms);
            lock.lock();
            m_failed += ok ? 0 : 1;
            ++m_done;
            m_changed.notify_all();
        }
    }

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_started = 0;
    int m_failed = 0, m_active = 0, m_calls = 0, m_done = 0;
    long m_round = 0;
};

ListingThreads* g_threads = nullptr;

double CpuSeconds(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Throughput of `threads` threads listing at once, in VMs per second of wall time.
void ThreadedVmList(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int calls = 2;
    bool ok = true;
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        mono_gc_collect_ptr(mono_gc_max_generation_ptr());
        malloc_trim(0);
        state.ResumeTiming();
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        auto began = Clock::now();
        ok &= g_threads->Run(threads, calls);
        wall += std::chrono::duration<double>(Clock::now() - began).count();
        getrusage(RUSAGE_SELF, &after);
        cpu += CpuSeconds(after) - CpuSeconds(before);
    }
    if (!ok) {
        state.SkipWithError("a listing thread did not get every VM");
        return;
    }
    state.counters["vms_per_s"] =
        benchmark::Counter(double(threads) * calls * g_vms * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["threads"] = threads;
    // Busy cores during the calls: near the thread count when the threads run side by side, near 1 or
    // below when they wait for each other (or for cores that other processes hold).
    state.counters["cpu_per_wall"] = wall > 0 ? cpu / wall : 0;
    // CPU time per VM listed: the same for two threads as for one when they add no work for each other.
    state.counters["cpu_us_per_vm"] = cpu * 1e6 / (double(threads) * calls * g_vms * double(state.iterations()));
}

}  // namespace

int main(int argc, char** argv) {
    vcb_bench::DefaultHome();
    g_vms = static_cast<int>(std::max(1L, vcb_bench::TakeOption(argc, argv, "vms", 100000L)));
    const bool threaded = vcb_bench::TakeOption(argc, argv, "threads", 1L) != 0;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    g_bridge = new CVCloudSDKCppBridge();
    if (!g_bridge->Initialize("", "", 0) || !vcb_bench::Control("Reset") ||
        !g_bridge->Connect("https://127.0.0.1/api", "bench", "bench") || !vcb_bench::Control("GenerateVms", g_vms)) {
        std::fprintf(stderr, "the managed test double did not start (XQ_HOME=%s)\n", std::getenv("XQ_HOME"));
        return 1;
    }
    benchmark::AddCustomContext("mono", g_vCloudMonoVersion);
    benchmark::AddCustomContext("vms", std::to_string(g_vms));
    benchmark::AddCustomContext("vm_record_bytes", std::to_string(sizeof(VMInfoStructs::SVMInfo)));
    benchmark::AddCustomContext("peak_reset", vcb_bench::ResetPeak() ? "yes" : "no");

    benchmark::RegisterBenchmark("VmList/GetVMListForEntity", BridgeVmList)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("VmList/BareConversion", BareConversion)->UseRealTime()->Unit(benchmark::kMillisecond);
    if (threaded) {
        g_threads = new ListingThreads(2);
        if (!g_threads->Ready()) {
            std::fprintf(stderr, "a listing thread's bridge did not connect\n");
            return 1;
        }
        benchmark::RegisterBenchmark("VmList/Threads", ThreadedVmList)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

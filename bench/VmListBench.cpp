// GetVMListForEntity over a large managed list (100,000 VMs by default): time per VM and peak memory,
// against a bare enumeration of the same list through the Mono API: GetEnumerator once, then MoveNext,
// Current and the seven field reads per VM, with every method and field looked up once, and no text
// copied out. Both sides start each call from a collected managed heap and a trimmed native heap, with
// the resident high-water mark lowered to the current size, so the peak is the call's own.
//
//   bench_vmlist [--vms=N] [benchmark flags]
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

void BareEnumeration(benchmark::State& state) {
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

    Measure measure;
    bool ok = true;
    for (auto _ : state) {
        measure.Begin(state);
        long count = 0;
        void* enumArgs[1] = {list};
        MonoObject* enumerator = nullptr;
        ok &= Invoke(getEnumerator, nullptr, enumArgs, enumerator) && enumerator != nullptr;
        for (MonoObject* more = nullptr; ok;) {
            ok &= Invoke(moveNext, enumerator, nullptr, more) && more != nullptr;
            if (!ok || *static_cast<const unsigned char*>(mono_object_unbox_ptr(more)) == 0) break;
            MonoObject* element = nullptr;
            ok &= Invoke(current, enumerator, nullptr, element) && element != nullptr;
            if (!ok) break;
            for (MonoClassField* field : fields) {
                MonoString* value = nullptr;
                mono_field_get_value_ptr(element, field, &value);
                benchmark::DoNotOptimize(value);
            }
            ++count;
        }
        measure.End(state);
        ok &= count == g_vms;
    }
    if (!ok) {
        state.SkipWithError("the bare enumeration did not see every VM");
        return;
    }
    measure.Report(state);
}

}  // namespace

int main(int argc, char** argv) {
    vcb_bench::DefaultHome();
    g_vms = static_cast<int>(std::max(1L, vcb_bench::TakeOption(argc, argv, "vms", 100000L)));
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
    benchmark::RegisterBenchmark("VmList/BareEnumeration", BareEnumeration)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

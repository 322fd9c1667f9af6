// Per-call cost of a bridge operation against a bare mono_runtime_invoke of the same managed method on the
// same managed object: Disconnect (no arguments) and FindVM (three texts). The bare side looks its method
// up once and makes its managed strings with mono_string_new; the bridge side is the exported call as an
// agent makes it (attach, look-up by name, marshalling, result check).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"

using namespace MonoAPI;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

CVCloudSDKCppBridge* g_bridge = nullptr;

// The double records every call it receives; the record is emptied every few thousand calls, on both
// sides alike, so that it cannot grow for the length of a run.
constexpr long kClearEvery = 4096;

class CallRecord {
public:
    CallRecord() : m_clear(vcb_bench::Method("TestControl", "ClearCalls", 0)) {}
    void Count() {
        if (++m_calls % kClearEvery != 0 || m_clear == nullptr) return;
        MonoObject* exception = nullptr;
        mono_runtime_invoke_ptr(m_clear, nullptr, nullptr, &exception);
    }

private:
    MonoMethod* m_clear;
    long m_calls = 0;
};

// A bool result of a bare invoke: true only for a returned, unexceptional true.
bool IsTrue(MonoObject* result, MonoObject* exception) {
    return exception == nullptr && result != nullptr &&
           *static_cast<const unsigned char*>(mono_object_unbox_ptr(result)) != 0;
}

const std::string kOrg = "org-benchmark";
const std::string kVdc = "vdc-benchmark";
const std::string kVm = "vm-000123";

// The bridge's wrapper object and one of its methods, for a bare baseline; false (the run skipped) when
// either is missing.
bool FindWrapperMethod(benchmark::State& state, const char* name, int argc, MonoObject*& wrapper,
                       MonoMethod*& method) {
    wrapper = vcb_bench::WrapperObject(*g_bridge);
    method = vcb_bench::Method("vCloudWrapper", name, argc);
    if (wrapper != nullptr && method != nullptr) return true;
    state.SkipWithError((std::string("no wrapper object or no ") + name + " method").c_str());
    return false;
}

// Runs `call` once per iteration, counting it for the call record; the run is marked failed with
// `failure` unless every call returned true.
template <typename F>
void Measure(benchmark::State& state, const char* failure, F call) {
    CallRecord record;
    bool ok = true;
    for (auto _ : state) {
        ok &= call();
        record.Count();
    }
    if (!ok) state.SkipWithError(failure);
}

void BridgeDisconnect(benchmark::State& state) {
    Measure(state, "Disconnect returned false", [] { return g_bridge->Disconnect(); });
}

void BareLogout(benchmark::State& state) {
    MonoObject* wrapper = nullptr;
    MonoMethod* logout = nullptr;
    if (!FindWrapperMethod(state, "Logout", 0, wrapper, logout)) return;
    Measure(state, "bare Logout did not return true", [&] {
        MonoObject* exception = nullptr;
        MonoObject* result = mono_runtime_invoke_ptr(logout, wrapper, nullptr, &exception);
        return IsTrue(result, exception);
    });
}

void BridgeFindVM(benchmark::State& state) {
    Measure(state, "FindVM returned false", [] { return g_bridge->FindVM(kOrg, kVdc, kVm); });
}

void BareFindVM(benchmark::State& state) {
    MonoObject* wrapper = nullptr;
    MonoMethod* findVm = nullptr;
    if (!FindWrapperMethod(state, "FindVM", 3, wrapper, findVm)) return;
    Measure(state, "bare FindVM did not return true", [&] {
        void* args[3] = {mono_string_new_ptr(g_domain, kOrg.c_str()), mono_string_new_ptr(g_domain, kVdc.c_str()),
                         mono_string_new_ptr(g_domain, kVm.c_str())};
        MonoObject* exception = nullptr;
        MonoObject* result = mono_runtime_invoke_ptr(findVm, wrapper, args, &exception);
        return IsTrue(result, exception);
    });
}

}  // namespace

int main(int argc, char** argv) {
    vcb_bench::DefaultHome();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    g_bridge = new CVCloudSDKCppBridge();
    if (!g_bridge->Initialize("", "", 0) || !vcb_bench::Control("Reset") ||
        !g_bridge->Connect("https://127.0.0.1/api", "bench", "bench")) {
        std::fprintf(stderr, "the managed test double did not start (XQ_HOME=%s)\n", std::getenv("XQ_HOME"));
        return 1;
    }
    benchmark::AddCustomContext("mono", g_vCloudMonoVersion);

    benchmark::RegisterBenchmark("Call/Disconnect", BridgeDisconnect)->UseRealTime();
    benchmark::RegisterBenchmark("Call/BareLogout", BareLogout)->UseRealTime();
    benchmark::RegisterBenchmark("Call/FindVM", BridgeFindVM)->UseRealTime();
    benchmark::RegisterBenchmark("Call/BareFindVM", BareFindVM)->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

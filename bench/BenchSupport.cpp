// Shared benchmark helpers: the wrapper object behind a bridge, test double control, memory marks.
#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using namespace MonoAPI;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;
using vCloudSDKCppBridge::CVCloudWrapperPtr;

namespace vcb_bench {

namespace {

// A bridge object keeps its runtime host, and the host its GC handle, private. An explicit template
// instantiation may name private members, so the pointers-to-member below reach them without any change
// to the library; this is the benchmarks' only way to the very object the bridge calls.
template <class Tag, typename Tag::Type Member>
struct Exposed {
    friend typename Tag::Type Access(Tag) { return Member; }
};

struct HostOf {
    using Type = CVCloudWrapperPtr* CVCloudSDKCppBridge::*;
    friend Type Access(HostOf);
};
template struct Exposed<HostOf, &CVCloudSDKCppBridge::m_host>;

struct HandleOf {
    using Type = uint32_t CVCloudWrapperPtr::*;
    friend Type Access(HandleOf);
};
template struct Exposed<HandleOf, &CVCloudWrapperPtr::m_wrapperHandle>;

const char* const kNamespace = "vCloudSDKWrapper";

int64_t StatusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':') {
            return std::atoll(line.c_str() + length + 1);
        }
    }
    return -1;
}

}  // namespace

void DefaultHome() {
#ifdef VCB_BENCH_DEFAULT_HOME
    setenv("XQ_HOME", VCB_BENCH_DEFAULT_HOME, 0);
#endif
}

MonoObject* WrapperObject(CVCloudSDKCppBridge& bridge) {
    CVCloudWrapperPtr* host = bridge.*Access(HostOf());
    if (host == nullptr) return nullptr;
    uint32_t handle = host->*Access(HandleOf());
    return handle != 0 ? mono_gchandle_get_target_ptr(handle) : nullptr;
}

MonoClass* WrapperClass() { return mono_class_from_name_ptr(g_vCloudImage, kNamespace, "vCloudWrapper"); }

MonoMethod* Method(const char* className, const char* method, int params) {
    MonoClass* klass = g_vCloudImage ? mono_class_from_name_ptr(g_vCloudImage, kNamespace, className) : nullptr;
    MonoMethod* found = klass ? mono_class_get_method_from_name_ptr(klass, method, params) : nullptr;
    if (found == nullptr) std::fprintf(stderr, "no method %s.%s.%s/%d\n", kNamespace, className, method, params);
    return found;
}

namespace {

bool InvokeControl(const char* method, void** args, int params) {
    MonoMethod* target = Method("TestControl", method, params);
    if (target == nullptr) return false;
    MonoObject* exception = nullptr;
    mono_runtime_invoke_ptr(target, nullptr, args, &exception);
    if (exception != nullptr) {
        std::fprintf(stderr, "TestControl.%s raised %s\n", method,
                     mono_class_get_name_ptr(mono_object_get_class_ptr(exception)));
        return false;
    }
    return true;
}

}  // namespace

bool Control(const char* method) { return InvokeControl(method, nullptr, 0); }

bool Control(const char* method, int number) {
    int32_t value = number;
    void* args[1] = {&value};
    return InvokeControl(method, args, 1);
}

int64_t ResidentBytes() { return StatusKilobytes("VmRSS") * 1024; }
int64_t PeakResidentBytes() { return StatusKilobytes("VmHWM") * 1024; }

bool ResetPeak() {
    std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (file == nullptr) return false;
    bool written = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && written;
}

std::string TakeOption(int& argc, char** argv, const char* name, const std::string& fallback) {
    const std::string prefix = std::string("--") + name + "=";
    std::string value = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            value = argv[i] + prefix.size();
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return value;
}

long TakeOption(int& argc, char** argv, const char* name, long fallback) {
    std::string text = TakeOption(argc, argv, name, std::string());
    return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace vcb_bench

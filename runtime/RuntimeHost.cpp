// Runtime start on the dedicated Mono thread, the managed wrapper object, and the by-name dispatcher.
#include "RuntimeHost.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ManagedException.h"
#include "WzUtils.h"
#include "XqMonoLib.h"

using namespace MonoAPI;

// Process-wide globals. Their order here is their construction order at library load, followed by the
// start-up lock and event below.
MonoDomain* g_domain = nullptr;
MonoImage* g_vCloudImage = nullptr;
std::string g_vCloudMonoVersion;
EvDebug g_vCloudDebug(nullptr);

namespace vCloudSDKCppBridge {

XqCriticalSection CVCloudWrapperPtr::c_VCloudmonoInitCS;
XqEvent CVCloudWrapperPtr::c_VCloudmonoInitEvent(false);
bool CVCloudWrapperPtr::c_VCloudmonoInitStatus = false;
bool CVCloudWrapperPtr::c_VCloudmonoThreadRunning = false;

namespace {
const char* const kDomainName = "vCloudSDKCppBridge";
const char* const kConfigFile = "vCloudSDKWrapper.config";
const char* const kAssemblyFile = "vCloudSDKWrapper.dll";
const char* const kWrapperNamespace = "vCloudSDKWrapper";
const char* const kWrapperClass = "vCloudWrapper";
// The collector's setting when the host names none. Mono's nursery of 4 MiB fills every few query pages
// while a long VM list is read, and each minor collection copies the pages read ahead and the records kept
// so far; 16 MiB spares about a tenth of the list's CPU for 12 MiB more resident memory (README, Configuration).
const char* const kGcParams = "nursery-size=16m";

// Says whether Mono runs the wrapper from its ahead-of-time image (<assembly>.so beside it). Mono maps an
// image it takes and unmaps one made from another build of the assembly, so the process's mappings tell.
void LogWrapperImage(const std::string& assemblyPath) {
    const std::string image = assemblyPath + ".so";
    if (!std::ifstream(image).good()) {
        g_vCloudDebug.debugLvl(1, "no ahead-of-time image %s: the wrapper is compiled just in time", image.c_str());
        return;
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.size() > image.size() && line.compare(line.size() - image.size(), image.size(), image) == 0 &&
            line[line.size() - image.size() - 1] == ' ') {
            g_vCloudDebug.debug("the wrapper runs from its ahead-of-time image %s", image.c_str());
            return;
        }
    }
    g_vCloudDebug.debug("the ahead-of-time image %s is not in use (made from another build of the wrapper?): the wrapper is "
                        "compiled just in time",
                        image.c_str());
}

// The directory of the framework's ahead-of-time images, beside the wrapper: a Mono root of its own. Mono
// looks for a framework assembly's image beside the assembly in the GAC, then in <root>/mono/aot-cache/amd64;
// so the runtime the bridge starts takes this directory as its root, where mono/4.5 and mono/gac lead back
// to the runtime's own framework, and the images lie in mono/aot-cache/amd64. No other program sees it.
const char* const kFrameworkRoot = "framework-aot";
std::string g_frameworkRoot;

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// Makes the framework images under <home>/framework-aot visible to the runtime about to start, when that
// root leads to the very framework of this runtime (its mono/4.5 and mono/gac): a root made for another
// Mono would load another framework, so it is left alone and the framework is compiled just in time.
// Mono itself still refuses any image that was not made from the assembly it loads. Returns the root taken,
// or "" for none.
std::string UseFrameworkImages(const std::string& home) {
    // The root by its absolute path: Mono finds every later assembly through it, also after the host has
    // changed its working directory.
    const std::string root = RealPath(home + "/" + kFrameworkRoot);
    if (root.empty() || RealPath(root + "/mono/aot-cache/amd64").empty()) {
        g_vCloudDebug.debugLvl(1, "no framework images in %s/%s: the framework is compiled just in time", home.c_str(),
                               kFrameworkRoot);
        return "";
    }
    const char* own = mono_assembly_getrootdir_ptr();
    const std::string runtimeRoot = own != nullptr ? own : "";
    for (const char* dir : {"/mono/4.5", "/mono/gac"}) {
        const std::string ours = RealPath(root + dir);
        if (ours.empty() || ours != RealPath(runtimeRoot + dir)) {
            g_vCloudDebug.debug("the framework images in %s were made for another Mono (%s%s does not lead to %s%s): the "
                                "framework is compiled just in time",
                                root.c_str(), root.c_str(), dir, runtimeRoot.c_str(), dir);
            return "";
        }
    }
    mono_assembly_setrootdir_ptr(root.c_str());
    return root;
}

// Names the framework images Mono has taken so far from the root (it maps an image it takes and unmaps one
// made from another build of the assembly). The wrapper's own image loads the assemblies it references at
// once, so after the wrapper has loaded this covers what a command uses.
void LogFrameworkImages(const std::string& root) {
    const std::string cache = RealPath(root + "/mono/aot-cache/amd64") + "/";
    std::set<std::string> taken;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t at = line.find(cache);
        if (at != std::string::npos && line[at - 1] == ' ') taken.insert(line.substr(at + cache.size()));
    }
    std::string names;
    for (const auto& name : taken) names += (names.empty() ? "" : " ") + name;
    if (names.empty()) {
        g_vCloudDebug.debug("no framework image in %s taken yet", cache.c_str());
    } else {
        g_vCloudDebug.debug("the framework runs from the ahead-of-time images in %s: %s", cache.c_str(), names.c_str());
    }
}

// A number for the calling thread, never reused within the process (thread ids are).
uint64_t ThreadSerial() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
    return serial;
}

// The error stores the calling thread holds a text in; at the thread's end its texts are dropped from
// each store that still exists.
class ThreadErrorOwner {
public:
    ~ThreadErrorOwner() {
        for (auto& store : m_stores) {
            if (auto alive = store.lock()) alive->Drop(ThreadSerial());
        }
    }
    void Remember(const std::shared_ptr<ThreadErrorTexts>& store) {
        for (auto it = m_stores.begin(); it != m_stores.end();) {
            if (it->expired()) {
                it = m_stores.erase(it);
            } else if (!it->owner_before(store) && !store.owner_before(*it)) {
                return;
            } else {
                ++it;
            }
        }
        m_stores.push_back(store);
    }

private:
    std::vector<std::weak_ptr<ThreadErrorTexts>> m_stores;
};

ThreadErrorOwner& ThisThreadErrors() {
    thread_local ThreadErrorOwner owner;
    return owner;
}

}  // namespace

void ThreadErrorTexts::Set(const std::string& text) {
    // Registered before the text is stored: the owner's destructor then always finds this store.
    ThisThreadErrors().Remember(shared_from_this());
    std::lock_guard<std::mutex> guard(m_lock);
    m_texts[ThreadSerial()] = text;
}

void ThreadErrorTexts::Clear() { Drop(ThreadSerial()); }

void ThreadErrorTexts::Drop(uint64_t serial) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_texts.erase(serial);
}

bool ThreadErrorTexts::Get(std::string& text) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_texts.find(ThreadSerial());
    if (found == m_texts.end()) return false;
    text = found->second;
    return true;
}

std::size_t ThreadErrorTexts::Threads() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_texts.size();
}

WrapperObject::~WrapperObject() {
    // Freeing a handle needs no attached thread.
    if (m_handle != 0) mono_gchandle_free_ptr(m_handle);
}

CVCloudWrapperPtr::CVCloudWrapperPtr() : m_wrapperHandle(0), m_errors(std::make_shared<ThreadErrorTexts>()) {}

CVCloudWrapperPtr::~CVCloudWrapperPtr() = default;

bool CVCloudWrapperPtr::Init() {
    if (!StartRuntime()) return false;
    WrapperRef wrapper = CreateWrapper();
    if (wrapper == nullptr) return false;
    Publish(std::move(wrapper));
    return true;
}

bool CVCloudWrapperPtr::StartRuntime() {
    XqCriticalSectionLock guard(&c_VCloudmonoInitCS);
    if (!c_VCloudmonoThreadRunning) StartMonoThread();
    return c_VCloudmonoInitStatus;
}

WrapperRef CVCloudWrapperPtr::CreateWrapper() {
    if (!ThreadAttach()) return nullptr;
    MonoClass* klass = nullptr;
    MonoObject* object = NewObjectOfClass(g_vCloudImage, kWrapperNamespace, kWrapperClass, &klass,
                                          "Failed to get mono class", "Failed to create mono object");
    if (object == nullptr) return nullptr;
    WrapperRef wrapper = std::make_shared<const WrapperObject>(klass, mono_gchandle_new_ptr(object, false));

    // The constructor runs with an exception slot: a constructor that throws must not end the process.
    MonoObject* exception = nullptr;
    MonoMethod* ctor = mono_class_get_method_from_name_ptr(klass, ".ctor", 0);
    if (ctor != nullptr) {
        mono_runtime_invoke_ptr(ctor, object, nullptr, &exception);
    } else {
        mono_runtime_object_init_ptr(object);
    }
    if (exception != nullptr) {
        LogException("vCloudSDKWrapper.vCloudWrapper::.ctor()", exception);
        return nullptr;
    }
    return wrapper;
}

void CVCloudWrapperPtr::Publish(WrapperRef wrapper) {
    WrapperRef replaced;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        replaced = std::move(m_current);
        m_current = std::move(wrapper);
        m_wrapperHandle = m_current != nullptr ? m_current->Handle() : 0;
    }
    // `replaced` goes here; its handle is freed now, or by the last call still using it.
}

WrapperRef CVCloudWrapperPtr::Current() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_current;
}

bool CVCloudWrapperPtr::StartMonoThread() {
    XqThread thread;
    bool launched = thread.createThread(&CVCloudWrapperPtr::MonoThread, nullptr);
    c_VCloudmonoThreadRunning = true;
    if (!launched) {
        // Without the thread nobody would ever set the event: the start has failed, for good.
        g_vCloudDebug.error("Failed to create the mono thread");
        c_VCloudmonoInitStatus = false;
        return false;
    }
    g_vCloudDebug.debugLvl(2, "Waiting for mono initialization");
    c_VCloudmonoInitEvent.wait();
    g_vCloudDebug.debugLvl(2, "Done waiting for mono initialization");
    return c_VCloudmonoInitStatus;
}

void* CVCloudWrapperPtr::MonoThread(void*) {
    c_VCloudmonoInitStatus = InitMono();
    c_VCloudmonoInitEvent.set();
    g_vCloudDebug.debug("mono initialization complete - %s", g_vCloudMonoVersion.c_str());
    if (!c_VCloudmonoInitStatus) return nullptr;
    // The runtime was started on this thread; it stays alive, idle, for the life of the process.
    for (;;) WZSLEEP_InTeRnAl(10000, __FILE__, __LINE__);
    return nullptr;
}

bool CVCloudWrapperPtr::InitMono() {
    XQPI_Base platform;
    if (g_domain == nullptr) {
        // The runtime must suspend threads preemptively: an agent's threads run native code for long
        // stretches and would stall a cooperative collection.
        setenv("MONO_THREADS_SUSPEND", "preemptive", 1);
        // Read by the runtime's start; a host that sets MONO_GC_PARAMS itself (even empty) keeps its own.
        setenv("MONO_GC_PARAMS", kGcParams, 0);
        if (!MonoAPI::Initialize()) return false;
        mono_config_parse_ptr(nullptr);
        g_frameworkRoot = UseFrameworkImages(platform.getHomeDirectory());
        g_domain = mono_jit_init_ptr(kDomainName);
        if (g_domain == nullptr) return false;
        if (char* build = mono_get_runtime_build_info_ptr()) {
            g_vCloudMonoVersion = build;
            mono_free_ptr(build);
        }
        mono_domain_set_config_ptr(g_domain, platform.getHomeDirectory(), kConfigFile);
    }
    if (g_vCloudImage != nullptr) return true;

    CWzString path = CWzPath::Append(platform.getHomeDirectory(), kAssemblyFile);
    std::string assemblyPath = path.c_str();
    mono_thread_attach_ptr(g_domain);
    MonoAssembly* assembly = mono_domain_assembly_open_ptr(g_domain, assemblyPath.c_str());
    if (assembly == nullptr) return false;
    LogWrapperImage(assemblyPath);
    if (!g_frameworkRoot.empty()) LogFrameworkImages(g_frameworkRoot);
    g_vCloudImage = mono_assembly_get_image_ptr(assembly);
    return g_vCloudImage != nullptr;
}

bool CVCloudWrapperPtr::ThreadAttach() {
    if (!c_VCloudmonoInitStatus) return false;
    mono_thread_attach_ptr(g_domain);
    return true;
}

bool CVCloudWrapperPtr::IsReady() const { return c_VCloudmonoInitStatus && Current() != nullptr; }

MonoObject* CVCloudWrapperPtr::Invoke(const char* method, void** args) {
    return Invoke(Current(), method, args, nullptr);
}

MonoObject* CVCloudWrapperPtr::Invoke(const WrapperRef& target, const char* method, void** args, std::string* why) {
    if (!c_VCloudmonoInitStatus) {
        if (why != nullptr) *why = "the managed runtime is not running";
        return nullptr;
    }
    if (target == nullptr) {
        // Init never succeeded on this host: there is no class to look the method up in.
        g_vCloudDebug.error("Wrapper object is not initialized [%s]", method);
        if (why != nullptr) *why = "vCloudSDKWrapper is not initialized";
        return nullptr;
    }
    MonoMethod* found = mono_class_get_method_from_name_ptr(target->Class(), method, -1);
    if (found == nullptr) {
        g_vCloudDebug.error("Could not find method [%s]", method);
        if (why != nullptr) *why = std::string("the wrapper has no method ") + method;
        return nullptr;
    }
    MonoObject* wrapper = mono_gchandle_get_target_ptr(target->Handle());
    if (wrapper == nullptr) {
        g_vCloudDebug.error("object has been destroyed");
        if (why != nullptr) *why = "the wrapper object has been destroyed";
        return nullptr;
    }
    // Always pass an exception slot: with none, a managed exception ends the whole process.
    MonoObject* exception = nullptr;
    MonoObject* result = mono_runtime_invoke_ptr(found, wrapper, args, &exception);
    if (exception != nullptr) ThrowManagedException(exception);
    return result;
}

bool CVCloudWrapperPtr::Invoke(bool defaultResult, const char* method, void** args) {
    return Invoke(Current(), defaultResult, method, args, nullptr);
}

bool CVCloudWrapperPtr::Invoke(const WrapperRef& target, bool defaultResult, const char* method, void** args,
                               std::string* why) {
    MonoObject* result = Invoke(target, method, args, why);
    if (result == nullptr) {
        g_vCloudDebug.error("Result is invalid (bool)");
        if (why != nullptr && why->empty()) *why = "the wrapper method returned no result";
        return defaultResult;
    }
    return *static_cast<const unsigned char*>(mono_object_unbox_ptr(result)) != 0;
}

std::string CVCloudWrapperPtr::Invoke(std::string& result, const char* method, void** args) {
    return Invoke(Current(), result, method, args);
}

std::string CVCloudWrapperPtr::Invoke(const WrapperRef& target, std::string& result, const char* method, void** args) {
    MonoObject* value = Invoke(target, method, args, nullptr);
    if (value == nullptr) {
        g_vCloudDebug.error("Result is invalid (string)");
    } else {
        result = gc2std(reinterpret_cast<MonoString*>(value));
    }
    return result;
}

void CVCloudWrapperPtr::SetBridgeError(const std::string& text) { m_errors->Set(text); }

void CVCloudWrapperPtr::ClearBridgeError() { m_errors->Clear(); }

bool CVCloudWrapperPtr::BridgeError(std::string& text) const { return m_errors->Get(text); }

std::size_t CVCloudWrapperPtr::BridgeErrorThreads() const { return m_errors->Threads(); }

}  // namespace vCloudSDKCppBridge

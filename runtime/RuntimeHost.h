// The runtime host: starts the embedded runtime once per process, owns the managed wrapper object of one
// bridge and invokes its methods by name.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "MonoValue.h"
#include "XqSync.h"

namespace vCloudSDKCppBridge {

// One constructed managed wrapper object, held by a GC handle. A call keeps a reference for as long as it
// may use the object, so the handle is freed only after the last such call has returned, even when
// Initialize has meanwhile put another object in its place.
class WrapperObject {
public:
    WrapperObject(MonoClass* klass, uint32_t handle) : m_class(klass), m_handle(handle) {}
    ~WrapperObject();
    WrapperObject(const WrapperObject&) = delete;
    WrapperObject& operator=(const WrapperObject&) = delete;
    MonoClass* Class() const { return m_class; }
    uint32_t Handle() const { return m_handle; }

private:
    MonoClass* m_class;
    uint32_t m_handle;
};
using WrapperRef = std::shared_ptr<const WrapperObject>;

// The last error text of each thread that has failed on one bridge. A thread's entry goes when the thread
// ends: an agent that runs every job on a new thread would otherwise keep one text per thread it ever
// ran, for the bridge's life. Each thread remembers the stores it wrote to through weak references, so a
// store that dies first (its bridge destroyed) is simply skipped.
class ThreadErrorTexts : public std::enable_shared_from_this<ThreadErrorTexts> {
public:
    void Set(const std::string& text);
    void Clear();
    bool Get(std::string& text) const;
    // How many threads hold a text here now.
    std::size_t Threads() const;
    // Called at the end of thread `serial`.
    void Drop(uint64_t serial);

private:
    mutable std::mutex m_lock;
    std::unordered_map<uint64_t, std::string> m_texts;  // by thread serial
};

// The runtime host of one bridge object: the runtime start, the managed wrapper object and its calls.
class CVCloudWrapperPtr {
public:
    CVCloudWrapperPtr();
    ~CVCloudWrapperPtr();
    CVCloudWrapperPtr(const CVCloudWrapperPtr&) = delete;
    CVCloudWrapperPtr& operator=(const CVCloudWrapperPtr&) = delete;

    // Starts the runtime if nobody has yet, waits for it, and puts a new managed wrapper object in place.
    bool Init();
    // The runtime start alone: true when the runtime is up.
    bool StartRuntime();
    // A new managed wrapper object whose constructor has run; null (logged) when none can be made. It
    // is not used by any call until Publish.
    WrapperRef CreateWrapper();
    // The object that calls use from now on. The one it replaces lives on until its last call returns.
    void Publish(WrapperRef wrapper);
    // The object that calls use now; null before the first Publish.
    WrapperRef Current() const;

    bool StartMonoThread();
    static void* MonoThread(void*);
    static bool InitMono();
    // Attaches the calling thread to the domain; false when the runtime is not up.
    bool ThreadAttach();
    // True once Init has given this host a managed wrapper object.
    bool IsReady() const;

    // Invokes the wrapper method `method` on the current object. A managed exception is thrown as a
    // ManagedException.
    MonoObject* Invoke(const char* method, void** args);
    bool Invoke(bool defaultResult, const char* method, void** args);
    std::string Invoke(std::string& result, const char* method, void** args);

    // The same on a given object. When the method is not reached, `why` (if given) receives the reason;
    // it stays empty when the method ran and returned null.
    MonoObject* Invoke(const WrapperRef& target, const char* method, void** args, std::string* why);
    // A bool method on a given object: the default when there is no result, with the reason in `why`.
    bool Invoke(const WrapperRef& target, bool defaultResult, const char* method, void** args, std::string* why);
    // A string method on a given object: `result` untouched when there is no result.
    std::string Invoke(const WrapperRef& target, std::string& result, const char* method, void** args);

    // The calling thread's last error text on this bridge, kept per thread as the wrapper keeps its own:
    // the wrapper's text of a failure that it reported, or the bridge's for one that the wrapper never
    // saw (an argument refused, a list that cannot be read, a managed exception, no wrapper object).
    void SetBridgeError(const std::string& text);
    void ClearBridgeError();
    bool BridgeError(std::string& text) const;
    // How many threads have a last error text on this bridge now (those that ended have none).
    std::size_t BridgeErrorThreads() const;

    static XqCriticalSection c_VCloudmonoInitCS;
    static XqEvent c_VCloudmonoInitEvent;
    static bool c_VCloudmonoInitStatus;
    static bool c_VCloudmonoThreadRunning;

private:
    mutable std::mutex m_lock;  // guards m_current and m_wrapperHandle; never held across a managed call
    WrapperRef m_current;
    uint32_t m_wrapperHandle;   // the current object's handle, for diagnostic readers; calls use m_current
    std::shared_ptr<ThreadErrorTexts> m_errors;
};

}  // namespace vCloudSDKCppBridge

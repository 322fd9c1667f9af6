// The runtime host: starts the embedded runtime once per process, owns one managed wrapper object and
// invokes its methods by name.
#pragma once

#include <cstdint>
#include <string>

#include "MonoValue.h"
#include "XqSync.h"

namespace vCloudSDKCppBridge {

class CVCloudWrapperPtr {
public:
    CVCloudWrapperPtr();
    ~CVCloudWrapperPtr();
    CVCloudWrapperPtr(const CVCloudWrapperPtr&) = delete;
    CVCloudWrapperPtr& operator=(const CVCloudWrapperPtr&) = delete;

    // Starts the runtime if nobody has yet, waits for it, and creates a new managed wrapper object.
    bool Init();
    bool StartMonoThread();
    static void* MonoThread(void*);
    static bool InitMono();
    // Attaches the calling thread to the domain; false when the runtime is not up.
    bool ThreadAttach();
    // True once Init has given this host a managed wrapper object.
    bool IsReady() const;

    // Invokes the wrapper method `method`. A managed exception is thrown as MonoObject*.
    MonoObject* Invoke(const char* method, void** args);
    bool Invoke(bool defaultResult, const char* method, void** args);
    std::string Invoke(std::string& result, const char* method, void** args);

    static XqCriticalSection c_VCloudmonoInitCS;
    static XqEvent c_VCloudmonoInitEvent;
    static bool c_VCloudmonoInitStatus;
    static bool c_VCloudmonoThreadRunning;

private:
    MonoClass* m_wrapperClass;
    uint32_t m_wrapperHandle;
};

}  // namespace vCloudSDKCppBridge

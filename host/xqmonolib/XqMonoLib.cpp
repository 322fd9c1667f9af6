// Binds the Mono embedding entry points of XqMonoLib.h with dlopen/dlsym.
#include "XqMonoLib.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace MonoAPI {

#define XQ_MONO_DEFINE_PTR(name) decltype(&::name) name##_ptr = nullptr;
XQ_MONO_ENTRY_POINTS(XQ_MONO_DEFINE_PTR)
#undef XQ_MONO_DEFINE_PTR

namespace {

std::mutex g_bindLock;
bool g_bound = false;

void ClearAll() {
#define XQ_MONO_CLEAR(name) name##_ptr = nullptr;
    XQ_MONO_ENTRY_POINTS(XQ_MONO_CLEAR)
#undef XQ_MONO_CLEAR
}

}  // namespace

bool Initialize() {
    std::lock_guard<std::mutex> guard(g_bindLock);
    if (g_bound) return true;

    const char* library = std::getenv("XQ_MONO_LIBRARY");
    if (library == nullptr || *library == '\0') library = "libmonosgen-2.0.so.1";
    // RTLD_GLOBAL: the runtime loads its own helper modules, which resolve symbols against it.
    void* handle = dlopen(library, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) return false;

    bool complete = true;
#define XQ_MONO_BIND(name)                                                  \
    name##_ptr = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
    if (name##_ptr == nullptr) complete = false;
    XQ_MONO_ENTRY_POINTS(XQ_MONO_BIND)
#undef XQ_MONO_BIND

    if (!complete) {
        ClearAll();
        dlclose(handle);
        return false;
    }
    g_bound = true;
    return true;
}

}  // namespace MonoAPI

// Helpers shared by the benchmark programs: the bridge's own managed wrapper object for the bare
// baselines, calls into the test double's control class, memory high-water marks and a small argument
// reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RuntimeHost.h"
#include "XqMonoLib.h"
#include "vCloudSDKCppBridge.h"

namespace vcb_bench {

// The home directory of the test double when XQ_HOME is not set: the build tree's test home.
void DefaultHome();

// The managed wrapper object and class that `bridge` calls into. The bare baselines invoke the very
// same object, so that both sides of a ratio run the same managed code on the same instance.
MonoObject* WrapperObject(vCloudSDKCppBridge::CVCloudSDKCppBridge& bridge);
MonoClass* WrapperClass();

// Calls the static method vCloudSDKWrapper.TestControl.<method>(number) or (), on this attached thread.
// Returns false (with a line on standard error) when the method is missing or raises.
bool Control(const char* method);
bool Control(const char* method, int number);

// A method of class vCloudSDKWrapper.<className>, or null with a line on standard error.
MonoMethod* Method(const char* className, const char* method, int params);

// Resident memory in bytes: the current size, and the high-water mark since the last ResetPeak().
int64_t ResidentBytes();
int64_t PeakResidentBytes();
// Lowers the high-water mark to the current size (Linux 4.0 and later); false where the kernel refuses,
// and the mark then keeps the process's whole history.
bool ResetPeak();

// Takes "--name=value" out of argv (so that the benchmark library does not see it); `fallback` when
// absent.
long TakeOption(int& argc, char** argv, const char* name, long fallback);
std::string TakeOption(int& argc, char** argv, const char* name, const std::string& fallback);

}  // namespace vcb_bench

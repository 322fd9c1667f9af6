// Start-up scenarios of the runtime host. The runtime starts once per process, so CTest runs each
// scenario in a process of its own, with the environment it needs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "BridgeTestSupport.h"
#include "RuntimeHost.h"

using namespace bridge_test;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

// Every operation fails without touching the caller's outputs once the start has failed.
void ExpectEverythingFails(CVCloudSDKCppBridge& bridge) {
    std::string moref = "unchanged";
    std::vector<VMInfoStructs::SVMInfo> vms(2);
    EXPECT_FALSE(bridge.FindVMByNameFromVappAndGetMoref("o", "a", "v", moref));
    EXPECT_EQ(bridge.GetVMListForEntity("x", VMInfoStructs::eInventoryCloud, 0, 0, vms), 0);
    EXPECT_FALSE(bridge.Connect("u", "v", "w"));
    // The last failure tells its own cause, not an empty text.
    EXPECT_EQ(bridge.GetLastErrorString(), "Login: vCloudSDKWrapper is not initialized (Initialize has not succeeded)");
    EXPECT_EQ(moref, "unchanged");
    EXPECT_EQ(vms.size(), 2u);
}

// The Mono thread writes its completion line after it has released the waiting Initialize, so that line
// may come a moment later.
bool EventuallyLogged(const LogCapture& log, const char* text) {
    for (int i = 0; i < 500 && !log.Contains(text); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return log.Contains(text);
}

// `removeCause` takes away what made the start fail: a failed start stays final all the same.
void ExpectFailedStart(const char* hostMessage, void (*removeCause)() = nullptr) {
    LogCapture log;
    CVCloudSDKCppBridge bridge;
    EXPECT_FALSE(bridge.Initialize("", "", 0));
    EXPECT_TRUE(log.Contains("Failed to initialize vCloudSDKWrapper")) << log.Text();
    EXPECT_EQ(bridge.GetLastErrorString(),
              "Initialize: Failed to initialize vCloudSDKWrapper: the managed runtime did not start");
    if (hostMessage != nullptr) {
        EXPECT_TRUE(EventuallyLogged(log, hostMessage)) << log.Text();
    }

    // The start is not tried again: a second Initialize fails at once, without waiting.
    if (removeCause != nullptr) removeCause();
    log.Clear();
    CVCloudSDKCppBridge other;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(other.Initialize("", "", 0));
    EXPECT_FALSE(log.Contains("Waiting for mono initialization"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ExpectEverythingFails(other);
}

TEST(Startup, AssemblyMissing) { ExpectFailedStart("mono initialization complete"); }

TEST(Startup, MonoLibraryMissing) { ExpectFailedStart("mono initialization complete - "); }

TEST(Startup, WrapperClassMissing) {
    LogCapture log;
    CVCloudSDKCppBridge bridge;
    EXPECT_FALSE(bridge.Initialize("", "", 0));
    EXPECT_TRUE(log.Contains("Failed to get mono class")) << log.Text();
    EXPECT_TRUE(log.Contains("Failed to initialize vCloudSDKWrapper"));
    // The runtime itself is up; this bridge has no wrapper object to call.
    EXPECT_TRUE(vCloudSDKCppBridge::CVCloudWrapperPtr::c_VCloudmonoInitStatus);
    ExpectEverythingFails(bridge);
}

TEST(Startup, ThreadCannotBeCreated) {
    ExpectFailedStart("Failed to create the mono thread", [] { unsetenv("XQ_FAIL_THREAD_CREATE"); });
    EXPECT_FALSE(vCloudSDKCppBridge::CVCloudWrapperPtr::c_VCloudmonoInitStatus);
}

// Two threads initialise two bridges at once on a fresh process: the runtime starts once and both see
// the same result. MONO_THREADS_SUSPEND is overwritten before the runtime starts.
TEST(Startup, ConcurrentFirstInitialize) {
    setenv("MONO_THREADS_SUSPEND", "coop", 1);
    LogCapture log;
    CVCloudSDKCppBridge first, second;
    bool ok1 = false, ok2 = false;
    std::thread a([&] { ok1 = first.Initialize("", "", 0); });
    std::thread b([&] { ok2 = second.Initialize("", "", 0); });
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(log.Count("Waiting for mono initialization"), 1) << log.Text();
    EXPECT_EQ(log.Count("Done waiting for mono initialization"), 1);
    EXPECT_TRUE(EventuallyLogged(log, "mono initialization complete - "));
    EXPECT_EQ(log.Count("mono initialization complete - "), 1);
    EXPECT_STREQ(std::getenv("MONO_THREADS_SUSPEND"), "preemptive");
    // Each bridge has its own managed wrapper object.
    Control("Reset");
    EXPECT_TRUE(first.Disconnect());
    EXPECT_TRUE(second.Disconnect());
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0], calls[1]);
}

}  // namespace

// The collector's setting: the bridge's own nursery size when the host sets no MONO_GC_PARAMS; the host's
// setting, untouched, when it does (the test's environment sets it for CollectorHostSetting).
TEST(Startup, CollectorDefault) {
    unsetenv("MONO_GC_PARAMS");
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize("", "", 0));
    ASSERT_NE(std::getenv("MONO_GC_PARAMS"), nullptr);
    EXPECT_STREQ(std::getenv("MONO_GC_PARAMS"), "nursery-size=16m");
}

TEST(Startup, CollectorHostSetting) {
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize("", "", 0));
    ASSERT_NE(std::getenv("MONO_GC_PARAMS"), nullptr);
    EXPECT_STREQ(std::getenv("MONO_GC_PARAMS"), "nursery-size=8m");
}

// Initialize on a bridge that is in use, and the error text of every kind of failure.
#include <atomic>
#include <memory>
#include <thread>

#include "BridgeFixture.h"
#include "RuntimeHost.h"

using namespace bridge_test;

namespace {

// The serial number of the wrapper object that served a logout, from its recorded call.
std::string LogoutSerial(const std::string& call) {
    const std::size_t from = call.rfind('|') + 1;
    return call.substr(from, call.size() - from - 1);
}

// While a new wrapper object's constructor runs, calls still reach the object in place: the new one is
// not used before it is whole.
TEST_F(BridgeTest, ReinitializeConstructsTheNewObjectBeforeCallsUseIt) {
    Control("HoldConstructors");
    bool initialized = false;
    std::thread initializer([&] { initialized = bridge().Initialize("", "", 0); });
    const bool entered = Control("WaitConstructorEntered") == "true";
    EXPECT_TRUE(entered);
    const bool found = bridge().FindVM("org", "vdc", "vm");
    Control("ReleaseConstructors");
    initializer.join();
    EXPECT_TRUE(found) << log.Text();
    EXPECT_TRUE(initialized);
    EXPECT_FALSE(log.Contains("never constructed")) << log.Text();
}

TEST_F(BridgeTest, ReinitializeLogsTheReplacedObjectOut) {
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));
    EXPECT_EQ(Control("OpenSessions"), "1");
    ASSERT_TRUE(bridge().Initialize("", "", 0));
    EXPECT_EQ(Control("OpenSessions"), "0");
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], "Initialize(||0)");
    EXPECT_EQ(calls[2].rfind("Logout(logged-in|", 0), 0u) << calls[2];

    // A logout that fails does not stop the new object from taking over.
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));
    Control("Script", {"Logout", "throw"});
    log.Clear();
    EXPECT_TRUE(bridge().Initialize("", "", 0));
    EXPECT_EQ(log.Count("Exception caught in bridge - TestWrapperException"), 1) << log.Text();
    Control("Script", {"Logout", "true"});
}

// A failed Initialize leaves the working object in place, logged in and with its settings, and its
// failure text is the refusing object's own.
TEST_F(BridgeTest, FailedInitializeKeepsTheWorkingObject) {
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));
    Control("ClearCalls");
    ASSERT_TRUE(bridge().Disconnect());
    const std::string working = LogoutSerial(Calls().back());
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));

    Control("Script", {"Initialize", "false"});
    EXPECT_FALSE(bridge().Initialize("", "bad=options", 0));
    const std::string text = bridge().GetLastErrorString();
    EXPECT_EQ(text.rfind("Initialize failed (wrapper ", 0), 0u) << text;
    EXPECT_EQ(text.find("(wrapper " + working + ")"), std::string::npos) << "the text is the refusing object's";
    EXPECT_TRUE(log.Contains("Initialize failed: the wrapper object in use stays in place")) << log.Text();

    for (const char* action : {"null", "throw"}) {
        Control("Script", {"Initialize", action});
        EXPECT_FALSE(bridge().Initialize("", "", 0)) << action;
    }
    Control("Script", {"Initialize", "true"});
    Control("ClearCalls");
    ASSERT_TRUE(bridge().Disconnect());
    EXPECT_EQ(Calls().back(), "Logout(logged-in|" + working + ")");
}

// Calls from several threads while Initialize and Connect run again and again: every failure tells its
// cause, nothing crashes, and no server session is left behind.
TEST_F(BridgeTest, ReinitializeWhileCallsRun) {
    Control("Fault", {"require-login"});
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, failures{0}, silent{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            while (!stop) {
                if (!bridge().FindVM("org", "vdc", "vm")) {
                    ++failures;
                    if (bridge().GetLastErrorString().empty()) ++silent;
                }
                ++calls;
            }
        });
    }
    int reinitialized = 0;
    for (int i = 0; i < 40; ++i) {
        // Calls run between any two rounds, however the threads are scheduled.
        while (calls.load() < 3 * i) std::this_thread::yield();
        reinitialized += bridge().Initialize("", "", 0) ? 1 : 0;
        bridge().Connect("u", "v", "w");
    }
    stop = true;
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(reinitialized, 40);
    EXPECT_EQ(silent.load(), 0) << failures.load() << " failures";
    EXPECT_FALSE(log.Contains("never constructed")) << log.Text();
    EXPECT_FALSE(log.Contains("object has been destroyed"));
    EXPECT_TRUE(bridge().Disconnect());
    EXPECT_EQ(Control("OpenSessions"), "0");
}

// Every failure sets the text that GetLastErrorString returns on its thread, whether the wrapper or the
// bridge found it.
TEST_F(BridgeTest, EveryFailureSetsTheLastErrorText) {
    Control("Script", {"FindVM", "false"});
    EXPECT_FALSE(bridge().FindVM("o", "d", "v"));
    const std::string wrapperText = bridge().GetLastErrorString();
    EXPECT_EQ(wrapperText.rfind("FindVM failed (wrapper ", 0), 0u) << wrapperText;

    // A list that cannot be read.
    Control("Fault", {"enum-null"});
    std::vector<std::string> texts;
    EXPECT_FALSE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_EQ(bridge().GetLastErrorString(), "GetVdcListInOrg: Failed to invoke get enumerator method [StringEnumerator]");

    // A null result, a managed exception with its message.
    Control("Script", {"Logout", "null"});
    EXPECT_FALSE(bridge().Disconnect());
    EXPECT_EQ(bridge().GetLastErrorString(), "Logout: the wrapper method returned no result");
    Control("Script", {"Logout", "throw"});
    EXPECT_FALSE(bridge().Disconnect());
    EXPECT_EQ(bridge().GetLastErrorString(), "Logout: TestWrapperException: Logout failed on purpose");
    // The log line names the class only.
    EXPECT_FALSE(log.Contains("failed on purpose")) << log.Text();

    // The wrapper's text again after its own failure; a success changes nothing.
    EXPECT_FALSE(bridge().FindVM("o", "d", "v"));
    EXPECT_EQ(bridge().GetLastErrorString(), wrapperText);
    EXPECT_TRUE(bridge().FindVCenterServer("vc"));
    EXPECT_EQ(bridge().GetLastErrorString(), wrapperText);

    // Another thread has its own last error.
    std::string other = "unset";
    std::thread([&] { other = bridge().GetLastErrorString(); }).join();
    EXPECT_EQ(other, "");
}

// Each thread's last error text goes with the thread: an agent that runs every job on a new thread keeps
// no text per thread it ever ran, and every thread still reads its own.
TEST(ThreadErrorTexts, EndedThreadsLeaveNoText) {
    vCloudSDKCppBridge::CVCloudWrapperPtr host;
    int wrong = 0;
    for (int i = 0; i < 10000; ++i) {
        std::thread([&host, &wrong, i] {
            const std::string mine = "failure of thread " + std::to_string(i);
            host.SetBridgeError(mine);
            std::string read;
            if (!host.BridgeError(read) || read != mine) ++wrong;
        }).join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(host.BridgeErrorThreads(), 0u);

    // A thread still running keeps its text; the calling thread's own is untouched by the others.
    host.SetBridgeError("main");
    std::atomic<bool> set{false}, release{false};
    std::thread running([&] {
        host.SetBridgeError("running");
        set = true;
        while (!release) std::this_thread::yield();
    });
    while (!set) std::this_thread::yield();
    EXPECT_EQ(host.BridgeErrorThreads(), 2u);
    release = true;
    running.join();
    EXPECT_EQ(host.BridgeErrorThreads(), 1u);
    std::string read;
    ASSERT_TRUE(host.BridgeError(read));
    EXPECT_EQ(read, "main");
}

// A thread that outlives the bridge it failed on ends cleanly.
TEST(ThreadErrorTexts, ThreadOutlivingItsBridgeEndsCleanly) {
    auto host = std::make_unique<vCloudSDKCppBridge::CVCloudWrapperPtr>();
    std::atomic<bool> set{false}, release{false};
    std::thread worker([&] {
        host->SetBridgeError("failed");
        set = true;
        while (!release) std::this_thread::yield();
    });
    while (!set) std::this_thread::yield();
    host.reset();
    release = true;
    worker.join();
}

// Through the bridge: many short-lived threads that each fail once read their own texts.
TEST_F(BridgeTest, ShortLivedThreadsReadTheirOwnErrors) {
    vCloudSDKCppBridge::CVCloudSDKCppBridge fresh;
    int wrong = 0;
    for (int i = 0; i < 1000; ++i) {
        std::thread([&] {
            if (fresh.Disconnect()) ++wrong;
            if (fresh.GetLastErrorString() != "Logout: vCloudSDKWrapper is not initialized (Initialize has not succeeded)") ++wrong;
        }).join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(fresh.GetLastErrorString(), "");  // this thread has not failed on it
}

}  // namespace

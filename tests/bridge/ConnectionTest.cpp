// The call pattern through the four connection operations: arguments, result kinds, failure values, the
// exception rule and the log lines of each failure.
#include <thread>

#include "BridgeFixture.h"
#include "RuntimeHost.h"

using namespace bridge_test;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

const char* const kConnectSignature =
    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Connect(const string&, const string&, const string&)";

TEST_F(BridgeTest, ConnectionOperationsPassTheirArgumentsInOrder) {
    EXPECT_TRUE(bridge().Initialize("/tmp/wrapper.log", "timeout=30", 0x1122334455667788ULL));
    EXPECT_TRUE(bridge().Connect("https://cloud.example", "alice@Acme", "pw"));
    EXPECT_TRUE(bridge().Disconnect());
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "Initialize(/tmp/wrapper.log|timeout=30|1234605616436508552)");
    // The object that the new one replaces is logged out once the new one has initialised.
    EXPECT_EQ(calls[1].rfind("Logout(not-logged-in|", 0), 0u) << calls[1];
    EXPECT_EQ(calls[2], "Login(https://cloud.example|alice@Acme|pw)");
    EXPECT_EQ(calls[3].rfind("Logout(logged-in|", 0), 0u) << calls[3];
}

TEST_F(BridgeTest, BoolResultFalseNullAndExceptionAllGiveFalse) {
    Control("Script", {"Login", "false"});
    EXPECT_FALSE(bridge().Connect("u", "v", "w"));
    EXPECT_FALSE(log.Contains("Result is invalid"));

    Control("Script", {"Login", "null"});
    EXPECT_FALSE(bridge().Connect("u", "v", "w"));
    EXPECT_EQ(log.Count("Result is invalid (bool)"), 1);

    log.Clear();
    Control("Script", {"Login", "throw"});
    EXPECT_FALSE(bridge().Connect("u", "v", "w"));
    EXPECT_EQ(log.Count(std::string(kConnectSignature) + ": Exception caught in bridge - TestWrapperException"), 1)
        << log.Text();
    // The runtime host adds no result message of its own for an exception.
    EXPECT_FALSE(log.Contains("Result is invalid"));
    // Only the class name is logged, never the exception's message.
    EXPECT_FALSE(log.Contains("failed on purpose"));
}

TEST_F(BridgeTest, DisconnectWithNoResultObjectLogsAndFails) {
    Control("Script", {"Logout", "null"});
    EXPECT_FALSE(bridge().Disconnect());
    EXPECT_TRUE(log.Contains("Result is invalid (bool)"));
}

TEST_F(BridgeTest, LastErrorStringTextNullAndException) {
    Control("Script", {"getLastErrorString", "HTTP 403 ACCESS_TO_RESOURCE_IS_FORBIDDEN: no such VM"});
    EXPECT_EQ(bridge().GetLastErrorString(), "HTTP 403 ACCESS_TO_RESOURCE_IS_FORBIDDEN: no such VM");

    Control("Script", {"getLastErrorString", "null"});
    EXPECT_EQ(bridge().GetLastErrorString(), "");
    EXPECT_TRUE(log.Contains("Result is invalid (string)"));

    Control("Script", {"getLastErrorString", "throw"});
    EXPECT_EQ(bridge().GetLastErrorString(), "");
    EXPECT_TRUE(log.Contains(
        "std::string vCloudSDKCppBridge::CVCloudSDKCppBridge::GetLastErrorString(): Exception caught in bridge - "
        "TestWrapperException"));
}

TEST_F(BridgeTest, PasswordNeverReachesTheLog) {
    const std::string password = "Very-S3cret-Pa55word";
    for (const char* action : {"true", "false", "null", "throw"}) {
        Control("Script", {"Login", action});
        bridge().Connect("https://cloud.example", "alice@Acme", password);
    }
    EXPECT_GT(log.Lines().size(), 0u);
    EXPECT_FALSE(log.Contains(password)) << log.Text();
}

TEST_F(BridgeTest, SecondInitializeReplacesTheManagedObject) {
    ASSERT_TRUE(bridge().Connect("u", "v", "w"));
    ASSERT_TRUE(bridge().Initialize("", "", 0));
    ASSERT_TRUE(bridge().Disconnect());
    std::vector<std::string> calls = Calls();
    ASSERT_FALSE(calls.empty());
    // The new wrapper object never saw the login made through the old one.
    EXPECT_EQ(calls.back().rfind("Logout(not-logged-in|", 0), 0u) << calls.back();
}

TEST_F(BridgeTest, TextsCrossAsUtf8AndInvalidBytesAreReplacedNotDropped) {
    const std::string accented = "Caf\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x92\xBE";  // Café-€-💾
    Control("Script", {"FindVCenterServer", "true"});
    EXPECT_TRUE(bridge().FindVCenterServer(accented));
    EXPECT_TRUE(bridge().FindVCenterServer(std::string("bad\xFF\xC3(", 6)));
    // Only the bad byte is replaced: a valid character right after it arrives whole.
    EXPECT_TRUE(bridge().FindVCenterServer("\xFF" "Caf\xC3\xA9"));
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "FindVCenterServer(" + accented + ")");
    EXPECT_EQ(calls[1], "FindVCenterServer(bad\xEF\xBF\xBD\xEF\xBF\xBD()");
    EXPECT_EQ(calls[2], "FindVCenterServer(\xEF\xBF\xBD" "Caf\xC3\xA9)");
    EXPECT_TRUE(log.Contains("Text is not valid UTF-8: 2 byte(s) replaced"));
    EXPECT_TRUE(log.Contains("Text is not valid UTF-8: 1 byte(s) replaced"));
}

// A text with a NUL inside would reach the wrapper cut short and name another entity, or log in with
// half a password: the call is refused before the wrapper sees it.
TEST_F(BridgeTest, TextsWithANulByteAreRefused) {
    const std::string password("pw\0garbage", 10);
    EXPECT_FALSE(bridge().Connect("https://cloud.example", "alice@Acme", password));
    EXPECT_EQ(bridge().GetLastErrorString(), "Login: text argument 3 holds a NUL byte");
    EXPECT_TRUE(log.Contains("Text argument 3 of [Login] holds a NUL byte: the call is refused")) << log.Text();
    EXPECT_FALSE(log.Contains("garbage"));

    EXPECT_FALSE(bridge().FindVM("org", "vdc", std::string("vm-000007\0junk", 14)));
    EXPECT_EQ(bridge().GetLastErrorString(), "FindVM: text argument 3 holds a NUL byte");

    // An in/out text is refused the same way, and keeps its value.
    std::string vcName("vc\0x", 4), vcUrl = "url";
    EXPECT_FALSE(bridge().QueryVcenterForOrgVDC("vdc", vcName, vcUrl));
    EXPECT_EQ(vcName, std::string("vc\0x", 4));
    EXPECT_EQ(vcUrl, "url");

    // So is an inventory node whose name holds one.
    std::vector<VMInfoStructs::SInventoryInfo> children(1);
    VMInfoStructs::SInventoryInfo node;
    node.strName = std::string("org\0other", 9);
    EXPECT_EQ(bridge().BrowseInventory("org", node, children, 0, 0), 0);
    EXPECT_EQ(children.size(), 1u);
    EXPECT_EQ(bridge().GetLastErrorString(), "BrowseInventory: Inventory node name holds a NUL byte");

    EXPECT_TRUE(Calls().empty());
}

TEST_F(BridgeTest, OperationsBeforeInitializeTouchNothing) {
    CVCloudSDKCppBridge fresh;
    std::string moref = "keep";
    EXPECT_FALSE(fresh.FindVMByNameFromVappAndGetMoref("o", "a", "v", moref));
    EXPECT_FALSE(fresh.Disconnect());
    EXPECT_EQ(fresh.GetLastErrorString(), "Logout: vCloudSDKWrapper is not initialized (Initialize has not succeeded)");
    EXPECT_EQ(moref, "keep");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(BridgeTest, DestroyingAnUninitialisedBridgeIsSilent) {
    { CVCloudSDKCppBridge unused; }
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_F(BridgeTest, ManyThreadsCallAtOnce) {
    const int kThreads = 8, kCalls = 100;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                std::string moref;
                std::string vm = "vm-" + std::to_string(t) + "-" + std::to_string(i);
                if (!bridge().FindVMByNameFromVappAndGetMoref("org", "vapp", vm, moref)) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kCalls));
    std::sort(calls.begin(), calls.end());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kCalls; ++i) {
            std::string expected = "FindVMByNameFromVappAndGetMoref(org|vapp|vm-" + std::to_string(t) + "-" +
                                   std::to_string(i) + "|)";
            EXPECT_TRUE(std::binary_search(calls.begin(), calls.end(), expected)) << expected;
        }
    }
}

// The dispatcher's own failures, reached through the runtime host directly.
TEST_F(BridgeTest, DispatcherReportsAMissingMethodAndAnUninitialisedHost) {
    vCloudSDKCppBridge::CVCloudWrapperPtr host;
    void* args[1] = {nullptr};
    EXPECT_EQ(host.Invoke("Logout", args), nullptr);
    EXPECT_TRUE(log.Contains("Wrapper object is not initialized [Logout]"));

    ASSERT_TRUE(host.Init());
    EXPECT_FALSE(host.Invoke(false, "NoSuchMethod", args));
    EXPECT_TRUE(log.Contains("Could not find method [NoSuchMethod]"));
    EXPECT_TRUE(log.Contains("Result is invalid (bool)"));

    std::string text = "before";
    EXPECT_EQ(host.Invoke(text, "NoSuchMethod", args), "before");
    EXPECT_EQ(text, "before");
    EXPECT_TRUE(log.Contains("Result is invalid (string)"));
}

TEST_F(BridgeTest, RuntimeStartedOnceWithItsDomainAndVersion) {
    CVCloudSDKCppBridge second;
    EXPECT_TRUE(second.Initialize("", "", 0));
    EXPECT_FALSE(log.Contains("Waiting for mono initialization"));
    EXPECT_FALSE(g_vCloudMonoVersion.empty());
    ASSERT_NE(g_domain, nullptr);
}

}  // namespace

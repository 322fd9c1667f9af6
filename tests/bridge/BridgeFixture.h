// One initialised bridge per test process, over the managed test double, and a fixture that resets the
// double's script before each test.
#pragma once

#include <gtest/gtest.h>

#include "BridgeTestSupport.h"

namespace bridge_test {

// The process's bridge: initialised once, on first use.
vCloudSDKCppBridge::CVCloudSDKCppBridge& SharedBridge();

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A script left by the test before must not fail this Initialize or the logout inside it.
        if (g_vCloudImage != nullptr) Control("Reset");
        ASSERT_TRUE(SharedBridge().Initialize("", "", 0)) << "the test double did not load";
        Control("Reset");
        log.Clear();  // the start-up lines of a process's first test are not the test's own
    }
    vCloudSDKCppBridge::CVCloudSDKCppBridge& bridge() { return SharedBridge(); }
    LogCapture log;
};

}  // namespace bridge_test

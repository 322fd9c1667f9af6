// The real wrapper's own log file, driven through the bridge: no descriptor stays open for a log that no
// wrapper object uses, and a log file moved away is created anew at its path.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "vCloudSDKCppBridge.h"

using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++n;
        closedir(dir);
    }
    return n;
}

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class WrapperLog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vcb-wrapperlog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string dir;
};

// An agent that gives every job a log of its own.
TEST_F(WrapperLog, ALogPerJobLeavesNoDescriptorOpen) {
    {
        CVCloudSDKCppBridge first;  // the runtime's own descriptors are not the jobs'
        ASSERT_TRUE(first.Initialize(dir + "/warmup.log", "", 1));
    }
    const int before = OpenDescriptors();
    const int kJobs = 120;
    for (int job = 0; job < kJobs; ++job) {
        CVCloudSDKCppBridge bridge;
        ASSERT_TRUE(bridge.Initialize(dir + "/job-" + std::to_string(job) + ".log", "", 1)) << job;
        EXPECT_FALSE(bridge.FindVM("org", "vdc", "vm"));  // not logged in: one error line
    }
    EXPECT_LT(OpenDescriptors() - before, 10);
    EXPECT_NE(Read(dir + "/job-7.log").find("FindVM"), std::string::npos);
}

// Log rotation moves the file away and expects the writer to create a new one at the path.
TEST_F(WrapperLog, AFileMovedAwayIsCreatedAnew) {
    const std::string path = dir + "/agent.log";
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize(path, "", 1));
    EXPECT_FALSE(bridge.FindVM("org", "vdc", "before-rotation"));
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    EXPECT_FALSE(bridge.FindVM("org", "vdc", "after-rotation"));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "no new file at the log's path";
    EXPECT_NE(Read(path).find("FindVM"), std::string::npos) << Read(path);
    EXPECT_EQ(Read(path).find("Initialize"), std::string::npos);
    EXPECT_NE(Read(path + ".1").find("Initialize"), std::string::npos);
}

}  // namespace

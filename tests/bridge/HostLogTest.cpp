// The host log's level threshold on file output: run with XQ_DEBUG_LEVEL=2 and XQ_DEBUG_FILE set.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "XqLib.h"

namespace {

TEST(HostLog, FileReceivesLinesUpToItsLevelAndEveryError) {
    const char* path = std::getenv("XQ_DEBUG_FILE");
    ASSERT_NE(path, nullptr);
    ASSERT_STREQ(std::getenv("XQ_DEBUG_LEVEL"), "2");
    std::remove(path);  // the log opens its file at its first line, which comes below
    {
        EvDebug log(nullptr);
        log.debugLvl(2, "line at level two");
        log.debugLvl(3, "line at level three");
        log.debug("line at level one");
        log.error("an error line");
        log.Error("Where()", "an attributed error\n");
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    EXPECT_NE(all.find("DEBUG2 line at level two"), std::string::npos) << all;
    EXPECT_EQ(all.find("level three"), std::string::npos) << all;
    EXPECT_NE(all.find("DEBUG  line at level one"), std::string::npos) << all;
    EXPECT_NE(all.find("ERROR  an error line"), std::string::npos) << all;
    EXPECT_NE(all.find("ERROR  Where(): an attributed error\n"), std::string::npos) << all;
}

}  // namespace

// The command-line tool's defence against a server's control characters: the text replacement and the
// filter in front of standard output.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "Output.h"

using vcbtool::VisibleText;

TEST(TerminalText, ControlCharactersBecomeVisible) {
    EXPECT_EQ(VisibleText("\x1b]0;owned\x07\x1b[2J"), "\\x1b]0;owned\\x07\\x1b[2J");
    EXPECT_EQ(VisibleText("a\rb\x7f" "c"), "a\\x0db\\x7fc");
    EXPECT_EQ(VisibleText("line\nnext\tcolumn"), "line\nnext\tcolumn");
    // C1 controls spelt in UTF-8; other two-byte characters and invalid bytes stay as they are.
    EXPECT_EQ(VisibleText("\xc2\x9b" "31m \xc2\x85"), "\\x9b31m \\x85");
    EXPECT_EQ(VisibleText("caf\xc3\xa9 \xc2\xa0 \xc2"), "caf\xc3\xa9 \xc2\xa0 \xc2");
}

TEST(TerminalText, TablesStayAlignedAroundEscapedCells) {
    vcbtool::Table t({"name", "state"});
    t.row({"a\x1b[2J", "on"});
    t.row({"longer-name", "off"});
    std::ostringstream out;
    t.print(out);
    EXPECT_EQ(out.str(), "name         state\na\\x1b[2J     on\nlonger-name  off\n");
}

// Whatever prints to std::cout, the bytes that arrive are free of control characters, also when a C1
// control is split across two writes.
TEST(TerminalText, StandardOutputIsFiltered) {
    // The capture takes what reaches file descriptor 1, behind the filter.
    testing::internal::CaptureStdout();
    std::cout << "all VMs backed up OK\x1b[2J\x07" << '\xc2';
    std::cout << '\x9b' << "31m\n" << std::flush;
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(text, "all VMs backed up OK\\x1b[2J\\x07\\x9b31m\n");
}

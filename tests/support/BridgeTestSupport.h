// Shared helpers of the bridge test suites: in-process log capture, and calls into the managed test
// double's TestControl class.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "vCloudSDKCppBridge.h"

namespace bridge_test {

// Captures every line the debug log formats while it lives (whatever the level filter lets through).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Contains(const std::string& needle) const;
    int Count(const std::string& needle) const;
    std::string Text() const;
    void Clear();

private:
    static void Sink(int level, const char* line, void* context);
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// An argument of a TestControl call: a text or a 32-bit number.
struct Arg {
    Arg(const char* text) : isText(true), text(text) {}
    Arg(const std::string& text) : isText(true), text(text) {}
    Arg(int number) : isText(false), number(number) {}
    bool isText;
    std::string text;
    int number = 0;
};

// Calls the static method vCloudSDKWrapper.TestControl.<method>(args...) on an attached thread and returns
// its result object (null for void). A managed exception fails the running test.
MonoObject* ControlObject(const char* method, const std::vector<Arg>& args = {});

// The same, with the result as text: a string as it is, a number or Boolean spelled out, "" for void.
std::string Control(const char* method, const std::vector<Arg>& args = {});

// The managed calls recorded by the double, one per line, e.g. "FindVM(org|vdc|vm)".
std::vector<std::string> Calls();

}  // namespace bridge_test

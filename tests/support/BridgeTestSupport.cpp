// Log capture and TestControl calls for the bridge test suites.
#include "BridgeTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

#include "XqMonoLib.h"

namespace bridge_test {

LogCapture::LogCapture() { XqSetDebugSink(&LogCapture::Sink, this); }
LogCapture::~LogCapture() { XqSetDebugSink(nullptr, nullptr); }

void LogCapture::Sink(int, const char* line, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> guard(self->m_lock);
    self->m_lines.emplace_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

bool LogCapture::Contains(const std::string& needle) const { return Count(needle) > 0; }

int LogCapture::Count(const std::string& needle) const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (const auto& line : m_lines) n += line.find(needle) != std::string::npos ? 1 : 0;
    return n;
}

std::string LogCapture::Text() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string all;
    for (const auto& line : m_lines) all += line + "\n";
    return all;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

MonoObject* ControlObject(const char* method, const std::vector<Arg>& args) {
    using namespace MonoAPI;
    if (g_domain == nullptr || g_vCloudImage == nullptr) {
        ADD_FAILURE() << "runtime not started before TestControl." << method;
        return nullptr;
    }
    mono_thread_attach_ptr(g_domain);
    MonoClass* control = mono_class_from_name_ptr(g_vCloudImage, "vCloudSDKWrapper", "TestControl");
    MonoMethod* target = control ? mono_class_get_method_from_name_ptr(control, method, static_cast<int>(args.size()))
                                 : nullptr;
    if (target == nullptr || args.size() > 16) {
        ADD_FAILURE() << "no TestControl." << method << " with " << args.size() << " parameters";
        return nullptr;
    }
    // Argument storage lives on this stack frame for the length of the call.
    MonoString* strings[16] = {};
    int32_t numbers[16] = {};
    void* entries[16] = {};
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].isText) {
            strings[i] = std2gc(args[i].text);
            entries[i] = strings[i];
        } else {
            numbers[i] = args[i].number;
            entries[i] = &numbers[i];
        }
    }
    MonoObject* exception = nullptr;
    MonoObject* result = mono_runtime_invoke_ptr(target, nullptr, entries, &exception);
    if (exception != nullptr) {
        ADD_FAILURE() << "TestControl." << method << " raised "
                      << mono_class_get_name_ptr(mono_object_get_class_ptr(exception));
        return nullptr;
    }
    return result;
}

std::string Control(const char* method, const std::vector<Arg>& args) {
    using namespace MonoAPI;
    MonoObject* result = ControlObject(method, args);
    if (result == nullptr) return std::string();
    std::string name = mono_class_get_name_ptr(mono_object_get_class_ptr(result));
    if (name == "String") return gc2std(reinterpret_cast<MonoString*>(result));
    if (name == "Int32") return std::to_string(*static_cast<int32_t*>(mono_object_unbox_ptr(result)));
    if (name == "Boolean") return *static_cast<uint8_t*>(mono_object_unbox_ptr(result)) ? "true" : "false";
    return name;
}

std::vector<std::string> Calls() {
    std::vector<std::string> lines;
    std::istringstream in(Control("Calls"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace bridge_test

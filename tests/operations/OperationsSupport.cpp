// Helpers of the operation suites.
#include "OperationsSupport.h"

#include <gtest/gtest.h>

#include "XqMonoLib.h"

using namespace MonoAPI;
using VMInfoStructs::SInventoryInfo;

namespace bridge_test {

std::string ControlText(const char* method, MonoObject* object) {
    MonoClass* control = mono_class_from_name_ptr(g_vCloudImage, "vCloudSDKWrapper", "TestControl");
    MonoMethod* target = mono_class_get_method_from_name_ptr(control, method, 1);
    if (target == nullptr) {
        ADD_FAILURE() << "no TestControl." << method << "(object)";
        return std::string();
    }
    void* entries[1] = {object};
    MonoObject* exception = nullptr;
    MonoObject* result = mono_runtime_invoke_ptr(target, nullptr, entries, &exception);
    if (exception != nullptr) {
        ADD_FAILURE() << "TestControl." << method << " raised";
        return std::string();
    }
    MonoClass* klass = result ? mono_object_get_class_ptr(result) : nullptr;
    if (klass != nullptr && std::string(mono_class_get_name_ptr(klass)) == "Boolean") {
        return *static_cast<uint8_t*>(mono_object_unbox_ptr(result)) ? "true" : "false";
    }
    return gc2std(reinterpret_cast<MonoString*>(result));
}

std::vector<std::string> Messages(const LogCapture& log) {
    // A line is "<date> <time>.<ms> [<pid>] [<tid>] <level padded to 6> <message>".
    std::vector<std::string> messages;
    for (const std::string& line : log.Lines()) {
        std::size_t tid = line.find("] [");
        std::size_t end = tid == std::string::npos ? tid : line.find("] ", tid + 3);
        messages.push_back(end == std::string::npos ? line : line.substr(std::min(line.size(), end + 2 + 7)));
    }
    return messages;
}

int CountMessage(const LogCapture& log, const std::string& message) {
    int n = 0;
    for (const std::string& m : Messages(log)) n += m == message ? 1 : 0;
    return n;
}

std::string Render(const SInventoryInfo& node) {
    return node.strName + "[" + std::to_string(static_cast<int>(node.eType)) + "," + node.strHref + "](" +
           Render(node.vecChildren) + ")";
}

std::string Render(const std::vector<SInventoryInfo>& nodes) {
    std::string text;
    for (const SInventoryInfo& child : nodes) text += (text.empty() ? "" : ",") + Render(child);
    return text;
}

SInventoryInfo Node(const std::string& name, int type, const std::vector<SInventoryInfo>& children,
                    std::uint32_t flags) {
    SInventoryInfo node;
    node.strName = name;
    node.strHref = "/" + name;
    node.eType = static_cast<VMInfoStructs::EInventoryType>(type);
    node.vecChildren = children;
    node.uFlags = flags;
    return node;
}

SInventoryInfo Chain(int depth) {
    SInventoryInfo root = Node("n0", 2);
    SInventoryInfo* tip = &root;
    for (int i = 1; i < depth; ++i) {
        tip->vecChildren.emplace_back();
        tip = &tip->vecChildren.back();
        tip->strName = "n" + std::to_string(i);
        tip->eType = VMInfoStructs::eInventoryOrg;
    }
    return root;
}

int ChainDepth(const std::vector<SInventoryInfo>& roots) {
    int depth = 0;
    for (const std::vector<SInventoryInfo>* level = &roots; !level->empty(); level = &level->front().vecChildren) {
        ++depth;
    }
    return depth;
}

}  // namespace bridge_test

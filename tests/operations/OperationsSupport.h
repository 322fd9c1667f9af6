// Helpers of the operation suites: managed values made by the test double, and log messages without
// their time, process and level prefix.
#pragma once

#include <string>
#include <vector>

#include "BridgeTestSupport.h"
#include "MonoValue.h"
#include "VMInfoStructs.h"

namespace bridge_test {

// Calls the static method vCloudSDKWrapper.TestControl.<method>(args...) and returns its result object
// (null for void). A managed exception fails the running test.

// Calls TestControl.<method>(object) and returns its string result.
std::string ControlText(const char* method, MonoObject* object);

// The logged messages, each "<location>: <message>" or "<message>", in order.
std::vector<std::string> Messages(const LogCapture& log);
// How many logged messages equal `message` exactly.
int CountMessage(const LogCapture& log, const std::string& message);

// "name[type,href](child,child)" of a native tree: the shape TestControl.Render gives a managed one.
std::string Render(const VMInfoStructs::SInventoryInfo& node);
std::string Render(const std::vector<VMInfoStructs::SInventoryInfo>& nodes);

// A native node with children: Node("a", 1, {Node("b", 2)}).
VMInfoStructs::SInventoryInfo Node(const std::string& name, int type,
                                   const std::vector<VMInfoStructs::SInventoryInfo>& children = {},
                                   std::uint32_t flags = 0);

// A chain of `depth` nodes n0 -> n1 -> ..., each the only child of the one before.
VMInfoStructs::SInventoryInfo Chain(int depth);
// How many levels a tree has along its first children.
int ChainDepth(const std::vector<VMInfoStructs::SInventoryInfo>& roots);

// What the operation tables' calls write their results into; no test reads them back.
namespace sinks {
inline std::vector<std::string> texts;
inline std::vector<VMInfoStructs::SDatastoreInfo> profiles;
inline std::vector<VMInfoStructs::SVMOwnerInfo> users;
inline std::vector<VMInfoStructs::SInventoryInfo> nodes;
inline std::vector<VMInfoStructs::SVMInfo> vms;
inline VMInfoStructs::SDatastoreInfo profile;
inline VMInfoStructs::SVMInfo vm;
inline VMInfoStructs::SMgmtVersion version;
}  // namespace sinks

}  // namespace bridge_test

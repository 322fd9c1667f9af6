// Renderers of the bridge's records, one JSON form and one human form per record kind, used by the
// commands and by the demo alike, and the tool's names of inventory types and power states. An empty
// list renders as a notice on standard error, not as data.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Output.h"
#include "VMInfoStructs.h"

namespace vcbtool {

// Names of the inventory types as the tool spells them ("vdc", "vapp-template", ...), both ways.
std::string TypeName(VMInfoStructs::EInventoryType type);
VMInfoStructs::EInventoryType ParseType(const std::string& text);  // UsageError for an unknown name

std::string PowerName(int state);

// Renderers: one JSON form and one human form per record kind.
Json VmJson(const VMInfoStructs::SVMInfo& vm);
Json VmListJson(const std::vector<VMInfoStructs::SVMInfo>& vms);
void PrintVmTable(std::ostream& out, const std::vector<VMInfoStructs::SVMInfo>& vms);
void PrintVmDetails(std::ostream& out, const VMInfoStructs::SVMInfo& vm, const std::string& indent = "");

Json UsersJson(const std::vector<VMInfoStructs::SVMOwnerInfo>& users);
void PrintUsers(std::ostream& out, const std::vector<VMInfoStructs::SVMOwnerInfo>& users);

Json VersionJson(const VMInfoStructs::SMgmtVersion& version);
void PrintVersion(std::ostream& out, const VMInfoStructs::SMgmtVersion& version, const std::string& indent = "");

Json InventoryJson(const VMInfoStructs::SInventoryInfo& node);
TreeNode InventoryTree(const VMInfoStructs::SInventoryInfo& node);

}  // namespace vcbtool

// What the commands share: the context they run in and the renderers of the bridge's records, used by
// the commands and by the demo alike.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Cli.h"
#include "Output.h"
#include "Session.h"
#include "VMInfoStructs.h"

namespace vcbtool {

struct Context {
    const ParsedArgs& args;
    Connection& connection;
    std::ostream& out;

    const Settings& settings() const { return connection.settings(); }
    bool json() const { return settings().json; }
    vCloudSDKCppBridge::CVCloudSDKCppBridge& bridge() { return connection.bridge(); }
    const std::string& arg(std::size_t i) const { return args.positionals.at(i); }
    std::size_t argc() const { return args.positionals.size(); }
    bool progress() const { return !settings().quiet; }
    [[noreturn]] void fail(const std::string& operation) { connection.fail(operation); }
};

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

// The children of node, filled into node.vecChildren level by level with one BrowseInventory call per
// node, down to maxDepth levels (0: no limit). Counts the nodes visited in *visited for the progress line.
void BrowseTree(Context& ctx, VMInfoStructs::SInventoryInfo& node, const std::string& org, UINT64 mask,
                int maxDepth, Progress* progress, int* visited);

// The metadata text that RestoreVM takes ("key=value;..."), with ';', '=' and '\' escaped in each entry.
std::string MetadataText(const std::vector<std::string>& entries);

// The demo's guided walk (Demo.cpp).
int RunDemo(Context& ctx);

}  // namespace vcbtool

// The commands of vcloud-bridge: the context they run in, the functions that run them, and what the
// commands and the demo share.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Cli.h"
#include "Output.h"
#include "Renderers.h"
#include "Connection.h"
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

// The children of node, filled into node.vecChildren level by level with one BrowseInventory call per
// node, down to maxDepth levels (0: no limit). Counts the nodes visited in *visited for the progress line.
void BrowseTree(Context& ctx, VMInfoStructs::SInventoryInfo& node, const std::string& org, UINT64 mask,
                int maxDepth, Progress* progress, int* visited);

// The metadata text that RestoreVM takes ("key=value;..."), with ';', '=' and '\' escaped in each entry.
std::string MetadataText(const std::vector<std::string>& entries);

// The commands, one function each; CommandTable.cpp names them.
int CmdLogin(Context& ctx);
int CmdVersion(Context& ctx);
int CmdVdcs(Context& ctx);
int CmdVapps(Context& ctx);
int CmdNetworks(Context& ctx);
int CmdDatastores(Context& ctx);
int CmdUsers(Context& ctx);
int CmdStorageProfiles(Context& ctx);
int CmdStorageProfile(Context& ctx);
int CmdHypervisors(Context& ctx);
int CmdFindVCenter(Context& ctx);
int CmdVCenterForVdc(Context& ctx);
int CmdTree(Context& ctx);
int CmdVms(Context& ctx);
int CmdVmInfo(Context& ctx);
int CmdVmUsers(Context& ctx);
int CmdFindVm(Context& ctx);
int CmdFindVmInVApp(Context& ctx);
int CmdVmMoref(Context& ctx);
int CmdPowerOn(Context& ctx);
int CmdBackup(Context& ctx);
int CmdRestore(Context& ctx);
int CmdDeleteVm(Context& ctx);
int CmdDeleteVmInVApp(Context& ctx);
int CmdRecord(Context& ctx);
int CmdSim(Context& ctx);
int CmdHelp(Context& ctx);
int CmdDemo(Context& ctx);

// The demo's guided walk (Demo.cpp).
int RunDemo(Context& ctx);

}  // namespace vcbtool

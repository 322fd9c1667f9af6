// The commands of vcloud-bridge: one per bridge operation (some with two forms), the tree, the demo,
// the simulator and help.
#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>

using vCloudSDKCppBridge::CVCloudSDKCppBridge;
using namespace VMInfoStructs;

namespace vcbtool {

namespace {

bool Browsable(EInventoryType type) {
    return type == eInventoryCloud || type == eInventoryOrg || type == eInventoryOrgVdc || type == eInventoryVApp ||
           type == eInventoryVAppTemplate;
}

void BrowseLevel(Context& ctx, SInventoryInfo& node, const std::string& org, UINT64 mask, int levelsLeft,
                 Progress* progress, int* visited) {
    std::vector<SInventoryInfo> children;
    if (ctx.bridge().BrowseInventory(org, node, children, mask, 1) != 1) ctx.fail("BrowseInventory");
    if (visited) {
        *visited += static_cast<int>(children.size());
        if (progress) progress->label("browsing the inventory: " + std::to_string(*visited) + " nodes");
    }
    node.vecChildren = std::move(children);
    if (levelsLeft == 1) return;
    for (auto& child : node.vecChildren)
        if (Browsable(child.eType))
            BrowseLevel(ctx, child, org, mask, levelsLeft > 0 ? levelsLeft - 1 : 0, progress, visited);
}

}  // namespace

void BrowseTree(Context& ctx, SInventoryInfo& node, const std::string& org, UINT64 mask, int maxDepth,
                Progress* progress, int* visited) {
    BrowseLevel(ctx, node, org, mask, maxDepth, progress, visited);
}

std::string MetadataText(const std::vector<std::string>& entries) {
    const auto escape = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '\\' || c == ';' || c == '=') out += '\\';
            out += c;
        }
        return out;
    };
    std::string text;
    for (const auto& e : entries) {
        const auto eq = e.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError("--metadata wants KEY=VALUE, not '" + e + "'");
        if (!text.empty()) text += ';';
        text += escape(e.substr(0, eq)) + "=" + escape(e.substr(eq + 1));
    }
    return text;
}

// ---- commands ----

static void PrintNames(Context& ctx, const std::vector<std::string>& names, const char* none) {
    if (ctx.json()) {
        Json j = Json::array();
        for (const auto& n : names) j.push(n);
        ctx.out << j.dump();
        return;
    }
    if (names.empty()) PrintNotice(none);
    for (const auto& n : names) ctx.out << n << '\n';
}

// Runs one bridge call under the progress indicator.
template <typename F>
static auto Busy(Context& ctx, const std::string& label, F call) -> decltype(call()) {
    ctx.bridge();  // log in first, under its own progress line
    Progress p(label, ctx.progress(), ctx.settings().ascii);
    return call();
}

int CmdLogin(Context& ctx) {
    ctx.bridge();
    if (ctx.json()) {
        Json j = Json::object();
        j.set("server", ctx.connection.serverUrl());
        j.set("user", ctx.connection.user());
        j.set("loggedIn", true);
        ctx.out << j.dump();
    } else {
        ctx.out << "Logged in to " << ctx.connection.serverUrl() << " as " << ctx.connection.user() << '\n';
    }
    return kExitOk;
}

int CmdVersion(Context& ctx) {
    SMgmtVersion v;
    if (!Busy(ctx, "reading the version", [&] { return ctx.bridge().GetMgmtVersionInfo(v); }))
        ctx.fail("GetMgmtVersionInfo");
    if (ctx.json()) ctx.out << VersionJson(v).dump();
    else PrintVersion(ctx.out, v);
    return kExitOk;
}

using Names = std::vector<std::string>;

// A command that lists names: one bridge call that fills `names`, then the names or the notice `none`.
template <typename F>
static int ListNames(Context& ctx, const char* label, const char* operation, const char* none, F call) {
    Names names;
    if (!Busy(ctx, label, [&] { return call(names); })) ctx.fail(operation);
    PrintNames(ctx, names, none);
    return kExitOk;
}

int CmdVdcs(Context& ctx) {
    return ListNames(ctx, "listing VDCs", "GetVdcListInOrg", "(no VDCs)",
                     [&](Names& names) { return ctx.bridge().GetVdcListInOrg(ctx.arg(0), names); });
}

int CmdVapps(Context& ctx) {
    return ListNames(ctx, "listing vApps", "GetVappListInVdc", "(no vApps)",
                     [&](Names& names) { return ctx.bridge().GetVappListInVdc(ctx.arg(0), ctx.arg(1), names); });
}

int CmdNetworks(Context& ctx) {
    return ListNames(ctx, "listing networks", "GetNetworkListInVApp", "(no networks)",
                     [&](Names& names) {
                         return ctx.bridge().GetNetworkListInVApp(ctx.arg(0), ctx.arg(1), ctx.arg(2), names);
                     });
}

int CmdDatastores(Context& ctx) {
    return ListNames(ctx, "listing datastores", "GetAssociatedDatastoreListForVdc", "(no datastores)",
                     [&](Names& names) {
                         return ctx.bridge().GetAssociatedDatastoreListForVdc(ctx.arg(0), names);
                     });
}

int CmdUsers(Context& ctx) {
    return ListNames(ctx, "listing users", "GetUserListInOrg", "(no users)",
                     [&](Names& names) { return ctx.bridge().GetUserListInOrg(ctx.arg(0), names); });
}

static Json ProfileJson(const SDatastoreInfo& p) {
    Json j = Json::object();
    j.set("name", p.strName);
    j.set("id", p.strGUID);
    j.set("moref", p.strMoref);
    j.set("limitBytes", static_cast<std::int64_t>(p.i64TotalSizeInBytes));
    j.set("freeBytes", static_cast<std::int64_t>(p.i64FreeSpaceInBytes));
    j.set("default", p.bIsDefault);
    return j;
}

static std::string LimitText(const SDatastoreInfo& p) {
    return p.i64TotalSizeInBytes == 0 ? "unlimited" : HumanBytes(p.i64TotalSizeInBytes);
}

static std::string FreeText(const SDatastoreInfo& p) {
    return p.i64TotalSizeInBytes == 0 ? "-" : HumanBytes(p.i64FreeSpaceInBytes);
}

int CmdStorageProfiles(Context& ctx) {
    std::vector<SDatastoreInfo> profiles;
    if (!Busy(ctx, "listing storage profiles",
              [&] { return ctx.bridge().GetStorageProfileListInVDC(ctx.arg(0), ctx.arg(1), profiles); }))
        ctx.fail("GetStorageProfileListInVDC");
    if (ctx.json()) {
        Json j = Json::array();
        for (const auto& p : profiles) j.push(ProfileJson(p));
        ctx.out << j.dump();
        return kExitOk;
    }
    if (profiles.empty()) {
        PrintNotice("(no storage profiles)");
        return kExitOk;
    }
    Table t({"NAME", "DEFAULT", "LIMIT", "FREE", "MOREF", "ID"});
    for (const auto& p : profiles)
        t.row({p.strName, p.bIsDefault ? "yes" : "", LimitText(p), FreeText(p), p.strMoref.empty() ? "-" : p.strMoref,
               p.strGUID});
    t.print(ctx.out);
    return kExitOk;
}

int CmdStorageProfile(Context& ctx) {
    const bool byMoref = ctx.args.has("moref");
    if (byMoref != (ctx.argc() == 2))
        throw UsageError(byMoref ? "'storage-profile --moref' wants VCENTER MOREF"
                                 : "'storage-profile' wants PROFILE (or --moref VCENTER MOREF)");
    SDatastoreInfo p;
    const bool ok = Busy(ctx, "reading the storage profile", [&] {
        return byMoref ? ctx.bridge().GetStorageProfileInfoByMoref(ctx.arg(0), ctx.arg(1), p)
                       : ctx.bridge().GetStorageProfileInfo(ctx.arg(0), p);
    });
    if (!ok) ctx.fail(byMoref ? "GetStorageProfileInfoByMoref" : "GetStorageProfileInfo");
    if (ctx.json()) {
        ctx.out << ProfileJson(p).dump();
        return kExitOk;
    }
    PrintFields(ctx.out, {{"Name", p.strName},
                          {"Default", p.bIsDefault ? "yes" : "no"},
                          {"Limit", LimitText(p)},
                          {"Free", FreeText(p)},
                          {"Moref", p.strMoref.empty() ? "-" : p.strMoref},
                          {"ID", p.strGUID}});
    return kExitOk;
}

int CmdHypervisors(Context& ctx) {
    std::vector<SInventoryInfo> servers;
    if (!Busy(ctx, "listing vCenter servers", [&] { return ctx.bridge().GetManagedHypervisorsInCloud(servers); }))
        ctx.fail("GetManagedHypervisorsInCloud");
    if (ctx.json()) {
        Json j = Json::array();
        for (const auto& s : servers) {
            Json e = Json::object();
            e.set("name", s.strName);
            e.set("type", TypeName(s.eType));
            e.set("href", s.strHref);
            j.push(e);
        }
        ctx.out << j.dump();
        return kExitOk;
    }
    if (servers.empty()) {
        PrintNotice("(no vCenter servers)");
        return kExitOk;
    }
    Table t({"NAME", "HREF"});
    for (const auto& s : servers) t.row({s.strName, s.strHref});
    t.print(ctx.out);
    return kExitOk;
}

int CmdFindVCenter(Context& ctx) {
    if (!Busy(ctx, "looking for the vCenter server", [&] { return ctx.bridge().FindVCenterServer(ctx.arg(0)); }))
        ctx.fail("FindVCenterServer");
    if (ctx.json()) {
        Json j = Json::object();
        j.set("vcenter", ctx.arg(0));
        j.set("found", true);
        ctx.out << j.dump();
    } else {
        ctx.out << "vCenter server '" << ctx.arg(0) << "' is registered in the cloud\n";
    }
    return kExitOk;
}

int CmdVCenterForVdc(Context& ctx) {
    std::string name, url;
    if (!Busy(ctx, "looking up the vCenter server", [&] { return ctx.bridge().QueryVcenterForOrgVDC(ctx.arg(0), name, url); }))
        ctx.fail("QueryVcenterForOrgVDC");
    // A true result with nothing filled in is no answer: report it as the failure that it is.
    if (name.empty() && url.empty()) {
        const std::string why = ctx.bridge().GetLastErrorString();
        throw OperationError(why.empty() ? "QueryVcenterForOrgVDC: no vCenter server reported for VDC '" + ctx.arg(0) + "'"
                                         : why);
    }
    if (ctx.json()) {
        Json j = Json::object();
        j.set("vdc", ctx.arg(0));
        j.set("vcenter", name);
        j.set("url", url);
        ctx.out << j.dump();
    } else {
        PrintFields(ctx.out, {{"vCenter", name}, {"URL", url}});
    }
    return kExitOk;
}

int CmdTree(Context& ctx) {
    SInventoryInfo root;
    root.eType = eInventoryCloud;
    if (ctx.args.has("from")) {
        if (ctx.argc() != 1) throw UsageError("'tree --from TYPE' wants the entity as its argument: tree --from TYPE REF");
        root.eType = ParseType(ctx.args.get("from"));
        root.strName = ctx.arg(0);
        root.strHref = ctx.arg(0);
    } else if (ctx.argc() != 0) {
        throw UsageError("'tree' takes no arguments without --from TYPE REF");
    }
    const int depth = static_cast<int>(ctx.args.number("depth", 0, 1, 100));
    const UINT64 mask = ctx.args.has("templates") ? VM_PROP_INCLUDE_PUBLIC_TEMPLATES : MIN_VM_PROPS;
    int visited = 0;
    ctx.bridge();
    {
        Progress p("browsing the inventory", ctx.progress(), ctx.settings().ascii);
        BrowseTree(ctx, root, ctx.args.get("org"), mask, depth, &p, &visited);
    }
    if (root.eType != eInventoryCloud && root.strHref.compare(0, 4, "http") == 0) root.strName = root.strHref;
    if (ctx.json()) ctx.out << InventoryJson(root).dump();
    else PrintTree(ctx.out, InventoryTree(root), ctx.settings().ascii);
    return kExitOk;
}

static EFilterType ParseFilter(const std::string& text) {
    if (text == "vm") return eFilterVMName;
    if (text == "vapp") return eFilterVAppName;
    if (text == "vdc") return eFilterVdcName;
    if (text == "org") return eFilterOrgName;
    throw UsageError("--by wants vm, vapp, vdc or org, not '" + text + "'");
}

int CmdVms(Context& ctx) {
    const bool tag = ctx.args.has("tag"), match = ctx.args.has("match");
    if (tag && match) throw UsageError("'vms' takes --tag or --match, not both");
    if ((tag || match) && ctx.argc() != 0)
        throw UsageError("'vms --tag' and 'vms --match' take no TYPE REF arguments");
    if (ctx.args.has("by") && !match) throw UsageError("--by goes with --match");
    if (ctx.args.has("by-name") && (tag || match)) throw UsageError("--by-name goes with TYPE NAME");
    const int max = static_cast<int>(ctx.args.number("max", 0, 0, 1 << 30));
    const UINT64 mask = ctx.args.has("templates") ? VM_PROP_INCLUDE_PUBLIC_TEMPLATES : MIN_VM_PROPS;
    // Everything the command line says is checked before anything is started or logged in.
    std::string key, value, entity;
    EInventoryType type = eInventoryCloud;
    EFilterType by = eFilterVMName;
    if (tag) {
        const std::string kv = ctx.args.get("tag");
        const auto eq = kv.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError("--tag wants KEY=VALUE, not '" + kv + "'");
        key = kv.substr(0, eq);
        value = kv.substr(eq + 1);
    } else if (match) {
        by = ParseFilter(ctx.args.get("by", "vm"));
    } else {
        if (ctx.argc() >= 1) type = ParseType(ctx.arg(0));
        if (ctx.argc() == 2) entity = ctx.arg(1);
        else if (type != eInventoryCloud) throw UsageError("'vms " + ctx.arg(0) + "' wants the entity: vms TYPE REF");
    }
    std::vector<SVMInfo> vms;
    int result = 0;
    const char* op = "";
    ctx.bridge();
    {
        Progress p("listing VMs", ctx.progress(), ctx.settings().ascii);
        if (tag) {
            op = "GetVMInfoListForMetadataTag";
            result = ctx.bridge().GetVMInfoListForMetadataTag(key, value, mask, max, vms);
        } else if (match) {
            op = "GetVMListForWildCard";
            result = ctx.bridge().GetVMListForWildCard(vms, mask, max, ctx.args.get("match"), by);
            // The wildcard operation has no limit of its own; the listing honours --max all the same.
            if (result == 1 && max > 0 && vms.size() > static_cast<std::size_t>(max)) vms.resize(max);
        } else if (ctx.args.has("by-name")) {
            op = "GetVMListForEntityByName";
            result = ctx.bridge().GetVMListForEntityByName(entity, type, mask, max, vms);
        } else {
            op = "GetVMListForEntity";
            result = ctx.bridge().GetVMListForEntity(entity, type, mask, max, vms);
        }
    }
    if (result != 1) ctx.fail(op);
    if (ctx.json()) ctx.out << VmListJson(vms).dump();
    else PrintVmTable(ctx.out, vms);
    return kExitOk;
}

int CmdVmInfo(Context& ctx) {
    SVMInfo vm;
    if (Busy(ctx, "reading the VM", [&] {
            return ctx.bridge().GetVMInfoForVM(ctx.arg(0), ctx.arg(1), ctx.arg(2), VM_PROP_ALL_VM, 0, vm);
        }) != 1)
        ctx.fail("GetVMInfoForVM");
    if (ctx.json()) ctx.out << VmJson(vm).dump();
    else PrintVmDetails(ctx.out, vm);
    return kExitOk;
}

int CmdVmUsers(Context& ctx) {
    std::vector<SVMOwnerInfo> users;
    if (!Busy(ctx, "listing the VM's users",
              [&] { return ctx.bridge().GetVMUsers(ctx.arg(0), ctx.arg(1), ctx.arg(2), users); }))
        ctx.fail("GetVMUsers");
    if (ctx.json()) ctx.out << UsersJson(users).dump();
    else PrintUsers(ctx.out, users);
    return kExitOk;
}

// A result of one member: {"key": value} with --json, else the line.
static void PrintResult(Context& ctx, const char* key, Json value, const std::string& line) {
    if (ctx.json()) ctx.out << Json::object().set(key, std::move(value)).dump();
    else ctx.out << line << '\n';
}

static void PrintFound(Context& ctx, const std::string& where) {
    PrintResult(ctx, "found", true, "Found VM '" + ctx.args.positionals.back() + "' " + where);
}

int CmdFindVm(Context& ctx) {
    const bool inVApp = ctx.argc() == 4;
    const bool ok = Busy(ctx, "looking for the VM", [&] {
        return inVApp ? ctx.bridge().FindVM(ctx.arg(0), ctx.arg(1), ctx.arg(2), ctx.arg(3))
                      : ctx.bridge().FindVM(ctx.arg(0), ctx.arg(1), ctx.arg(2));
    });
    if (!ok) ctx.fail("FindVM");
    PrintFound(ctx, inVApp ? "in vApp '" + ctx.arg(2) + "' of VDC '" + ctx.arg(1) + "'" : "in VDC '" + ctx.arg(1) + "'");
    return kExitOk;
}

int CmdFindVmInVApp(Context& ctx) {
    if (!Busy(ctx, "looking for the VM",
              [&] { return ctx.bridge().FindVMByNameFromVapp(ctx.arg(0), ctx.arg(1), ctx.arg(2)); }))
        ctx.fail("FindVMByNameFromVapp");
    PrintFound(ctx, "in vApp '" + ctx.arg(1) + "'");
    return kExitOk;
}

int CmdVmMoref(Context& ctx) {
    std::string moref;
    if (!Busy(ctx, "looking for the VM",
              [&] { return ctx.bridge().FindVMByNameFromVappAndGetMoref(ctx.arg(0), ctx.arg(1), ctx.arg(2), moref); }))
        ctx.fail("FindVMByNameFromVappAndGetMoref");
    PrintResult(ctx, "moref", moref, moref);
    return kExitOk;
}

int CmdPowerOn(Context& ctx) {
    if (!Busy(ctx, "powering the VM on", [&] { return ctx.bridge().PowerOnVM(ctx.arg(0), ctx.arg(1), ctx.arg(2)); }))
        ctx.fail("PowerOnVM");
    if (ctx.json()) {
        Json j = Json::object();
        j.set("vm", ctx.arg(2));
        j.set("power", "on");
        ctx.out << j.dump();
    } else {
        ctx.out << "VM '" << ctx.arg(2) << "' is powered on\n";
    }
    return kExitOk;
}

static void SaveXml(Context& ctx, const std::string& xml) {
    if (!ctx.args.has("xml")) return;
    const std::string path = ctx.args.get("xml");
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!(f << xml) || !f.flush()) throw OperationError("cannot write the VM's XML to " + path);
}

int CmdBackup(Context& ctx) {
    const bool byRef = ctx.args.has("ref");
    if (byRef != (ctx.argc() == 2))
        throw UsageError(byRef ? "'backup --ref' wants ORG VMREF" : "'backup' wants ORG VDC VAPP VM (or --ref ORG VMREF)");
    std::string vmId, vcName, moref, profile, xml, vappName, vdcName, vmName;
    const bool ok = Busy(ctx, "reading what a backup needs", [&] {
        return byRef ? ctx.bridge().BackupVM(ctx.arg(0), ctx.arg(1), vappName, vdcName, vmName, vcName, moref, xml)
                     : ctx.bridge().BackupVM(ctx.arg(0), ctx.arg(1), ctx.arg(2), ctx.arg(3), vmId, vcName, moref,
                                             profile, xml);
    });
    if (!ok) ctx.fail("BackupVM");
    SaveXml(ctx, xml);
    if (ctx.json()) {
        Json j = Json::object();
        if (byRef) {
            j.set("vm", vmName);
            j.set("vapp", vappName);
            j.set("vdc", vdcName);
        } else {
            j.set("vmId", vmId);
            j.set("storageProfile", profile);
        }
        j.set("vcenter", vcName);
        j.set("moref", moref);
        j.set("vmXml", xml);
        ctx.out << j.dump();
        return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    if (byRef) {
        fields = {{"VM", vmName}, {"vApp", vappName}, {"VDC", vdcName}};
    } else {
        fields = {{"VM id", vmId}};
    }
    fields.push_back({"vCenter", vcName});
    fields.push_back({"Moref", moref});
    if (!byRef) fields.push_back({"Storage profile", profile.empty() ? "-" : profile});
    fields.push_back({"VM XML", std::to_string(xml.size()) + " bytes" +
                                    (ctx.args.has("xml") ? ", saved to " + ctx.args.get("xml") : " (--xml FILE saves it)")});
    PrintFields(ctx.out, fields);
    return kExitOk;
}

int CmdRestore(Context& ctx) {
    if (!ctx.args.has("vcenter") || !ctx.args.has("moref"))
        throw UsageError("'restore' needs --vcenter VC and --moref MOREF: the VM that was restored in vCenter");
    const std::string metadata = MetadataText(ctx.args.all("metadata"));
    std::string vmRef = ctx.args.get("original");
    const bool ok = Busy(ctx, "importing the VM", [&] {
        return ctx.bridge().RestoreVM(ctx.arg(0), ctx.arg(1), ctx.arg(2), ctx.arg(3), ctx.args.has("create-vapp"),
                                      ctx.args.get("vcenter"), ctx.args.get("moref"), ctx.args.get("storage-profile"),
                                      ctx.args.get("network"), ctx.args.get("description"), ctx.args.has("power-on"),
                                      vmRef, ctx.args.has("overwrite"), metadata);
    });
    if (!ok) ctx.fail("RestoreVM");
    if (ctx.json()) {
        Json j = Json::object();
        j.set("vm", ctx.arg(3));
        j.set("vapp", ctx.arg(2));
        j.set("href", vmRef);
        ctx.out << j.dump();
    } else {
        ctx.out << "Restored VM '" << ctx.arg(3) << "' into vApp '" << ctx.arg(2) << "': " << vmRef << '\n';
    }
    return kExitOk;
}

static void ConfirmDelete(Context& ctx, const std::string& what) {
    if (ctx.args.has("yes")) return;
    if (::isatty(STDIN_FILENO) != 1)
        throw UsageError("refusing to delete " + what + " without --yes when standard input is not a terminal");
    if (!Confirm("Delete " + what + "?")) throw OperationError("not deleted");
}

static void PrintDeleted(Context& ctx, const std::string& vm) {
    PrintResult(ctx, "deleted", vm, "Deleted VM '" + vm + "'");
}

int CmdDeleteVm(Context& ctx) {
    ConfirmDelete(ctx, "VM '" + ctx.arg(3) + "' of vApp '" + ctx.arg(2) + "' in VDC '" + ctx.arg(1) + "'");
    if (!Busy(ctx, "deleting the VM",
              [&] { return ctx.bridge().DeleteVM(ctx.arg(0), ctx.arg(1), ctx.arg(2), ctx.arg(3)); }))
        ctx.fail("DeleteVM");
    PrintDeleted(ctx, ctx.arg(3));
    return kExitOk;
}

int CmdDeleteVmInVApp(Context& ctx) {
    ConfirmDelete(ctx, "VM '" + ctx.arg(2) + "' of vApp '" + ctx.arg(1) + "'");
    if (!Busy(ctx, "deleting the VM",
              [&] { return ctx.bridge().DeleteVMByNameFromVapp(ctx.arg(0), ctx.arg(1), ctx.arg(2)); }))
        ctx.fail("DeleteVMByNameFromVapp");
    PrintDeleted(ctx, ctx.arg(2));
    return kExitOk;
}

int CmdSim(Context& ctx) {
    const Settings& s = ctx.settings();
    const std::string home = FindHome(s.home);
    std::vector<std::string> extra(ctx.args.positionals.begin(), ctx.args.positionals.end());
    if (ctx.args.has("load")) extra.insert(extra.begin(), {"--load", ctx.args.get("load")});
    simlauncher::Simulator sim;
    StartSimulator(sim, FindSimulator(home), extra, true);
    if (ctx.json()) {
        Json j = Json::object();
        j.set("url", sim.url());
        j.set("pid", static_cast<std::int64_t>(sim.pid()));
        ctx.out << j.dump() << std::flush;
    } else {
        ctx.out << sim.url() << '\n' << std::flush;
        if (!s.quiet)
            std::cerr << "vcloud-bridge: the simulated cloud listens at " << sim.url() << " (pid " << sim.pid()
                      << "); Ctrl-C stops it.\n"
                      << "Try: vcloud-bridge --server " << sim.url()
                      << (sim.url().compare(0, 8, "https://") == 0 ? " --ca-file CA.pem" : " --allow-http")
                      << (ctx.args.has("load") ? " --user USER@ORG tree   (a recorded user; any password)\n"
                                               : " --user alice@Acme --password-file FILE vdcs Acme\n");
    }
    const int status = sim.wait();
    if (status != 0) throw OperationError("the simulated cloud ended with status " + std::to_string(status));
    return kExitOk;
}

int CmdHelp(Context& ctx) {
    if (ctx.argc() == 0) {
        ctx.out << MainHelp();
        return kExitOk;
    }
    const CommandInfo* c = FindCommand(ctx.arg(0));
    if (!c) throw UsageError("no command '" + ctx.arg(0) + "' (see 'vcloud-bridge --help')");
    ctx.out << CommandHelp(*c);
    return kExitOk;
}

int CmdDemo(Context& ctx) {
    if (!ctx.connection.builtIn())
        throw UsageError("the demo changes the cloud (restore, power on, delete), so it runs only against the "
                         "built-in simulated cloud; leave out --server");
    if (ctx.json()) throw UsageError("the demo has no --json output");
    return RunDemo(ctx);
}

}  // namespace vcbtool

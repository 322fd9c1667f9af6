// Renderers of the bridge's records, one JSON form and one human form per record kind, and the tool's
// names of the inventory types and power states.
#include "Renderers.h"

#include "Cli.h"

using namespace VMInfoStructs;

namespace vcbtool {

// ---- names ----

namespace {

const std::pair<EInventoryType, const char*> kTypeNames[] = {
    {eInventoryUnknown, "unknown"},       {eInventoryCloud, "cloud"},
    {eInventoryOrg, "org"},               {eInventoryOrgVdc, "vdc"},
    {eInventoryVApp, "vapp"},             {eInventoryVM, "vm"},
    {eInventoryVCenter, "vcenter"},       {eInventoryProviderVdc, "provider-vdc"},
    {eInventoryNetwork, "network"},       {eInventoryStorageProfile, "storage-profile"},
    {eInventoryVAppTemplate, "vapp-template"}, {eInventoryCatalog, "catalog"},
    {eInventoryDatastore, "datastore"},
};

const char* const kTypeList =
    "cloud, org, vdc, vapp, vm, vcenter, provider-vdc, network, storage-profile, vapp-template, catalog, datastore";

}  // namespace

std::string TypeName(EInventoryType type) {
    for (const auto& t : kTypeNames)
        if (t.first == type) return t.second;
    return "type-" + std::to_string(static_cast<int>(type));
}

EInventoryType ParseType(const std::string& text) {
    for (const auto& t : kTypeNames)
        if (text == t.second) return t.first;
    throw UsageError("unknown entity type '" + text + "' (known: " + kTypeList + ")");
}

std::string PowerName(int state) {
    switch (state) {
    case 0: return "off";
    case 1: return "on";
    default: return "other";
    }
}

// ---- renderers ----

Json VmJson(const SVMInfo& vm) {
    Json j = Json::object();
    j.set("name", vm.strName);
    j.set("power", PowerName(vm.ePowerState));
    j.set("guestOs", vm.strGuestOSName);
    j.set("guestOsReported", vm.strGuestOSVersion);
    j.set("host", vm.strHostName);
    j.set("moref", vm.strMoref);
    j.set("uuid", vm.strUUID);
    return j;
}

Json VmListJson(const std::vector<SVMInfo>& vms) {
    Json j = Json::array();
    for (const auto& vm : vms) j.push(VmJson(vm));
    return j;
}

void PrintVmTable(std::ostream& out, const std::vector<SVMInfo>& vms) {
    if (vms.empty()) return PrintNotice("(no VMs)");
    Table t({"NAME", "POWER", "GUEST OS", "HOST", "MOREF", "UUID"});
    for (const auto& vm : vms)
        t.row({vm.strName, PowerName(vm.ePowerState), vm.strGuestOSName, vm.strHostName, vm.strMoref, vm.strUUID});
    t.print(out);
}

void PrintVmDetails(std::ostream& out, const SVMInfo& vm, const std::string& indent) {
    PrintFields(out,
                {{"Name", vm.strName},
                 {"Power", PowerName(vm.ePowerState)},
                 {"Guest OS", vm.strGuestOSName},
                 {"Guest OS reported", vm.strGuestOSVersion.empty() ? "-" : vm.strGuestOSVersion},
                 {"Host", vm.strHostName.empty() ? "-" : vm.strHostName},
                 {"Moref", vm.strMoref.empty() ? "-" : vm.strMoref},
                 {"UUID", vm.strUUID}},
                indent);
}

Json UsersJson(const std::vector<SVMOwnerInfo>& users) {
    Json j = Json::array();
    for (const auto& u : users) {
        Json e = Json::object();
        e.set("name", u.strName);
        e.set("group", u.bGroup);
        e.set("fullAccess", u.bFullAccess);
        e.set("readAccess", u.bReadAccess);
        j.push(e);
    }
    return j;
}

void PrintUsers(std::ostream& out, const std::vector<SVMOwnerInfo>& users) {
    if (users.empty()) return PrintNotice("(no users)");
    Table t({"NAME", "KIND", "ACCESS"});
    for (const auto& u : users)
        t.row({u.strName, u.bGroup ? "group" : "user",
               u.bFullAccess ? "full" : (u.bReadAccess ? "read" : "none")});
    t.print(out);
}

Json VersionJson(const SMgmtVersion& v) {
    Json j = Json::object();
    j.set("version", v.strVersion);
    j.set("build", v.strBuild);
    j.set("fullVersion", v.strFullVersion);
    return j;
}

void PrintVersion(std::ostream& out, const SMgmtVersion& v, const std::string& indent) {
    PrintFields(out,
                {{"Version", v.strVersion}, {"Build", v.strBuild.empty() ? "-" : v.strBuild},
                 {"Full version", v.strFullVersion}},
                indent);
}

Json InventoryJson(const SInventoryInfo& node) {
    Json j = Json::object();
    j.set("name", node.strName);
    j.set("type", TypeName(node.eType));
    j.set("href", node.strHref);
    Json children = Json::array();
    for (const auto& c : node.vecChildren) children.push(InventoryJson(c));
    j.set("children", children);
    return j;
}

TreeNode InventoryTree(const SInventoryInfo& node) {
    TreeNode t;
    t.label = node.strName.empty() ? TypeName(node.eType) : node.strName + " (" + TypeName(node.eType) + ")";
    for (const auto& c : node.vecChildren) t.children.push_back(InventoryTree(c));
    return t;
}

}  // namespace vcbtool

// The demo: a guided walk through the bridge's main operations against the built-in simulated cloud,
// each step shown with the command that does the same on its own.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "Commands.h"

using namespace VMInfoStructs;

namespace vcbtool {

namespace {

// The VM that the demo works on, found in the inventory tree.
struct Target {
    std::string org, vdc, vapp, vm;
};

bool FindTarget(const SInventoryInfo& root, Target& t) {
    for (const auto& org : root.vecChildren)
        for (const auto& vdc : org.vecChildren)
            for (const auto& vapp : vdc.vecChildren) {
                if (vapp.eType != eInventoryVApp) continue;
                for (const auto& vm : vapp.vecChildren) {
                    if (vm.eType != eInventoryVM) continue;
                    t = {org.strName, vdc.strName, vapp.strName, vm.strName};
                    return true;
                }
            }
    return false;
}

// Quotes an argument for the shell when it needs it, so that the commands shown can be pasted.
std::string Shell(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.@/:=,") ==
                             std::string::npos)
        return text;
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A moref that the simulated vCenter treats as a VM that an agent has just rebuilt there: the original's
// number moved into a range the demo cloud does not use.
std::string RestoredMoref(const std::string& original) {
    long long n = 0;
    for (char c : original)
        if (c >= '0' && c <= '9' && n < 100000000) n = n * 10 + (c - '0');
    return "vm-" + std::to_string(900000 + n % 100000);
}

class Walk {
public:
    Walk(Context& ctx, int steps) : ctx_(ctx), out_(ctx.out), steps_(steps), ascii_(ctx.settings().ascii) {}

    void step(const std::string& title) {
        finishStep();
        if (step_ > 0 && ctx_.args.has("step") && ::isatty(STDIN_FILENO) == 1) {
            out_ << "\n[Enter for the next step] " << std::flush;
            std::string ignored;
            std::getline(std::cin, ignored);
        }
        ++step_;
        const std::string head = std::to_string(step_) + "/" + std::to_string(steps_) + "  " + title + " ";
        const char* rule = ascii_ ? "-" : "\u2500";
        std::string line = std::string(ascii_ ? "--" : "\u2500\u2500") + " " + head;
        for (std::size_t w = DisplayWidth(line); w < 78; ++w) line += rule;
        out_ << '\n' << line << '\n';
        started_ = std::chrono::steady_clock::now();
    }

    // The command that does the same on its own, and the bridge operation(s) behind it.
    void command(const std::string& args, const std::string& operation) {
        out_ << "\n  $ vcloud-bridge " << args << "        # " << operation << "\n\n";
    }

    void say(const std::string& text) { out_ << (text.empty() ? "" : "  ") << text << '\n'; }

    // Output of a renderer, indented under the step.
    template <typename F>
    void show(F render) {
        std::ostringstream buffer;
        render(buffer);
        std::istringstream lines(buffer.str());
        std::string line;
        while (std::getline(lines, line)) out_ << "    " << line << '\n';
    }

    void finishStep() {
        if (step_ == 0) return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
        out_ << "\n  (" << ms.count() << " ms)\n";
    }

    int stepNumber() const { return step_; }

private:
    Context& ctx_;
    std::ostream& out_;
    int steps_;
    int step_ = 0;
    bool ascii_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace

int RunDemo(Context& ctx) {
    auto& bridge = ctx.bridge();
    const bool ascii = ctx.settings().ascii;
    auto& out = ctx.out;
    out << "vcloud-bridge demo: the bridge's main operations against the built-in simulated cloud\n"
        << "Server " << ctx.connection.serverUrl() << ", logged in as " << ctx.connection.user()
        << " (Initialize and Connect done).\n";
    Walk walk(ctx, 9);
    const auto busy = [&](const std::string& label) { return std::unique_ptr<Progress>(new Progress(label, ctx.progress(), ascii)); };

    // 1. Version.
    walk.step("The cloud's version");
    walk.command("version", "GetMgmtVersionInfo");
    SMgmtVersion version;
    if (!bridge.GetMgmtVersionInfo(version)) ctx.fail("GetMgmtVersionInfo");
    walk.show([&](std::ostream& o) { PrintVersion(o, version); });

    // 2. Inventory tree; the VM for the later steps comes from it.
    walk.step("The inventory, browsed level by level");
    walk.command("tree", "BrowseInventory, once per organisation, VDC and vApp");
    SInventoryInfo root;
    root.eType = eInventoryCloud;
    int visited = 0;
    {
        auto p = busy("browsing the inventory");
        BrowseTree(ctx, root, "", MIN_VM_PROPS, 0, p.get(), &visited);
    }
    walk.show([&](std::ostream& o) { PrintTree(o, InventoryTree(root), ascii); });
    Target t;
    if (!FindTarget(root, t)) throw OperationError("the demo cloud holds no vApp with a VM");
    walk.say("");
    walk.say(std::to_string(visited) + " nodes. The next steps use VM '" + t.vm + "' of vApp '" + t.vapp + "' in VDC '" +
             t.vdc + "' of organisation '" + t.org + "'.");

    // 3. VM listings: by entity, by metadata tag, by wildcard.
    walk.step("VMs by entity, by metadata tag and by wildcard");
    std::vector<SVMInfo> vms;
    walk.command("vms vdc " + Shell(t.vdc), "GetVMListForEntity");
    if (bridge.GetVMListForEntity(t.vdc, eInventoryOrgVdc, MIN_VM_PROPS, 0, vms) != 1) ctx.fail("GetVMListForEntity");
    walk.show([&](std::ostream& o) { PrintVmTable(o, vms); });
    walk.command("vms --tag backup-policy=gold", "GetVMInfoListForMetadataTag");
    if (bridge.GetVMInfoListForMetadataTag("backup-policy", "gold", MIN_VM_PROPS, 0, vms) != 1)
        ctx.fail("GetVMInfoListForMetadataTag");
    walk.show([&](std::ostream& o) { PrintVmTable(o, vms); });
    const std::string pattern = t.vm.substr(0, std::min<std::size_t>(3, t.vm.size())) + "*";
    walk.command("vms --match " + Shell(pattern) + " --by vm", "GetVMListForWildCard");
    if (bridge.GetVMListForWildCard(vms, MIN_VM_PROPS, 0, pattern, eFilterVMName) != 1) ctx.fail("GetVMListForWildCard");
    walk.show([&](std::ostream& o) { PrintVmTable(o, vms); });

    // 4. One VM and its users.
    walk.step("One VM's details and users");
    const std::string where = Shell(t.org) + " " + Shell(t.vdc) + " ";
    walk.command("vm-info " + where + Shell(t.vm), "GetVMInfoForVM");
    SVMInfo info;
    if (bridge.GetVMInfoForVM(t.org, t.vdc, t.vm, VM_PROP_ALL_VM, 0, info) != 1) ctx.fail("GetVMInfoForVM");
    walk.show([&](std::ostream& o) { PrintVmDetails(o, info); });
    walk.command("vm-users " + where + Shell(t.vm), "GetVMUsers");
    std::vector<SVMOwnerInfo> users;
    if (!bridge.GetVMUsers(t.org, t.vdc, t.vm, users)) ctx.fail("GetVMUsers");
    walk.show([&](std::ostream& o) { PrintUsers(o, users); });

    // 5. Backup: what an agent needs to copy the VM through vCenter.
    walk.step("Back the VM up");
    walk.command("backup " + where + Shell(t.vapp) + " " + Shell(t.vm), "BackupVM");
    std::string vmId, vcName, moref, profile, xml;
    {
        auto p = busy("reading what a backup needs");
        if (!bridge.BackupVM(t.org, t.vdc, t.vapp, t.vm, vmId, vcName, moref, profile, xml)) ctx.fail("BackupVM");
    }
    walk.show([&](std::ostream& o) {
        PrintFields(o, {{"VM id", vmId}, {"vCenter", vcName}, {"Moref", moref},
                        {"Storage profile", profile.empty() ? "-" : profile},
                        {"VM XML", std::to_string(xml.size()) + " bytes"}});
    });
    walk.say("");
    walk.say("An agent now copies the VM's disks through vCenter '" + vcName + "' (moref " + moref + ").");

    // 6. Restore into the same vApp under a new name.
    walk.step("Restore it into its vApp under a new name");
    const std::string restored = t.vm + "-restored";
    const std::string newMoref = RestoredMoref(moref);
    walk.say("");
    walk.say("To restore, the agent first rebuilds the VM in vCenter '" + vcName + "'; the simulated vCenter");
    walk.say("has it as " + newMoref + ". The bridge then imports it into vApp '" + t.vapp + "':");
    const std::string metadata = MetadataText({"restored-from=" + t.vm});
    walk.command("restore " + where + Shell(t.vapp) + " " + Shell(restored) + " --vcenter " + Shell(vcName) +
                     " --moref " + newMoref + (profile.empty() ? "" : " --storage-profile " + Shell(profile)) +
                     " --metadata " + Shell("restored-from=" + t.vm),
                 "RestoreVM");
    std::string vmRef = vmId;
    {
        auto p = busy("importing the VM");
        if (!bridge.RestoreVM(t.org, t.vdc, t.vapp, restored, false, vcName, newMoref, profile, "",
                              "Restored by the vcloud-bridge demo from " + t.vm, false, vmRef, false, metadata))
            ctx.fail("RestoreVM");
    }
    walk.show([&](std::ostream& o) { PrintFields(o, {{"Restored VM", restored}, {"Href", vmRef}}); });
    std::string foundMoref;
    walk.command("vm-moref " + Shell(t.org) + " " + Shell(t.vapp) + " " + Shell(restored), "FindVMByNameFromVappAndGetMoref");
    if (!bridge.FindVMByNameFromVappAndGetMoref(t.org, t.vapp, restored, foundMoref))
        ctx.fail("FindVMByNameFromVappAndGetMoref");
    walk.show([&](std::ostream& o) { o << foundMoref << '\n'; });

    // 7. Power on.
    walk.step("Power the restored VM on");
    walk.command("power-on " + where + Shell(restored), "PowerOnVM");
    {
        auto p = busy("powering the VM on");
        if (!bridge.PowerOnVM(t.org, t.vdc, restored)) ctx.fail("PowerOnVM");
    }
    SVMInfo after;
    if (bridge.GetVMInfoForVM(t.org, t.vdc, restored, VM_PROP_ALL_VM, 0, after) != 1) ctx.fail("GetVMInfoForVM");
    walk.show([&](std::ostream& o) { o << "VM '" << restored << "' is " << PowerName(after.ePowerState) << '\n'; });

    // 8. Delete, and show that it is gone.
    walk.step("Delete the restored VM");
    walk.command("delete-vm " + where + Shell(t.vapp) + " " + Shell(restored) + " --yes", "DeleteVM");
    {
        auto p = busy("deleting the VM");
        if (!bridge.DeleteVM(t.org, t.vdc, t.vapp, restored)) ctx.fail("DeleteVM");
    }
    walk.show([&](std::ostream& o) { o << "Deleted VM '" << restored << "'\n"; });
    walk.command("find-vm " + where + Shell(t.vapp) + " " + Shell(restored), "FindVM");
    if (bridge.FindVM(t.org, t.vdc, t.vapp, restored)) throw OperationError("the deleted VM is still there");
    const std::string gone = bridge.GetLastErrorString();
    walk.show([&](std::ostream& o) { o << "not found, as expected: " << gone << '\n'; });

    // 9. The vCenter server behind the VDC, from the provider's view.
    walk.step("The vCenter server behind the VDC");
    walk.command("vcenter-for-vdc " + Shell(t.vdc), "QueryVcenterForOrgVDC");
    std::string vcenter, url;
    if (!bridge.QueryVcenterForOrgVDC(t.vdc, vcenter, url)) ctx.fail("QueryVcenterForOrgVDC");
    walk.show([&](std::ostream& o) { PrintFields(o, {{"vCenter", vcenter}, {"URL", url}}); });
    walk.finishStep();

    out << "\nDone: " << walk.stepNumber() << " steps; Disconnect follows and the simulated cloud stops.\n"
        << "Next: 'vcloud-bridge --help' for every command, 'vcloud-bridge sim' to keep a simulated cloud\n"
        << "running, and --server URL --user USER@ORG for a real vCloud Director.\n";
    return kExitOk;
}

}  // namespace vcbtool

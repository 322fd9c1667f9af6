// The command table of vcloud-bridge: each command's name, aliases, arguments, help texts, options and
// the function that runs it.
#include "Commands.h"

namespace vcbtool {

namespace {

const OptionInfo kYes{"yes", nullptr, "do not ask for confirmation", 'y'};

}  // namespace

const std::vector<CommandInfo>& Commands() {
    static const std::vector<CommandInfo> commands = {
        {"demo", {"tour"}, "", "a guided walk through the main operations against the built-in cloud",
         "Version, inventory tree, VM listings by entity, tag and wildcard, a VM's details and users, its\n"
         "backup, its restore into its vApp under a new name, power on and delete. Runs only against the\n"
         "built-in simulated cloud, which it starts and stops.",
         {{"step", nullptr, "wait for Enter after each step"}}, 0, 0, true, CmdDemo},
        {"login", {"connect"}, "", "log in and out again: checks the server, the credentials and the TLS setup",
         "", {}, 0, 0, true, CmdLogin},
        {"version", {}, "", "the cloud's version, build and full version text (GetMgmtVersionInfo)", "", {}, 0, 0,
         true, CmdVersion},
        {"tree", {"inventory"}, "[--from TYPE REF]",
         "the inventory as a tree: organisations, VDCs, vApps, VMs (BrowseInventory, level by level)",
         "TYPE is one of cloud, org, vdc, vapp, vapp-template; REF a name, href or URN.",
         {{"org", "ORG", "only this organisation"},
          {"from", "TYPE", "start at this entity instead of the cloud root (give its REF as the argument)"},
          {"depth", "N", "at most N levels below the start"},
          {"templates", nullptr, "include vApp templates"}},
         0, 1, true, CmdTree},
        {"vdcs", {}, "ORG", "names of the organisation's VDCs (GetVdcListInOrg)", "", {}, 1, 1, true, CmdVdcs},
        {"vapps", {}, "ORG VDC", "names of the VDC's vApps (GetVappListInVdc)", "", {}, 2, 2, true, CmdVapps},
        {"networks", {}, "ORG VDC VAPP", "names of the vApp's networks (GetNetworkListInVApp)", "", {}, 3, 3, true,
         CmdNetworks},
        {"datastores", {}, "VDC", "datastores behind the VDC's storage (GetAssociatedDatastoreListForVdc; System)",
         "", {}, 1, 1, true, CmdDatastores},
        {"users", {}, "ORG", "names of the organisation's users (GetUserListInOrg)", "", {}, 1, 1, true, CmdUsers},
        {"storage-profiles", {}, "ORG VDC",
         "the VDC's storage profiles with limits, free space and default flag (GetStorageProfileListInVDC)", "", {}, 2,
         2, true, CmdStorageProfiles},
        {"storage-profile", {}, "PROFILE | --moref VCENTER MOREF",
         "one storage profile by name, href or id (GetStorageProfileInfo), or by vCenter storage policy "
         "(GetStorageProfileInfoByMoref)",
         "", {{"moref", nullptr, "look the profile up by its vCenter storage policy: VCENTER MOREF"}}, 1, 2, true,
         CmdStorageProfile},
        {"hypervisors", {"vcenters"}, "", "the vCenter servers that the cloud manages (GetManagedHypervisorsInCloud)",
         "", {}, 0, 0, true, CmdHypervisors},
        {"find-vcenter", {}, "VCENTER", "whether a vCenter server is registered, by name, URL host or id "
                                        "(FindVCenterServer)",
         "", {}, 1, 1, true, CmdFindVCenter},
        {"vcenter-for-vdc", {}, "VDC", "the vCenter server behind an organisation VDC (QueryVcenterForOrgVDC)", "", {},
         1, 1, true, CmdVCenterForVdc},
        {"vms", {}, "[TYPE REF]",
         "VMs under an entity (GetVMListForEntity), by name (--by-name), by metadata tag (--tag) or by wildcard "
         "(--match)",
         "Without arguments: every VM of the cloud. TYPE is one of cloud, org, vdc, vapp, vm, vcenter,\n"
         "storage-profile, vapp-template, datastore; REF a name, href or URN. Examples:\n"
         "  vcloud-bridge vms vdc Acme-Gold\n"
         "  vcloud-bridge vms --tag backup-policy=gold\n"
         "  vcloud-bridge vms --match 'web-*' --by vm",
         {{"by-name", nullptr, "REF is a name (GetVMListForEntityByName)"},
          {"tag", "KEY=VALUE", "VMs whose metadata KEY holds VALUE, '*' wildcards allowed (GetVMInfoListForMetadataTag)"},
          {"match", "PATTERN", "VMs whose name matches PATTERN, '*' wildcards allowed (GetVMListForWildCard)"},
          {"by", "WHAT", "what --match compares: vm (default), vapp, vdc or org"},
          {"max", "N", "at most N VMs (0: all)"},
          {"templates", nullptr, "include the VMs of vApp templates"}},
         0, 2, true, CmdVms},
        {"vm-info", {}, "ORG VDC VM", "one VM's details (GetVMInfoForVM)", "", {}, 3, 3, true, CmdVmInfo},
        {"vm-users", {}, "ORG VDC VM", "the users of a VM's vApp with their access (GetVMUsers)", "", {}, 3, 3, true,
         CmdVmUsers},
        {"find-vm", {}, "ORG VDC [VAPP] VM", "whether a VM exists in the VDC, or in the vApp of the VDC (FindVM)", "", {},
         3, 4, true, CmdFindVm},
        {"find-vm-in-vapp", {}, "ORG VAPP VM", "whether a VM exists in the vApp (FindVMByNameFromVapp)", "", {}, 3, 3,
         true, CmdFindVmInVApp},
        {"vm-moref", {}, "ORG VAPP VM", "a VM's vCenter managed object reference (FindVMByNameFromVappAndGetMoref)", "",
         {}, 3, 3, true, CmdVmMoref},
        {"power-on", {}, "ORG VDC VM", "power a VM on and wait until it is on (PowerOnVM)", "", {}, 3, 3, true,
         CmdPowerOn},
        {"backup", {}, "ORG VDC VAPP VM | --ref ORG VMREF",
         "what an agent needs to back a VM up: its id, vCenter, moref, storage profile and XML (BackupVM)", "",
         {{"ref", nullptr, "find the VM by its href or URN: ORG VMREF"},
          {"xml", "FILE", "save the VM's XML document to FILE"}},
         2, 4, true, CmdBackup},
        {"restore", {}, "ORG VDC VAPP NAME --vcenter VC --moref MOREF",
         "import a VM that was restored in vCenter into a vApp under NAME (RestoreVM)",
         "Prints the imported VM's href. Metadata entries are escaped for the wrapper, so keys and values\n"
         "may hold any characters.",
         {{"vcenter", "VC", "the vCenter server that holds the restored VM"},
          {"moref", "MOREF", "the restored VM's managed object reference there"},
          {"storage-profile", "PROFILE", "storage profile of the imported VM (default: the VDC's default)"},
          {"network", "NETWORK", "connect the VM to this VDC network"},
          {"description", "TEXT", "the VM's description"},
          {"metadata", "KEY=VALUE", "a metadata entry for the VM (repeatable)"},
          {"original", "REF", "the original VM's reference, for the wrapper's log"},
          {"create-vapp", nullptr, "create the vApp when it does not exist"},
          {"overwrite", nullptr, "replace a VM of the same name in the vApp"},
          {"power-on", nullptr, "power the VM on afterwards"}},
         4, 4, true, CmdRestore},
        {"delete-vm", {}, "ORG VDC VAPP VM", "undeploy if needed and delete a VM (DeleteVM)",
         "Asks for confirmation on a terminal; elsewhere it needs --yes.", {kYes}, 4, 4, true, CmdDeleteVm},
        {"delete-vm-in-vapp", {}, "ORG VAPP VM", "delete a VM found by vApp and name (DeleteVMByNameFromVapp)",
         "Asks for confirmation on a terminal; elsewhere it needs --yes.", {kYes}, 3, 3, true, CmdDeleteVmInVApp},
        {"record", {}, "DIR",
         "save what the bridge's operations read from the cloud into DIR, for the simulator's --load",
         "Logs in like any command (without --server: the built-in cloud) and saves, one file per answer,\n"
         "the versions, the session, every query page the wrapper reads and the documents, metadata and\n"
         "access settings of organisations, VDCs, vApps, VMs, vCenter servers, provider VDCs, users and\n"
         "storage profiles that the user may see. DIR must be new or empty; DIR/index.txt lists the answers.\n"
         "Every value that does not name a kind of thing (numbers, dates, versions, media types and a short\n"
         "table of fields such as rel and status) is replaced by a consistent pseudonym unless --exact is\n"
         "given. Tokens, passwords and cookies are never saved. A walk whose\n"
         "query pages do not add up is tried once more, then the recording is marked incomplete and the\n"
         "command fails. A scrubbed recording is audited before it is called complete: no original that\n"
         "the scrubbing replaced may be left in any file. --check DIR --map FILE runs that audit again on a\n"
         "recording made earlier, without a cloud. Serve the recording with: vcloud-bridge sim --load DIR",
         {{"exact", nullptr, "keep every value as it came (no pseudonyms)"},
          {"check", nullptr, "audit the recording in DIR against its --map FILE; no cloud is needed"},
          {"map", "FILE", "write the table from pseudonym to original to FILE (outside DIR; keep it private)"},
          {"org", "ORG", "only this organisation (repeatable)"},
          {"max-vms", "N", "at most N VMs: the recording says that it was limited"}},
         1, 1, false, CmdRecord},
        {"sim", {"simulator"}, "[VCDSIM OPTIONS]",
         "run the built-in simulated cloud until Ctrl-C and print its URL (for use with --server)",
         "Further arguments go to the simulator, e.g. --generate 10,5,20,10 for a generated cloud,\n"
         "--tls-cert FILE --tls-key FILE to serve https, --api-token-file FILE for API tokens\n"
         "(put them after --). With --load DIR it serves a cloud saved by 'record'; a recording holds no\n"
         "passwords, so its users log in with any password.",
         {{"load", "DIR", "serve the cloud recorded in DIR instead of the demo cloud"}}, 0, 20, false, CmdSim},
        {"help", {}, "[COMMAND]", "show help for the tool or a command", "", {}, 0, 1, false, CmdHelp},
    };
    return commands;
}

}  // namespace vcbtool

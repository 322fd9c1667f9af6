// Every operation reaches its own managed method, once, with its arguments in managed order and of their
// managed kinds; the overloads never cross and accepted-but-unused parameters are not passed.
#include <functional>

#include "BridgeFixture.h"
#include "OperationsSupport.h"

using namespace bridge_test;
using namespace bridge_test::sinks;
using namespace VMInfoStructs;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

// A mask whose halves differ, and a negative number: a value passed with the wrong width or sign shows.
const UINT64 kMask = 0xF00000000000000FULL;
const char* const kMaskText = "17293822569102704655";

struct ArgumentRow {
    std::function<void(CVCloudSDKCppBridge&)> call;
    const char* expected;  // the call as the double recorded it
};

const std::vector<ArgumentRow>& Rows() {
    static std::string o1 = "o1", o2 = "o2", o3 = "o3", o4 = "o4", o5 = "o5", o6 = "o6";
    static const SInventoryInfo node = Node("vapp-7", eInventoryVApp, {Node("vm-1", eInventoryVM)});
    using B = CVCloudSDKCppBridge;
    static const std::vector<ArgumentRow> rows = {
        {[](B& b) { b.FindVCenterServer("t1"); }, "FindVCenterServer(t1)"},
        {[](B& b) { b.PowerOnVM("t1", "t2", "t3"); }, "PowerOnVM(t1|t2|t3)"},
        {[](B& b) { b.FindVM("t1", "t2", "t3"); }, "FindVM(t1|t2|t3)"},
        {[](B& b) { b.FindVM("t1", "t2", "t3", "t4"); }, "FindVMInVApp(t1|t2|t3|t4)"},
        {[](B& b) { b.FindVMByNameFromVapp("t1", "t2", "t3"); }, "FindVMByNameFromVapp(t1|t2|t3)"},
        // Output texts reach the managed method as "", whatever the caller's variables hold.
        {[](B& b) { b.FindVMByNameFromVappAndGetMoref("t1", "t2", "t3", o1); },
         "FindVMByNameFromVappAndGetMoref(t1|t2|t3|)"},
        {[](B& b) { b.DeleteVMByNameFromVapp("t1", "t2", "t3"); }, "DeleteVMByNameFromVapp(t1|t2|t3)"},
        {[](B& b) { b.BackupVM("t1", "t2", "t3", "t4", o1, o2, o3, o4, o5); }, "BackupVM(t1|t2|t3|t4|||||)"},
        {[](B& b) { b.BackupVM("t1", "t2", o1, o2, o3, o4, o5, o6); }, "BackupVMWithVMRef(t1|t2||||||)"},
        // Two flag patterns tell each of the three flags from the other two; the in/out text goes in.
        {[](B& b) { std::string io = "io1"; b.RestoreVM("t1", "t2", "t3", "t4", true, "t6", "t7", "t8", "t9", "t10", false, io, false, "t14"); },
         "RestoreVM(t1|t2|t3|t4|true|t6|t7|t8|t9|t10|false|io1|false|t14)"},
        {[](B& b) { std::string io = "io2"; b.RestoreVM("t1", "t2", "t3", "t4", false, "t6", "t7", "t8", "t9", "t10", true, io, false, "t14"); },
         "RestoreVM(t1|t2|t3|t4|false|t6|t7|t8|t9|t10|true|io2|false|t14)"},
        {[](B& b) { b.DeleteVM("t1", "t2", "t3", "t4"); }, "DeleteVM(t1|t2|t3|t4)"},
        // Records arrive zero-filled: no constructor ran, so a text field is null.
        {[](B& b) { b.GetMgmtVersionInfo(version); }, "GetMgmtVersion(<null>)"},
        {[](B& b) { b.GetVdcListInOrg("t1", texts); }, "GetVdcListInOrg(t1|list)"},
        {[](B& b) { b.GetVappListInVdc("t1", "t2", texts); }, "GetVappListInVdc(t1|t2|list)"},
        {[](B& b) { b.GetNetworkListInVApp("t1", "t2", "t3", texts); }, "GetNetworkListInVApp(t1|t2|t3|list)"},
        {[](B& b) { b.GetAssociatedDatastoreListForVdc("t1", texts); }, "GetAssociatedDatastoreListForVdc(t1|list)"},
        {[](B& b) { b.GetStorageProfileInfo("t1", profile); }, "GetStorageProfileInfo(t1|<null>)"},
        {[](B& b) { b.GetStorageProfileInfoByMoref("t1", "t2", profile); }, "GetStorageProfileInfoByMoref(t1|t2|<null>)"},
        {[](B& b) { b.GetStorageProfileListInVDC("t1", "t2", profiles); }, "GetStorageProfileListInVDC(t1|t2|list)"},
        {[](B& b) { b.GetUserListInOrg("t1", texts); }, "GetUserListInOrg(t1|list)"},
        {[](B& b) { b.GetManagedHypervisorsInCloud(nodes); }, "GetManagedHypervisorsInCloud()"},
        {[](B& b) { b.GetVMUsers("t1", "t2", "t3", users); }, "GetUsersForVM(t1|t2|t3|list)"},
        {[](B& b) { b.BrowseInventory("t1", node, nodes, kMask, -7); },
         "BrowseInventory(t1|vapp-7|4|/vapp-7|17293822569102704655|-7)"},
        {[](B& b) { b.GetVMListForEntity("t1", eInventoryOrgVdc, kMask, -7, vms); },
         "GetVMStructListForEntity(t1|3|17293822569102704655|-7)"},
        {[](B& b) { b.GetVMListForEntityByName("t1", eInventoryDatastore, kMask, 250, vms); },
         "GetVMStructListForEntityByName(t1|12|17293822569102704655|250)"},
        {[](B& b) { b.GetVMInfoListForMetadataTag("t1", "t2", kMask, -7, vms); },
         "GetVMInfoListForMetadataTag(t1|t2|17293822569102704655|-7)"},
        // Mask and number are accepted and not passed: any values give the same managed call.
        {[](B& b) { b.GetVMInfoForVM("t1", "t2", "t3", kMask, -7, vm); }, "GetVMInfoForVM(t1|t2|t3|<null>)"},
        {[](B& b) { b.GetVMInfoForVM("t1", "t2", "t3", 0, 0, vm); }, "GetVMInfoForVM(t1|t2|t3|<null>)"},
        {[](B& b) { b.GetVMListForWildCard(vms, kMask, -7, "t4", eFilterOrgName); }, "GetVMStructListForWildCard(t4|3)"},
        {[](B& b) { b.GetVMListForWildCard(vms, 0, 0, "t4", eFilterVAppName); }, "GetVMStructListForWildCard(t4|1)"},
        {[](B& b) { std::string io1 = "io1", io2 = "io2"; b.QueryVcenterForOrgVDC("t1", io1, io2); },
         "QueryVcenterForVDC(t1|io1|io2)"},
    };
    return rows;
}

TEST_F(BridgeTest, EveryOperationReachesItsOwnMethodWithItsArgumentsInOrder) {
    for (const ArgumentRow& row : Rows()) {
        Control("ClearCalls");
        row.call(bridge());
        EXPECT_EQ(Calls(), std::vector<std::string>{row.expected});
    }
    EXPECT_EQ(std::string(kMaskText), std::to_string(kMask));
}

}  // namespace

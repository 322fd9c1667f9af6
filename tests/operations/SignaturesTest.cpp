// Every operation logs a managed exception against its own signature text and returns its failure value.
#include <functional>

#include "BridgeFixture.h"
#include "OperationsSupport.h"

using namespace bridge_test;
using namespace bridge_test::sinks;
using namespace VMInfoStructs;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

// One operation: the managed method scripted to raise, a call that says whether the operation returned
// its failure value, and the signature text its log line must carry.
struct SignatureRow {
    const char* managedMethod;
    std::function<bool(CVCloudSDKCppBridge&)> callFails;
    const char* signature;
};

const std::string s = "x";

const std::vector<SignatureRow>& Rows() {
    static std::string out1, out2, out3, out4, out5, out6;
    static const SInventoryInfo node;
    static const std::vector<SignatureRow> rows = {
        {"Initialize", [](CVCloudSDKCppBridge& b) { return !b.Initialize(s, s, 1); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Initialize(const string&, const string&, long long unsigned int)"},
        {"Login", [](CVCloudSDKCppBridge& b) { return !b.Connect(s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Connect(const string&, const string&, const string&)"},
        {"Logout", [](CVCloudSDKCppBridge& b) { return !b.Disconnect(); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Disconnect()"},
        {"getLastErrorString", [](CVCloudSDKCppBridge& b) { return b.GetLastErrorString().empty(); },
         "std::string vCloudSDKCppBridge::CVCloudSDKCppBridge::GetLastErrorString()"},
        {"FindVCenterServer", [](CVCloudSDKCppBridge& b) { return !b.FindVCenterServer(s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVCenterServer(const string&)"},
        {"PowerOnVM", [](CVCloudSDKCppBridge& b) { return !b.PowerOnVM(s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::PowerOnVM(const string&, const string&, const string&)"},
        {"FindVM", [](CVCloudSDKCppBridge& b) { return !b.FindVM(s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVM(const string&, const string&, const string&)"},
        {"FindVMInVApp", [](CVCloudSDKCppBridge& b) { return !b.FindVM(s, s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVM(const string&, const string&, const string&, const string&)"},
        {"FindVMByNameFromVapp", [](CVCloudSDKCppBridge& b) { return !b.FindVMByNameFromVapp(s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVMByNameFromVapp(const string&, const string&, const string&)"},
        {"FindVMByNameFromVappAndGetMoref",
         [](CVCloudSDKCppBridge& b) { return !b.FindVMByNameFromVappAndGetMoref(s, s, s, out1); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVMByNameFromVappAndGetMoref(const string&, const string&, const string&, std::string&)"},
        {"DeleteVMByNameFromVapp", [](CVCloudSDKCppBridge& b) { return !b.DeleteVMByNameFromVapp(s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::DeleteVMByNameFromVapp(const string&, const string&, const string&)"},
        {"BackupVM",
         [](CVCloudSDKCppBridge& b) { return !b.BackupVM(s, s, s, s, out1, out2, out3, out4, out5); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&)"},
        {"BackupVMWithVMRef",
         [](CVCloudSDKCppBridge& b) { return !b.BackupVM(s, s, out1, out2, out3, out4, out5, out6); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&, std::string&)"},
        {"RestoreVM",
         [](CVCloudSDKCppBridge& b) { return !b.RestoreVM(s, s, s, s, true, s, s, s, s, s, false, out1, true, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::RestoreVM(const string&, const string&, const string&, const string&, bool, const string&, const string&, const string&, const string&, const string&, bool, std::string&, bool, const string&)"},
        {"DeleteVM", [](CVCloudSDKCppBridge& b) { return !b.DeleteVM(s, s, s, s); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::DeleteVM(const string&, const string&, const string&, const string&)"},
        {"GetMgmtVersion", [](CVCloudSDKCppBridge& b) { return !b.GetMgmtVersionInfo(version); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetMgmtVersionInfo(VMInfoStructs::SMgmtVersion&)"},
        {"GetVdcListInOrg", [](CVCloudSDKCppBridge& b) { return !b.GetVdcListInOrg(s, texts); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVdcListInOrg(const string&, std::vector<std::__cxx11::basic_string<char> >&)"},
        {"GetVappListInVdc", [](CVCloudSDKCppBridge& b) { return !b.GetVappListInVdc(s, s, texts); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVappListInVdc(const string&, const string&, std::vector<std::__cxx11::basic_string<char> >&)"},
        {"GetNetworkListInVApp", [](CVCloudSDKCppBridge& b) { return !b.GetNetworkListInVApp(s, s, s, texts); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetNetworkListInVApp(const string&, const string&, const string&, std::vector<std::__cxx11::basic_string<char> >&)"},
        {"GetAssociatedDatastoreListForVdc",
         [](CVCloudSDKCppBridge& b) { return !b.GetAssociatedDatastoreListForVdc(s, texts); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetAssociatedDatastoreListForVdc(const string&, std::vector<std::__cxx11::basic_string<char> >&)"},
        {"GetStorageProfileInfo", [](CVCloudSDKCppBridge& b) { return !b.GetStorageProfileInfo(s, profile); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileInfo(const string&, VMInfoStructs::SDatastoreInfo&)"},
        {"GetStorageProfileInfoByMoref",
         [](CVCloudSDKCppBridge& b) { return !b.GetStorageProfileInfoByMoref(s, s, profile); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileInfoByMoref(const string&, const string&, VMInfoStructs::SDatastoreInfo&)"},
        {"GetStorageProfileListInVDC",
         [](CVCloudSDKCppBridge& b) { return !b.GetStorageProfileListInVDC(s, s, profiles); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileListInVDC(const string&, const string&, std::vector<VMInfoStructs::SDatastoreInfo>&)"},
        {"GetUserListInOrg", [](CVCloudSDKCppBridge& b) { return !b.GetUserListInOrg(s, texts); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetUserListInOrg(const string&, std::vector<std::__cxx11::basic_string<char> >&)"},
        {"GetManagedHypervisorsInCloud", [](CVCloudSDKCppBridge& b) { return !b.GetManagedHypervisorsInCloud(nodes); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetManagedHypervisorsInCloud(std::vector<VMInfoStructs::SInventoryInfo>&)"},
        {"GetUsersForVM", [](CVCloudSDKCppBridge& b) { return !b.GetVMUsers(s, s, s, users); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMUsers(const string&, const string&, const string&, std::vector<VMInfoStructs::SVMOwnerInfo>&)"},
        {"BrowseInventory", [](CVCloudSDKCppBridge& b) { return b.BrowseInventory(s, node, nodes, 0, 0) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::BrowseInventory(const string&, const VMInfoStructs::SInventoryInfo&, std::vector<VMInfoStructs::SInventoryInfo>&, UINT64, int)"},
        {"GetVMStructListForEntity",
         [](CVCloudSDKCppBridge& b) { return b.GetVMListForEntity(s, eInventoryOrg, 0, 0, vms) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntity(std::string, VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)"},
        {"GetVMInfoListForMetadataTag",
         [](CVCloudSDKCppBridge& b) { return b.GetVMInfoListForMetadataTag(s, s, 0, 0, vms) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMInfoListForMetadataTag(const string&, const string&, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)"},
        {"GetVMInfoForVM", [](CVCloudSDKCppBridge& b) { return b.GetVMInfoForVM(s, s, s, 0, 0, vm) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMInfoForVM(const string&, const string&, const string&, UINT64, int, VMInfoStructs::SVMInfo&)"},
        {"GetVMStructListForWildCard",
         [](CVCloudSDKCppBridge& b) { return b.GetVMListForWildCard(vms, 0, 0, s, eFilterVMName) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForWildCard(std::vector<VMInfoStructs::SVMInfo>&, UINT64, int, std::string, VMInfoStructs::EFilterType)"},
        {"QueryVcenterForVDC", [](CVCloudSDKCppBridge& b) { return !b.QueryVcenterForOrgVDC(s, out1, out2); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::QueryVcenterForOrgVDC(const string&, std::string&, std::string&)"},
        {"GetVMStructListForEntityByName",
         [](CVCloudSDKCppBridge& b) { return b.GetVMListForEntityByName(s, eInventoryOrg, 0, 0, vms) == 0; },
         "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntityByName(std::string, VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)"},
    };
    return rows;
}

TEST_F(BridgeTest, EveryOperationLogsAManagedExceptionAgainstItsOwnSignature) {
    ASSERT_EQ(Rows().size(), 33u);
    for (const SignatureRow& row : Rows()) {
        SCOPED_TRACE(row.managedMethod);
        // A new wrapper object: the thread has no failure on record, so GetLastErrorString asks the wrapper.
        Control("Reset");
        ASSERT_TRUE(bridge().Initialize("", "", 0));
        Control("Reset");
        Control("Script", {row.managedMethod, "throw"});
        log.Clear();
        EXPECT_TRUE(row.callFails(bridge()));
        // Exactly one line, and it is the exception line with this operation's own signature.
        EXPECT_EQ(Messages(log), std::vector<std::string>{std::string(row.signature) +
                                                          ": Exception caught in bridge - TestWrapperException"});
        // The double does not record getLastErrorString.
        const bool recorded = std::string(row.managedMethod) != "getLastErrorString";
        EXPECT_EQ(Control("CallCount"), recorded ? "1" : "0") << Control("Calls");
    }
}

}  // namespace

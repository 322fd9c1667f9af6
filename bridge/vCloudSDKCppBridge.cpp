// The 33 operations of the exported class. Each is one row: managed method, argument kinds in managed
// order, result kind, and the signature text that locates its exception log line.
#include "vCloudSDKCppBridge.h"

#include "CallPattern.h"
#include "RuntimeHost.h"

using VCloudSDKHelper::CVCloudSDKHelper;
using namespace VMInfoStructs;

namespace vCloudSDKCppBridge {

using namespace call;

CVCloudSDKCppBridge::CVCloudSDKCppBridge() : m_host(new CVCloudWrapperPtr) {}

CVCloudSDKCppBridge::~CVCloudSDKCppBridge() { delete m_host; }

// ---- connection and state ----

namespace {

const char* const kInitializeSignature =
    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Initialize(const string&, const string&, long long unsigned int)";

// Ends the session of a wrapper object that Initialize is about to replace: dropped without a logout, it
// would stay open on the server until it timed out there.
void LogOutReplaced(CVCloudWrapperPtr* host, const WrapperRef& replaced) {
    try {
        void* args[1] = {nullptr};
        std::string why;
        MonoObject* result = host->Invoke(replaced, "Logout", args, &why);
        if (result == nullptr || *static_cast<const unsigned char*>(MonoAPI::mono_object_unbox_ptr(result)) == 0) {
            g_vCloudDebug.error("The replaced wrapper object did not log out%s%s", why.empty() ? "" : ": ",
                                why.c_str());
        }
    } catch (const ManagedException& exception) {
        LogManagedException(kInitializeSignature, exception);
    }
}

}  // namespace

// A new wrapper object is made, constructed and initialised aside; only then does it take the place of
// the one that calls use. The old object is logged out first, and calls that still run on it keep it
// alive until they return. A failed Initialize leaves a working object as it was; on a bridge without one,
// the new object takes its place anyway and tells its failure through GetLastErrorString.
bool CVCloudSDKCppBridge::Initialize(const std::string& logFile, const std::string& options,
                                     unsigned long long debugLevel) {
    const char* const method = "Initialize";
    return Guarded(m_host, kInitializeSignature, method, false, [&] {
        if (!m_host->StartRuntime()) {
            g_vCloudDebug.error("Failed to initialize vCloudSDKWrapper");
            throw Refused{"Failed to initialize vCloudSDKWrapper: the managed runtime did not start"};
        }
        WrapperRef candidate = m_host->CreateWrapper();
        if (candidate == nullptr) {
            g_vCloudDebug.error("Failed to initialize vCloudSDKWrapper");
            throw Refused{"Failed to initialize vCloudSDKWrapper: the wrapper object cannot be made"};
        }
        WrapperRef current = m_host->Current();
        bool ok = false;
        try {
            ok = CallBoolOn(m_host, candidate, method, InText{logFile}, InText{options}, Mask{debugLevel});
        } catch (...) {
            if (current == nullptr) m_host->Publish(candidate);
            throw;
        }
        if (ok) {
            if (current != nullptr) LogOutReplaced(m_host, current);
            m_host->Publish(candidate);
            // This thread starts afresh, as the new object does; other threads keep their last error.
            m_host->ClearBridgeError();
            return true;
        }
        if (current == nullptr) {
            m_host->Publish(candidate);
        } else {
            g_vCloudDebug.error("Initialize failed: the wrapper object in use stays in place");
        }
        return false;
    });
}

bool CVCloudSDKCppBridge::Connect(const std::string& server, const std::string& user, const std::string& password) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Connect(const string&, const string&, const string&)",
                    "Login", InText{server}, InText{user}, InText{password});
}

bool CVCloudSDKCppBridge::Disconnect() {
    return CallBool(m_host, "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::Disconnect()", "Logout");
}

std::string CVCloudSDKCppBridge::GetLastErrorString() {
    return CallLastError(m_host, "std::string vCloudSDKCppBridge::CVCloudSDKCppBridge::GetLastErrorString()",
                         "getLastErrorString");
}

// ---- VM operations ----

bool CVCloudSDKCppBridge::FindVCenterServer(const std::string& vcenter) {
    return CallBool(m_host, "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVCenterServer(const string&)",
                    "FindVCenterServer", InText{vcenter});
}

bool CVCloudSDKCppBridge::PowerOnVM(const std::string& org, const std::string& vdc, const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::PowerOnVM(const string&, const string&, const string&)",
                    "PowerOnVM", InText{org}, InText{vdc}, InText{vm});
}

bool CVCloudSDKCppBridge::FindVM(const std::string& org, const std::string& vdc, const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVM(const string&, const string&, const string&)",
                    "FindVM", InText{org}, InText{vdc}, InText{vm});
}

bool CVCloudSDKCppBridge::FindVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                                 const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVM(const string&, const string&, const string&, const string&)",
                    "FindVMInVApp", InText{org}, InText{vdc}, InText{vapp}, InText{vm});
}

bool CVCloudSDKCppBridge::FindVMByNameFromVapp(const std::string& org, const std::string& vapp,
                                               const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVMByNameFromVapp(const string&, const string&, const string&)",
                    "FindVMByNameFromVapp", InText{org}, InText{vapp}, InText{vm});
}

bool CVCloudSDKCppBridge::FindVMByNameFromVappAndGetMoref(const std::string& org, const std::string& vapp,
                                                          const std::string& vm, std::string& moref) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVMByNameFromVappAndGetMoref(const string&, const string&, const string&, std::string&)",
                    "FindVMByNameFromVappAndGetMoref", InText{org}, InText{vapp}, InText{vm}, OutText{moref});
}

bool CVCloudSDKCppBridge::DeleteVMByNameFromVapp(const std::string& org, const std::string& vapp,
                                                 const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::DeleteVMByNameFromVapp(const string&, const string&, const string&)",
                    "DeleteVMByNameFromVapp", InText{org}, InText{vapp}, InText{vm});
}

bool CVCloudSDKCppBridge::BackupVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                                   const std::string& vm, std::string& vmId, std::string& vcName, std::string& moref,
                                   std::string& storageProfile, std::string& vmXml) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&)",
                    "BackupVM", InText{org}, InText{vdc}, InText{vapp}, InText{vm}, OutText{vmId}, OutText{vcName},
                    OutText{moref}, OutText{storageProfile}, OutText{vmXml});
}

bool CVCloudSDKCppBridge::BackupVM(const std::string& org, const std::string& vmRef, std::string& vappName,
                                   std::string& vdcName, std::string& vmName, std::string& vcName, std::string& moref,
                                   std::string& vmXml) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&, std::string&)",
                    "BackupVMWithVMRef", InText{org}, InText{vmRef}, OutText{vappName}, OutText{vdcName},
                    OutText{vmName}, OutText{vcName}, OutText{moref}, OutText{vmXml});
}

bool CVCloudSDKCppBridge::RestoreVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                                    const std::string& vmName, bool createVApp, const std::string& vcName,
                                    const std::string& moref, const std::string& storageProfile,
                                    const std::string& network, const std::string& description, bool powerOn,
                                    std::string& vmRef, bool overwrite, const std::string& metadata) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::RestoreVM(const string&, const string&, const string&, const string&, bool, const string&, const string&, const string&, const string&, const string&, bool, std::string&, bool, const string&)",
                    "RestoreVM", InText{org}, InText{vdc}, InText{vapp}, InText{vmName}, Flag{createVApp},
                    InText{vcName}, InText{moref}, InText{storageProfile}, InText{network}, InText{description},
                    Flag{powerOn}, InOutText{vmRef}, Flag{overwrite}, InText{metadata});
}

bool CVCloudSDKCppBridge::DeleteVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                                   const std::string& vm) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::DeleteVM(const string&, const string&, const string&, const string&)",
                    "DeleteVM", InText{org}, InText{vdc}, InText{vapp}, InText{vm});
}

// ---- inventory and VM queries ----

bool CVCloudSDKCppBridge::GetMgmtVersionInfo(SMgmtVersion& version) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetMgmtVersionInfo(VMInfoStructs::SMgmtVersion&)",
                    "GetMgmtVersion", OutRecord<SMgmtVersion>{version, "SMgmtVersionLib"});
}

bool CVCloudSDKCppBridge::GetVdcListInOrg(const std::string& org, std::vector<std::string>& vdcs) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVdcListInOrg(const string&, std::vector<std::__cxx11::basic_string<char> >&)",
                    "GetVdcListInOrg", InText{org},
                    OutList<std::string>{vdcs, "SStringInfoLib", &CVCloudSDKHelper::MtNStringList});
}

bool CVCloudSDKCppBridge::GetVappListInVdc(const std::string& org, const std::string& vdc,
                                           std::vector<std::string>& vapps) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVappListInVdc(const string&, const string&, std::vector<std::__cxx11::basic_string<char> >&)",
                    "GetVappListInVdc", InText{org}, InText{vdc},
                    OutList<std::string>{vapps, "SStringInfoLib", &CVCloudSDKHelper::MtNStringList});
}

bool CVCloudSDKCppBridge::GetNetworkListInVApp(const std::string& org, const std::string& vdc,
                                               const std::string& vapp, std::vector<std::string>& networks) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetNetworkListInVApp(const string&, const string&, const string&, std::vector<std::__cxx11::basic_string<char> >&)",
                    "GetNetworkListInVApp", InText{org}, InText{vdc}, InText{vapp},
                    OutList<std::string>{networks, "SStringInfoLib", &CVCloudSDKHelper::MtNStringList});
}

bool CVCloudSDKCppBridge::GetAssociatedDatastoreListForVdc(const std::string& vdc,
                                                           std::vector<std::string>& datastores) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetAssociatedDatastoreListForVdc(const string&, std::vector<std::__cxx11::basic_string<char> >&)",
                    "GetAssociatedDatastoreListForVdc", InText{vdc},
                    OutList<std::string>{datastores, "SStringInfoLib", &CVCloudSDKHelper::MtNStringList});
}

bool CVCloudSDKCppBridge::GetStorageProfileInfo(const std::string& profile, SDatastoreInfo& info) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileInfo(const string&, VMInfoStructs::SDatastoreInfo&)",
                    "GetStorageProfileInfo", InText{profile},
                    OutRecord<SDatastoreInfo>{info, "SStorageProfileInfoLib"});
}

bool CVCloudSDKCppBridge::GetStorageProfileInfoByMoref(const std::string& vcenter, const std::string& moref,
                                                       SDatastoreInfo& info) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileInfoByMoref(const string&, const string&, VMInfoStructs::SDatastoreInfo&)",
                    "GetStorageProfileInfoByMoref", InText{vcenter}, InText{moref},
                    OutRecord<SDatastoreInfo>{info, "SStorageProfileInfoLib"});
}

bool CVCloudSDKCppBridge::GetStorageProfileListInVDC(const std::string& org, const std::string& vdc,
                                                     std::vector<SDatastoreInfo>& profiles) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetStorageProfileListInVDC(const string&, const string&, std::vector<VMInfoStructs::SDatastoreInfo>&)",
                    "GetStorageProfileListInVDC", InText{org}, InText{vdc},
                    OutList<SDatastoreInfo>{profiles, "SStorageProfileInfoLib",
                                            &CVCloudSDKHelper::ConvertStorageProfileList});
}

bool CVCloudSDKCppBridge::GetUserListInOrg(const std::string& org, std::vector<std::string>& users) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetUserListInOrg(const string&, std::vector<std::__cxx11::basic_string<char> >&)",
                    "GetUserListInOrg", InText{org},
                    OutList<std::string>{users, "SStringInfoLib", &CVCloudSDKHelper::MtNStringList});
}

bool CVCloudSDKCppBridge::GetManagedHypervisorsInCloud(std::vector<SInventoryInfo>& hypervisors) {
    return CallList(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetManagedHypervisorsInCloud(std::vector<VMInfoStructs::SInventoryInfo>&)",
                    "GetManagedHypervisorsInCloud", hypervisors, &CVCloudSDKHelper::ConvertInventoryList);
}

bool CVCloudSDKCppBridge::GetVMUsers(const std::string& org, const std::string& vdc, const std::string& vm,
                                     std::vector<SVMOwnerInfo>& users) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMUsers(const string&, const string&, const string&, std::vector<VMInfoStructs::SVMOwnerInfo>&)",
                    "GetUsersForVM", InText{org}, InText{vdc}, InText{vm},
                    OutList<SVMOwnerInfo>{users, "SVCloudUserLib", &CVCloudSDKHelper::ConvertUserList});
}

int CVCloudSDKCppBridge::BrowseInventory(const std::string& org, const SInventoryInfo& node,
                                         std::vector<SInventoryInfo>& children, UINT64 mask, int depth) {
    return CallList(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::BrowseInventory(const string&, const VMInfoStructs::SInventoryInfo&, std::vector<VMInfoStructs::SInventoryInfo>&, UINT64, int)",
                    "BrowseInventory", children, &CVCloudSDKHelper::ConvertInventoryList, InText{org},
                    InNode{node, "SInventoryLib"}, Mask{mask}, Int32{depth})
               ? 1 : 0;
}

int CVCloudSDKCppBridge::GetVMListForEntity(std::string entity, EInventoryType type, UINT64 mask, int maxCount,
                                            std::vector<SVMInfo>& vms) {
    return CallList(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntity(std::string, VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)",
                    "GetVMStructListForEntity", vms, &CVCloudSDKHelper::ConvertVMInfoList, InText{entity},
                    Enum(type), Mask{mask}, Int32{maxCount})
               ? 1 : 0;
}

int CVCloudSDKCppBridge::GetVMListForEntityByName(std::string entity, EInventoryType type, UINT64 mask,
                                                  int maxCount, std::vector<SVMInfo>& vms) {
    return CallList(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntityByName(std::string, VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)",
                    "GetVMStructListForEntityByName", vms, &CVCloudSDKHelper::ConvertVMInfoList, InText{entity},
                    Enum(type), Mask{mask}, Int32{maxCount})
               ? 1 : 0;
}

int CVCloudSDKCppBridge::GetVMInfoListForMetadataTag(const std::string& key, const std::string& value, UINT64 mask,
                                                     int maxCount, std::vector<SVMInfo>& vms) {
    return CallList(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMInfoListForMetadataTag(const string&, const string&, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)",
                    "GetVMInfoListForMetadataTag", vms, &CVCloudSDKHelper::ConvertVMInfoList, InText{key},
                    InText{value}, Mask{mask}, Int32{maxCount})
               ? 1 : 0;
}

// The mask and the number are accepted for the caller's convenience; the managed method takes neither.
int CVCloudSDKCppBridge::GetVMInfoForVM(const std::string& org, const std::string& vdc, const std::string& vm,
                                        UINT64 /*mask*/, int /*number*/, SVMInfo& info) {
    return CallBool(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMInfoForVM(const string&, const string&, const string&, UINT64, int, VMInfoStructs::SVMInfo&)",
                    "GetVMInfoForVM", InText{org}, InText{vdc}, InText{vm}, OutRecord<SVMInfo>{info, "SVMInfoLib"})
               ? 1 : 0;
}

int CVCloudSDKCppBridge::GetVMListForWildCard(std::vector<SVMInfo>& vms, UINT64 /*mask*/, int /*number*/,
                                              std::string pattern, EFilterType filter) {
    return CallList(m_host,
                    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForWildCard(std::vector<VMInfoStructs::SVMInfo>&, UINT64, int, std::string, VMInfoStructs::EFilterType)",
                    "GetVMStructListForWildCard", vms, &CVCloudSDKHelper::ConvertVMInfoList, InText{pattern},
                    Enum(filter))
               ? 1 : 0;
}

// A managed exception here is a failure like everywhere else: false, both texts as they were.
bool CVCloudSDKCppBridge::QueryVcenterForOrgVDC(const std::string& vdc, std::string& vcName, std::string& vcUrl) {
    return CallBool(m_host,
                    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::QueryVcenterForOrgVDC(const string&, std::string&, std::string&)",
                    "QueryVcenterForVDC", InText{vdc}, InOutText{vcName}, InOutText{vcUrl});
}

}  // namespace vCloudSDKCppBridge

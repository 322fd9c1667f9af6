// The exported bridge class: a native caller's whole interface to the managed vCloud Director wrapper.
#pragma once

#include <string>
#include <vector>

#include "BridgeExport.h"
#include "MonoValue.h"
#include "VMInfoStructs.h"

namespace vCloudSDKCppBridge {

class CVCloudWrapperPtr;

// One object per agent connection. Initialize starts the managed runtime (once per process) and creates
// a managed wrapper object; Connect logs in; every other operation forwards to the wrapper method of the
// same purpose. Results are written to the caller's outputs only when the managed call succeeded; a
// managed exception is logged and turned into the failure value (false, 0 or empty text).
class VCB_EXPORT CVCloudSDKCppBridge {
public:
    CVCloudSDKCppBridge();
    ~CVCloudSDKCppBridge();
    CVCloudSDKCppBridge(const CVCloudSDKCppBridge&) = delete;
    CVCloudSDKCppBridge& operator=(const CVCloudSDKCppBridge&) = delete;

    // Connection and state.
    bool Initialize(const std::string& logFile, const std::string& options, unsigned long long debugLevel);
    bool Connect(const std::string& server, const std::string& user, const std::string& password);
    bool Disconnect();
    std::string GetLastErrorString();

    // VM operations.
    bool FindVCenterServer(const std::string& vcenter);
    bool PowerOnVM(const std::string& org, const std::string& vdc, const std::string& vm);
    bool FindVM(const std::string& org, const std::string& vdc, const std::string& vm);
    bool FindVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm);
    bool FindVMByNameFromVapp(const std::string& org, const std::string& vapp, const std::string& vm);
    bool FindVMByNameFromVappAndGetMoref(const std::string& org, const std::string& vapp, const std::string& vm,
                                         std::string& moref);
    bool DeleteVMByNameFromVapp(const std::string& org, const std::string& vapp, const std::string& vm);
    bool BackupVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm,
                  std::string& vmId, std::string& vcName, std::string& moref, std::string& storageProfile,
                  std::string& vmXml);
    bool BackupVM(const std::string& org, const std::string& vmRef, std::string& vappName, std::string& vdcName,
                  std::string& vmName, std::string& vcName, std::string& moref, std::string& vmXml);
    bool RestoreVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                   const std::string& vmName, bool createVApp, const std::string& vcName, const std::string& moref,
                   const std::string& storageProfile, const std::string& network, const std::string& description,
                   bool powerOn, std::string& vmRef, bool overwrite, const std::string& metadata);
    bool DeleteVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm);

    // Inventory and VM queries.
    bool GetMgmtVersionInfo(VMInfoStructs::SMgmtVersion& version);
    bool GetVdcListInOrg(const std::string& org, std::vector<std::string>& vdcs);
    bool GetVappListInVdc(const std::string& org, const std::string& vdc, std::vector<std::string>& vapps);
    bool GetNetworkListInVApp(const std::string& org, const std::string& vdc, const std::string& vapp,
                              std::vector<std::string>& networks);
    bool GetAssociatedDatastoreListForVdc(const std::string& vdc, std::vector<std::string>& datastores);
    bool GetStorageProfileInfo(const std::string& profile, VMInfoStructs::SDatastoreInfo& info);
    bool GetStorageProfileInfoByMoref(const std::string& vcenter, const std::string& moref,
                                      VMInfoStructs::SDatastoreInfo& info);
    bool GetStorageProfileListInVDC(const std::string& org, const std::string& vdc,
                                    std::vector<VMInfoStructs::SDatastoreInfo>& profiles);
    bool GetUserListInOrg(const std::string& org, std::vector<std::string>& users);
    bool GetManagedHypervisorsInCloud(std::vector<VMInfoStructs::SInventoryInfo>& hypervisors);
    bool GetVMUsers(const std::string& org, const std::string& vdc, const std::string& vm,
                    std::vector<VMInfoStructs::SVMOwnerInfo>& users);
    int BrowseInventory(const std::string& org, const VMInfoStructs::SInventoryInfo& node,
                        std::vector<VMInfoStructs::SInventoryInfo>& children, UINT64 mask, int depth);
    int GetVMListForEntity(std::string entity, VMInfoStructs::EInventoryType type, UINT64 mask, int maxCount,
                           std::vector<VMInfoStructs::SVMInfo>& vms);
    int GetVMListForEntityByName(std::string entity, VMInfoStructs::EInventoryType type, UINT64 mask,
                                 int maxCount, std::vector<VMInfoStructs::SVMInfo>& vms);
    int GetVMInfoListForMetadataTag(const std::string& key, const std::string& value, UINT64 mask, int maxCount,
                                    std::vector<VMInfoStructs::SVMInfo>& vms);
    int GetVMInfoForVM(const std::string& org, const std::string& vdc, const std::string& vm, UINT64 mask,
                       int number, VMInfoStructs::SVMInfo& info);
    int GetVMListForWildCard(std::vector<VMInfoStructs::SVMInfo>& vms, UINT64 mask, int number,
                             std::string pattern, VMInfoStructs::EFilterType filter);
    bool QueryVcenterForOrgVDC(const std::string& vdc, std::string& vcName, std::string& vcUrl);

private:
    CVCloudWrapperPtr* m_host;
};

}  // namespace vCloudSDKCppBridge

// The exported bridge class: a native caller's whole interface to the managed vCloud Director wrapper.
#pragma once

#include <string>
#include <vector>

#include "BridgeExport.h"
#include "MonoValue.h"
#include "VMInfoStructs.h"

/// @file vCloudSDKCppBridge.h
/// @brief The bridge class CVCloudSDKCppBridge: every operation a backup agent calls.

/// @brief The bridge library's exported class and its runtime host.
namespace vCloudSDKCppBridge {

class CVCloudWrapperPtr;

/// @brief One object per agent connection to vCloud Director.
///
/// Initialize starts the managed runtime (once per process) and creates a managed wrapper object; Connect
/// logs in; every other operation forwards to the wrapper method of the same purpose.
///
/// Rules that hold for every operation:
/// - **Outputs.** Texts, records and vectors passed by non-const reference are written only when the
///   operation succeeds; on failure they keep the values they had on entry. A vector output is emptied
///   and refilled on success, never appended to.
/// - **Failure value.** `bool` operations return false; the six `int` operations return 1 for success
///   and 0 for failure (never a count); GetLastErrorString returns empty text. A managed exception is
///   logged on the debug log and turned into the failure value; no operation throws it on. Only a native
///   exception (an allocation failure) reaches the caller.
/// - **Why it failed.** GetLastErrorString gives the wrapper's last failure on the calling thread.
/// - **Before Initialize.** Until Initialize has started the runtime, every operation returns its
///   failure value and touches nothing.
/// - **Threads.** Any thread may call any operation and calls on one object may run concurrently; the
///   bridge takes no lock of its own and the wrapper serialises login and logout. Initialize is the
///   exception: it replaces the managed wrapper object and must not overlap any other call on the same
///   object.
/// - **Entity texts** accept a name, an href or a URN; a name that matches several entities fails.
/// - **System.** Operations documented as needing a System administrator session read vCenter data that
///   the server shows only to System administrators; a tenant session makes them fail.
class VCB_EXPORT CVCloudSDKCppBridge {
public:
    /// @brief Creates the object with its runtime host; starts nothing and makes no managed call.
    CVCloudSDKCppBridge();
    /// @brief Releases the managed wrapper object. Does not log out; the runtime stays up until the
    ///        process ends. Must not overlap any other call on this object.
    ~CVCloudSDKCppBridge();
    CVCloudSDKCppBridge(const CVCloudSDKCppBridge&) = delete;
    CVCloudSDKCppBridge& operator=(const CVCloudSDKCppBridge&) = delete;

    /// @name Connection and state
    /// @{

    /// @brief Starts the managed runtime (first call in the process) and gives this object a new managed
    ///        wrapper object, configured by the arguments.
    /// @param[in] logFile The wrapper's own log file; "" for none.
    /// @param[in] options Wrapper options as a `key=value;...` text (apiVersion, httpTimeout, caFile,
    ///        allowHttp, ...); defaults may also come from vCloudSDKWrapper.config in the home directory.
    /// @param[in] debugLevel Detail of the wrapper's log: 0 errors, 1 operations, 2 HTTP requests,
    ///        3 response bodies.
    /// @return true when the runtime runs and the wrapper accepted its configuration; false when the
    ///         runtime or the wrapper could not be started (Mono or vCloudSDKWrapper.dll missing: logged
    ///         as "Failed to initialize vCloudSDKWrapper"; a failed runtime start is final for the
    ///         process) or when the wrapper refused the options.
    /// @note A login made before does not carry over to the new wrapper object: Connect again.
    /// @par Threads
    /// Must not overlap any other call on this object. May run on several objects at once: the runtime's
    /// start is serialised process-wide.
    bool Initialize(const std::string& logFile, const std::string& options, unsigned long long debugLevel);
    /// @brief Logs in to vCloud Director; a second login ends the first session.
    /// @param[in] server `https://host[:port]`; plain `http://` only with the allowHttp option and a
    ///        loopback address.
    /// @param[in] user `name@organisation`; the organisation `System` logs in as provider.
    /// @param[in] password The user's password.
    /// @return true when logged in; false otherwise (see GetLastErrorString).
    /// @par Threads
    /// Any thread; serialised with other logins and logouts by the wrapper.
    bool Connect(const std::string& server, const std::string& user, const std::string& password);
    /// @brief Logs out: ends the session on the server.
    /// @return true when logged out, when not logged in, or when the server had already dropped the
    ///         session; false when the logout failed.
    /// @par Threads
    /// Any thread; serialised with other logins and logouts by the wrapper.
    bool Disconnect();
    /// @brief The wrapper's last failure on the calling thread: the operation, then the HTTP status, the
    ///        server's minorErrorCode and message, or the local cause. A success does not clear it.
    /// @return The text (UTF-8); empty when there was no failure, or when the wrapper cannot be reached or
    ///         raises (the failure value).
    /// @par Threads
    /// Any thread; each thread sees its own last failure.
    std::string GetLastErrorString();
    /// @}

    /// @name VM operations
    /// @{

    /// @brief Whether a vCenter server is registered in the cloud.
    /// @param[in] vcenter Its name, URL, URL host, instance UUID, href or URN.
    /// @return true when registered; false when not, or on failure.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool FindVCenterServer(const std::string& vcenter);
    /// @brief Powers a VM on and waits for the task; a VM that is already on is success.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vm The VM.
    /// @return true when the VM is on; false on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool PowerOnVM(const std::string& org, const std::string& vdc, const std::string& vm);
    /// @brief Whether a VM exists in an organisation VDC.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC; "" for the whole organisation.
    /// @param[in] vm The VM.
    /// @return true when it exists; false when not, or on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool FindVM(const std::string& org, const std::string& vdc, const std::string& vm);
    /// @brief Whether a VM exists in a vApp of an organisation VDC.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @return true when it exists; false when not, or on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool FindVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm);
    /// @brief Whether a VM exists in a vApp of an organisation.
    /// @param[in] org The organisation.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @return true when it exists; false when not, or on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool FindVMByNameFromVapp(const std::string& org, const std::string& vapp, const std::string& vm);
    /// @brief Finds a VM in a vApp and gives its vCenter managed object reference.
    /// @param[in] org The organisation.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @param[out] moref The VM's vCenter reference (`vm-123`). Written only on success, with exactly the
    ///        text the wrapper reported (empty when it reported none).
    /// @return true when found; false when not, or on failure.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool FindVMByNameFromVappAndGetMoref(const std::string& org, const std::string& vapp, const std::string& vm,
                                         std::string& moref);
    /// @brief Deletes a VM found by vApp and name: undeploys it when deployed, removes it and waits for
    ///        both tasks.
    /// @param[in] org The organisation.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @return true when the VM is gone; false on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool DeleteVMByNameFromVapp(const std::string& org, const std::string& vapp, const std::string& vm);
    /// @brief Reads what a backup needs of a VM given by organisation, VDC, vApp and name.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @param[out] vmId The VM's URN.
    /// @param[out] vcName The name of its vCenter server.
    /// @param[out] moref Its vCenter managed object reference.
    /// @param[out] storageProfile The name of its storage profile.
    /// @param[out] vmXml Its `Vm` document exactly as the server returned it.
    /// @return true on success, and then all five outputs are overwritten (one the wrapper did not set
    ///         becomes empty); false on failure, with all five untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool BackupVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm,
                  std::string& vmId, std::string& vcName, std::string& moref, std::string& storageProfile,
                  std::string& vmXml);
    /// @brief Reads what a backup needs of a VM given by reference, with the names of its vApp, VDC and
    ///        itself.
    /// @param[in] org The organisation.
    /// @param[in] vmRef The VM's href or URN (or a name unique in the organisation).
    /// @param[out] vappName The name of its vApp.
    /// @param[out] vdcName The name of its organisation VDC.
    /// @param[out] vmName Its name.
    /// @param[out] vcName The name of its vCenter server.
    /// @param[out] moref Its vCenter managed object reference.
    /// @param[out] vmXml Its `Vm` document exactly as the server returned it.
    /// @return true on success, and then all six outputs are overwritten (one the wrapper did not set
    ///         becomes empty); false on failure, with all six untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool BackupVM(const std::string& org, const std::string& vmRef, std::string& vappName, std::string& vdcName,
                  std::string& vmName, std::string& vcName, std::string& moref, std::string& vmXml);
    /// @brief Imports a VM that was restored in vCenter into a vApp of the cloud.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vapp The vApp that receives the VM.
    /// @param[in] vmName The name the VM gets in the vApp.
    /// @param[in] createVApp Create the vApp when it is missing; otherwise a missing vApp fails.
    /// @param[in] vcName The vCenter server that holds the restored VM.
    /// @param[in] moref The restored VM's vCenter managed object reference.
    /// @param[in] storageProfile A storage profile of the VDC; "" keeps the VM's.
    /// @param[in] network A network available in the VDC to attach the VM to; "" keeps the VM's.
    /// @param[in] description The VM's description.
    /// @param[in] powerOn Power the VM on at the end.
    /// @param[in,out] vmRef In: the original VM's reference ("" if none; only logged). Out: the new VM's
    ///        href, written only on success; unchanged if the wrapper left it alone.
    /// @param[in] overwrite Replace a VM of that name in the vApp; otherwise its presence fails the
    ///        restore.
    /// @param[in] metadata Metadata entries to add, `key=value;...` with `\;` `\=` `\\` escapes.
    /// @return true when the VM is in the vApp; false on failure, with vmRef untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool RestoreVM(const std::string& org, const std::string& vdc, const std::string& vapp,
                   const std::string& vmName, bool createVApp, const std::string& vcName, const std::string& moref,
                   const std::string& storageProfile, const std::string& network, const std::string& description,
                   bool powerOn, std::string& vmRef, bool overwrite, const std::string& metadata);
    /// @brief Deletes a VM: undeploys it when deployed, removes it and waits for both tasks.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vapp The vApp.
    /// @param[in] vm The VM.
    /// @return true when the VM is gone; false on failure.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool DeleteVM(const std::string& org, const std::string& vdc, const std::string& vapp, const std::string& vm);
    /// @}

    /// @name Inventory and VM queries
    /// @{

    /// @brief Reads the management server's version.
    /// @param[out] version strVersion, strBuild and strFullVersion. System sessions read the server's own
    ///        description; tenants get the release of the highest API version and an empty build.
    ///        Written only on success.
    /// @return true on success; false on failure, with version untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetMgmtVersionInfo(VMInfoStructs::SMgmtVersion& version);
    /// @brief Lists the names of an organisation's VDCs, in name order.
    /// @param[in] org The organisation.
    /// @param[out] vdcs The names; replaced only on success.
    /// @return true on success; false on failure, with vdcs untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetVdcListInOrg(const std::string& org, std::vector<std::string>& vdcs);
    /// @brief Lists the names of a VDC's vApps (not vApp templates), in the server's order.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[out] vapps The names; replaced only on success.
    /// @return true on success; false on failure, with vapps untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetVappListInVdc(const std::string& org, const std::string& vdc, std::vector<std::string>& vapps);
    /// @brief Lists the names of a vApp's networks.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vapp The vApp.
    /// @param[out] networks The names; replaced only on success.
    /// @return true on success; false on failure, with networks untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetNetworkListInVApp(const std::string& org, const std::string& vdc, const std::string& vapp,
                              std::vector<std::string>& networks);
    /// @brief Lists the names of the datastores of the provider VDC behind an organisation VDC.
    /// @param[in] vdc The organisation VDC.
    /// @param[out] datastores The names; replaced only on success.
    /// @return true on success; false on failure, with datastores untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetAssociatedDatastoreListForVdc(const std::string& vdc, std::vector<std::string>& datastores);
    /// @brief Reads one storage profile: name, id, vSphere storage policy (System sessions), limit and free
    ///        bytes (0 and 0: unlimited), default flag.
    /// @param[in] profile The profile's href, URN, UUID, or a name unique among the profiles the user sees.
    /// @param[out] info The profile; written only on success.
    /// @return true on success; false on failure, with info untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetStorageProfileInfo(const std::string& profile, VMInfoStructs::SDatastoreInfo& info);
    /// @brief Reads the VDC storage profile that uses a vSphere storage policy of a vCenter server.
    /// @param[in] vcenter The vCenter server.
    /// @param[in] moref The storage policy's managed object reference.
    /// @param[out] info The profile; written only on success.
    /// @return true on success; false on failure (also when several VDCs use the policy), with info
    ///         untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetStorageProfileInfoByMoref(const std::string& vcenter, const std::string& moref,
                                      VMInfoStructs::SDatastoreInfo& info);
    /// @brief Lists a VDC's storage profiles, each as GetStorageProfileInfo reads it.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[out] profiles The profiles; replaced only on success.
    /// @return true on success; false on failure, with profiles untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetStorageProfileListInVDC(const std::string& org, const std::string& vdc,
                                    std::vector<VMInfoStructs::SDatastoreInfo>& profiles);
    /// @brief Lists the names of an organisation's users.
    /// @param[in] org The organisation.
    /// @param[out] users The names; replaced only on success.
    /// @return true on success; false on failure, with users untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetUserListInOrg(const std::string& org, std::vector<std::string>& users);
    /// @brief Lists the vCenter servers that the cloud manages, as inventory nodes of type
    ///        eInventoryVCenter.
    /// @param[out] hypervisors The nodes; replaced only on success.
    /// @return true on success; false on failure, with hypervisors untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetManagedHypervisorsInCloud(std::vector<VMInfoStructs::SInventoryInfo>& hypervisors);
    /// @brief Lists the users of a VM's vApp: its owner (full access) and its access-control subjects,
    ///        with group, full-access and read-access flags.
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vm The VM.
    /// @param[out] users The users; replaced only on success.
    /// @return true on success; false on failure, with users untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool GetVMUsers(const std::string& org, const std::string& vdc, const std::string& vm,
                    std::vector<VMInfoStructs::SVMOwnerInfo>& users);
    /// @brief Lists the children of an inventory node: the cloud root gives organisations, an organisation
    ///        its VDCs, a VDC its vApps, a vApp or vApp template its VMs.
    /// @param[in] org Limits the answer to this organisation when not empty.
    /// @param[in] node The node, found by strHref, else by strName within org; never changed.
    /// @param[out] children The child nodes; replaced only on success.
    /// @param[in] mask VM_PROP_* bits; VM_PROP_INCLUDE_PUBLIC_TEMPLATES adds a VDC's vApp templates.
    /// @param[in] depth Levels to fill: 0 or 1 direct children only; more fills the children's own
    ///        children too.
    /// @return 1 on success; 0 on failure, with children untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int BrowseInventory(const std::string& org, const VMInfoStructs::SInventoryInfo& node,
                        std::vector<VMInfoStructs::SInventoryInfo>& children, UINT64 mask, int depth);
    /// @brief Lists every VM under an entity of the inventory.
    /// @param[in] entity The entity's name, href or URN (ignored for the cloud).
    /// @param[in] type Its kind: cloud, organisation, VDC, vApp, vApp template, VM, vCenter, storage
    ///        profile or datastore.
    /// @param[in] mask VM_PROP_* bits; VM_PROP_INCLUDE_PUBLIC_TEMPLATES includes the VMs of vApp templates.
    /// @param[in] maxCount At most this many VMs; 0 means all.
    /// @param[out] vms The VMs; replaced only on success.
    /// @return 1 on success; 0 on failure, with vms untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int GetVMListForEntity(std::string entity, VMInfoStructs::EInventoryType type, UINT64 mask, int maxCount,
                           std::vector<VMInfoStructs::SVMInfo>& vms);
    /// @brief Lists every VM under an entity given by name; otherwise as GetVMListForEntity.
    /// @param[in] entity The entity's name (an href or URN is accepted too).
    /// @param[in] type Its kind, as for GetVMListForEntity.
    /// @param[in] mask VM_PROP_* bits, as for GetVMListForEntity.
    /// @param[in] maxCount At most this many VMs; 0 means all.
    /// @param[out] vms The VMs; replaced only on success.
    /// @return 1 on success; 0 on failure, with vms untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int GetVMListForEntityByName(std::string entity, VMInfoStructs::EInventoryType type, UINT64 mask,
                                 int maxCount, std::vector<VMInfoStructs::SVMInfo>& vms);
    /// @brief Lists the VMs whose metadata entry key holds a text matching value.
    /// @param[in] key The metadata key.
    /// @param[in] value The text to match; `*` matches any characters.
    /// @param[in] mask VM_PROP_* bits.
    /// @param[in] maxCount At most this many VMs; 0 means all.
    /// @param[out] vms The VMs; replaced only on success.
    /// @return 1 on success; 0 on failure, with vms untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int GetVMInfoListForMetadataTag(const std::string& key, const std::string& value, UINT64 mask, int maxCount,
                                    std::vector<VMInfoStructs::SVMInfo>& vms);
    /// @brief Reads one VM: name, UUID, host, moref, guest OS, reported guest OS and power state
    ///        (0 off, 1 on, 2 other).
    /// @param[in] org The organisation.
    /// @param[in] vdc The organisation VDC.
    /// @param[in] vm The VM.
    /// @param[in] mask Accepted for compatibility; not used.
    /// @param[in] number Accepted for compatibility; not used.
    /// @param[out] info The VM; written only on success.
    /// @return 1 on success; 0 on failure, with info untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int GetVMInfoForVM(const std::string& org, const std::string& vdc, const std::string& vm, UINT64 mask,
                       int number, VMInfoStructs::SVMInfo& info);
    /// @brief Lists the VMs (not of templates) whose VM, vApp, VDC or organisation name matches a pattern.
    /// @param[out] vms The VMs; replaced only on success.
    /// @param[in] mask Accepted for compatibility; not used.
    /// @param[in] number Accepted for compatibility; not used.
    /// @param[in] pattern The pattern; `*` matches any characters, and a pattern with `*` ignores case.
    /// @param[in] filter Which name the pattern is matched against.
    /// @return 1 on success; 0 on failure, with vms untouched.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    int GetVMListForWildCard(std::vector<VMInfoStructs::SVMInfo>& vms, UINT64 mask, int number,
                             std::string pattern, VMInfoStructs::EFilterType filter);
    /// @brief Finds the vCenter server behind an organisation VDC.
    /// @param[in] vdc The organisation VDC.
    /// @param[in,out] vcName Out: the vCenter server's name. Written only on success; the text passed in
    ///        is handed to the wrapper, which does not read it.
    /// @param[in,out] vcUrl Out: the vCenter server's URL; as vcName.
    /// @return true on success; false on failure (a managed exception included), with both texts
    ///         untouched.
    /// @note Needs a System administrator session.
    /// @par Threads
    /// Any thread, concurrently with other calls except Initialize.
    bool QueryVcenterForOrgVDC(const std::string& vdc, std::string& vcName, std::string& vcUrl);
    /// @}

private:
    CVCloudWrapperPtr* m_host;
};

}  // namespace vCloudSDKCppBridge

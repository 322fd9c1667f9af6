// VMInfoStructs: the records, enumerations and constants that cross the bridge library's boundary.
//
// Callers pass these records by reference, singly or in std::vector lists, and the bridge fills them from
// the managed wrapper's records. Every record is a plain struct with public members that owns its whole
// tree: texts (UTF-8 bytes in std::string), lists and nested records are all held by value.
//
// Copy rules shared by every record that has a _Copy member:
//  - copy construction and copy assignment are the defaulted member-by-member copies, deep to any depth
//    (a list of records copies each element, and so on down the tree);
//  - _Copy does what assignment does and returns at once when given the record itself;
//  - the declared copies suppress the implicit move operations, so moving one copies it and leaves the
//    source intact.
// Every member has a defined value after default construction: scalars the record gives no other
// default are 0 or false.
//
// Members named strTextNN, i32ValueNN, i64ValueNN, i16ValueNN, bFlagNN and vecTextNN carry data that the
// bridge itself never fills; they exist so that callers can exchange whatever they keep there, and they
// are constructed and copied like every named member.
//
// This header is self-contained (standard library only) and can be included on its own.
#ifndef VMINFOSTRUCTS_H
#define VMINFOSTRUCTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The property mask type. A host header may already define UINT64, as a macro or as a typedef of
// unsigned long long; either way it must stay a 64-bit unsigned integer.
#ifndef UINT64
typedef unsigned long long UINT64;
#endif
static_assert(sizeof(UINT64) == 8 && static_cast<UINT64>(-1) > 0, "UINT64 must be a 64-bit unsigned integer");

// Property mask bits of the VM and inventory queries. The bridge forwards a mask to the managed wrapper
// unchanged; what each bit selects is the wrapper's decision. The five groups do not overlap and together
// make up VM_PROP_ALL; every single bit lies in exactly one group.
constexpr UINT64 MIN_VM_PROPS                    = 0x0000000000000000ULL;
constexpr UINT64 VM_PROP_ALL                     = 0xFFFFFFFFFFFFFFFFULL;
constexpr UINT64 VM_PROP_ALL_VM                  = 0x000000000000FFFFULL;  // bits 0 to 15
constexpr UINT64 VM_PROP_ALL_HOST                = 0x00000000FFFF0000ULL;  // bits 16 to 31
constexpr UINT64 VM_PROP_ALL_DS                  = 0x00000FFF00000000ULL;  // bits 32 to 43
constexpr UINT64 VM_PROP_ALL_OTHER               = 0x00FFF00000000000ULL;  // bits 44 to 55
constexpr UINT64 VM_PROP_ALL_SPECIAL             = 0xFF00000000000000ULL;  // bits 56 to 63

constexpr UINT64 VM_PROP_VM_HOST_INFO            = 0x0000000000000001ULL;
constexpr UINT64 VM_PROP_VM_GUEST_INFO           = 0x0000000000000002ULL;
constexpr UINT64 VM_PROP_VM_CFG_FILE             = 0x0000000000000004ULL;
constexpr UINT64 VM_PROP_VM_SNAPSHOT_LIST        = 0x0000000000000008ULL;
constexpr UINT64 VM_PROP_VM_DISK_LIST            = 0x0000000000000010ULL;
constexpr UINT64 VM_PROP_VM_NW_LIST              = 0x0000000000000020ULL;
constexpr UINT64 VM_PROP_VM_HOSTDATACENTER       = 0x0000000000000040ULL;
constexpr UINT64 VM_PROP_VM_REPLICATION_INFO     = 0x0000000000000080ULL;
constexpr UINT64 VM_PROP_VM_DISK_LIST_ADVANCED   = 0x0000000000000100ULL;
constexpr UINT64 VM_PROP_VM_STUB_STATE           = 0x0000000000000200ULL;
constexpr UINT64 VM_PROP_VM_DS_FILE_LIST         = 0x0000000000000400ULL;
constexpr UINT64 VM_PROP_VM_POWER_OFF_TIME       = 0x0000000000000800ULL;
constexpr UINT64 VM_PROP_VM_OWNER_INFO           = 0x0000000000001000ULL;
constexpr UINT64 VM_PROP_VM_ATTRIBUTES           = 0x0000000000002000ULL;

constexpr UINT64 VM_PROP_HOST_KEY_PAIR_LIST      = 0x0000000000800000ULL;
constexpr UINT64 VM_PROP_HOST_RP_VM_LIST         = 0x0000000001000000ULL;
constexpr UINT64 VM_PROP_HOST_DS_LIST            = 0x0000000002000000ULL;
constexpr UINT64 VM_PROP_HOST_NW_LIST            = 0x0000000004000000ULL;
constexpr UINT64 VM_PROP_HOST_ADAP_INFO          = 0x0000000008000000ULL;
constexpr UINT64 VM_PROP_HOST_RSC_POOL_INFO      = 0x0000000010000000ULL;
constexpr UINT64 VM_PROP_HOST_VM_LIST            = 0x0000000020000000ULL;
constexpr UINT64 VM_PROP_HOST_REPLICATION_INFO   = 0x0000000040000000ULL;
constexpr UINT64 VM_PROP_HOST_NW_ADAP_INFO       = 0x0000000080000000ULL;

constexpr UINT64 VM_PROP_DS_EXTENT_LIST          = 0x0000000100000000ULL;
constexpr UINT64 VM_PROP_DS_ALL_VMS              = 0x0000000200000000ULL;
constexpr UINT64 VM_PROP_DS_VM_LIST              = 0x0000000400000000ULL;

constexpr UINT64 VM_PROP_VAPP_VM_LIST            = 0x0000100000000000ULL;
constexpr UINT64 VM_PROP_DATACENTER_CLUSTER_LIST = 0x0001000000000000ULL;
constexpr UINT64 VM_PROP_DATACENTER_DS_LIST      = 0x0002000000000000ULL;
constexpr UINT64 VM_PROP_CLUSTER_VM_LIST         = 0x0010000000000000ULL;
constexpr UINT64 VM_PROP_CLUSTER_HOST_LIST       = 0x0020000000000000ULL;

constexpr UINT64 VM_PROP_INCLUDE_JT_BACKUP       = 0x8000000000000000ULL;
constexpr UINT64 VM_PROP_INCLUDE_PUBLIC_TEMPLATES = 0x4000000000000000ULL;

namespace VMInfoStructs {

// The kind of an inventory entity: the type of SInventoryInfo::eType, and the kind of entity that a name
// or href passed beside it denotes. The bridge never maps these numbers; it passes them to and from the
// managed wrapper unchanged, so the managed enumeration (vCloudSDKWrapper.EInventoryType) must number
// its members exactly the same way. Numbers never change once released; new kinds take new numbers.
// The underlying type is fixed at 32 bits so that a number naming no enumerator still travels intact.
enum EInventoryType : std::int32_t {
    eInventoryUnknown        = 0,   // kind not known or not given
    eInventoryCloud          = 1,   // the cloud root: the tree's top node
    eInventoryOrg            = 2,   // an organisation
    eInventoryOrgVdc         = 3,   // an organisation VDC
    eInventoryVApp           = 4,   // a vApp
    eInventoryVM             = 5,   // a virtual machine
    eInventoryVCenter        = 6,   // a vCenter server attached to the cloud
    eInventoryProviderVdc    = 7,   // a provider VDC
    eInventoryNetwork        = 8,   // a network
    eInventoryStorageProfile = 9,   // a storage profile (policy)
    eInventoryVAppTemplate   = 10,  // a vApp template
    eInventoryCatalog        = 11,  // a catalog
    eInventoryDatastore      = 12,  // a datastore
};

// What a wildcard pattern is matched against when listing VMs. Passed unchanged to the managed wrapper,
// whose enumeration (vCloudSDKWrapper.EFilterType) must number its members exactly the same way.
enum EFilterType : std::int32_t {
    eFilterVMName   = 0,  // the VM's name
    eFilterVAppName = 1,  // the name of the vApp that holds the VM
    eFilterVdcName  = 2,  // the name of the organisation VDC that holds the VM
    eFilterOrgName  = 3,  // the name of the organisation that owns the VM
};

// Bits of SInventoryInfo::uFlags. The spelling MAINTAINANCE is part of the published name.
constexpr std::uint32_t INVENTORY_INFO_FLAG_POWERED_ON       = 1;
constexpr std::uint32_t INVENTORY_INFO_FLAG_TEMPLATE         = 2;
constexpr std::uint32_t INVENTORY_INFO_FLAG_TOOLS_RUNNING    = 4;
constexpr std::uint32_t INVENTORY_INFO_FLAG_MAINTAINANCE_MODE = 8;

// Bit of SDisk::uBackupFlags that marks the disk as hidden.
constexpr UINT64 SDISK_BACKUP_FLAG_HIDDEN = 4;

// Two texts. Elements of SVMInfo::vecKeyPairs and SSnapshot::vecKeyPairs.
struct SKeyPairInfo {
    std::string strText01, strText02;

    SKeyPairInfo() = default;
    SKeyPairInfo(const SKeyPairInfo&) = default;
    SKeyPairInfo& operator=(const SKeyPairInfo&) = default;
    void _Copy(const SKeyPairInfo& source) { if (this != &source) *this = source; }
};

// Two texts. Elements of SVMInfo::vecSecurityGroups.
struct SSecurityGroupInfo {
    std::string strText01, strText02;

    SSecurityGroupInfo() = default;
    SSecurityGroupInfo(const SSecurityGroupInfo&) = default;
    SSecurityGroupInfo& operator=(const SSecurityGroupInfo&) = default;
    void _Copy(const SSecurityGroupInfo& source) { if (this != &source) *this = source; }
};

// Two texts. Elements of SVMInfo::vecOptionValues and vecOptionValues2.
// Copied and moved member by member.
struct SVMOptionValue {
    std::string strText01, strText02;
};

// Five texts. Elements of SVMInfo::vecFCAdapters. Copied and moved member by member.
struct SFCAdapterInfo {
    std::string strText01, strText02, strText03, strText04, strText05;
};

// One user of a machine: an element of SVMInfo::vecOwners and of the user list of a VM.
// Copied and moved member by member.
struct SVMOwnerInfo {
    std::string strName;
    bool bGroup = false;       // the name is a group, not a single user
    bool bFullAccess = false;
    bool bReadAccess = false;
};

// The guest operating system. Its texts default to "Any", all but strText05, which starts empty.
struct SGuestOSInfo {
    std::int32_t i32Value01 = 0;
    std::string strText01 = "Any", strText02 = "Any", strText03 = "Any", strText04 = "Any";
    std::string strText05;
    std::string strText06 = "Any";

    SGuestOSInfo() = default;
    SGuestOSInfo(const SGuestOSInfo&) = default;
    SGuestOSInfo& operator=(const SGuestOSInfo&) = default;
    void _Copy(const SGuestOSInfo& source) { if (this != &source) *this = source; }
};

// One child disk of a disk. Elements of SDisk::vecChildDisks.
struct SChildDisk {
    std::string strText01;
    std::int32_t i32Value01 = 0;
    std::int64_t i64Value01 = 0, i64Value02 = 0, i64Value03 = 0;
    std::string strText02, strText03, strText04, strText05, strText06;
    std::int32_t i32Value02 = 0;
    std::string strText07;
    std::int32_t i32Value03 = 0, i32Value04 = 0;
    bool bFlag01 = false, bFlag02 = false;
    std::int64_t i64Value04 = 0;
    std::int32_t i32Value05 = 0;
    std::string strText08, strText09;
    std::int64_t i64Value05 = 0;
    std::int32_t i32Value06 = 0;
    std::int64_t i64Value06 = 0;
    bool bFlag03 = false;
    std::string strText10;
    bool bFlag04 = false;
    std::string strText11;

    SChildDisk() = default;
    SChildDisk(const SChildDisk&) = default;
    SChildDisk& operator=(const SChildDisk&) = default;
    void _Copy(const SChildDisk& source) { if (this != &source) *this = source; }
};

// One virtual disk. Elements of SVMInfo::vecDisks and SFilelayout::vecDisks.
// The record ends with uBackupFlags (SDISK_BACKUP_FLAG_* bits) and i32Value13, both free for callers.
struct SDisk {
    std::string strText01;
    std::int32_t i32Value01 = 0;
    std::string strText02, strText03, strText04, strText05;
    std::int32_t i32Value02 = 0;
    bool bFlag01 = false, bFlag02 = false;
    std::int64_t i64Value01 = 0, i64Value02 = 0, i64Value03 = 0;
    std::vector<SChildDisk> vecChildDisks;
    std::string strText06;
    std::int32_t i32Value03 = 0, i32Value04 = 0;
    std::string strText07;
    std::int32_t i32Value05 = 0;
    std::string strText08;
    std::int32_t i32Value06 = 0;
    std::string strText09, strText10, strText11, strText12, strText13, strText14;
    std::int32_t i32Value07 = 0;
    std::int64_t i64Value04 = 0;
    std::string strText15, strText16, strText17, strText18, strText19;
    bool bFlag03 = false;
    std::int32_t i32Value08 = 0;
    bool bFlag04 = false;
    std::int64_t i64Value05 = 0;
    bool bFlag05 = false, bFlag06 = false;
    std::int32_t i32Value09 = 0;
    std::string strText20, strText21, strText22, strText23, strText24;
    bool bFlag07 = false;
    std::int64_t i64Value06 = 0;
    std::string strText25;
    std::int32_t i32Value10 = 0;
    bool bFlag08 = false;
    std::string strText26;
    bool bFlag09 = false, bFlag10 = false, bFlag11 = false;
    std::string strText27, strText28, strText29;
    bool bFlag12 = false;
    std::string strText30, strText31, strText32, strText33;
    std::int32_t i32Value11 = 0, i32Value12 = 0;
    bool bFlag13 = false, bFlag14 = false, bFlag15 = false;
    std::string strText34, strText35, strText36, strText37, strText38;
    std::vector<std::string> vecText01;
    std::string strText39, strText40, strText41, strText42;
    std::int64_t i64Value07 = 0;
    bool bFlag16 = false;
    std::string strText43, strText44, strText45;
    UINT64 uBackupFlags = 0;
    std::int32_t i32Value13 = 0;

    SDisk() = default;
    SDisk(const SDisk&) = default;
    SDisk& operator=(const SDisk&) = default;
    void _Copy(const SDisk& source) { if (this != &source) *this = source; }
};

// One snapshot; vecChildSnapshots holds the snapshots taken from it, to any depth.
struct SSnapshot {
    std::vector<std::string> vecText01;
    std::string strText01, strText02, strText03;
    std::int64_t i64Value01 = 0;
    std::string strText04, strText05;
    std::vector<SKeyPairInfo> vecKeyPairs;
    std::vector<SSnapshot> vecChildSnapshots;

    SSnapshot() = default;
    SSnapshot(const SSnapshot&) = default;
    SSnapshot& operator=(const SSnapshot&) = default;
    void _Copy(const SSnapshot& source) { if (this != &source) *this = source; }
};

// One file of the machine. Elements of SFilelayout::vecFiles.
struct SVMFile {
    std::string strText01;
    std::int64_t i64Value01 = 0;
    std::int32_t i32Value01 = 0;
    std::int64_t i64Value02 = 0;
    std::int32_t i32Value02 = 0;
    std::string strText02;
    std::map<std::string, std::string> mapTextPairs;
    bool bFlag01 = false;

    SVMFile() = default;
    SVMFile(const SVMFile&) = default;
    SVMFile& operator=(const SVMFile&) = default;
    void _Copy(const SVMFile& source) { if (this != &source) *this = source; }
};

// The machine's file layout: its disks and its other files.
struct SFilelayout {
    std::vector<SDisk> vecDisks;
    std::vector<SVMFile> vecFiles;

    SFilelayout() = default;
    SFilelayout(const SFilelayout&) = default;
    SFilelayout& operator=(const SFilelayout&) = default;
    void _Copy(const SFilelayout& source) { if (this != &source) *this = source; }
};

// One network card. Elements of SVMInfo::vecNetworkCards and vecNetworkCards2.
struct SVMNetworkCard {
    std::string strText01, strText02, strText03, strText04, strText05, strText06, strText07;
    bool bFlag01 = false, bFlag02 = false;
    std::int32_t i32Value01 = 0;
    std::int64_t i64Value01 = 0, i64Value02 = 0;
    std::string strText08;
    bool bFlag03 = false;
    std::int16_t i16Value01 = 0, i16Value02 = 0;
    std::string strText09, strText10;
    bool bFlag04 = false;

    SVMNetworkCard() = default;
    SVMNetworkCard(const SVMNetworkCard&) = default;
    SVMNetworkCard& operator=(const SVMNetworkCard&) = default;
    void _Copy(const SVMNetworkCard& source) { if (this != &source) *this = source; }
};

// One disk controller. Elements of SVMInfo::vecDiskControllers. Copied and moved member by member.
struct SVMDiskController {
    std::string strText01;
    std::int32_t i32Value01 = 0, i32Value02 = 0;
    std::string strText02;
    std::int32_t i32Value03 = 0, i32Value04 = 0;
};

// One virtual machine. The bridge fills strName, strGuestOSName, strUUID, strMoref, strHostName,
// strGuestOSVersion and ePowerState; every other member keeps what its owner put there.
// The record ends with i64Value14, i32Value18 and bFlag18, free for callers.
struct SVMInfo {
    std::string strName, strGuestOSName, strUUID;
    std::string strText01, strText02, strText03;
    std::string strMoref;
    std::string strText04, strText05, strText06, strText07, strText08, strText09, strText10, strText11,
                strText12, strText13, strText14, strText15, strText16, strText17, strText18;
    std::string strHostName;
    std::string strText19, strText20, strText21, strText22, strText23, strText24, strText25, strText26,
                strText27, strText28, strText29;
    bool bFlag01 = false;
    std::string strText30;
    std::int32_t i32Value01 = 0;
    std::int32_t i32Value02 = 0;
    std::int32_t i32Value03 = 0;
    std::string strText31;
    std::int32_t i32Value04 = 0;
    std::int32_t i32Value05 = -1;
    std::vector<SSnapshot> vecSnapshots;
    std::vector<SDisk> vecDisks;
    std::vector<SVMDiskController> vecDiskControllers;
    std::vector<SVMNetworkCard> vecNetworkCards;
    SFilelayout stFileLayout;
    std::int64_t i64Value01 = 0;
    std::int32_t i32Value06 = 0;
    std::int64_t i64Value02 = -1, i64Value03 = -1, i64Value04 = -1;
    std::int64_t i64Value05 = 0;
    std::int64_t i64Value06 = -1, i64Value07 = -1;
    bool bFlag02 = false;
    std::int64_t i64Value08 = 0, i64Value09 = 0;
    std::int32_t i32Value07 = 0;
    bool bFlag03 = false, bFlag04 = false;
    std::int32_t i32Value08 = 0;
    std::int32_t i32Value09 = 99;
    std::int32_t i32Value10 = 0;
    std::int32_t ePowerState = 0;  // 0 powered off, 1 powered on, 2 any other state
    std::string strText32;
    std::int32_t i32Value11 = -1;
    std::string strGuestOSVersion;
    std::int64_t i64Value10 = 0, i64Value11 = 0;
    std::string strText33, strText34;
    std::int64_t i64Value12 = 0;
    std::string strText35;
    bool bFlag05 = false, bFlag06 = false;
    std::string strText36, strText37;
    std::vector<SVMOptionValue> vecOptionValues, vecOptionValues2;
    bool bFlag07 = false, bFlag08 = false;
    std::vector<std::string> vecText01;
    std::vector<SKeyPairInfo> vecKeyPairs;
    std::vector<SSecurityGroupInfo> vecSecurityGroups;
    std::string strText38, strText39;
    bool bFlag09 = false, bFlag10 = false, bFlag11 = false;
    std::int32_t i32Value12 = 0;
    bool bFlag12 = false;
    std::int64_t i64Value13 = 0;
    bool bFlag13 = false, bFlag14 = false;
    std::int32_t i32Value13 = 0;
    bool bFlag15 = false, bFlag16 = false;
    std::string strText40, strText41;
    std::vector<SVMOwnerInfo> vecOwners;
    std::string strText42, strText43, strText44, strText45, strText46;
    std::vector<SVMNetworkCard> vecNetworkCards2;
    std::string strText47, strText48;
    std::vector<std::string> vecText02, vecText03;
    SGuestOSInfo stGuestOSInfo;
    std::string strText49, strText50;
    std::int32_t i32Value14 = 0, i32Value15 = 0;
    std::string strText51;
    std::int32_t i32Value16 = 0;
    std::string strText52;
    bool bFlag17 = false;
    std::string strText53, strText54, strText55, strText56;
    std::int32_t i32Value17 = 0;
    std::vector<SFCAdapterInfo> vecFCAdapters;
    std::string strText57, strText58, strText59, strText60;
    std::int64_t i64Value14 = 0;
    std::int32_t i32Value18 = 0;
    bool bFlag18 = false;

    SVMInfo() = default;
    SVMInfo(const SVMInfo&) = default;
    SVMInfo& operator=(const SVMInfo&) = default;
    void _Copy(const SVMInfo& source) { if (this != &source) *this = source; }
};

// One node of the cloud inventory tree; vecChildren holds its children to any depth.
// uFlags carries INVENTORY_INFO_FLAG_* bits; the bridge neither fills nor sends it.
struct SInventoryInfo {
    std::string strName;
    std::string strHref;
    EInventoryType eType = eInventoryUnknown;
    std::vector<SInventoryInfo> vecChildren;
    std::uint32_t uFlags = 0;

    SInventoryInfo() = default;
    SInventoryInfo(const SInventoryInfo&) = default;
    SInventoryInfo& operator=(const SInventoryInfo&) = default;
    void _Copy(const SInventoryInfo& source) { if (this != &source) *this = source; }
};

// The host storage adapter behind a SCSI logical unit: seven texts.
struct SHostStorageAdapterInfo {
    std::string strText01, strText02, strText03, strText04, strText05, strText06, strText07;

    SHostStorageAdapterInfo() = default;
    SHostStorageAdapterInfo(const SHostStorageAdapterInfo&) = default;
    SHostStorageAdapterInfo& operator=(const SHostStorageAdapterInfo&) = default;
    void _Copy(const SHostStorageAdapterInfo& source) { if (this != &source) *this = source; }
};

// One SCSI logical unit of a datastore. Elements of SDatastoreInfo::vecSCSILuns.
struct SSCSILunInfo {
    std::string strText01, strText02, strText03, strText04, strText05, strText06;
    SHostStorageAdapterInfo stHostAdapterInfo;

    SSCSILunInfo() = default;
    SSCSILunInfo(const SSCSILunInfo&) = default;
    SSCSILunInfo& operator=(const SSCSILunInfo&) = default;
    void _Copy(const SSCSILunInfo& source) { if (this != &source) *this = source; }
};

// One datastore or storage profile. The bridge fills strName, strGUID, strMoref, the two sizes (bytes,
// signed 64-bit) and bIsDefault. bFlag01 is the one flag of these records that defaults to true.
// The record ends with i64Value01 and i32Value03, free for callers.
struct SDatastoreInfo {
    bool bFlag01 = true;
    std::string strName, strText01, strGUID, strText02, strText03, strText04, strMoref;
    std::int32_t i32Value01 = 0;
    std::int64_t i64TotalSizeInBytes = 0, i64FreeSpaceInBytes = 0;
    std::vector<SVMInfo> vecVMs;
    std::vector<SSCSILunInfo> vecSCSILuns;
    std::vector<std::string> vecText01;
    std::int32_t i32Value02 = 0;
    bool bFlag02 = false;
    std::string strText05;
    bool bFlag03 = false, bIsDefault = false;
    std::string strText06, strText07, strText08;
    std::int64_t i64Value01 = 0;
    std::int32_t i32Value03 = 0;

    SDatastoreInfo() = default;
    SDatastoreInfo(const SDatastoreInfo&) = default;
    SDatastoreInfo& operator=(const SDatastoreInfo&) = default;
    void _Copy(const SDatastoreInfo& source) { if (this != &source) *this = source; }
};

// The management server's version texts. Copied and moved member by member.
struct SMgmtVersion {
    std::string strVersion;
    std::string strBuild;
    std::string strFullVersion;
};

}  // namespace VMInfoStructs

#endif  // VMINFOSTRUCTS_H

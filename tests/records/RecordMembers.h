// Every member of every VMInfoStructs record, in declaration order, for the table-driven record tests.
// Kept apart from the public header on purpose: the layout test checks this list against the real
// records, so a member added to a record but not here (or not to its copy routine) is caught; only a
// flag small enough to sit in the alignment padding before a wider member could slip past it.
#pragma once

#define SKEYPAIRINFO_MEMBERS(M) M(strText01) M(strText02)
#define SSECURITYGROUPINFO_MEMBERS(M) M(strText01) M(strText02)
#define SVMOPTIONVALUE_MEMBERS(M) M(strText01) M(strText02)
#define SFCADAPTERINFO_MEMBERS(M) M(strText01) M(strText02) M(strText03) M(strText04) M(strText05)
#define SVMOWNERINFO_MEMBERS(M) M(strName) M(bGroup) M(bFullAccess) M(bReadAccess)
#define SGUESTOSINFO_MEMBERS(M) M(i32Value01) M(strText01) M(strText02) M(strText03) M(strText04) \
    M(strText05) M(strText06)
#define SCHILDDISK_MEMBERS(M) M(strText01) M(i32Value01) M(i64Value01) M(i64Value02) M(i64Value03) \
    M(strText02) M(strText03) M(strText04) M(strText05) M(strText06) M(i32Value02) M(strText07) \
    M(i32Value03) M(i32Value04) M(bFlag01) M(bFlag02) M(i64Value04) M(i32Value05) M(strText08) M(strText09) \
    M(i64Value05) M(i32Value06) M(i64Value06) M(bFlag03) M(strText10) M(bFlag04) M(strText11)
#define SDISK_MEMBERS(M) M(strText01) M(i32Value01) M(strText02) M(strText03) M(strText04) M(strText05) \
    M(i32Value02) M(bFlag01) M(bFlag02) M(i64Value01) M(i64Value02) M(i64Value03) M(vecChildDisks) \
    M(strText06) M(i32Value03) M(i32Value04) M(strText07) M(i32Value05) M(strText08) M(i32Value06) \
    M(strText09) M(strText10) M(strText11) M(strText12) M(strText13) M(strText14) M(i32Value07) \
    M(i64Value04) M(strText15) M(strText16) M(strText17) M(strText18) M(strText19) M(bFlag03) M(i32Value08) \
    M(bFlag04) M(i64Value05) M(bFlag05) M(bFlag06) M(i32Value09) M(strText20) M(strText21) M(strText22) \
    M(strText23) M(strText24) M(bFlag07) M(i64Value06) M(strText25) M(i32Value10) M(bFlag08) M(strText26) \
    M(bFlag09) M(bFlag10) M(bFlag11) M(strText27) M(strText28) M(strText29) M(bFlag12) M(strText30) \
    M(strText31) M(strText32) M(strText33) M(i32Value11) M(i32Value12) M(bFlag13) M(bFlag14) M(bFlag15) \
    M(strText34) M(strText35) M(strText36) M(strText37) M(strText38) M(vecText01) M(strText39) M(strText40) \
    M(strText41) M(strText42) M(i64Value07) M(bFlag16) M(strText43) M(strText44) M(strText45) \
    M(uBackupFlags) M(i32Value13)
#define SSNAPSHOT_MEMBERS(M) M(vecText01) M(strText01) M(strText02) M(strText03) M(i64Value01) M(strText04) \
    M(strText05) M(vecKeyPairs) M(vecChildSnapshots)
#define SVMFILE_MEMBERS(M) M(strText01) M(i64Value01) M(i32Value01) M(i64Value02) M(i32Value02) M(strText02) \
    M(mapTextPairs) M(bFlag01)
#define SFILELAYOUT_MEMBERS(M) M(vecDisks) M(vecFiles)
#define SVMNETWORKCARD_MEMBERS(M) M(strText01) M(strText02) M(strText03) M(strText04) M(strText05) \
    M(strText06) M(strText07) M(bFlag01) M(bFlag02) M(i32Value01) M(i64Value01) M(i64Value02) M(strText08) \
    M(bFlag03) M(i16Value01) M(i16Value02) M(strText09) M(strText10) M(bFlag04)
#define SVMDISKCONTROLLER_MEMBERS(M) M(strText01) M(i32Value01) M(i32Value02) M(strText02) M(i32Value03) \
    M(i32Value04)
#define SVMINFO_MEMBERS(M) M(strName) M(strGuestOSName) M(strUUID) M(strText01) M(strText02) M(strText03) \
    M(strMoref) M(strText04) M(strText05) M(strText06) M(strText07) M(strText08) M(strText09) M(strText10) \
    M(strText11) M(strText12) M(strText13) M(strText14) M(strText15) M(strText16) M(strText17) M(strText18) \
    M(strHostName) M(strText19) M(strText20) M(strText21) M(strText22) M(strText23) M(strText24) \
    M(strText25) M(strText26) M(strText27) M(strText28) M(strText29) M(bFlag01) M(strText30) M(i32Value01) \
    M(i32Value02) M(i32Value03) M(strText31) M(i32Value04) M(i32Value05) M(vecSnapshots) M(vecDisks) \
    M(vecDiskControllers) M(vecNetworkCards) M(stFileLayout) M(i64Value01) M(i32Value06) M(i64Value02) \
    M(i64Value03) M(i64Value04) M(i64Value05) M(i64Value06) M(i64Value07) M(bFlag02) M(i64Value08) \
    M(i64Value09) M(i32Value07) M(bFlag03) M(bFlag04) M(i32Value08) M(i32Value09) M(i32Value10) \
    M(ePowerState) M(strText32) M(i32Value11) M(strGuestOSVersion) M(i64Value10) M(i64Value11) M(strText33) \
    M(strText34) M(i64Value12) M(strText35) M(bFlag05) M(bFlag06) M(strText36) M(strText37) \
    M(vecOptionValues) M(vecOptionValues2) M(bFlag07) M(bFlag08) M(vecText01) M(vecKeyPairs) \
    M(vecSecurityGroups) M(strText38) M(strText39) M(bFlag09) M(bFlag10) M(bFlag11) M(i32Value12) M(bFlag12) \
    M(i64Value13) M(bFlag13) M(bFlag14) M(i32Value13) M(bFlag15) M(bFlag16) M(strText40) M(strText41) \
    M(vecOwners) M(strText42) M(strText43) M(strText44) M(strText45) M(strText46) M(vecNetworkCards2) \
    M(strText47) M(strText48) M(vecText02) M(vecText03) M(stGuestOSInfo) M(strText49) M(strText50) \
    M(i32Value14) M(i32Value15) M(strText51) M(i32Value16) M(strText52) M(bFlag17) M(strText53) M(strText54) \
    M(strText55) M(strText56) M(i32Value17) M(vecFCAdapters) M(strText57) M(strText58) M(strText59) \
    M(strText60) M(i64Value14) M(i32Value18) M(bFlag18)
#define SINVENTORYINFO_MEMBERS(M) M(strName) M(strHref) M(eType) M(vecChildren) M(uFlags)
#define SHOSTSTORAGEADAPTERINFO_MEMBERS(M) M(strText01) M(strText02) M(strText03) M(strText04) M(strText05) \
    M(strText06) M(strText07)
#define SSCSILUNINFO_MEMBERS(M) M(strText01) M(strText02) M(strText03) M(strText04) M(strText05) \
    M(strText06) M(stHostAdapterInfo)
#define SDATASTOREINFO_MEMBERS(M) M(bFlag01) M(strName) M(strText01) M(strGUID) M(strText02) M(strText03) \
    M(strText04) M(strMoref) M(i32Value01) M(i64TotalSizeInBytes) M(i64FreeSpaceInBytes) M(vecVMs) \
    M(vecSCSILuns) M(vecText01) M(i32Value02) M(bFlag02) M(strText05) M(bFlag03) M(bIsDefault) M(strText06) \
    M(strText07) M(strText08) M(i64Value01) M(i32Value03)
#define SMGMTVERSION_MEMBERS(M) M(strVersion) M(strBuild) M(strFullVersion)

// End to end: the bridge, the embedded runtime and our managed wrapper against the simulator on
// 127.0.0.1. Every operation is reached through its native call and checked against the simulator's
// demo cloud and its own account of its state.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "SimulatorProcess.h"
#include "vCloudSDKCppBridge.h"

using namespace VMInfoStructs;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;

namespace {

const char* const kFast = "allowHttp=true;taskPollInterval=20ms;retries=0;httpTimeout=20s;taskTimeout=60s";

// The simulator and two logged-in bridges (System administrator and a tenant), once per test process.
struct Cloud {
    e2e::SimulatorProcess sim{{"--task-ms", "30"}};
    CVCloudSDKCppBridge admin;
    CVCloudSDKCppBridge alice;
};

Cloud* g_cloud = nullptr;

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        g_cloud = new Cloud();
        ASSERT_TRUE(g_cloud->sim.Running()) << g_cloud->sim.Error();
        ASSERT_TRUE(g_cloud->admin.Initialize("", kFast, 0)) << g_cloud->admin.GetLastErrorString();
        ASSERT_TRUE(g_cloud->admin.Connect(g_cloud->sim.Url(), "administrator@System", "vmware1!"))
            << g_cloud->admin.GetLastErrorString();
        ASSERT_TRUE(g_cloud->alice.Initialize("", kFast, 0));
        ASSERT_TRUE(g_cloud->alice.Connect(g_cloud->sim.Url(), "alice@Acme", "alice1!"))
            << g_cloud->alice.GetLastErrorString();
    }
    void TearDown() override {
        g_cloud->admin.Disconnect();
        g_cloud->alice.Disconnect();
        delete g_cloud;
        g_cloud = nullptr;
    }
};

const ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

class EndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        std::string body;
        sim().Request("POST", "/sim/faults/reset", "", body);
    }
    CVCloudSDKCppBridge& admin() { return g_cloud->admin; }
    CVCloudSDKCppBridge& alice() { return g_cloud->alice; }
    e2e::SimulatorProcess& sim() { return g_cloud->sim; }

    // The simulator's own description of an object, as JSON text.
    std::string State(const std::string& query) {
        std::string body;
        EXPECT_EQ(sim().Request("GET", "/sim/state?" + query, "", body), 200) << query;
        return body;
    }
    void Fault(const std::string& query) {
        std::string body;
        ASSERT_EQ(sim().Request("POST", "/sim/faults?" + query, "", body), 200) << body;
    }
};

std::set<std::string> Names(const std::vector<SVMInfo>& vms) {
    std::set<std::string> names;
    for (const auto& vm : vms) names.insert(vm.strName);
    return names;
}

std::set<std::string> Set(const std::vector<std::string>& items) { return {items.begin(), items.end()}; }

// ---- reads ----

TEST_F(EndToEnd, VersionOfTheServer) {
    SMgmtVersion version;
    ASSERT_TRUE(admin().GetMgmtVersionInfo(version)) << admin().GetLastErrorString();
    EXPECT_EQ(version.strVersion, "10.5.1");
    EXPECT_EQ(version.strBuild, "23400185");
    EXPECT_NE(version.strFullVersion.find("10.5.1"), std::string::npos);

    SMgmtVersion tenant;
    ASSERT_TRUE(alice().GetMgmtVersionInfo(tenant)) << alice().GetLastErrorString();
    EXPECT_FALSE(tenant.strVersion.empty());
    EXPECT_TRUE(tenant.strBuild.empty());
}

TEST_F(EndToEnd, NameListsInTheServersOrder) {
    std::vector<std::string> vdcs = {"stale"}, vapps, networks, users, datastores;
    ASSERT_TRUE(admin().GetVdcListInOrg("Acme", vdcs)) << admin().GetLastErrorString();
    EXPECT_EQ(Set(vdcs), (std::set<std::string>{"Acme-Gold", "Acme-Silver"}));
    ASSERT_TRUE(admin().GetVappListInVdc("Acme", "Acme-Gold", vapps));
    EXPECT_TRUE(Set(vapps).count("web-tier") && Set(vapps).count("db-tier")) << vapps.size();
    EXPECT_FALSE(Set(vapps).count("ubuntu-22.04-base"));  // a template is not a vApp
    ASSERT_TRUE(admin().GetNetworkListInVApp("Acme", "Acme-Gold", "web-tier", networks));
    EXPECT_TRUE(Set(networks).count("acme-web"));
    ASSERT_TRUE(admin().GetUserListInOrg("Acme", users));
    EXPECT_TRUE(Set(users).count("alice") && Set(users).count("carol"));
    ASSERT_TRUE(admin().GetAssociatedDatastoreListForVdc("Acme-Gold", datastores));
    EXPECT_EQ(Set(datastores), (std::set<std::string>{"east-ssd-01", "east-ssd-02", "east-sata-01"}));
}

TEST_F(EndToEnd, StorageProfilesWithSizesAboveFourGiB) {
    std::vector<SDatastoreInfo> profiles;
    ASSERT_TRUE(admin().GetStorageProfileListInVDC("Acme", "Acme-Gold", profiles)) << admin().GetLastErrorString();
    ASSERT_EQ(profiles.size(), 2u);
    auto gold = std::find_if(profiles.begin(), profiles.end(), [](const SDatastoreInfo& p) { return p.strName == "Gold"; });
    ASSERT_NE(gold, profiles.end());
    EXPECT_TRUE(gold->bIsDefault);
    EXPECT_EQ(gold->i64TotalSizeInBytes, 4096LL << 30);
    EXPECT_GT(gold->i64FreeSpaceInBytes, 0);
    EXPECT_LE(gold->i64FreeSpaceInBytes, gold->i64TotalSizeInBytes);
    EXPECT_EQ(gold->strMoref, "5e7c1d20-3a4b-4c8d-9e0f-11aa22bb33cc");
    EXPECT_FALSE(gold->strGUID.empty());

    SDatastoreInfo byRef;
    ASSERT_TRUE(admin().GetStorageProfileInfo(gold->strGUID, byRef)) << admin().GetLastErrorString();
    EXPECT_EQ(byRef.strName, "Gold");
    EXPECT_EQ(byRef.i64TotalSizeInBytes, gold->i64TotalSizeInBytes);

    SDatastoreInfo byMoref;
    ASSERT_TRUE(admin().GetStorageProfileInfoByMoref("vc-east", gold->strMoref, byMoref)) << admin().GetLastErrorString();
    EXPECT_EQ(byMoref.strGUID, gold->strGUID);
}

TEST_F(EndToEnd, UsersOfAVM) {
    std::vector<SVMOwnerInfo> users;
    ASSERT_TRUE(admin().GetVMUsers("Acme", "Acme-Gold", "web-01", users)) << admin().GetLastErrorString();
    std::map<std::string, SVMOwnerInfo> byName;
    for (const auto& u : users) byName[u.strName] = u;
    ASSERT_TRUE(byName.count("alice") && byName.count("carol") && byName.count("acme-operators")) << users.size();
    EXPECT_TRUE(byName["alice"].bFullAccess);
    EXPECT_FALSE(byName["carol"].bFullAccess);
    EXPECT_TRUE(byName["carol"].bReadAccess);
    EXPECT_TRUE(byName["acme-operators"].bGroup);
}

TEST_F(EndToEnd, OneVMsDescription) {
    SVMInfo vm;
    vm.vecDisks.resize(2);  // members the bridge does not fill keep their values
    ASSERT_EQ(admin().GetVMInfoForVM("Acme", "Acme-Gold", "web-01", VM_PROP_ALL, 0, vm), 1) << admin().GetLastErrorString();
    EXPECT_EQ(vm.strName, "web-01");
    EXPECT_EQ(vm.ePowerState, 1);
    EXPECT_EQ(vm.strHostName, "esx-east-01.example.test");
    EXPECT_FALSE(vm.strMoref.empty());
    EXPECT_FALSE(vm.strUUID.empty());
    EXPECT_NE(vm.strGuestOSName.find("Ubuntu"), std::string::npos);
    EXPECT_EQ(vm.vecDisks.size(), 2u);

    SVMInfo suspended;
    ASSERT_EQ(admin().GetVMInfoForVM("Acme", "Acme-Gold", "db-02", 0, 0, suspended), 1);
    EXPECT_EQ(suspended.ePowerState, 2);
}

TEST_F(EndToEnd, HypervisorsAndInventoryTree) {
    std::vector<SInventoryInfo> vcenters;
    ASSERT_TRUE(admin().GetManagedHypervisorsInCloud(vcenters)) << admin().GetLastErrorString();
    std::set<std::string> names;
    for (const auto& vc : vcenters) {
        names.insert(vc.strName);
        EXPECT_EQ(vc.eType, eInventoryVCenter);
    }
    EXPECT_EQ(names, (std::set<std::string>{"vc-east", "vc-west"}));

    SInventoryInfo root;
    root.eType = eInventoryCloud;
    root.uFlags = 0x55;
    std::vector<SInventoryInfo> orgs;
    ASSERT_EQ(admin().BrowseInventory("", root, orgs, 0, 1), 1) << admin().GetLastErrorString();
    EXPECT_EQ(root.uFlags, 0x55u);
    auto acme = std::find_if(orgs.begin(), orgs.end(), [](const SInventoryInfo& n) { return n.strName == "Acme"; });
    ASSERT_NE(acme, orgs.end());
    EXPECT_EQ(acme->eType, eInventoryOrg);

    std::vector<SInventoryInfo> vdcs;
    ASSERT_EQ(admin().BrowseInventory("Acme", *acme, vdcs, 0, 1), 1) << admin().GetLastErrorString();
    std::set<std::string> vdcNames;
    for (const auto& n : vdcs) vdcNames.insert(n.strName);
    EXPECT_EQ(vdcNames, (std::set<std::string>{"Acme-Gold", "Acme-Silver"}));

    // Two levels at once: the VDC's vApps with their VMs.
    auto gold = std::find_if(vdcs.begin(), vdcs.end(), [](const SInventoryInfo& n) { return n.strName == "Acme-Gold"; });
    ASSERT_NE(gold, vdcs.end());
    std::vector<SInventoryInfo> vapps;
    ASSERT_EQ(admin().BrowseInventory("Acme", *gold, vapps, 0, 2), 1) << admin().GetLastErrorString();
    auto web = std::find_if(vapps.begin(), vapps.end(), [](const SInventoryInfo& n) { return n.strName == "web-tier"; });
    ASSERT_NE(web, vapps.end());
    EXPECT_EQ(web->vecChildren.size(), 3u);
}

TEST_F(EndToEnd, VMListsByEntityTagAndWildcard) {
    std::vector<SVMInfo> all, withTemplates, vdc, tagged, wild, byName;
    ASSERT_EQ(admin().GetVMListForEntity("", eInventoryCloud, 0, 0, all), 1) << admin().GetLastErrorString();
    EXPECT_TRUE(Names(all).count("web-01") && Names(all).count("erp-db-01") && Names(all).count("dr-01"));
    EXPECT_FALSE(Names(all).count("ubuntu-base"));
    ASSERT_EQ(admin().GetVMListForEntity("", eInventoryCloud, VM_PROP_INCLUDE_PUBLIC_TEMPLATES, 0, withTemplates), 1);
    EXPECT_TRUE(Names(withTemplates).count("ubuntu-base"));
    EXPECT_EQ(withTemplates.size(), all.size() + 2);

    ASSERT_EQ(admin().GetVMListForEntityByName("Acme-Gold", eInventoryOrgVdc, 0, 0, vdc), 1);
    EXPECT_EQ(Names(vdc), (std::set<std::string>{"web-01", "web-02", "web-03", "db-01", "db-02"}));

    ASSERT_EQ(admin().GetVMInfoListForMetadataTag("backup-policy", "gold", 0, 0, tagged), 1)
        << admin().GetLastErrorString();
    EXPECT_EQ(Names(tagged), (std::set<std::string>{"web-01", "web-02", "db-01", "erp-db-01"}));

    ASSERT_EQ(admin().GetVMListForWildCard(wild, 0, 0, "web-*", eFilterVMName), 1);
    EXPECT_EQ(Names(wild), (std::set<std::string>{"web-01", "web-02", "web-03"}));
    ASSERT_EQ(admin().GetVMListForWildCard(byName, 0, 0, "Globex*", eFilterOrgName), 1);
    EXPECT_TRUE(Names(byName).count("mail-01"));
    EXPECT_FALSE(Names(byName).count("web-01"));

    std::vector<SVMInfo> limited;
    ASSERT_EQ(admin().GetVMListForEntity("", eInventoryCloud, 0, 3, limited), 1);
    EXPECT_EQ(limited.size(), 3u);
}

TEST_F(EndToEnd, VCenterLookups) {
    EXPECT_TRUE(admin().FindVCenterServer("vc-east"));
    EXPECT_FALSE(admin().FindVCenterServer("vc-north"));
    EXPECT_FALSE(admin().GetLastErrorString().empty());

    std::string name = "in", url = "in";
    ASSERT_TRUE(admin().QueryVcenterForOrgVDC("Acme-Gold", name, url)) << admin().GetLastErrorString();
    EXPECT_EQ(name, "vc-east");
    EXPECT_NE(url.find("vc-east.example.test"), std::string::npos);
}

TEST_F(EndToEnd, FindingVMs) {
    EXPECT_TRUE(admin().FindVM("Acme", "Acme-Gold", "web-01"));
    EXPECT_FALSE(admin().FindVM("Acme", "Acme-Silver", "web-01"));
    EXPECT_TRUE(admin().FindVM("Acme", "Acme-Gold", "web-tier", "web-02"));
    EXPECT_FALSE(admin().FindVM("Acme", "Acme-Gold", "db-tier", "web-02"));
    EXPECT_TRUE(admin().FindVMByNameFromVapp("Globex", "erp", "util-01"));
    std::string moref = "stale";
    ASSERT_TRUE(admin().FindVMByNameFromVappAndGetMoref("Acme", "db-tier", "db-01", moref)) << admin().GetLastErrorString();
    EXPECT_EQ(moref.rfind("vm-", 0), 0u) << moref;
    // util-01 exists in two organisations: across the whole cloud the name is ambiguous and refused.
    EXPECT_FALSE(admin().FindVM("", "", "util-01"));
    EXPECT_NE(admin().GetLastErrorString().find("util-01"), std::string::npos) << admin().GetLastErrorString();
}

// ---- changes ----

TEST_F(EndToEnd, PowerOnChangesTheServersState) {
    ASSERT_NE(State("name=web-03&kind=vm").find("POWERED_OFF"), std::string::npos) << State("name=web-03&kind=vm");
    ASSERT_TRUE(admin().PowerOnVM("Acme", "Acme-Gold", "web-03")) << admin().GetLastErrorString();
    EXPECT_NE(State("name=web-03&kind=vm").find("POWERED_ON"), std::string::npos) << State("name=web-03&kind=vm");
    // Already on is success.
    EXPECT_TRUE(admin().PowerOnVM("Acme", "Acme-Gold", "web-03")) << admin().GetLastErrorString();
}

TEST_F(EndToEnd, BackupThenRestoreUnderANewNameThenDelete) {
    std::string vmId, vcName, moref, profile, xml;
    ASSERT_TRUE(admin().BackupVM("Acme", "Acme-Gold", "db-tier", "db-01", vmId, vcName, moref, profile, xml))
        << admin().GetLastErrorString();
    EXPECT_EQ(vmId.rfind("urn:vcloud:vm:", 0), 0u) << vmId;
    EXPECT_EQ(vcName, "vc-east");
    EXPECT_FALSE(moref.empty());
    EXPECT_EQ(profile, "Gold");
    EXPECT_NE(xml.find("Vm"), std::string::npos);

    std::string vapp, vdc, name, vc2, moref2, xml2;
    ASSERT_TRUE(admin().BackupVM("Acme", vmId, vapp, vdc, name, vc2, moref2, xml2)) << admin().GetLastErrorString();
    EXPECT_EQ(vapp, "db-tier");
    EXPECT_EQ(vdc, "Acme-Gold");
    EXPECT_EQ(name, "db-01");
    EXPECT_EQ(moref2, moref);

    // The agent has restored the VM in vCenter as a new VM (vm-9101) and now brings it into the cloud.
    std::string vmRef = vmId;
    ASSERT_TRUE(admin().RestoreVM("Acme", "Acme-Gold", "db-tier", "db-01-restored", false, vcName, "vm-9101", "Silver",
                                  "acme-db", "restored by the end-to-end test", false, vmRef, false,
                                  "restored-from=db-01;ticket=42"))
        << admin().GetLastErrorString();
    EXPECT_NE(vmRef, vmId);
    EXPECT_NE(vmRef.find("/api/vApp/vm-"), std::string::npos) << vmRef;
    EXPECT_TRUE(admin().FindVM("Acme", "Acme-Gold", "db-tier", "db-01-restored"));
    std::string state = State("href=" + vmRef);
    EXPECT_NE(state.find("db-01-restored"), std::string::npos) << state;

    // The name is taken now: a second restore without overwrite fails and says why.
    std::string again = vmId;
    EXPECT_FALSE(admin().RestoreVM("Acme", "Acme-Gold", "db-tier", "db-01-restored", false, vcName, "vm-9102", "", "", "",
                                   false, again, false, ""));
    EXPECT_EQ(again, vmId);
    EXPECT_FALSE(admin().GetLastErrorString().empty());

    ASSERT_TRUE(admin().DeleteVM("Acme", "Acme-Gold", "db-tier", "db-01-restored")) << admin().GetLastErrorString();
    EXPECT_FALSE(admin().FindVM("Acme", "Acme-Gold", "db-tier", "db-01-restored"));
}

TEST_F(EndToEnd, RestoreIntoANewVAppAndDeleteByName) {
    std::string vmId, vcName, moref, profile, xml;
    ASSERT_TRUE(admin().BackupVM("Globex", "Globex-Prod", "mail", "mail-01", vmId, vcName, moref, profile, xml))
        << admin().GetLastErrorString();
    std::string vmRef;
    ASSERT_TRUE(admin().RestoreVM("Globex", "Globex-Prod", "mail-restore", "mail-01", true, vcName, "vm-9201", "", "", "",
                                  true, vmRef, false, ""))
        << admin().GetLastErrorString();
    std::vector<std::string> vapps;
    ASSERT_TRUE(admin().GetVappListInVdc("Globex", "Globex-Prod", vapps));
    EXPECT_TRUE(Set(vapps).count("mail-restore"));
    EXPECT_NE(State("href=" + vmRef).find("POWERED_ON"), std::string::npos);
    ASSERT_TRUE(admin().DeleteVMByNameFromVapp("Globex", "mail-restore", "mail-01")) << admin().GetLastErrorString();
    EXPECT_FALSE(admin().FindVMByNameFromVapp("Globex", "mail-restore", "mail-01"));
}

// ---- tenants ----

TEST_F(EndToEnd, TenantSeesOnlyItsOrganisation) {
    std::vector<SVMInfo> vms;
    ASSERT_EQ(alice().GetVMListForEntity("", eInventoryCloud, 0, 0, vms), 1) << alice().GetLastErrorString();
    EXPECT_TRUE(Names(vms).count("web-01"));
    EXPECT_FALSE(Names(vms).count("erp-db-01"));
    for (const auto& vm : vms) EXPECT_TRUE(vm.strMoref.empty()) << vm.strName;  // no vCenter data for tenants

    std::vector<std::string> vdcs = {"kept"};
    EXPECT_FALSE(alice().GetVdcListInOrg("Globex", vdcs));
    EXPECT_EQ(vdcs, std::vector<std::string>{"kept"});
    EXPECT_FALSE(alice().GetLastErrorString().empty());

    std::string vmId, vcName, moref, profile, xml;
    EXPECT_FALSE(alice().BackupVM("Acme", "Acme-Gold", "web-tier", "web-01", vmId, vcName, moref, profile, xml));
    EXPECT_TRUE(vmId.empty() && moref.empty());
}

// ---- faults ----

TEST_F(EndToEnd, ServerFaultsGiveFalseAndAClearText) {
    struct Case {
        const char* fault;
        const char* expect;  // a word the error text must hold
    };
    for (const Case& c : {Case{"error500=1", "500"}, Case{"error503=1", "503"}, Case{"html=1", "HTML"},
                          Case{"malformed=1", "XML"}, Case{"truncate=1", ""}}) {
        Fault(c.fault);
        std::vector<std::string> vdcs = {"kept"};
        EXPECT_FALSE(admin().GetVdcListInOrg("Acme", vdcs)) << c.fault;
        EXPECT_EQ(vdcs, std::vector<std::string>{"kept"}) << c.fault;
        std::string text = admin().GetLastErrorString();
        EXPECT_FALSE(text.empty()) << c.fault;
        EXPECT_NE(text.find(c.expect), std::string::npos) << c.fault << ": " << text;
        std::string body;
        sim().Request("POST", "/sim/faults/reset", "", body);
    }
    std::vector<std::string> vdcs;
    EXPECT_TRUE(admin().GetVdcListInOrg("Acme", vdcs)) << admin().GetLastErrorString();
}

TEST_F(EndToEnd, TaskThatEndsInErrorFailsTheOperation) {
    Fault("failTasks=1");
    EXPECT_FALSE(admin().PowerOnVM("Globex", "Globex-DR", "dr-01"));
    EXPECT_FALSE(admin().GetLastErrorString().empty());
    EXPECT_NE(State("name=dr-01&kind=vm").find("POWERED_OFF"), std::string::npos);
}

TEST_F(EndToEnd, SlowServerTimesOutInsteadOfHanging) {
    CVCloudSDKCppBridge impatient;
    ASSERT_TRUE(impatient.Initialize("", "allowHttp=true;retries=0;httpTimeout=1s", 0));
    ASSERT_TRUE(impatient.Connect(sim().Url(), "bob@Globex", "bob1!")) << impatient.GetLastErrorString();
    Fault("latencyMs=3000");
    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> vdcs;
    EXPECT_FALSE(impatient.GetVdcListInOrg("Globex", vdcs));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_FALSE(impatient.GetLastErrorString().empty());
}

TEST_F(EndToEnd, ExpiredSessionIsReported) {
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize("", kFast, 0));
    ASSERT_TRUE(bridge.Connect(sim().Url(), "bob@Globex", "bob1!"));
    Fault("tokenExpiresAfter=1");
    std::vector<std::string> vdcs;
    bool first = bridge.GetVdcListInOrg("Globex", vdcs);
    bool second = bridge.GetVdcListInOrg("Globex", vdcs);
    EXPECT_FALSE(first && second);
    EXPECT_NE(bridge.GetLastErrorString().find("401"), std::string::npos) << bridge.GetLastErrorString();
}

TEST_F(EndToEnd, WrongPasswordAndUnreachableServer) {
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize("", kFast, 0));
    EXPECT_FALSE(bridge.Connect(sim().Url(), "alice@Acme", "wrong"));
    EXPECT_NE(bridge.GetLastErrorString().find("401"), std::string::npos) << bridge.GetLastErrorString();
    EXPECT_FALSE(bridge.Connect("http://127.0.0.1:1", "alice@Acme", "alice1!"));
    EXPECT_FALSE(bridge.GetLastErrorString().empty());
    // An unknown option is refused with a reason.
    CVCloudSDKCppBridge misconfigured;
    EXPECT_FALSE(misconfigured.Initialize("", "colour=blue", 0));
    EXPECT_NE(misconfigured.GetLastErrorString().find("colour"), std::string::npos);
}

TEST_F(EndToEnd, ConcurrentQueriesOnOneBridge) {
    std::vector<std::thread> threads;
    std::vector<int> ok(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                std::vector<SVMInfo> vms;
                if (admin().GetVMListForEntityByName("Acme-Gold", eInventoryOrgVdc, 0, 0, vms) == 1 && vms.size() == 5) ++ok[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 6; ++t) EXPECT_EQ(ok[t], 5) << "thread " << t;
}

// ---- scale ----

TEST(EndToEndScale, PagingFollowedToTheEnd) {
    e2e::SimulatorProcess big({"--generate", "2,2,5,100"});
    ASSERT_TRUE(big.Running()) << big.Error();
    CVCloudSDKCppBridge bridge;
    ASSERT_TRUE(bridge.Initialize("", kFast, 0));
    ASSERT_TRUE(bridge.Connect(big.Url(), "administrator@System", "vmware1!")) << bridge.GetLastErrorString();
    std::string body;
    big.Request("POST", "/sim/counters/reset", "", body);
    std::vector<SVMInfo> vms;
    ASSERT_EQ(bridge.GetVMListForEntity("", eInventoryCloud, 0, 0, vms), 1) << bridge.GetLastErrorString();
    EXPECT_EQ(vms.size(), 2000u);
    std::set<std::string> unique;
    for (const auto& vm : vms) unique.insert(vm.strUUID);
    EXPECT_EQ(unique.size(), 2000u);
    ASSERT_EQ(big.Request("GET", "/sim/counters", "", body), 200);
    // 2000 records at 128 a page: 16 query pages (and a lookup or two), not one request per VM.
    std::size_t at = body.find("\"total\":");
    ASSERT_NE(at, std::string::npos) << body;
    int total = std::atoi(body.c_str() + at + 8);
    EXPECT_GE(total, 16) << body;
    EXPECT_LE(total, 20) << body;
}

}  // namespace

// Managed records and lists into native records and back: field tables, power states, sizes, inventory
// trees in both directions, and every way the list machinery can fail.
#include "BridgeFixture.h"
#include "OperationsSupport.h"
#include "VCloudSDKHelper.h"

using namespace bridge_test;
using namespace VMInfoStructs;
using VCloudSDKHelper::CVCloudSDKHelper;

namespace {

const char* const kEntitySignature =
    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntity(std::string, VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&)";
const char* const kHypervisorsSignature =
    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetManagedHypervisorsInCloud(std::vector<VMInfoStructs::SInventoryInfo>&)";
const char* const kBrowseSignature =
    "int vCloudSDKCppBridge::CVCloudSDKCppBridge::BrowseInventory(const string&, const VMInfoStructs::SInventoryInfo&, std::vector<VMInfoStructs::SInventoryInfo>&, UINT64, int)";
const char* const kVdcListSignature =
    "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVdcListInOrg(const string&, std::vector<std::__cxx11::basic_string<char> >&)";

std::string Exception(const char* signature) {
    return std::string(signature) + ": Exception caught in bridge - TestWrapperException";
}

std::vector<SVMInfo> EntityVms(vCloudSDKCppBridge::CVCloudSDKCppBridge& bridge, int expectedResult = 1) {
    std::vector<SVMInfo> vms;
    EXPECT_EQ(bridge.GetVMListForEntity("org", eInventoryOrg, 0, 0, vms), expectedResult);
    return vms;
}

TEST_F(BridgeTest, PowerStateIsMappedFromTheExactLiteralsOnly) {
    const std::pair<const char*, int> cases[] = {
        {"POWERED_ON", 1}, {"POWERED_OFF", 0}, {"powered_on", 2}, {"Powered_Off", 2}, {"POWERED_ON ", 2},
        {" POWERED_OFF", 2}, {"POWERED_OFF ", 2}, {"", 2}, {"<null>", 2}, {"SUSPENDED", 2}, {"POWERED_ONX", 2},
    };
    for (const auto& c : cases) Control("AddVm", {std::string("vm|u|h|m|os|v|") + c.first});
    std::vector<SVMInfo> vms = EntityVms(bridge());
    ASSERT_EQ(vms.size(), std::size(cases));
    for (std::size_t i = 0; i < vms.size(); ++i) EXPECT_EQ(vms[i].ePowerState, cases[i].second) << cases[i].first;
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

TEST_F(BridgeTest, MissingPowerStateFieldIsLoggedAndReadAsOtherState) {
    Control("AddVm", {"vm-a|u1|h1|m1|os|v|POWERED_ON"});
    Control("AddVm", {"vm-b|u2|h2|m2|os|v|POWERED_OFF"});
    Control("Fault", {"vm-without-state"});
    std::vector<SVMInfo> vms = EntityVms(bridge());
    ASSERT_EQ(vms.size(), 2u);
    EXPECT_EQ(vms[0].ePowerState, 2);
    EXPECT_EQ(vms[1].ePowerState, 2);
    // The other fields of the record still arrive.
    EXPECT_EQ(vms[1].strName, "vm-b");
    EXPECT_EQ(vms[1].strMoref, "m2");
    EXPECT_EQ(Messages(log), std::vector<std::string>(2, "Could not find field [poweredState]"));
}

TEST_F(BridgeTest, VmRecordWritesItsSevenMembersAndNothingElse) {
    Control("AddVm", {"web-01|4201-aa|esx-7.lab|vm-1042|Ubuntu Linux (64-bit)|22.04|POWERED_ON"});
    SVMInfo vm;
    vm.strName = "old";
    vm.strText01 = "caller's";
    vm.vecDisks.resize(2);
    vm.vecDisks[1].strText01 = "disk-2";
    vm.vecSnapshots.resize(1);
    vm.vecOwners.resize(3);
    vm.i32Value05 = 17;
    vm.i64Value14 = -5;
    vm.bFlag18 = true;
    vm.stGuestOSInfo.strText05 = "guest";
    ASSERT_EQ(bridge().GetVMInfoForVM("o", "d", "web-01", 0, 0, vm), 1);
    EXPECT_EQ(vm.strName, "web-01");
    EXPECT_EQ(vm.strUUID, "4201-aa");
    EXPECT_EQ(vm.strHostName, "esx-7.lab");
    EXPECT_EQ(vm.strMoref, "vm-1042");
    EXPECT_EQ(vm.strGuestOSName, "Ubuntu Linux (64-bit)");
    EXPECT_EQ(vm.strGuestOSVersion, "22.04");
    EXPECT_EQ(vm.ePowerState, 1);
    EXPECT_EQ(vm.strText01, "caller's");
    ASSERT_EQ(vm.vecDisks.size(), 2u);
    EXPECT_EQ(vm.vecDisks[1].strText01, "disk-2");
    EXPECT_EQ(vm.vecSnapshots.size(), 1u);
    EXPECT_EQ(vm.vecOwners.size(), 3u);
    EXPECT_EQ(vm.i32Value05, 17);
    EXPECT_EQ(vm.i64Value14, -5);
    EXPECT_TRUE(vm.bFlag18);
    EXPECT_EQ(vm.stGuestOSInfo.strText05, "guest");
}

TEST_F(BridgeTest, StorageProfilesUsersAndVersionArriveInTheirMembers) {
    // Sizes above 4 GiB whose low halves would read as small or negative 32-bit numbers.
    Control("AddProfile", {"gold|guid-1|moref-1|5497558138881|4294967297|1"});
    Control("AddProfile", {"silver|guid-2|moref-2|6442450944|-1|0"});
    Control("AddUser", {"alice|0|1|0"});
    Control("AddUser", {"admins|1|0|1"});
    Control("SetVersion", {"10.5.1", "21810117", "10.5.1.21810117"});

    SDatastoreInfo single;
    single.strText01 = "caller's";
    single.vecText01 = {"kept"};
    ASSERT_TRUE(bridge().GetStorageProfileInfo("gold", single));
    EXPECT_EQ(single.strName, "gold");
    EXPECT_EQ(single.strGUID, "guid-1");
    EXPECT_EQ(single.strMoref, "moref-1");
    EXPECT_EQ(single.i64TotalSizeInBytes, 5497558138881LL);
    EXPECT_EQ(single.i64FreeSpaceInBytes, 4294967297LL);
    EXPECT_TRUE(single.bIsDefault);
    EXPECT_TRUE(single.bFlag01) << "a member without a managed field keeps its value";
    EXPECT_EQ(single.strText01, "caller's");
    EXPECT_EQ(single.vecText01, std::vector<std::string>{"kept"});

    std::vector<SDatastoreInfo> profiles;
    ASSERT_TRUE(bridge().GetStorageProfileListInVDC("o", "d", profiles));
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(profiles[1].i64TotalSizeInBytes, 6442450944LL);
    EXPECT_EQ(profiles[1].i64FreeSpaceInBytes, -1);
    EXPECT_FALSE(profiles[1].bIsDefault);

    std::vector<SVMOwnerInfo> users;
    ASSERT_TRUE(bridge().GetVMUsers("o", "d", "v", users));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].strName, "alice");
    EXPECT_EQ(std::make_tuple(users[0].bGroup, users[0].bFullAccess, users[0].bReadAccess),
              std::make_tuple(false, true, false));
    EXPECT_EQ(std::make_tuple(users[1].bGroup, users[1].bFullAccess, users[1].bReadAccess),
              std::make_tuple(true, false, true));

    SMgmtVersion version;
    ASSERT_TRUE(bridge().GetMgmtVersionInfo(version));
    EXPECT_EQ(version.strVersion, "10.5.1");
    EXPECT_EQ(version.strBuild, "21810117");
    EXPECT_EQ(version.strFullVersion, "10.5.1.21810117");
}

// ---- inventory trees ----

TEST_F(BridgeTest, ManagedTreeOfThreeLevelsArrivesWithItsShapeAndOrder) {
    // "d!" has a null children list; every other leaf an empty one.
    Control("SetTree", {"a(b(c,d!),e),f!"});
    std::vector<SInventoryInfo> nodes(4, Node("old", 9, {Node("old-child", 9)}));
    ASSERT_TRUE(bridge().GetManagedHypervisorsInCloud(nodes));
    EXPECT_EQ(Render(nodes), "a[1,/a](b[2,/b](c[3,/c](),d[3,/d]()),e[2,/e]()),f[1,/f]()");
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

TEST_F(BridgeTest, NativeTreeOfThreeLevelsArrivesWithEmptyListsAtItsLeaves) {
    const SInventoryInfo node =
        Node("a", eInventoryOrg, {Node("b", eInventoryOrgVdc, {Node("c", eInventoryVApp, {}, 7)}, 6), Node("d", 12)}, 5);
    const SInventoryInfo before = node;
    std::vector<SInventoryInfo> children;
    ASSERT_EQ(bridge().BrowseInventory("org", node, children, 0, 3), 1);
    // Leaves carry "()" (an empty list), never "<null>".
    EXPECT_EQ(Control("LastNodeText"), "a[2,/a](b[3,/b](c[4,/c]()),d[12,/d]())");
    // The caller's node is unchanged, flags included.
    EXPECT_EQ(Render(node), Render(before));
    EXPECT_EQ(node.uFlags, 5u);
    EXPECT_EQ(node.vecChildren[0].uFlags, 6u);
    EXPECT_EQ(node.vecChildren[0].vecChildren[0].uFlags, 7u);
}

TEST_F(BridgeTest, ConvertingIntoAnExistingNodeReplacesItsChildrenAndKeepsItsFlags) {
    Control("SetTree", {"x(y),z!"});
    for (int index : {0, 1}) {
        MonoObject* managed = ControlObject("TreeNode", {index});
        ASSERT_NE(managed, nullptr);
        SInventoryInfo node = Node("old", 9, {Node("o1", 9), Node("o2", 9)}, 0xA5A5u);
        CVCloudSDKHelper::ConvertObject(node, managed);
        EXPECT_EQ(Render(node), index == 0 ? "x[1,/x](y[2,/y]())" : "z[1,/z]()");
        EXPECT_EQ(node.uFlags, 0xA5A5u);
    }
    // Round trip: native to managed and back gives the same tree; the flags stay with the native side.
    MonoObject* record = NewManagedObjectVCloud("SInventoryLib", false);
    ASSERT_NE(record, nullptr);
    const SInventoryInfo tree = Node("r", 1, {Node("s", 2, {Node("t", 3)}), Node("u", 2)}, 1);
    CVCloudSDKHelper::ConvertObject(record, tree);
    SInventoryInfo back;
    back.uFlags = 9;
    CVCloudSDKHelper::ConvertObject(back, record);
    EXPECT_EQ(Render(back), Render(tree));
    EXPECT_EQ(back.uFlags, 9u);
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

// A tree of exactly the most levels converts in both directions; one level more is refused (below).
TEST_F(BridgeTest, DeepTreesConvertInBothDirections) {
    const int kDepth = CVCloudSDKHelper::kMaxTreeDepth;
    Control("SetChain", {kDepth});
    std::vector<SInventoryInfo> nodes;
    ASSERT_TRUE(bridge().GetManagedHypervisorsInCloud(nodes));
    EXPECT_EQ(ChainDepth(nodes), kDepth);

    std::vector<SInventoryInfo> children;
    ASSERT_EQ(bridge().BrowseInventory("org", Chain(kDepth), children, 0, 0), 1);
    std::string text = Control("LastNodeText");
    const std::string deepest = "n" + std::to_string(kDepth - 1) + "[2,]()";
    EXPECT_NE(text.find(deepest), std::string::npos) << "the deepest node arrived as a leaf";
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

TEST_F(BridgeTest, CyclicOrUnreasonablyDeepTreesFailInsteadOfCrashing) {
    const std::vector<SInventoryInfo> old = {Node("old", 1)};

    Control("Fault", {"cyclic-tree"});
    std::vector<SInventoryInfo> nodes = old;
    EXPECT_FALSE(bridge().GetManagedHypervisorsInCloud(nodes));
    EXPECT_EQ(Render(nodes), Render(old));
    EXPECT_EQ(Messages(log), (std::vector<std::string>{
                                 "Inventory tree is cyclic: a children list contains its own ancestor",
                                 std::string(kHypervisorsSignature) + ": Conversion between managed and native values failed"}));
    EXPECT_EQ(bridge().BrowseInventory("org", Node("root", 1), nodes, 0, 0), 0);
    EXPECT_EQ(Render(nodes), Render(old));

    const int kTooDeep = CVCloudSDKHelper::kMaxTreeDepth + 1;
    const std::string tooDeep = "Inventory tree deeper than " + std::to_string(CVCloudSDKHelper::kMaxTreeDepth) + " levels";
    Control("Reset");
    log.Clear();
    Control("SetChain", {kTooDeep});
    EXPECT_FALSE(bridge().GetManagedHypervisorsInCloud(nodes));
    EXPECT_EQ(Render(nodes), Render(old));
    EXPECT_EQ(CountMessage(log, std::string(kHypervisorsSignature) + ": Conversion between managed and native values failed"), 1)
        << log.Text();
    EXPECT_EQ(bridge().GetLastErrorString(), "GetManagedHypervisorsInCloud: " + tooDeep);

    // A native tree that deep is refused before the managed method runs.
    log.Clear();
    Control("ClearCalls");
    EXPECT_EQ(bridge().BrowseInventory("org", Chain(kTooDeep), nodes, 0, 0), 0);
    EXPECT_EQ(bridge().GetLastErrorString(), "BrowseInventory: " + tooDeep);
    EXPECT_EQ(Render(nodes), Render(old));
    EXPECT_EQ(Control("CallCount"), "0");
    EXPECT_EQ(CountMessage(log, std::string(kBrowseSignature) + ": Conversion between managed and native values failed"), 1)
        << log.Text();
}

// ---- the list machinery raising or misbehaving ----

TEST_F(BridgeTest, ListMachineryRaisingFailsTheOperationAndLeavesTheCallersVector) {
    for (const char* fault : {"factory-throws", "enum-throws", "movenext-throws", "current-throws"}) {
        SCOPED_TRACE(fault);
        Control("Reset");
        Control("SetStrings", {"a|b"});
        Control("AddVm", {"vm|u|h|m|os|v|POWERED_ON"});
        Control("SetTree", {"a(b)"});
        Control("Fault", {fault});
        log.Clear();

        std::vector<std::string> texts = {"old"};
        EXPECT_FALSE(bridge().GetVdcListInOrg("org", texts));
        EXPECT_EQ(texts, std::vector<std::string>{"old"});
        EXPECT_EQ(CountMessage(log, Exception(kVdcListSignature)), 1);

        // Reading a returned list makes no list: only the enumerator's faults reach it.
        bool enumerating = std::string(fault) != "factory-throws";
        std::vector<SVMInfo> vms(1);
        vms[0].strName = "old";
        EXPECT_EQ(bridge().GetVMListForEntity("org", eInventoryOrg, 0, 0, vms), enumerating ? 0 : 1);
        ASSERT_EQ(vms.size(), 1u);
        EXPECT_EQ(vms[0].strName, enumerating ? "old" : "vm");
        EXPECT_EQ(CountMessage(log, Exception(kEntitySignature)), enumerating ? 1 : 0);

        // The inventory reader, recursive as it is, leaves the caller's vector whole as well.
        std::vector<SInventoryInfo> nodes = {Node("old", 1)};
        EXPECT_EQ(bridge().GetManagedHypervisorsInCloud(nodes), !enumerating);
        EXPECT_EQ(Render(nodes), enumerating ? "old[1,/old]()" : "a[1,/a](b[2,/b]())");
        EXPECT_EQ(CountMessage(log, Exception(kHypervisorsSignature)), enumerating ? 1 : 0);
    }
}

TEST_F(BridgeTest, AddRaisingStopsBrowseBeforeTheManagedCall) {
    Control("Fault", {"add-throws"});
    std::vector<SInventoryInfo> nodes = {Node("old", 1)};
    EXPECT_EQ(bridge().BrowseInventory("org", Node("root", 1, {Node("leaf", 2)}), nodes, 0, 0), 0);
    EXPECT_EQ(Render(nodes), "old[1,/old]()");
    EXPECT_EQ(Messages(log), std::vector<std::string>{Exception(kBrowseSignature)});
    EXPECT_EQ(Control("CallCount"), "0");
}

// A list that cannot be read to its end fails the operation: a partial list is never handed back as
// the whole, and neither is an empty one when the enumeration could not even start.
TEST_F(BridgeTest, EnumeratorThatMisbehavesFailsTheOperation) {
    Control("SetStrings", {"a|b"});
    for (const char* fault : {"movenext-null", "movenext-string"}) {
        Control("Fault", {fault});
        log.Clear();
        std::vector<std::string> texts = {"old"};
        EXPECT_FALSE(bridge().GetVdcListInOrg("org", texts)) << fault;
        EXPECT_EQ(texts, std::vector<std::string>{"old"}) << fault;
        EXPECT_EQ(Messages(log),
                  (std::vector<std::string>{"MoveNext of [StringEnumerator] did not return a Boolean",
                                            std::string(kVdcListSignature) +
                                                ": Conversion between managed and native values failed"}));
        Control("Reset");
        Control("SetStrings", {"a|b"});
    }

    Control("Fault", {"enum-null"});
    log.Clear();
    std::vector<std::string> texts = {"old"};
    EXPECT_FALSE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_EQ(texts, std::vector<std::string>{"old"});
    EXPECT_EQ(Messages(log), (std::vector<std::string>{"Failed to invoke get enumerator method [StringEnumerator]",
                                                        std::string(kVdcListSignature) +
                                                            ": Conversion between managed and native values failed"}));
}

TEST_F(BridgeTest, ListCountIsOnlyAHint) {
    Control("AddVm", {"vm-1|u|h|m|os|v|POWERED_ON"});
    Control("AddVm", {"vm-2|u|h|m|os|v|POWERED_OFF"});
    for (const char* fault : {"count-lies", "count-throws"}) {
        Control("Fault", {fault});
        std::vector<SVMInfo> vms = EntityVms(bridge());
        ASSERT_EQ(vms.size(), 2u) << fault;
        EXPECT_EQ(vms[1].strName, "vm-2");
    }
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

TEST_F(BridgeTest, NullElementsGiveEmptyTextsAndFailRecordLists) {
    Control("SetStrings", {"a|<null>|c"});
    std::vector<std::string> texts;
    ASSERT_TRUE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_EQ(texts, (std::vector<std::string>{"a", "", "c"}));
    EXPECT_TRUE(Messages(log).empty()) << log.Text();

    Control("AddVm", {"vm-1|u|h|m|os|v|POWERED_ON"});
    Control("AddVm", {"vm-2|u|h|m|os|v|POWERED_ON"});
    Control("Fault", {"current-null"});
    std::vector<SVMInfo> vms(1);
    vms[0].strName = "kept";
    EXPECT_EQ(bridge().GetVMListForEntity("cloud", VMInfoStructs::eInventoryCloud, 0, 0, vms), 0);
    ASSERT_EQ(vms.size(), 1u);
    EXPECT_EQ(vms[0].strName, "kept");
    EXPECT_EQ(Messages(log),
              (std::vector<std::string>{"Null element in list [SVMInfoLibListEnumerator]",
                                        std::string(kEntitySignature) +
                                            ": Conversion between managed and native values failed"}));
}

TEST_F(BridgeTest, ListHelpersReportWhatIsMissing) {
    EXPECT_EQ(CVCloudSDKHelper::CreateList("NoSuchRecord"), nullptr);
    EXPECT_EQ(Messages(log), std::vector<std::string>{"Failed to get create list method [CreateNoSuchRecordList]"});

    // A null managed list empties the vector without a word.
    log.Clear();
    std::vector<std::string> texts = {"old"};
    CVCloudSDKHelper::MtNStringList(texts, nullptr);
    EXPECT_TRUE(texts.empty());
    EXPECT_TRUE(Messages(log).empty());

    // A list whose enumerator class is missing cannot be read: a failure, not an empty list.
    Control("SetStrings", {"a|b"});
    MonoObject* strings = ControlObject("StringsList");
    ASSERT_NE(strings, nullptr);
    EXPECT_THROW(CVCloudSDKHelper::ConvertList(texts, strings, "NoSuchEnumerator"), CVCloudSDKHelper::ConversionError);
    EXPECT_EQ(Messages(log), std::vector<std::string>{"Failed to get enumerator class [NoSuchEnumerator]"});
    log.Clear();

    // Native to managed: a list class without Add is named and its methods dumped, even for no nodes,
    // and the fill fails.
    Control("Fault", {"list-without-add"});
    std::vector<SInventoryInfo> none;
    MonoObject* list = nullptr;
    EXPECT_THROW(CVCloudSDKHelper::ConvertInventoryList(list, none), CVCloudSDKHelper::ConversionError);
    EXPECT_NE(list, nullptr);
    std::vector<std::string> messages = Messages(log);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Failed to get add method for class [ListWithoutAdd]");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Method: Count"), messages.end()) << log.Text();

    // A browse whose node list has no Add fails before the managed method runs.
    log.Clear();
    Control("ClearCalls");
    std::vector<SInventoryInfo> nodes = {Node("old", 1)};
    EXPECT_EQ(bridge().BrowseInventory("org", Node("root", 1, {Node("leaf", 2)}), nodes, 0, 0), 0);
    EXPECT_EQ(Render(nodes), "old[1,/old]()");
    EXPECT_EQ(Control("CallCount"), "0");

    // A list that cannot be made is not filled, and says so.
    Control("Reset");
    Control("Fault", {"factory-null"});
    log.Clear();
    EXPECT_THROW(CVCloudSDKHelper::ConvertInventoryList(list, none), CVCloudSDKHelper::ConversionError);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(Messages(log), (std::vector<std::string>{"Failed to invoke create list method [CreateSInventoryLibList]",
                                                        "Cannot fill a null managed list of [SInventoryLib]"}));

    // Elements that cannot be made stop the fill instead of leaving nodes out.
    Control("Reset");
    log.Clear();
    MonoObject* made = CVCloudSDKHelper::CreateList("SInventoryLib");
    ASSERT_NE(made, nullptr);
    EXPECT_THROW(CVCloudSDKHelper::ConvertList_NativeToManaged(made, {Node("a", 1)}, "NoSuchRecord"),
                 CVCloudSDKHelper::ConversionError);
    EXPECT_EQ(Messages(log), std::vector<std::string>{"Could not find class [NoSuchRecord]"});
}

}  // namespace

// Operations over a wrapper assembly that lacks the list factory, the string enumerator and one
// enumerator's Current method: each absence is named in the log and fails the operation.
#include "BridgeFixture.h"
#include "OperationsSupport.h"

using namespace bridge_test;
using namespace VMInfoStructs;

namespace {

TEST_F(BridgeTest, MissingFactoryAndEnumeratorPartsAreNamed) {
    // Without the factory no output list can be made: the method gets a null slot, and its true with the
    // slot left null is a failure.
    Control("SetStrings", {"a|b"});
    std::vector<std::string> texts = {"old"};
    EXPECT_FALSE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_EQ(Calls(), std::vector<std::string>{"GetVdcListInOrg(org|<no list>)"});
    EXPECT_EQ(Messages(log), (std::vector<std::string>{"Failed to get list factory class [SStringInfoLib]",
                                                       "The managed method returned true but left no list of "
                                                       "[SStringInfoLib] in its slot"}));
    EXPECT_EQ(texts, std::vector<std::string>{"old"});

    // A returned list without its enumerator's Current cannot be read: a failure, not an empty list.
    Control("AddVm", {"vm|u|h|m|os|v|POWERED_ON"});
    log.Clear();
    std::vector<VMInfoStructs::SVMInfo> vms(2);
    EXPECT_EQ(bridge().GetVMListForEntity("org", eInventoryOrg, 0, 0, vms), 0);
    EXPECT_EQ(vms.size(), 2u);
    EXPECT_EQ(Messages(log),
              (std::vector<std::string>{"Failed to get enumerator method [SVMInfoLibListEnumerator]",
                                        "int vCloudSDKCppBridge::CVCloudSDKCppBridge::GetVMListForEntity(std::string, "
                                        "VMInfoStructs::EInventoryType, UINT64, int, std::vector<VMInfoStructs::SVMInfo>&): "
                                        "Conversion between managed and native values failed"}));
    EXPECT_EQ(bridge().GetLastErrorString(),
              "GetVMStructListForEntity: Failed to get enumerator method [SVMInfoLibListEnumerator]");
}

}  // namespace

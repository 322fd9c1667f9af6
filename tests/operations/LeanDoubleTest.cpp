// Operations over a wrapper assembly that lacks the list factory, the string enumerator and one
// enumerator's Current method: each absence is named in the log and the lists come back empty.
#include "BridgeFixture.h"
#include "OperationsSupport.h"

using namespace bridge_test;
using namespace VMInfoStructs;

namespace {

TEST_F(BridgeTest, MissingFactoryAndEnumeratorPartsAreNamed) {
    Control("SetStrings", {"a|b"});
    std::vector<std::string> texts = {"old"};
    EXPECT_TRUE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_EQ(Calls(), std::vector<std::string>{"GetVdcListInOrg(org|<no list>)"});
    EXPECT_EQ(Messages(log), std::vector<std::string>{"Failed to get list factory class [SStringInfoLib]"});
    EXPECT_TRUE(texts.empty());

    // The managed method makes its own list; it cannot be read without its enumerator class.
    Control("Fault", {"replace-list"});
    log.Clear();
    texts = {"old"};
    EXPECT_TRUE(bridge().GetVdcListInOrg("org", texts));
    EXPECT_TRUE(texts.empty());
    EXPECT_EQ(Messages(log), (std::vector<std::string>{"Failed to get list factory class [SStringInfoLib]",
                                                        "Failed to get enumerator class [StringEnumerator]"}));

    Control("AddVm", {"vm|u|h|m|os|v|POWERED_ON"});
    log.Clear();
    std::vector<SVMInfo> vms(2);
    EXPECT_EQ(bridge().GetVMListForEntity("org", eInventoryOrg, 0, 0, vms), 1);
    EXPECT_TRUE(vms.empty());
    EXPECT_EQ(Messages(log), std::vector<std::string>{"Failed to get enumerator method [SVMInfoLibListEnumerator]"});
}

}  // namespace

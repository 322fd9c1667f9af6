// What the operations write back into the caller's texts, records and vectors: only after a true result,
// and nothing at all after false, no result or a managed exception.
#include <functional>

#include "BridgeFixture.h"
#include "OperationsSupport.h"

using namespace bridge_test;
using namespace VMInfoStructs;
using vCloudSDKCppBridge::CVCloudSDKCppBridge;
using B = CVCloudSDKCppBridge;

namespace {

std::string Exception(const char* signature) {
    return std::string(signature) + ": Exception caught in bridge - TestWrapperException";
}

// ---- texts handed back through std::string& ----

struct TextRow {
    const char* method;
    std::size_t count;  // by-reference texts, in managed order
    bool inOut;         // the slots start as the caller's texts (else as "")
    std::function<bool(B&, std::vector<std::string>&)> call;
    const char* signature;
};

const std::vector<TextRow>& TextRows() {
    static const std::vector<TextRow> rows = {
        {"FindVMByNameFromVappAndGetMoref", 1, false,
         [](B& b, std::vector<std::string>& t) { return b.FindVMByNameFromVappAndGetMoref("o", "a", "v", t[0]); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::FindVMByNameFromVappAndGetMoref(const string&, const string&, const string&, std::string&)"},
        {"BackupVM", 5, false,
         [](B& b, std::vector<std::string>& t) { return b.BackupVM("o", "d", "a", "v", t[0], t[1], t[2], t[3], t[4]); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&)"},
        {"BackupVMWithVMRef", 6, false,
         [](B& b, std::vector<std::string>& t) { return b.BackupVM("o", "r", t[0], t[1], t[2], t[3], t[4], t[5]); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::BackupVM(const string&, const string&, std::string&, std::string&, std::string&, std::string&, std::string&, std::string&)"},
        {"RestoreVM", 1, true,
         [](B& b, std::vector<std::string>& t) {
             return b.RestoreVM("o", "d", "a", "v", true, "vc", "m", "sp", "n", "desc", true, t[0], false, "md");
         },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::RestoreVM(const string&, const string&, const string&, const string&, bool, const string&, const string&, const string&, const string&, const string&, bool, std::string&, bool, const string&)"},
        {"QueryVcenterForVDC", 2, true,
         [](B& b, std::vector<std::string>& t) { return b.QueryVcenterForOrgVDC("vdc", t[0], t[1]); },
         "bool vCloudSDKCppBridge::CVCloudSDKCppBridge::QueryVcenterForOrgVDC(const string&, std::string&, std::string&)"},
    };
    return rows;
}

std::vector<std::string> CallerTexts(std::size_t count) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < count; ++i) texts.push_back("caller-" + std::to_string(i));
    return texts;
}

TEST_F(BridgeTest, TextsComeBackOnlyOnTrueEachFromItsOwnSlot) {
    for (const TextRow& row : TextRows()) {
        // Each slot in turn is written, set to null and left alone.
        for (std::size_t round = 0; round < 3; ++round) {
            SCOPED_TRACE(std::string(row.method) + " round " + std::to_string(round));
            Control("Reset");
            std::vector<std::string> expected;
            for (std::size_t i = 0; i < row.count; ++i) {
                std::size_t what = (i + round) % 3;
                std::string caller = "caller-" + std::to_string(i);
                if (what == 0) Control("Out", {row.method, static_cast<int>(i), "new-" + std::to_string(i)});
                if (what == 1) Control("Out", {row.method, static_cast<int>(i), "<null>"});
                expected.push_back(what == 0 ? "new-" + std::to_string(i) : what == 1 ? "" : row.inOut ? caller : "");
            }
            std::vector<std::string> texts = CallerTexts(row.count);
            EXPECT_TRUE(row.call(bridge(), texts));
            EXPECT_EQ(texts, expected);
            for (std::size_t i = 0; i < row.count; ++i) {
                EXPECT_EQ(Control("Seen", {row.method, static_cast<int>(i)}),
                          row.inOut ? "caller-" + std::to_string(i) : "")
                    << "slot " << i << " on entry";
            }
        }
    }
}

TEST_F(BridgeTest, TextsWrittenBeforeAFailureNeverReachTheCaller) {
    for (const TextRow& row : TextRows()) {
        for (const char* action : {"out-then-false", "out-then-throw", "null"}) {
            SCOPED_TRACE(std::string(row.method) + " " + action);
            Control("Reset");
            for (std::size_t i = 0; i < row.count; ++i) Control("Out", {row.method, static_cast<int>(i), "written"});
            Control("Script", {row.method, action});
            log.Clear();
            std::vector<std::string> texts = CallerTexts(row.count);
            EXPECT_FALSE(row.call(bridge(), texts));
            EXPECT_EQ(texts, CallerTexts(row.count));
            EXPECT_NE(Control("Seen", {row.method, 0}), "<unseen>") << "the managed method ran";
            std::string message = std::string(action) == "out-then-throw" ? Exception(row.signature)
                                  : std::string(action) == "null"         ? "Result is invalid (bool)"
                                                                          : "";
            EXPECT_EQ(Messages(log), message.empty() ? std::vector<std::string>{} : std::vector<std::string>{message});
        }
    }
}

// ---- shape 1: a list argument by reference ----

struct ListRow {
    const char* method;
    const char* factoryMethod;
    std::vector<std::string> items;  // names of what the double's list holds
    std::function<bool(B&, std::vector<std::string>&)> call;  // the names of the caller's vector, in and out
};

// Runs a list operation on a vector of `Record`s named by `names`, then names what the vector holds.
template <class Record, class Op>
bool WithNamed(std::vector<std::string>& names, Op op) {
    std::vector<Record> records(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) records[i].strName = names[i];
    bool result = op(records);
    names.clear();
    for (const Record& r : records) names.push_back(r.strName);
    return result;
}

const std::vector<ListRow>& ListRows() {
    static const std::vector<std::string> strings = {"s1", "", "s3"}, profiles = {"p1", "p2"}, users = {"u1"};
    static const std::vector<ListRow> rows = {
        {"GetVdcListInOrg", "CreateSStringInfoLibList", strings,
         [](B& b, std::vector<std::string>& v) { return b.GetVdcListInOrg("o", v); }},
        {"GetVappListInVdc", "CreateSStringInfoLibList", strings,
         [](B& b, std::vector<std::string>& v) { return b.GetVappListInVdc("o", "d", v); }},
        {"GetNetworkListInVApp", "CreateSStringInfoLibList", strings,
         [](B& b, std::vector<std::string>& v) { return b.GetNetworkListInVApp("o", "d", "a", v); }},
        {"GetAssociatedDatastoreListForVdc", "CreateSStringInfoLibList", strings,
         [](B& b, std::vector<std::string>& v) { return b.GetAssociatedDatastoreListForVdc("d", v); }},
        {"GetUserListInOrg", "CreateSStringInfoLibList", strings,
         [](B& b, std::vector<std::string>& v) { return b.GetUserListInOrg("o", v); }},
        {"GetStorageProfileListInVDC", "CreateSStorageProfileInfoLibList", profiles,
         [](B& b, std::vector<std::string>& v) {
             return WithNamed<SDatastoreInfo>(v, [&](std::vector<SDatastoreInfo>& r) {
                 return b.GetStorageProfileListInVDC("o", "d", r);
             });
         }},
        {"GetUsersForVM", "CreateSVCloudUserLibList", users,
         [](B& b, std::vector<std::string>& v) {
             return WithNamed<SVMOwnerInfo>(v, [&](std::vector<SVMOwnerInfo>& r) { return b.GetVMUsers("o", "d", "v", r); });
         }},
    };
    return rows;
}

void FillDouble() {
    Control("SetStrings", {"s1|<null>|s3"});
    Control("AddProfile", {"p1|g1|m1|1|1|0"});
    Control("AddProfile", {"p2|g2|m2|2|2|1"});
    Control("AddUser", {"u1|0|1|1"});
}

TEST_F(BridgeTest, ListArgumentsCopyBackOnlyOnTrue) {
    const std::vector<std::string> old = {"old-1", "old-2"}, none;
    struct Case {
        const char* name;
        std::vector<const char*> faults;
        const char* action;
        bool fill;
        bool result;
        bool expectItems;  // else: `expectOld` or empty
        bool expectOld;
    };
    const Case cases[] = {
        {"filled", {}, "true", true, true, true, false},
        {"true and left empty", {}, "true", false, true, false, false},
        {"false", {}, "false", true, false, false, true},
        {"no result", {}, "null", true, false, false, true},
        {"exception", {}, "throw", true, false, false, true},
        {"list replaced", {"replace-list"}, "true", true, true, true, false},
        // The wrapper nulled the list the bridge gave it: its way of saying "nothing", an empty vector.
        {"list set to null", {"null-list"}, "true", true, true, false, false},
    };
    for (const ListRow& row : ListRows()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(row.method) + ": " + c.name);
            Control("Reset");
            if (c.fill) FillDouble();
            for (const char* fault : c.faults) Control("Fault", {fault});
            Control("Script", {row.method, c.action});
            log.Clear();
            std::vector<std::string> names = old;
            EXPECT_EQ(row.call(bridge(), names), c.result);
            EXPECT_EQ(names, c.expectItems ? row.items : c.expectOld ? old : none);
            if (c.result) {
                EXPECT_EQ(Messages(log), std::vector<std::string>{}) << "a true result logs no failure";
                ASSERT_EQ(Calls().size(), 1u);
                EXPECT_EQ(Calls()[0].find("<no list>"), std::string::npos) << Calls()[0];
            }
        }
    }
}

// An output list that the factory cannot make goes to the method as a null slot: a list that the
// method puts there is read, and a true that leaves the slot null (untouched, or set to null once more)
// is a failure with the caller's vector untouched: the bridge knows nothing of a list.
TEST_F(BridgeTest, ListThatCannotBeMadeReachesTheMethodAsANullSlot) {
    for (const ListRow& row : ListRows()) {
        SCOPED_TRACE(row.method);
        Control("Reset");
        FillDouble();
        Control("Fault", {"factory-null"});
        Control("Fault", {"replace-list"});
        std::vector<std::string> names = {"old"};
        EXPECT_TRUE(row.call(bridge(), names)) << bridge().GetLastErrorString();
        EXPECT_EQ(names, row.items);
        ASSERT_EQ(Calls().size(), 1u);
        EXPECT_NE(Calls()[0].find("<no list>"), std::string::npos) << Calls()[0];

        for (const char* leaves : {"left alone", "set to null"}) {
            SCOPED_TRACE(leaves);
            Control("Reset");
            FillDouble();
            Control("Fault", {"factory-null"});
            if (std::string(leaves) == "set to null") Control("Fault", {"null-list"});
            log.Clear();
            names = {"old"};
            EXPECT_FALSE(row.call(bridge(), names));
            EXPECT_EQ(names, std::vector<std::string>{"old"});
            EXPECT_EQ(Control("CallCount"), "1");
            const std::string factory = row.factoryMethod;  // "Create<class>List"
            const std::string managedClass = factory.substr(6, factory.size() - 10);
            const std::vector<std::string> expected = {
                std::string("Failed to invoke create list method [") + row.factoryMethod + "]",
                std::string("The managed method returned true but left no list of [") + managedClass + "] in its slot"};
            EXPECT_EQ(Messages(log), expected);
            EXPECT_NE(bridge().GetLastErrorString().find("gave no list"), std::string::npos) << bridge().GetLastErrorString();
        }
    }
}

// A factory that raises is a managed exception like any other: the call fails before the method runs.
TEST_F(BridgeTest, ListFactoryThatRaisesFailsTheCall) {
    for (const ListRow& row : ListRows()) {
        SCOPED_TRACE(row.method);
        Control("Reset");
        FillDouble();
        Control("Fault", {"factory-throws"});
        std::vector<std::string> names = {"old"};
        EXPECT_FALSE(row.call(bridge(), names));
        EXPECT_EQ(names, std::vector<std::string>{"old"});
        EXPECT_EQ(Control("CallCount"), "0");
    }
}

// ---- shape 2: a record by reference ----

struct RecordRow {
    const char* method;
    std::function<bool(B&, std::string&)> call;  // the record's first text member, in and out
    const char* filled;
};

// Runs a record operation on a record whose `member` holds the text, then reads the member back.
template <class Record, class Op>
std::function<bool(B&, std::string&)> OnRecord(std::string Record::*member, Op op) {
    return [member, op](B& b, std::string& text) {
        Record record;
        record.*member = text;
        bool result = op(b, record);
        text = record.*member;
        return result;
    };
}

TEST_F(BridgeTest, RecordsCopyBackOnlyOnTrue) {
    const std::vector<RecordRow> rows = {
        {"GetMgmtVersion",
         OnRecord(&SMgmtVersion::strVersion, [](B& b, SMgmtVersion& r) { return b.GetMgmtVersionInfo(r); }), "10.5.1"},
        {"GetStorageProfileInfo",
         OnRecord(&SDatastoreInfo::strName, [](B& b, SDatastoreInfo& r) { return b.GetStorageProfileInfo("sp", r); }),
         "p1"},
        {"GetStorageProfileInfoByMoref",
         OnRecord(&SDatastoreInfo::strName,
                  [](B& b, SDatastoreInfo& r) { return b.GetStorageProfileInfoByMoref("vc", "m", r); }),
         "p1"},
        {"GetVMInfoForVM",
         OnRecord(&SVMInfo::strName,
                  [](B& b, SVMInfo& r) {
                      int result = b.GetVMInfoForVM("o", "d", "v", 0, 0, r);
                      EXPECT_TRUE(result == 0 || result == 1) << result;
                      return result == 1;
                  }),
         "vm-1"},
    };
    for (const RecordRow& row : rows) {
        for (const char* action : {"true", "false", "null", "throw"}) {
            SCOPED_TRACE(std::string(row.method) + " " + action);
            Control("Reset");
            Control("SetVersion", {"10.5.1", "b", "f"});
            Control("AddProfile", {"p1|g|m|1|1|1"});
            Control("AddVm", {"vm-1|u|h|m|os|1|POWERED_ON"});
            Control("Script", {row.method, action});
            std::string text = "old";
            bool ok = std::string(action) == "true";
            EXPECT_EQ(row.call(bridge(), text), ok);
            EXPECT_EQ(text, ok ? row.filled : "old");
        }
    }
}

// ---- shape 3: a list as the result ----

struct ResultListRow {
    const char* method;
    std::function<int(B&, std::vector<std::string>&)> call;  // 1/0 (or true/false) and the names
    std::vector<std::string> items;
};

TEST_F(BridgeTest, ReturnedListsReplaceTheVectorOnlyWhenNotNull) {
    const std::vector<std::string> vms = {"vm-1", "vm-2"}, hosts = {"esx-1", "esx-2", "esx-3"};
    auto vmOp = [](auto op) {
        return [op](B& b, std::vector<std::string>& v) {
            int r = 0;
            WithNamed<SVMInfo>(v, [&](std::vector<SVMInfo>& r2) { return (r = op(b, r2)) != 0; });
            return r;
        };
    };
    const std::vector<ResultListRow> rows = {
        {"GetManagedHypervisorsInCloud",
         [](B& b, std::vector<std::string>& v) {
             return WithNamed<SInventoryInfo>(v, [&](std::vector<SInventoryInfo>& r) {
                 return b.GetManagedHypervisorsInCloud(r);
             }) ? 1 : 0;
         },
         hosts},
        {"BrowseInventory",
         [](B& b, std::vector<std::string>& v) {
             int result = 0;
             WithNamed<SInventoryInfo>(v, [&](std::vector<SInventoryInfo>& r) {
                 return (result = b.BrowseInventory("o", Node("root", 1), r, 0, 1)) != 0;
             });
             return result;
         },
         hosts},
        {"GetVMStructListForEntity",
         vmOp([](B& b, std::vector<SVMInfo>& r) { return b.GetVMListForEntity("e", eInventoryOrg, 0, 0, r); }), vms},
        {"GetVMStructListForEntityByName",
         vmOp([](B& b, std::vector<SVMInfo>& r) { return b.GetVMListForEntityByName("e", eInventoryOrg, 0, 0, r); }),
         vms},
        {"GetVMInfoListForMetadataTag",
         vmOp([](B& b, std::vector<SVMInfo>& r) { return b.GetVMInfoListForMetadataTag("k", "v", 0, 0, r); }), vms},
        {"GetVMStructListForWildCard",
         vmOp([](B& b, std::vector<SVMInfo>& r) { return b.GetVMListForWildCard(r, 0, 0, "*", eFilterVMName); }), vms},
    };
    const std::vector<std::string> old = {"old"};
    for (const ResultListRow& row : rows) {
        for (const char* action : {"list", "empty", "null", "throw"}) {
            SCOPED_TRACE(std::string(row.method) + " " + action);
            Control("Reset");
            if (std::string(action) != "empty") {
                Control("SetTree", {"esx-1,esx-2,esx-3"});
                Control("AddVm", {"vm-1|u1|h|m1|os|1|POWERED_ON"});
                Control("AddVm", {"vm-2|u2|h|m2|os|1|POWERED_OFF"});
            }
            Control("Script", {row.method, std::string(action) == "empty" ? "list" : action});
            std::vector<std::string> names = old;
            int result = row.call(bridge(), names);
            bool listed = std::string(action) == "list" || std::string(action) == "empty";
            EXPECT_EQ(result, listed ? 1 : 0);
            EXPECT_EQ(names, std::string(action) == "list" ? row.items : listed ? std::vector<std::string>{} : old);
        }
    }
}

}  // namespace

// Construction, copying and constants of the VMInfoStructs records, driven by the member tables of
// RecordMembers.h: one generic walker fills, compares and checks every member of every record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "RecordMembers.h"
#include "VMInfoStructs.h"

using namespace VMInfoStructs;

namespace {

struct Slot {
    const char* name;
    std::size_t offset, size, align;
};

template <class R>
struct Members {
    static constexpr bool known = false;
};

// offsetof on records that hold standard containers is not standard-layout; GCC and Clang compute it
// exactly for classes without virtual bases, which is all the layout check needs.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define VCB_VISIT(name) f(#name, r.name...);
#define VCB_SLOT(name) \
    Slot{#name, offsetof(Record, name), sizeof(Record::name), alignof(decltype(Record::name))},
#define VCB_RECORD(Rec, LIST)                                                                        \
    template <>                                                                                      \
    struct Members<Rec> {                                                                            \
        using Record = Rec;                                                                          \
        static constexpr bool known = true;                                                          \
        static constexpr const char* name = #Rec;                                                    \
        template <class F, class... R>                                                               \
        static void Visit(F&& f, R&... r) { LIST(VCB_VISIT) }                                        \
        static std::vector<Slot> Layout() { return {LIST(VCB_SLOT)}; }                               \
    };
VCB_RECORD(SKeyPairInfo, SKEYPAIRINFO_MEMBERS)
VCB_RECORD(SSecurityGroupInfo, SSECURITYGROUPINFO_MEMBERS)
VCB_RECORD(SVMOptionValue, SVMOPTIONVALUE_MEMBERS)
VCB_RECORD(SFCAdapterInfo, SFCADAPTERINFO_MEMBERS)
VCB_RECORD(SVMOwnerInfo, SVMOWNERINFO_MEMBERS)
VCB_RECORD(SGuestOSInfo, SGUESTOSINFO_MEMBERS)
VCB_RECORD(SChildDisk, SCHILDDISK_MEMBERS)
VCB_RECORD(SDisk, SDISK_MEMBERS)
VCB_RECORD(SSnapshot, SSNAPSHOT_MEMBERS)
VCB_RECORD(SVMFile, SVMFILE_MEMBERS)
VCB_RECORD(SFilelayout, SFILELAYOUT_MEMBERS)
VCB_RECORD(SVMNetworkCard, SVMNETWORKCARD_MEMBERS)
VCB_RECORD(SVMDiskController, SVMDISKCONTROLLER_MEMBERS)
VCB_RECORD(SVMInfo, SVMINFO_MEMBERS)
VCB_RECORD(SInventoryInfo, SINVENTORYINFO_MEMBERS)
VCB_RECORD(SHostStorageAdapterInfo, SHOSTSTORAGEADAPTERINFO_MEMBERS)
VCB_RECORD(SSCSILunInfo, SSCSILUNINFO_MEMBERS)
VCB_RECORD(SDatastoreInfo, SDATASTOREINFO_MEMBERS)
VCB_RECORD(SMgmtVersion, SMGMTVERSION_MEMBERS)
#pragma GCC diagnostic pop

template <class T>
struct IsList : std::false_type {};
template <class T>
struct IsList<std::vector<T>> : std::true_type {};

// Gives every member a value that differs from its default and from every other member's value.
// Lists are filled in place (two elements when empty), so refilling a copy touches every node of the
// copy's own tree. Texts carry multi-byte UTF-8 and an embedded NUL to catch any copy that goes
// through C strings. Flags are inverted on odd seeds only, so two records made from an odd and an even
// seed differ in every flag too.
class Filler {
public:
    Filler(int seed, int depth) : counter_(seed * 100000), invert_(seed % 2 != 0), depth_(depth) {}

    template <class T>
    void operator()(const char*, T& member) { Fill(member); }

    template <class R>
    typename std::enable_if<Members<R>::known>::type Fill(R& record) { Members<R>::Visit(*this, record); }
    void Fill(std::string& text) {
        text = "t" + std::to_string(++counter_) + std::string("\0-\xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\xBE", 11);
    }
    void Fill(bool& flag) { flag = invert_ ? !flag : flag; }
    void Fill(EInventoryType& type) { type = static_cast<EInventoryType>(1000 + ++counter_); }
    template <class I>
    typename std::enable_if<std::is_integral<I>::value>::type Fill(I& value) {
        value = static_cast<I>((sizeof(I) == 8 ? (1LL << 40) : 0) + 1000 + (++counter_ % 30000));
    }
    void Fill(std::map<std::string, std::string>& map) {
        std::string n = std::to_string(++counter_);
        map["key-" + n] = "value-\xC3\xA9-" + n;
        map["other-" + n] = "";
    }
    template <class T>
    void Fill(std::vector<T>& list) {
        if (Members<T>::known && depth_ == 0) return;
        if (list.empty()) list.resize(2);
        --depth_;
        for (T& element : list) Fill(element);
        ++depth_;
    }

private:
    int counter_;
    bool invert_;
    int depth_;
};

// Depth 3: an SSnapshot or SInventoryInfo gets children, grandchildren and great-grandchildren.
template <class R>
R Make(int seed) {
    R record;
    Filler(seed, 3).Fill(record);
    return record;
}

// Collects the path of every member whose values differ, to any depth.
class Comparer {
public:
    Comparer(std::string path, std::vector<std::string>& diffs) : path_(std::move(path)), diffs_(diffs) {}

    template <class T>
    void operator()(const char* name, const T& a, const T& b) { Compare(path_ + "." + name, a, b); }

    template <class T>
    static void Compare(const std::string& path, const T& a, const T& b, std::vector<std::string>& diffs) {
        Comparer(path, diffs).Compare(path, a, b);
    }

private:
    template <class T>
    void Compare(const std::string& path, const T& a, const T& b) {
        CompareAs(path, a, b, std::integral_constant<int, Members<T>::known ? 0 : IsList<T>::value ? 1 : 2>());
    }
    template <class R>
    void CompareAs(const std::string& path, const R& a, const R& b, std::integral_constant<int, 0>) {
        Members<R>::Visit(Comparer(path, diffs_), a, b);
    }
    template <class L>
    void CompareAs(const std::string& path, const L& a, const L& b, std::integral_constant<int, 1>) {
        if (a.size() != b.size()) {
            diffs_.push_back(path + " (size)");
            return;
        }
        for (std::size_t i = 0; i < a.size(); ++i) Compare(path + "[" + std::to_string(i) + "]", a[i], b[i]);
    }
    template <class V>
    void CompareAs(const std::string& path, const V& a, const V& b, std::integral_constant<int, 2>) {
        if (!(a == b)) diffs_.push_back(path);
    }

    std::string path_;
    std::vector<std::string>& diffs_;
};

template <class R>
testing::AssertionResult SameMembers(const R& a, const R& b) {
    std::vector<std::string> diffs;
    Comparer::Compare(Members<R>::name, a, b, diffs);
    if (diffs.empty()) return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << diffs.size() << " member(s) differ:";
    for (std::size_t i = 0; i < diffs.size() && i < 20; ++i) failure << "\n  " << diffs[i];
    return failure;
}

// Constructs a record on memory filled with a non-zero pattern, so that a member left without a
// value shows up as garbage instead of as a lucky zero.
template <class R>
class OnDirtyMemory {
public:
    OnDirtyMemory() { std::memset(static_cast<void*>(bytes_), 0xA5, sizeof bytes_); }
    ~OnDirtyMemory() {
        if (record_) record_->~R();
    }
    R& Default() { return *(record_ = new (bytes_) R); }
    R& CopyOf(const R& source) { return *(record_ = new (bytes_) R(source)); }

private:
    alignas(R) unsigned char bytes_[sizeof(R)];
    R* record_ = nullptr;
};

// Defaults other than empty text, empty lists, 0 and false, keyed by record and member.
const std::map<std::string, std::string> kDefaults = {
    {"SVMInfo.i32Value05", "-1"},   {"SVMInfo.i32Value09", "99"},   {"SVMInfo.i32Value11", "-1"},
    {"SVMInfo.i64Value02", "-1"},   {"SVMInfo.i64Value03", "-1"},   {"SVMInfo.i64Value04", "-1"},
    {"SVMInfo.i64Value06", "-1"},   {"SVMInfo.i64Value07", "-1"},   {"SGuestOSInfo.strText01", "Any"},
    {"SGuestOSInfo.strText02", "Any"}, {"SGuestOSInfo.strText03", "Any"}, {"SGuestOSInfo.strText04", "Any"},
    {"SGuestOSInfo.strText06", "Any"}, {"SDatastoreInfo.bFlag01", "true"},
};

class DefaultChecker {
public:
    DefaultChecker(std::string record, std::vector<std::string>& wrong)
        : record_(std::move(record)), wrong_(wrong) {}

    template <class T>
    void operator()(const char* name, const T& member) { Check(record_ + "." + name, member); }

private:
    template <class R>
    typename std::enable_if<Members<R>::known>::type Check(const std::string&, const R& nested) {
        Members<R>::Visit(DefaultChecker(Members<R>::name, wrong_), nested);
    }
    template <class C>
    typename std::enable_if<!Members<C>::known && !std::is_arithmetic<C>::value && !std::is_enum<C>::value>::type
    Check(const std::string& key, const C& member) {
        Expect(key, member.empty() ? "" : "<not empty>", member);
    }
    void Check(const std::string& key, const std::string& text) { Expect(key, text, text); }
    void Check(const std::string& key, bool flag) { Expect(key, flag ? "true" : "false", flag); }
    template <class I>
    typename std::enable_if<std::is_arithmetic<I>::value || std::is_enum<I>::value>::type
    Check(const std::string& key, I value) {
        Expect(key, std::to_string(static_cast<long long>(value)), value);
    }
    template <class T>
    void Expect(const std::string& key, const std::string& actual, const T&) {
        auto it = kDefaults.find(key);
        std::string expected = it != kDefaults.end() ? it->second : std::is_same<T, bool>::value ? "false"
                               : std::is_arithmetic<T>::value || std::is_enum<T>::value        ? "0"
                                                                                               : "";
        if (actual != expected) wrong_.push_back(key + " is [" + actual + "], expected [" + expected + "]");
    }

    std::string record_;
    std::vector<std::string>& wrong_;
};

template <class R>
class RecordTest : public testing::Test {};
using AllRecords = testing::Types<SKeyPairInfo, SSecurityGroupInfo, SVMOptionValue, SFCAdapterInfo, SVMOwnerInfo,
                                  SGuestOSInfo, SChildDisk, SDisk, SSnapshot, SVMFile, SFilelayout, SVMNetworkCard,
                                  SVMDiskController, SVMInfo, SInventoryInfo, SHostStorageAdapterInfo,
                                  SSCSILunInfo, SDatastoreInfo, SMgmtVersion>;
struct RecordName {
    template <class R>
    static std::string GetName(int) { return Members<R>::name; }
};
TYPED_TEST_SUITE(RecordTest, AllRecords, RecordName);

// The member table lists every member in declaration order: each member starts exactly where the
// previous one ends (plus alignment), and the last one ends the record.
TYPED_TEST(RecordTest, MemberTableMatchesDeclarations) {
    std::size_t end = 0;
    for (const Slot& slot : Members<TypeParam>::Layout()) {
        std::size_t expected = (end + slot.align - 1) / slot.align * slot.align;
        EXPECT_EQ(slot.offset, expected) << slot.name << ": a member is missing before it or out of order";
        end = slot.offset + slot.size;
    }
    EXPECT_EQ((end + alignof(TypeParam) - 1) / alignof(TypeParam) * alignof(TypeParam), sizeof(TypeParam))
        << "members are missing at the end of the table";
}

TYPED_TEST(RecordTest, DefaultConstructionGivesEveryMemberItsDefault) {
    OnDirtyMemory<TypeParam> memory;
    std::vector<std::string> wrong;
    Members<TypeParam>::Visit(DefaultChecker(Members<TypeParam>::name, wrong), memory.Default());
    for (const std::string& w : wrong) ADD_FAILURE() << w;
}

TYPED_TEST(RecordTest, CopyConstructionCarriesEveryMemberToFullDepth) {
    const TypeParam source = Make<TypeParam>(1);
    OnDirtyMemory<TypeParam> memory;
    EXPECT_TRUE(SameMembers(memory.CopyOf(source), source));
    EXPECT_TRUE(SameMembers(source, Make<TypeParam>(1)));
}

TYPED_TEST(RecordTest, AssignmentReplacesEveryMember) {
    const TypeParam source = Make<TypeParam>(1);
    TypeParam target = Make<TypeParam>(2);
    target = source;
    EXPECT_TRUE(SameMembers(target, source));
    TypeParam fresh;
    fresh = source;
    EXPECT_TRUE(SameMembers(fresh, source));
}

// Changing every node of a copy, down to the innermost nested list, leaves the source as it was.
TYPED_TEST(RecordTest, CopyIsIndependentOfItsSource) {
    TypeParam source = Make<TypeParam>(1);
    TypeParam constructed(source);
    TypeParam assigned;
    assigned = source;
    Filler(3, 3).Fill(constructed);
    Filler(5, 3).Fill(assigned);
    EXPECT_TRUE(SameMembers(source, Make<TypeParam>(1)));
    // Changing the source afterwards does not reach the copies either.
    TypeParam copy(source);
    Filler(7, 3).Fill(source);
    EXPECT_TRUE(SameMembers(copy, Make<TypeParam>(1)));
}

TYPED_TEST(RecordTest, SelfAssignmentChangesNothing) {
    TypeParam record = Make<TypeParam>(1);
    const TypeParam& alias = record;
    record = alias;
    EXPECT_TRUE(SameMembers(record, Make<TypeParam>(1)));
}

// Records with a copy routine declare no move operations: a move copies and the source stays intact,
// which callers may rely on.
template <class R>
class CopyRoutineRecordTest : public testing::Test {};
using CopyRoutineRecords = testing::Types<SKeyPairInfo, SSecurityGroupInfo, SGuestOSInfo, SChildDisk, SDisk,
                                          SSnapshot, SVMFile, SFilelayout, SVMNetworkCard, SVMInfo, SInventoryInfo,
                                          SHostStorageAdapterInfo, SSCSILunInfo, SDatastoreInfo>;
TYPED_TEST_SUITE(CopyRoutineRecordTest, CopyRoutineRecords, RecordName);

TYPED_TEST(CopyRoutineRecordTest, MoveCopiesAndLeavesSourceIntact) {
    TypeParam source = Make<TypeParam>(1);
    TypeParam constructed(std::move(source));
    TypeParam assigned;
    assigned = std::move(source);
    EXPECT_TRUE(SameMembers(source, Make<TypeParam>(1)));
    EXPECT_TRUE(SameMembers(constructed, Make<TypeParam>(1)));
    EXPECT_TRUE(SameMembers(assigned, Make<TypeParam>(1)));
}

TYPED_TEST(CopyRoutineRecordTest, CopyRoutineCopiesAndIgnoresItself) {
    const TypeParam source = Make<TypeParam>(1);
    TypeParam target = Make<TypeParam>(2);
    target._Copy(source);
    EXPECT_TRUE(SameMembers(target, source));
    target._Copy(target);
    EXPECT_TRUE(SameMembers(target, source));
}

TEST(PropertyMask, GroupsAreDisjointAndCoverEveryBit) {
    const UINT64 groups[] = {VM_PROP_ALL_VM, VM_PROP_ALL_HOST, VM_PROP_ALL_DS, VM_PROP_ALL_OTHER,
                             VM_PROP_ALL_SPECIAL};
    const int widths[] = {16, 16, 12, 12, 8};
    UINT64 all = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(__builtin_popcountll(groups[i]), widths[i]) << "group " << i;
        for (int j = i + 1; j < 5; ++j) EXPECT_EQ(groups[i] & groups[j], 0u) << "groups " << i << " and " << j;
        all |= groups[i];
    }
    EXPECT_EQ(all, VM_PROP_ALL);
    EXPECT_EQ(VM_PROP_ALL, ~0ULL);
    EXPECT_EQ(MIN_VM_PROPS, 0u);
    EXPECT_EQ(VM_PROP_INCLUDE_JT_BACKUP, 1ULL << 63);
    EXPECT_EQ(VM_PROP_INCLUDE_PUBLIC_TEMPLATES, 1ULL << 62);
}

// The enumeration numbers are shared with the managed wrapper, which must number its members the
// same way; any change here breaks every deployed wrapper.
static_assert(std::is_same<std::underlying_type<EInventoryType>::type, std::int32_t>::value, "32-bit");
static_assert(std::is_same<std::underlying_type<EFilterType>::type, std::int32_t>::value, "32-bit");
static_assert(eInventoryUnknown == 0 && eInventoryCloud == 1 && eInventoryOrg == 2 && eInventoryOrgVdc == 3 &&
                  eInventoryVApp == 4 && eInventoryVM == 5 && eInventoryVCenter == 6 &&
                  eInventoryProviderVdc == 7 && eInventoryNetwork == 8 && eInventoryStorageProfile == 9 &&
                  eInventoryVAppTemplate == 10 && eInventoryCatalog == 11 && eInventoryDatastore == 12,
              "inventory kinds keep their published numbers");
static_assert(eFilterVMName == 0 && eFilterVAppName == 1 && eFilterVdcName == 2 && eFilterOrgName == 3,
              "filter kinds keep their published numbers");

TEST(Enumerations, NumbersNamingNoEnumeratorTravelUnchanged) {
    for (std::int32_t n : {-1, 13, 1000, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000u)}) {
        SInventoryInfo node;
        node.eType = static_cast<EInventoryType>(n);
        SInventoryInfo copy(node);
        EXPECT_EQ(static_cast<std::int32_t>(copy.eType), n);
        EXPECT_EQ(static_cast<std::int32_t>(static_cast<EFilterType>(n)), n);
    }
}

}  // namespace

// The managed value layer: field readers and writer, object makers, DateTime conversion, the TypeDef walk
// and the diagnostic dumps.
#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "BridgeFixture.h"
#include "OperationsSupport.h"
#include "XqMonoLib.h"

using namespace bridge_test;
using namespace MonoAPI;

namespace {

MonoClass* ClassOf(MonoObject* object) { return mono_object_get_class_ptr(object); }

MonoClass* WrapperClass(const char* name) { return mono_class_from_name_ptr(g_vCloudImage, "vCloudSDKWrapper", name); }

std::vector<std::string> Lines(std::initializer_list<std::string> lines) { return lines; }

TEST_F(BridgeTest, FieldReadersOnPresentNullAndMissingFields) {
    MonoObject* object = ControlObject("SampleFields");
    ASSERT_NE(object, nullptr);
    MonoClass* klass = ClassOf(object);
    auto text = [&](const char* f) { return GetStringFieldValue(klass, object, f); };
    auto reference = [&](const char* f) {
        void* value = GetFieldValue(klass, object, f);
        return value == nullptr ? std::string("<null>") : gc2std(static_cast<MonoString*>(value));
    };
    auto flag = [&](const char* f) { return std::string(GetBoolFieldValue(klass, object, f) ? "true" : "false"); };
    auto int32 = [&](const char* f) { return std::to_string(GetIntFieldValue(klass, object, f)); };
    auto int64 = [&](const char* f) { return std::to_string(GetLongFieldValue(klass, object, f)); };
    auto date = [&](const char* f) { return std::to_string(GetDateTimeFieldValue(klass, object, f)); };
    auto nested = [&](const char* f) {
        MonoObject* box = GetStructFieldValue(klass, object, f);
        return box == nullptr ? std::string("<null>") : GetStringFieldValue(ClassOf(box), box, "strFullVersion");
    };
    const std::string missing = "Could not find field [absent]";
    struct Row {
        const char* what;
        std::function<std::string(const char*)> read;
        const char* field;
        std::string expected;
        std::vector<std::string> messages;
    };
    const std::vector<Row> rows = {
        {"text", text, "text", "h\xC3\xA9llo", {}},
        {"text", text, "nullText", "", {}},
        {"text", text, "emptyText", "", {}},
        {"text", text, "absent", "", {missing}},
        {"reference", reference, "text", "h\xC3\xA9llo", {}},
        {"reference", reference, "nullText", "<null>", {}},
        {"reference", reference, "absent", "<null>", {missing}},
        {"flag", flag, "flag", "true", {}},
        {"flag", flag, "absent", "false", {missing}},
        {"int32", int32, "int32", "-123456789", {}},
        {"int32", int32, "absent", "0", {missing}},
        {"int64", int64, "int64", "-81985529216486896", {}},
        {"int64", int64, "absent", "0", {missing}},
        {"struct", nested, "nested", "10.4.0.2000", {}},
        {"struct", nested, "absent", "<null>", {}},
        {"DateTime", date, "when", "1000000000", {}},
        {"DateTime", date, "absent", "0", {}},
        {"DateTime", date, "int64", "0", {"Could not get datetime Ticks property"}},
        // A field of another type than the reader takes is refused: never copied past the reader's slot,
        // read without its sign, nor handed back as an object reference. An enumeration reads as its
        // underlying type.
        {"flag", flag, "int64", "false", {"Field [int64] is not of the type its reader takes (Boolean)"}},
        {"flag", flag, "int32", "false", {"Field [int32] is not of the type its reader takes (Boolean)"}},
        {"int32", int32, "int64", "0", {"Field [int64] is not of the type its reader takes (Int32)"}},
        {"int32", int32, "flag", "0", {"Field [flag] is not of the type its reader takes (Int32)"}},
        {"int32", int32, "text", "0", {"Field [text] is not of the type its reader takes (Int32)"}},
        {"int32", int32, "minusOne", "-1", {}},
        {"int32", int32, "kind", "2", {}},
        {"int64", int64, "minusOne", "0", {"Field [minusOne] is not of the type its reader takes (Int64)"}},
        {"int64", int64, "nested", "0", {"Field [nested] is not of the type its reader takes (Int64)"}},
        {"text", text, "flag", "", {"Field [flag] is not of the type its reader takes (String)"}},
        {"text", text, "names", "", {"Field [names] is not of the type its reader takes (String)"}},
        {"reference", reference, "int32", "<null>",
         {"Field [int32] is not of the type its reader takes (a reference)"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.what) + " reader on " + row.field);
        log.Clear();
        EXPECT_EQ(row.read(row.field), row.expected);
        EXPECT_EQ(Messages(log), row.messages);
    }
}

// Texts come out of the runtime as UTF-8, byte for byte as the runtime's own conversion gives them.
TEST_F(BridgeTest, ManagedTextBecomesUtf8AsTheRuntimeConvertsIt) {
    auto convert = [](std::vector<mono_unichar2> units) {
        return gc2std(mono_string_new_utf16_ptr(g_domain, units.data(), static_cast<int32_t>(units.size())));
    };
    auto runtime = [](std::vector<mono_unichar2> units) {
        char* utf8 = mono_string_to_utf8_ptr(mono_string_new_utf16_ptr(g_domain, units.data(), static_cast<int32_t>(units.size())));
        std::string out = utf8 != nullptr ? std::string(utf8) : std::string();
        mono_free_ptr(utf8);
        return out;
    };
    const std::vector<std::vector<mono_unichar2>> texts = {
        {},
        {'v', 'm', '-', '1'},
        {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF},          // each width's first and last value
        {0xD7FF, 0xE000, 0xFFFD},                     // either side of the surrogates
        {'x', 0xD800, 0xDC00, 'y'},                   // the first pair: U+10000
        {0xDBFF, 0xDFFF},                             // the last pair: U+10FFFF
        {'a', 0, 'b'},                                // a NUL ends the text
        {'a', 0xD800},                                // a high surrogate at the end
        {'a', 0xD800, 'b'},                           // a high surrogate without its partner
        {'a', 0xDC00, 'b'},                           // a low surrogate alone
        {0xDC00, 0xD800},                             // a pair the wrong way round
        {'a', 0, 0xDC00},                             // what follows a NUL is never read
    };
    for (const auto& t : texts) EXPECT_EQ(convert(t), runtime(t)) << "text of " << t.size() << " units";
    EXPECT_EQ(convert({'x', 0xD800, 0xDC00, 'y'}), "x\xF0\x90\x80\x80y");
    EXPECT_EQ(convert({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(convert({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(convert({'a', 0, 'b'}), "a");
    EXPECT_EQ(convert({'a', 0, 0xDC00}), "a");
    EXPECT_EQ(convert({'a', 0xDC00, 'b'}), "");
}

TEST_F(BridgeTest, StringFieldIsEmptyWhenAbsentNullOrZeroLength) {
    MonoObject* object = ControlObject("SampleFields");
    ASSERT_NE(object, nullptr);
    EXPECT_FALSE(IsStringFieldEmpty(object, "text"));
    EXPECT_FALSE(IsStringFieldEmpty(object, "letter"));
    EXPECT_TRUE(IsStringFieldEmpty(object, "emptyText"));
    EXPECT_TRUE(IsStringFieldEmpty(object, "nullText"));
    EXPECT_TRUE(IsStringFieldEmpty(nullptr, "text"));
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
    EXPECT_TRUE(IsStringFieldEmpty(object, "absent"));
    EXPECT_EQ(Messages(log), Lines({"Could not find field [absent]"}));
}

TEST_F(BridgeTest, SetFieldValueWritesEachKindAndSkipsAMissingField) {
    MonoObject* object = NewManagedObjectVCloud("SFieldKinds", false);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(ControlText("DescribeFields", object), "<null>|<null>|<null>|false|0|0|0");
    MonoClass* klass = ClassOf(object);
    // Reference fields take the object itself; value fields the address of the value.
    SetFieldValue(klass, object, "text", std2gc("set"));
    SetFieldValue(klass, object, "emptyText", std2gc(""));
    uint8_t flag = 1;
    SetFieldValue(klass, object, "flag", &flag);
    int32_t int32 = -2;
    SetFieldValue(klass, object, "int32", &int32);
    int64_t int64 = (int64_t{1} << 40) + 3;
    SetFieldValue(klass, object, "int64", &int64);
    int64_t ticks = 630822816000000000LL;  // 2000-01-01
    SetFieldValue(klass, object, "when", &ticks);
    const std::string expected = "set|<null>||true|-2|1099511627779|630822816000000000";
    EXPECT_EQ(ControlText("DescribeFields", object), expected);
    EXPECT_EQ(GetDateTimeFieldValue(klass, object, "when"), 946684800);
    EXPECT_TRUE(Messages(log).empty()) << log.Text();

    SetFieldValue(klass, object, "absent", &int32);
    EXPECT_EQ(Messages(log), Lines({"Could not find field [absent]"}));
    EXPECT_EQ(ControlText("DescribeFields", object), expected);
}

TEST_F(BridgeTest, ObjectMakersRunTheConstructorOnlyWhenAsked) {
    MonoObject* bare = NewManagedObjectVCloud("FieldHolder", false);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(ControlText("HolderConstructed", bare), "false");
    EXPECT_EQ(GetStringFieldValue(ClassOf(bare), bare, "text"), "") << "field initialisers are constructor code";

    MonoObject* built = NewManagedObjectVCloud("FieldHolder", true);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(ControlText("HolderConstructed", built), "true");
    EXPECT_EQ(GetStringFieldValue(ClassOf(built), built, "text"), "hello");
    EXPECT_TRUE(Messages(log).empty()) << log.Text();

    EXPECT_EQ(NewManagedObjectVCloud("NoSuchClass", true), nullptr);
    EXPECT_EQ(Messages(log), Lines({"Could not find class [NoSuchClass]"}));

    // A new DateTime box holds zero ticks: 0001-01-01.
    log.Clear();
    MonoObject* date = NewManagedDateTime();
    ASSERT_NE(date, nullptr);
    EXPECT_EQ(DateTimeToTimeT(date), -62135596800);
    EXPECT_TRUE(Messages(log).empty()) << log.Text();
}

TEST_F(BridgeTest, DateTimeBecomesSignedSecondsSince1970RoundedDown) {
    const std::pair<const char*, time_t> cases[] = {
        {"621355968000000000", 0},                      // 1970-01-01 00:00:00
        {"621355968009999999", 0},                      // one tick before 00:00:01
        {"630822816000000000", 946684800},              // 2000-01-01
        {"621355967999999999", -1},                     // one tick before 1970
        {"621355967995000000", -1},                     // 1969-12-31 23:59:59.5
        {"621355967990000000", -1},                     // 1969-12-31 23:59:59
        {"621355967989999999", -2},
        {"0", -62135596800},                            // 0001-01-01, the default DateTime
        {"3155378975999999999", 253402300799},          // 9999-12-31 23:59:59.9999999
    };
    for (const auto& c : cases) {
        MonoObject* date = ControlObject("DateFromTicks", {c.first});
        ASSERT_NE(date, nullptr);
        EXPECT_EQ(DateTimeToTimeT(date), c.second) << c.first << " ticks";
    }
    EXPECT_TRUE(Messages(log).empty()) << log.Text();

    // Only a DateTime is read: another object with a Ticks property is no date, and unboxing a reference
    // type would abort the runtime.
    EXPECT_EQ(DateTimeToTimeT(nullptr), 0);
    EXPECT_EQ(DateTimeToTimeT(reinterpret_cast<MonoObject*>(std2gc("2000-01-01"))), 0);
    EXPECT_EQ(DateTimeToTimeT(ControlObject("TicksThrowing")), 0);
    EXPECT_EQ(DateTimeToTimeT(NewManagedObjectVCloud("TicksClass", true)), 0);
    const std::string noTicks = "Could not get datetime Ticks property";
    EXPECT_EQ(Messages(log), Lines({"Could not get datetime class", noTicks, noTicks, noTicks}));
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

TEST_F(BridgeTest, TypeDefinitionWalkGivesRowsInOrderThenNullAndStartsOver) {
    const std::vector<std::string> expected = Split(Control("TypeNamesInRowOrder"));
    ASSERT_GT(expected.size(), 10u);
    void* cursor = nullptr;
    for (int walk = 0; walk < 2; ++walk) {
        std::vector<std::string> names;
        while (MonoClass* klass = mono_image_get_classes(g_vCloudImage, &cursor)) {
            names.push_back(mono_class_get_name_ptr(klass));
            ASSERT_LE(names.size(), expected.size());
        }
        EXPECT_EQ(names, expected) << "walk " << walk;
        EXPECT_EQ(cursor, nullptr) << "the cursor is ready for a new walk";
    }
    EXPECT_EQ(mono_image_get_classes(g_vCloudImage, nullptr), nullptr);

    MonoAssembly* empty = mono_domain_assembly_open_ptr(g_domain, VCB_EMPTY_ASSEMBLY);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(mono_image_get_classes(mono_assembly_get_image_ptr(empty), &cursor), nullptr);
    EXPECT_EQ(cursor, nullptr);

    // The class dump walks the same rows.
    log.Clear();
    DumpClasses();
    std::vector<std::string> lines;
    for (const std::string& name : expected) lines.push_back("Class: " + name);
    EXPECT_EQ(Messages(log), lines);
}

TEST_F(BridgeTest, DumpsWriteOneLinePerMember) {
    DumpClassFields(WrapperClass("FieldHolder"));
    EXPECT_EQ(Messages(log), Lines({"Field: text", "Field: empty", "Field: none", "Field: constructed"}));

    log.Clear();
    DumpClassMethods(WrapperClass("ListWithoutAdd"));
    std::vector<std::string> methods = Messages(log);
    std::sort(methods.begin(), methods.end());  // in the runtime's method table order
    EXPECT_EQ(methods, Lines({"Method: .ctor", "Method: Count"}));

    log.Clear();
    DumpMethod(mono_class_get_method_from_name_ptr(WrapperClass("TestControl"), "Out", 3));
    EXPECT_EQ(Messages(log),
              Lines({"Method: vCloudSDKWrapper.TestControl:Out (string,int,string)   3 params   string,int,string"}));
}

// The texts that DumpMethod gets from the runtime, each released exactly once.
std::map<void*, int> g_handedOut;
decltype(mono_method_full_name_ptr) g_realFullName;
decltype(mono_signature_get_desc_ptr) g_realDesc;
decltype(mono_free_ptr) g_realFree;

char* CountedFullName(MonoMethod* method, mono_bool signature) {
    char* text = g_realFullName(method, signature);
    ++g_handedOut[text];
    return text;
}
char* CountedDesc(MonoMethodSignature* signature, mono_bool namespaces) {
    char* text = g_realDesc(signature, namespaces);
    ++g_handedOut[text];
    return text;
}
void CountedFree(void* text) {
    auto it = g_handedOut.find(text);
    if (it != g_handedOut.end()) --it->second;
    g_realFree(text);
}

TEST_F(BridgeTest, DumpMethodReleasesTheRuntimesTexts) {
    MonoMethod* method = mono_class_get_method_from_name_ptr(WrapperClass("TestControl"), "Script", 2);
    ASSERT_NE(method, nullptr);
    g_realFullName = mono_method_full_name_ptr;
    g_realDesc = mono_signature_get_desc_ptr;
    g_realFree = mono_free_ptr;
    mono_method_full_name_ptr = &CountedFullName;
    mono_signature_get_desc_ptr = &CountedDesc;
    mono_free_ptr = &CountedFree;
    for (int i = 0; i < 50; ++i) DumpMethod(method);
    mono_method_full_name_ptr = g_realFullName;
    mono_signature_get_desc_ptr = g_realDesc;
    mono_free_ptr = g_realFree;
    EXPECT_EQ(log.Count("2 params"), 50);
    ASSERT_FALSE(g_handedOut.empty());
    for (const auto& text : g_handedOut) EXPECT_EQ(text.second, 0) << "a text released " << -text.second << " too many";
}

}  // namespace

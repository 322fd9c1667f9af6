// The tool's own logic without a cloud: command-line parsing, JSON text, tables and the metadata text
// that restores hand to the wrapper.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "Cli.h"
#include "Commands.h"
#include "Output.h"
#include "Connection.h"

using namespace vcbtool;

namespace {

ParsedArgs Parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    static std::string name = "vcloud-bridge";
    argv.push_back(&name[0]);
    for (auto& w : words) argv.push_back(&w[0]);
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string JsonText(const std::string& text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

}  // namespace

TEST(CommandLine, OptionsGoBeforeOrAfterTheCommandInEitherSpelling) {
    const ParsedArgs a = Parse({"--json", "vms", "vdc", "--max=5", "Acme-Gold", "--server", "https://x"});
    ASSERT_NE(a.command, nullptr);
    EXPECT_EQ(a.command->name, "vms");
    EXPECT_EQ(a.positionals, (std::vector<std::string>{"vdc", "Acme-Gold"}));
    EXPECT_TRUE(a.has("json"));
    EXPECT_EQ(a.get("server"), "https://x");
    EXPECT_EQ(a.number("max", 0, 0, 100), 5);
    // Repeated options keep every value; the last one wins for single values.
    const ParsedArgs r = Parse({"restore", "--metadata", "a=1", "--metadata=b=2", "o", "v", "a", "n"});
    EXPECT_EQ(r.all("metadata"), (std::vector<std::string>{"a=1", "b=2"}));
    // After "--" everything is an argument, even text that looks like an option.
    const ParsedArgs d = Parse({"find-vm", "--", "org", "vdc", "--odd-name"});
    EXPECT_EQ(d.positionals.back(), "--odd-name");
}

TEST(CommandLine, MistakesAreUsageErrors) {
    EXPECT_THROW(Parse({"frobnicate"}), UsageError);
    EXPECT_THROW(Parse({"vdcs", "--no-such-option", "Acme"}), UsageError);
    EXPECT_THROW(Parse({"vdcs"}), UsageError);                   // too few arguments
    EXPECT_THROW(Parse({"vdcs", "a", "b"}), UsageError);         // too many
    EXPECT_THROW(Parse({"vdcs", "Acme", "--server"}), UsageError);  // value missing
    EXPECT_THROW(Parse({"vdcs", "Acme", "--json=yes"}), UsageError);  // a switch with a value
    EXPECT_THROW(Parse({"--max", "3", "vms"}), UsageError);      // a command option before its command
    EXPECT_THROW(Parse({"vms", "--max", "x"}).number("max", 0, 0, 10), UsageError);
    EXPECT_THROW(Parse({"vms", "--max", "11"}).number("max", 0, 0, 10), UsageError);
    // Help is answered even when the arguments are incomplete.
    EXPECT_TRUE(Parse({"restore", "--help"}).help);
}

TEST(CommandLine, APasswordOnTheCommandLineIsRefusedInEitherSpelling) {
    EXPECT_THROW(Parse({"--password", "secret", "login"}), UsageError);
    EXPECT_THROW(Parse({"login", "--password=secret"}), UsageError);
}

TEST(CommandLine, EveryCommandHasHelpAndAUniqueName) {
    std::set<std::string> names;
    for (const auto& c : Commands()) {
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        for (const auto& a : c.aliases) EXPECT_TRUE(names.insert(a).second) << a;
        EXPECT_FALSE(c.summary.empty()) << c.name;
        EXPECT_NE(CommandHelp(c).find("usage: vcloud-bridge"), std::string::npos);
        EXPECT_NE(MainHelp().find("  " + c.name + " "), std::string::npos) << c.name;
    }
}

TEST(Json, StringsAreEscapedAndAlwaysValidUtf8) {
    EXPECT_EQ(JsonText("plain"), "\"plain\"");
    EXPECT_EQ(JsonText("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonText("l1\nl2\t\r\b\f"), "\"l1\\nl2\\t\\r\\b\\f\"");
    EXPECT_EQ(JsonText(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonText(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
    // Valid multi-byte sequences pass unchanged.
    EXPECT_EQ(JsonText("Zürich \u2500 \U0001F600"), "\"Zürich \u2500 \U0001F600\"");
    // Stray, truncated, overlong and surrogate sequences become U+FFFD, one per bad byte.
    EXPECT_EQ(JsonText("a\xff" "b"), "\"a\xEF\xBF\xBD" "b\"");
    EXPECT_EQ(JsonText("\xC3"), "\"\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonText("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonText("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonText("\xF4\x90\x80\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(Json, DocumentsKeepMemberOrderAndNest) {
    Json inner = Json::array();
    inner.push(1).push("x").push(true).push(Json());
    Json doc = Json::object();
    doc.set("b", std::int64_t{4398046511104}).set("a", inner).set("empty", Json::array());
    EXPECT_EQ(doc.dump(),
              "{\n  \"b\": 4398046511104,\n  \"a\": [\n    1,\n    \"x\",\n    true,\n    null\n  ],\n"
              "  \"empty\": []\n}\n");
}

TEST(Table, ColumnsAlignByCharactersNotBytes) {
    Table t({"NAME", "POWER"});
    t.row({"zürich-01", "on"});
    t.row({"a", "off"});
    std::ostringstream out;
    t.print(out);
    EXPECT_EQ(out.str(), "NAME       POWER\nzürich-01  on\na          off\n");
}

TEST(Tree, BranchesShowTheShapeInBothStyles) {
    TreeNode root{"cloud", {{"Acme (org)", {{"Gold (vdc)", {}}, {"Silver (vdc)", {}}}}, {"Globex (org)", {}}}};
    std::ostringstream box, ascii;
    PrintTree(box, root, false);
    PrintTree(ascii, root, true);
    EXPECT_EQ(box.str(),
              "cloud\n\u251c\u2500\u2500 Acme (org)\n\u2502   \u251c\u2500\u2500 Gold (vdc)\n"
              "\u2502   \u2514\u2500\u2500 Silver (vdc)\n\u2514\u2500\u2500 Globex (org)\n");
    EXPECT_EQ(ascii.str(), "cloud\n|-- Acme (org)\n|   |-- Gold (vdc)\n|   `-- Silver (vdc)\n`-- Globex (org)\n");
}

TEST(Restore, MetadataEntriesAreEscapedSoThatAnyTextSurvives) {
    EXPECT_EQ(MetadataText({}), "");
    EXPECT_EQ(MetadataText({"team=platform", "tier=1"}), "team=platform;tier=1");
    // Only the first '=' splits; ';', '=' and '\' in keys and values are escaped.
    EXPECT_EQ(MetadataText({"note=a;b=c"}), "note=a\\;b\\=c");
    EXPECT_EQ(MetadataText({"path=C:\\x"}), "path=C:\\\\x");
    EXPECT_EQ(MetadataText({"k=", "e=="}), "k=;e=\\=");
    EXPECT_THROW(MetadataText({"novalue"}), UsageError);
    EXPECT_THROW(MetadataText({"=value"}), UsageError);
}

TEST(Names, InventoryTypesRoundTripAndUnknownNamesAreRejected) {
    for (int i = 0; i <= 12; ++i) {
        const auto type = static_cast<VMInfoStructs::EInventoryType>(i);
        EXPECT_EQ(ParseType(TypeName(type)), type);
    }
    EXPECT_THROW(ParseType("folder"), UsageError);
    EXPECT_EQ(HumanBytes(512), "512 bytes");
    EXPECT_EQ(HumanBytes(4398046511104LL), "4 TiB");
    EXPECT_EQ(HumanBytes(1536LL * 1024 * 1024), "1.5 GiB");
}

// A password file must be a regular file: a directory reads as empty text and would log in with "".
TEST(Passwords, PasswordFileMustBeARegularFile) {
    char dir[] = "/tmp/vcb-pwXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    Settings s;
    s.quiet = true;
    s.passwordFile = dir;
    EXPECT_THROW(ResolvePassword(s, "alice@Acme", "https://cloud"), UsageError);
    s.passwordFile = "/dev/null";
    EXPECT_THROW(ResolvePassword(s, "alice@Acme", "https://cloud"), UsageError);

    const std::string file = std::string(dir) + "/pw";
    {
        std::ofstream out(file);
        out << "s3cret\r\nsecond line\n";
    }
    s.passwordFile = file;
    EXPECT_EQ(ResolvePassword(s, "alice@Acme", "https://cloud"), "s3cret");
    std::remove(file.c_str());
    rmdir(dir);
}

TEST(Settings, AuthAndProxyComeFromOptionsOrTheEnvironmentAndBadValuesAreUsageErrors) {
    ::unsetenv("VCB_AUTH");
    EXPECT_FALSE(Settings::From(Parse({"login"})).apiToken);
    EXPECT_TRUE(Settings::From(Parse({"--auth", "api-token", "login"})).apiToken);
    EXPECT_FALSE(Settings::From(Parse({"--auth", "password", "login"})).apiToken);
    EXPECT_THROW(Settings::From(Parse({"--auth", "kerberos", "login"})), UsageError);
    ::setenv("VCB_AUTH", "api-token", 1);
    EXPECT_TRUE(Settings::From(Parse({"login"})).apiToken);
    EXPECT_FALSE(Settings::From(Parse({"--auth", "password", "login"})).apiToken);  // the option wins
    ::setenv("VCB_AUTH", "sso", 1);
    EXPECT_THROW(Settings::From(Parse({"login"})), UsageError);
    ::unsetenv("VCB_AUTH");
    EXPECT_EQ(Settings::From(Parse({"--proxy", "http://127.0.0.1:3128", "login"})).proxy, "http://127.0.0.1:3128");
    // The wrapper takes its options as one "key=value;..." text: a ';' would smuggle in another option.
    EXPECT_THROW(Settings::From(Parse({"--proxy", "http://p:1;insecure=true", "login"})), UsageError);
}

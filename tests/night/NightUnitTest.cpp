// The night's checker and schedule: the journal replayed into histories, the interval rules that decide
// whether a listing or a single-VM answer agrees with the truth, the sorting of error texts into faults,
// and the seeded fault schedule.
#include <gtest/gtest.h>

#include <set>

#include "NightSchedule.h"
#include "NightTruth.h"

using namespace night;

namespace {

const char* const A = "aaaaaaaa-0000-4000-8000-000000000001";
const char* const B = "bbbbbbbb-0000-4000-8000-000000000002";
const char* const C = "cccccccc-0000-4000-8000-000000000003";

std::string Line(long seq, long t, const std::string& op, const std::string& id, const std::string& name = "",
                 const std::string& vdc = "vdc1", const std::string& meta = "", const std::string& power = "on",
                 const std::string& moref = "") {
    if (op == "del") return std::to_string(seq) + "\t" + std::to_string(t) + "\tdel\t" + id + "\n";
    return std::to_string(seq) + "\t" + std::to_string(t) + "\t" + op + "\t" + id + "\t" + name + "\t0\tvapp1\tweb\t" + vdc +
           "\tGold-VDC\tAcme\t" + (moref.empty() ? "vm-" + name : moref) + "\tvc-01\tGold\t" + power + "\t" + meta + "\n";
}

std::string Now(long t, long next) { return "now\t" + std::to_string(t) + "\t" + std::to_string(next) + "\n"; }

// A at 100 as web-01; B at 100 as db-01, renamed db-02 at 300, deleted at 500; C added at 400.
Truth Story() {
    Truth t;
    std::string error;
    EXPECT_TRUE(t.Apply(Now(1000, 5) + Line(0, 100, "add", A, "web-01") + Line(1, 100, "add", B, "db-01") +
                            Line(2, 300, "set", B, "db-02") + Line(3, 400, "add", C, "app-01") + Line(4, 500, "del", B),
                        &error))
        << error;
    return t;
}

VmPredicate InVdc(const std::string& vdc) {
    return [vdc](const VmState& s) { return s.vdcId == vdc; };
}

Listed L(const char* id, const std::string& name) { return {id, name, ""}; }

}  // namespace

TEST(NightJournal, ReplaysAddsChangesAndDeletesInOrder) {
    Truth t = Story();
    EXPECT_EQ(1000, t.knownUntil());
    EXPECT_EQ(5, t.next());
    ASSERT_NE(nullptr, t.At(B, 299));
    EXPECT_EQ("db-01", t.At(B, 299)->name);
    EXPECT_EQ("db-02", t.At(B, 300)->name);
    EXPECT_FALSE(t.At(B, 500)->exists);
    EXPECT_FALSE(t.At(C, 399)->exists);
    EXPECT_EQ(nullptr, t.At("dddddddd-0000-4000-8000-000000000004", 10));
    EXPECT_EQ(2u, t.Current().size());
}

TEST(NightJournal, ReadsEscapedTextsAndMetadata) {
    Truth t;
    ASSERT_TRUE(t.Apply(Now(10, 1) + Line(0, 5, "add", A, "odd\\tname\\;x", "vdc1", "backup-policy=gold;note=a\\=b\\;c")));
    const VmState* s = t.At(A, 5);
    EXPECT_EQ("odd\tname;x", s->name);
    EXPECT_EQ("gold", s->meta.at("backup-policy"));
    EXPECT_EQ("a=b;c", s->meta.at("note"));
}

TEST(NightJournal, RefusesGapsAndMissingNowButSkipsLinesAlreadyApplied) {
    Truth t;
    std::string error;
    EXPECT_FALSE(t.Apply(Line(0, 5, "add", A, "x"), &error)) << "no now line";
    Truth gap;
    EXPECT_FALSE(gap.Apply(Now(10, 2) + Line(1, 5, "add", A, "x"), &error));
    EXPECT_NE(std::string::npos, error.find("where 0 was due"));
    Truth again;
    ASSERT_TRUE(again.Apply(Now(10, 1) + Line(0, 5, "add", A, "x")));
    ASSERT_TRUE(again.Apply(Now(20, 2) + Line(0, 5, "add", A, "x") + Line(1, 15, "set", A, "y")));
    EXPECT_EQ("y", again.At(A, 15)->name);
    EXPECT_EQ(20, again.knownUntil());
    Truth promised;
    EXPECT_FALSE(promised.Apply(Now(10, 2) + Line(0, 5, "add", A, "x"), &error)) << "a line promised but missing";
}

TEST(NightJournal, CurrentHoldsOnlyTheVmsThatExistAndUnknownLinesStopTheReplay) {
    Truth t = Story();
    std::set<std::string> ids;
    for (const auto& kv : t.Current()) ids.insert(kv.first);
    EXPECT_EQ((std::set<std::string>{A, C}), ids);
    std::string error;
    EXPECT_FALSE(t.Apply(Now(2000, 6) + "5\t1500\tmove\t" + std::string(A) + "\n", &error));
    EXPECT_NE(std::string::npos, error.find("unknown journal operation"));
    EXPECT_FALSE(t.Apply(Now(2000, 6) + "5\t1500\tset\t" + std::string(A) + "\tshort\n", &error));
    EXPECT_EQ(5, t.next()) << "a line that cannot be read is not applied";
    EXPECT_EQ(1000, t.knownUntil()) << "nor is its time taken as known";
}

// The night forgets the past as it goes; what it keeps must answer every later question as before.
// What may be forgotten ends where the oldest unjudged operation began, or a margin before now, less the
// slack of every judgement.
TEST(NightJournal, ForgetHorizonIsTheOldestUnjudgedStartWithinTheMargin) {
    const std::int64_t now = 1000000000, margin = 60000000, slack = 2000;
    EXPECT_EQ(ForgetHorizon(now, margin, slack, {0, 0}, {}), now - margin - slack) << "nothing unjudged: the margin";
    EXPECT_EQ(ForgetHorizon(now, margin, slack, {0, 500000000, 0}, {}), 500000000 - slack) << "a worker's operation under way";
    EXPECT_EQ(ForgetHorizon(now, margin, slack, {0}, {700000000, 600000000}), 600000000 - slack) << "the oldest waiting one";
    EXPECT_EQ(ForgetHorizon(now, margin, slack, {999000000}, {990000000}), now - margin - slack)
        << "operations younger than the margin keep the margin";
}

TEST(NightJournal, ForgettingThePastKeepsEveryAnswerAboutLaterIntervals) {
    const Truth whole = Story();
    auto names = [](const std::vector<const VmState*>& states) {
        std::string out;
        for (const VmState* s : states) out += (s->exists ? s->name : std::string("-")) + ",";
        return out;
    };
    EXPECT_EQ(whole.StatesHeld(), 5u);

    Truth t = Story();
    t.Forget(300);  // B's rename at 300 holds from then on; its first name is over
    EXPECT_EQ(t.StatesHeld(), 4u);
    for (auto span : {std::make_pair(300L, 300L), std::make_pair(300L, 450L), std::make_pair(450L, 600L)})
        for (const char* id : {A, B, C})
            EXPECT_EQ(names(t.During(id, span.first, span.second)), names(whole.During(id, span.first, span.second)))
                << id << " over " << span.first << ".." << span.second;
    ASSERT_NE(t.At(B, 350), nullptr);
    EXPECT_EQ(t.At(B, 350)->name, "db-02");

    t.Forget(500);  // B was deleted at 500: nothing of it is left to ask about
    EXPECT_EQ(t.StatesHeld(), 2u);
    EXPECT_EQ(t.Ids().size(), 2u);
    EXPECT_EQ(t.At(B, 600), nullptr);
    // A listing after the deletion that still holds B, or lacks A, is still wrong.
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 600, 700, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 600, 700, {L(C, "app-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 600, 700, {L(A, "web-01"), L(C, "app-01")}).empty());
    // A VM that exists is never forgotten, however old its only state.
    t.Forget(100000);
    EXPECT_EQ(t.Current().size(), 2u);
}

TEST(NightList, MustHoldEveryVmThatBelongedThroughout) {
    Truth t = Story();
    // [150, 250]: A and B (as db-01) existed throughout.
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 150, 250, {L(A, "web-01"), L(B, "db-01")}).empty());
    auto short1 = CheckList(t, InVdc("vdc1"), 150, 250, {L(A, "web-01")});
    ASSERT_EQ(1u, short1.size());
    EXPECT_NE(std::string::npos, short1[0].find("short: db-01"));
    // Another VDC's listing holds none of them.
    EXPECT_TRUE(CheckList(t, InVdc("vdc2"), 150, 250, {}).empty());
}

TEST(NightList, VmsThatCameOrWentDuringTheCallMayBeThereOrNot) {
    Truth t = Story();
    // [350, 450]: C came at 400; [450, 550]: B went at 500.
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 350, 450, {L(A, "web-01"), L(B, "db-02")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 350, 450, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 450, 550, {L(A, "web-01"), L(C, "app-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 450, 550, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
}

TEST(NightList, IntervalEndsAreInclusiveAndAReplacedStateIsOver) {
    Truth t = Story();
    // C added exactly at the end of the call may be listed; at the start of a later call it must be.
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 390, 400, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 400, 410, {L(A, "web-01"), L(B, "db-02")}).empty());
    // B deleted exactly at the start of the call is gone for all of it.
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 500, 510, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 499, 510, {L(A, "web-01"), L(B, "db-02"), L(C, "app-01")}).empty());
    // B's old name ends where the new one starts.
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 300, 310, {L(A, "web-01"), L(B, "db-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 299, 310, {L(A, "web-01"), L(B, "db-01")}).empty());
}

TEST(NightList, RefusesWrongNamesMorefsDuplicatesAndStrangers) {
    Truth t = Story();
    auto renamed = CheckList(t, InVdc("vdc1"), 350, 360, {L(A, "web-01"), L(B, "db-01")});
    ASSERT_EQ(1u, renamed.size());
    EXPECT_NE(std::string::npos, renamed[0].find("never was"));
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 150, 160, {L(A, "web-01"), L(B, "db-01"), L(A, "web-01")}).empty());
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 150, 160, {Listed{A, "web-01", "vm-other"}, L(B, "db-01")}).empty());
    EXPECT_TRUE(CheckList(t, InVdc("vdc1"), 150, 160, {Listed{A, "web-01", "vm-web-01"}, L(B, "db-01")}).empty());
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 150, 160, {L(A, "web-01"), L(B, "db-01"), L(C, "app-01")}).empty())
        << "C did not exist yet";
    EXPECT_FALSE(CheckList(t, InVdc("vdc1"), 150, 160,
                           {L(A, "web-01"), L(B, "db-01"), L("eeeeeeee-0000-4000-8000-000000000005", "ghost")})
                     .empty());
}

TEST(NightList, APredicateThatChangesCountsOnlyWhereItHeldThroughout) {
    Truth t;
    ASSERT_TRUE(t.Apply(Now(1000, 3) + Line(0, 100, "add", A, "a", "vdc1", "backup-policy=gold") +
                        Line(1, 200, "set", A, "a", "vdc1", "backup-policy=silver") +
                        Line(2, 100, "add", B, "b", "vdc1", "backup-policy=gold")));
    auto gold = [](const VmState& s) { auto it = s.meta.find("backup-policy"); return it != s.meta.end() && it->second == "gold"; };
    EXPECT_TRUE(CheckList(t, gold, 150, 250, {L(B, "b")}).empty());
    EXPECT_TRUE(CheckList(t, gold, 150, 250, {L(A, "a"), L(B, "b")}).empty());
    EXPECT_FALSE(CheckList(t, gold, 250, 300, {L(A, "a"), L(B, "b")}).empty()) << "A was silver throughout";
    EXPECT_FALSE(CheckList(t, gold, 120, 150, {L(B, "b")}).empty()) << "A was gold throughout";
}

TEST(NightVm, FoundMeansThereAtSomeMomentAndNotFoundIsWrongOnlyWhenThereThroughout) {
    Truth t = Story();
    Place db2{"vdc1", "", "db-02"};
    EXPECT_FALSE(ThereThroughout(t, db2, 250, 350)) << "renamed during the call";
    EXPECT_TRUE(ThereThroughout(t, db2, 300, 499));
    EXPECT_FALSE(ThereThroughout(t, db2, 300, 500)) << "deleted at the end of the call";
    EXPECT_EQ(std::vector<std::string>{B}, ThereAtSomeMoment(t, db2, 250, 350));
    EXPECT_TRUE(ThereAtSomeMoment(t, Place{"vdc2", "", "db-02"}, 250, 350).empty());
    EXPECT_TRUE(ThereAtSomeMoment(t, Place{"vdc1", "other-vapp", "db-02"}, 250, 350).empty());
}

TEST(NightVm, AnAnswerMustDescribeTheVmOfThatName) {
    Truth t = Story();
    Place web{"vdc1", "vapp1", "web-01"};
    VmAnswer good{A, "web-01", "vm-web-01", "vc-01", "Gold", "on", ""};
    EXPECT_TRUE(CheckVm(t, web, 150, 250, good).empty());
    VmAnswer other = good;
    other.uuid = B;
    EXPECT_FALSE(CheckVm(t, web, 150, 250, other).empty()) << "another VM's uuid";
    for (auto field : {&VmAnswer::moref, &VmAnswer::vcenter, &VmAnswer::profile, &VmAnswer::power}) {
        VmAnswer bad = good;
        bad.*field = "wrong";
        EXPECT_FALSE(CheckVm(t, web, 150, 250, bad).empty());
    }
    VmAnswer xml = good;
    xml.xml = "<Vm name=\"web-01\" href=\"https://h/api/vApp/vm-" + std::string(A) + "\"/>";
    EXPECT_TRUE(CheckVm(t, web, 150, 250, xml).empty());
    xml.xml = "<Vm name=\"web-01\" href=\"https://h/api/vApp/vm-" + std::string(B) + "\"/>";
    EXPECT_FALSE(CheckVm(t, web, 150, 250, xml).empty()) << "another VM's document";
    xml.xml = "<Vm name=\"db-01\" href=\"https://h/api/vApp/vm-" + std::string(A) + "\"/>";
    EXPECT_FALSE(CheckVm(t, web, 150, 250, xml).empty()) << "a document under another name";
    // B, looked for as db-01, renamed db-02 at 300 while the call ran: its document may carry either name.
    Place db{"vdc1", "vapp1", "db-01"};
    VmAnswer renamed{B, "", "vm-db-01", "", "", "", "<Vm name=\"db-02\" href=\"https://h/api/vApp/vm-" + std::string(B) + "\"/>"};
    EXPECT_TRUE(CheckVm(t, db, 250, 350, renamed).empty());
    EXPECT_FALSE(CheckVm(t, db, 250, 299, renamed).empty()) << "renamed only after the call";
    EXPECT_FALSE(CheckVm(t, Place{"vdc1", "", "nobody"}, 150, 250, VmAnswer{}).empty());
}

TEST(NightErrors, FailureTextsAreSortedIntoTheFaultTheyName) {
    struct {
        const char* text;
        Cause cause;
    } cases[] = {
        {"", Cause::None},
        {"BackupVM: 503 SERVICE_UNAVAILABLE [ req ] Injected server failure.", Cause::ServerError},
        {"FindVM: 504 GATEWAY_TIMEOUT", Cause::ServerError},
        {"GetVMInfoForVM: 429 Too Many Requests", Cause::Throttled},
        {"PowerOnVM: 401 UNAUTHORIZED after a new login", Cause::Session},
        {"RestoreVM: POST ...: the answer broke off: invalid response", Cause::Connection},
        {"DeleteVM: remove VM 'x': empty answer (HTTP 200); whether the server made the change is not known", Cause::Connection},
        {"DeleteVM: HTTP 400 BAD_REQUEST: The VM \"x\" must be powered off and undeployed", Cause::StateChanged},
        {"GetVMListForEntity: GET ...: the connection was reset", Cause::Connection},
        {"BackupVM: no answer within 20 s", Cause::Timeout},
        {"DeleteVM: 400 BUSY_ENTITY web-01 is busy", Cause::Busy},
        {"DeleteVM: the task failed: 500 INTERNAL_SERVER_ERROR", Cause::TaskFailed},
        {"FindVM: VM 'x' not found in VDC 'y'", Cause::NotFound},
        {"GetVMInfoForVM: 403 ACCESS_TO_RESOURCE_IS_FORBIDDEN", Cause::NotFound},
        {"RestoreVM: the import into vApp 'v' succeeded but 0 VMs named 'x' are there now", Cause::NotFound},
        {"FindVM: GET /api/vApp/vm-1c2d4503-0401-4429-8504-0000000000aa: not found", Cause::NotFound},
        {"something odd happened", Cause::Unexplained},
    };
    for (const auto& c : cases) EXPECT_EQ(CauseName(c.cause), std::string(CauseName(Classify(c.text)))) << c.text;
}

TEST(NightErrors, PatternsAndReferences) {
    EXPECT_TRUE(GlobMatch("vm-00*", "VM-000123"));
    EXPECT_TRUE(GlobMatch("*-r12", "vm-000001-r12"));
    EXPECT_TRUE(GlobMatch("v*1*3", "vm-000123"));
    EXPECT_FALSE(GlobMatch("vm-01*", "vm-000123"));
    EXPECT_FALSE(GlobMatch("gold", "golden"));
    EXPECT_TRUE(GlobMatch("gold", "GOLD"));
    EXPECT_TRUE(GlobMatch("*", ""));
    EXPECT_FALSE(GlobMatch("", "x"));
    EXPECT_EQ(A, UuidOf(std::string("https://h/api/vApp/vm-") + A));
    EXPECT_EQ(A, UuidOf(std::string("urn:vcloud:vm:") + "AAAAAAAA-0000-4000-8000-000000000001"));
    EXPECT_EQ("", UuidOf("urn:vcloud:vm:not-a-uuid-at-all-but-long-enough-xx"));
    EXPECT_EQ("", UuidOf("short"));
}

TEST(NightSchedule, TheSeedDecidesAndRowsThatAreOffNeverComeUp) {
    std::vector<FaultRow> table = DefaultFaultTable();
    auto a = MakeSchedule(table, 42, 600000);
    auto b = MakeSchedule(table, 42, 600000);
    auto c = MakeSchedule(table, 43, 600000);
    ASSERT_FALSE(a.empty());
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].row, b[i].row);
        EXPECT_EQ(a[i].startMs, b[i].startMs);
        EXPECT_EQ(a[i].settings, b[i].settings);
    }
    bool differs = a.size() != c.size();
    for (std::size_t i = 0; !differs && i < a.size(); ++i) differs = a[i].row != c[i].row || a[i].startMs != c[i].startMs;
    EXPECT_TRUE(differs);

    ASSERT_TRUE(SetRows(table, "connection-reset", false, nullptr));
    std::set<std::string> kinds;
    std::int64_t lastEnd = 0;
    for (const FaultWindow& w : MakeSchedule(table, 7, 3600000)) {
        const FaultRow& r = table[w.row];
        kinds.insert(r.kind);
        EXPECT_TRUE(r.on) << r.kind;
        EXPECT_GE(w.startMs, lastEnd + 2000) << "windows follow one another with a quiet gap";
        EXPECT_LE(w.startMs + w.lengthMs, 3600000);
        EXPECT_GE(w.lengthMs, r.minMs);
        EXPECT_LE(w.lengthMs, r.maxMs);
        EXPECT_GE(w.n, r.lowN);
        EXPECT_LE(w.n, r.highN);
        EXPECT_EQ(std::string::npos, w.settings.find("{N}"));
        lastEnd = w.startMs + w.lengthMs;
    }
    EXPECT_EQ(0u, kinds.count("connection-reset")) << "a row switched off never comes up";
    EXPECT_EQ(table.size() - 1, kinds.size()) << "every row that is on comes up in an hour";
}

TEST(NightSchedule, RowsAreSwitchedByName) {
    std::vector<FaultRow> table = DefaultFaultTable();
    std::string unknown;
    EXPECT_TRUE(SetRows(table, "error429", false, &unknown));
    EXPECT_TRUE(SetRows(table, "error429", true, &unknown));
    EXPECT_TRUE(SetRows(table, "latency,cell-restart", false, &unknown));
    EXPECT_FALSE(SetRows(table, "latency,no-such-fault", false, &unknown));
    EXPECT_EQ("no-such-fault", unknown);
    std::set<std::string> kinds;
    for (const FaultWindow& w : MakeSchedule(table, 7, 3600000)) kinds.insert(table[w.row].kind);
    EXPECT_EQ(1u, kinds.count("error429"));
    EXPECT_EQ(0u, kinds.count("latency"));
    EXPECT_EQ(0u, kinds.count("cell-restart"));
    for (FaultRow& r : table) r.on = false;
    EXPECT_TRUE(MakeSchedule(table, 7, 3600000).empty());
}

// The journal replayed into histories, and the checks of answers against them.
#include "NightTruth.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>

namespace night {

namespace {

const VmState kAbsent{};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Has(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// An HTTP status as a word of its own: not the digits inside an id or a path such as vm-1c2d4503-....
bool HasStatus(const std::string& text, const char* code) {
    const std::size_t n = std::strlen(code);
    for (std::size_t at = text.find(code); at != std::string::npos; at = text.find(code, at + 1)) {
        bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
        bool after = at + n >= text.size() || !std::isalnum(static_cast<unsigned char>(text[at + n]));
        if (before && after) return true;
    }
    return false;
}

// Splits on sep, honouring the journal's '\' escapes, and unescapes each piece.
std::vector<std::string> SplitEscaped(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            out.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else if (c == sep) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

// Splits on sep without unescaping (the metadata column is split again on ';' and '=').
std::vector<std::string> SplitRaw(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out.back() += s[i];
            out.back() += s[++i];
        } else if (s[i] == sep) {
            out.emplace_back();
        } else {
            out.back() += s[i];
        }
    }
    return out;
}

std::string Unescape(const std::string& s) { return SplitEscaped(s, '\0').front(); }

}  // namespace

const char* CauseName(Cause c) {
    switch (c) {
        case Cause::None: return "no error text";
        case Cause::Unexplained: return "unexplained";
        case Cause::NotFound: return "not found";
        case Cause::Session: return "session ended";
        case Cause::ServerError: return "server error";
        case Cause::Throttled: return "throttled";
        case Cause::Connection: return "connection lost";
        case Cause::Timeout: return "time-out";
        case Cause::Busy: return "busy entity";
        case Cause::TaskFailed: return "task failed";
        case Cause::StateChanged: return "state changed under the call";
    }
    return "?";
}

// The order matters: a text names the most specific cause first (a task that failed with a 500 inside is
// a failed task; a 503 is a server error even when the text also says "retries").
Cause Classify(const std::string& errorText) {
    if (errorText.empty()) return Cause::None;
    const std::string t = Lower(errorText);
    if (Has(t, "busy")) return Cause::Busy;
    if (Has(t, "task") && (Has(t, "error") || Has(t, "fail"))) return Cause::TaskFailed;
    if (HasStatus(t, "429") || Has(t, "too many")) return Cause::Throttled;
    if (HasStatus(t, "401") || Has(t, "unauthorized") || Has(t, "not_authenticated") || Has(t, "session")) return Cause::Session;
    if (HasStatus(t, "503") || HasStatus(t, "504") || HasStatus(t, "500") || HasStatus(t, "502") || Has(t, "service_unavailable") ||
        Has(t, "gateway") || Has(t, "html"))
        return Cause::ServerError;
    if (Has(t, "timed out") || Has(t, "time-out") || Has(t, "timeout") || Has(t, "no answer within")) return Cause::Timeout;
    if (Has(t, "connection") || Has(t, "reset") || Has(t, "no answer") || Has(t, "refused") || Has(t, "cut short") ||
        Has(t, "truncated") || Has(t, "end of") || Has(t, "incomplete") || Has(t, "malformed") || Has(t, "closed") ||
        Has(t, "broke off") || Has(t, "empty answer"))
        return Cause::Connection;
    if (Has(t, "must be powered off") || Has(t, "must be powered on")) return Cause::StateChanged;
    if (Has(t, "not found") || Has(t, "forbidden") || Has(t, "not accessible") || Has(t, "no vm") ||
        Has(t, "does not exist") || HasStatus(t, "403") || HasStatus(t, "404") || Has(t, "are there now"))
        return Cause::NotFound;
    return Cause::Unexplained;
}

bool GlobMatch(const std::string& pattern, const std::string& text) {
    const std::string p = Lower(pattern), s = Lower(text);
    std::size_t pi = 0, si = 0, star = std::string::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (pi < p.size() && p[pi] == s[si]) {
            ++pi;
            ++si;
        } else if (star != std::string::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

bool Truth::Apply(const std::string& journalText, std::string* error) {
    std::istringstream in(journalText);
    std::string line;
    std::int64_t now = -1;
    long next = next_;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> cols = SplitRaw(line, '\t');
        if (cols[0] == "now" && cols.size() >= 3) {
            now = std::stoll(cols[1]);
            next = std::stol(cols[2]);
            continue;
        }
        if (cols.size() < 4) {
            if (error) *error = "short journal line: " + line;
            return false;
        }
        long seq = std::stol(cols[0]);
        if (seq < next_) continue;  // already applied
        if (seq != next_) {
            if (error) *error = "journal line " + std::to_string(seq) + " where " + std::to_string(next_) + " was due";
            return false;
        }
        std::int64_t t = std::stoll(cols[1]);
        const std::string& op = cols[2];
        History& h = vms_[cols[3]];
        VmState s;
        if (op == "add" || op == "set") {
            if (cols.size() < 16) {
                if (error) *error = "short journal line: " + line;
                return false;
            }
            s.exists = true;
            s.name = Unescape(cols[4]);
            s.templ = cols[5] == "1";
            s.vappId = cols[6];
            s.vappName = Unescape(cols[7]);
            s.vdcId = cols[8];
            s.vdcName = Unescape(cols[9]);
            s.org = Unescape(cols[10]);
            s.moref = Unescape(cols[11]);
            s.vcenter = Unescape(cols[12]);
            s.profile = Unescape(cols[13]);
            s.power = cols[14];
            if (!cols[15].empty())
                for (const std::string& entry : SplitRaw(cols[15], ';')) {
                    std::vector<std::string> kv = SplitRaw(entry, '=');
                    s.meta[Unescape(kv[0])] = kv.size() > 1 ? Unescape(kv[1]) : "";
                }
        } else if (op != "del") {
            if (error) *error = "unknown journal operation: " + line;
            return false;
        }
        h.states.emplace_back(t, std::move(s));
        next_ = seq + 1;
    }
    if (now < 0) {
        if (error) *error = "the journal has no 'now' line";
        return false;
    }
    if (next != next_) {
        if (error) *error = "the journal promised lines up to " + std::to_string(next) + " but gave " + std::to_string(next_);
        return false;
    }
    knownUntil_ = std::max(knownUntil_, now);
    return true;
}

std::vector<const VmState*> Truth::During(const std::string& uuid, std::int64_t from, std::int64_t to) const {
    std::vector<const VmState*> out;
    auto it = vms_.find(uuid);
    if (it == vms_.end()) return out;
    const auto& st = it->second.states;
    if (st.empty() || from < st.front().first) out.push_back(&kAbsent);
    for (std::size_t i = 0; i < st.size(); ++i) {
        std::int64_t begin = st[i].first;
        std::int64_t end = i + 1 < st.size() ? st[i + 1].first : INT64_MAX;
        // A state replaced at the very moment the interval starts never held within it.
        if (begin <= to && end > from) out.push_back(&st[i].second);
    }
    return out;
}

const VmState* Truth::At(const std::string& uuid, std::int64_t t) const {
    auto it = vms_.find(uuid);
    if (it == vms_.end()) return nullptr;
    const VmState* s = &kAbsent;
    for (const auto& p : it->second.states) {
        if (p.first > t) break;
        s = &p.second;
    }
    return s;
}

std::vector<std::string> Truth::Ids() const {
    std::vector<std::string> out;
    out.reserve(vms_.size());
    for (const auto& kv : vms_) out.push_back(kv.first);
    return out;
}

std::int64_t ForgetHorizon(std::int64_t now, std::int64_t margin, std::int64_t slack,
                           const std::vector<std::int64_t>& underWaySince, const std::vector<std::int64_t>& waitingStarts) {
    std::int64_t horizon = now - margin;
    for (std::int64_t since : underWaySince) {
        if (since != 0) horizon = std::min(horizon, since);
    }
    for (std::int64_t start : waitingStarts) horizon = std::min(horizon, start);
    return horizon - slack;
}

void Truth::Forget(std::int64_t before) {
    for (auto it = vms_.begin(); it != vms_.end();) {
        auto& st = it->second.states;
        // The state that holds at `before` stays: an interval starting then begins in it.
        std::size_t holding = 0;
        while (holding + 1 < st.size() && st[holding + 1].first <= before) ++holding;
        st.erase(st.begin(), st.begin() + static_cast<std::ptrdiff_t>(holding));
        // A VM deleted by then is absent from any later interval on, as one never seen is.
        if (st.size() == 1 && !st.front().second.exists)
            it = vms_.erase(it);
        else
            ++it;
    }
}

std::size_t Truth::StatesHeld() const {
    std::size_t n = 0;
    for (const auto& kv : vms_) n += kv.second.states.size();
    return n;
}

std::vector<std::pair<std::string, VmState>> Truth::Current() const {
    std::vector<std::pair<std::string, VmState>> out;
    for (const auto& kv : vms_)
        if (!kv.second.states.empty() && kv.second.states.back().second.exists)
            out.emplace_back(kv.first, kv.second.states.back().second);
    return out;
}

std::vector<std::string> CheckList(const Truth& truth, const VmPredicate& matches, std::int64_t from, std::int64_t to,
                                   const std::vector<Listed>& answer) {
    std::vector<std::string> problems;
    std::set<std::string> given;
    for (const Listed& l : answer) {
        if (!given.insert(l.uuid).second) {
            problems.push_back("listed twice: " + l.name + " (" + l.uuid + ")");
            continue;
        }
        std::vector<const VmState*> states = truth.During(l.uuid, from, to);
        bool agrees = false, matched = false;
        for (const VmState* s : states) {
            if (!s->exists || !matches(*s)) continue;
            matched = true;
            if (s->name == l.name && (l.moref.empty() || s->moref == l.moref)) agrees = true;
        }
        if (states.empty())
            problems.push_back("listed a VM that never existed: " + l.name + " (" + l.uuid + ")");
        else if (!matched)
            problems.push_back("listed a VM that did not belong while the listing ran: " + l.name + " (" + l.uuid + ")");
        else if (!agrees)
            problems.push_back("listed " + l.uuid + " as " + l.name + (l.moref.empty() ? "" : " / " + l.moref) +
                               ", which it never was while the listing ran");
    }
    for (const std::string& id : truth.Ids()) {
        if (given.count(id)) continue;
        std::vector<const VmState*> states = truth.During(id, from, to);
        bool throughout = !states.empty();
        for (const VmState* s : states)
            if (!s->exists || !matches(*s)) throughout = false;
        if (throughout) problems.push_back("short: " + states.back()->name + " (" + id + ") belonged throughout and is missing");
    }
    return problems;
}

namespace {

bool InPlace(const VmState& s, const Place& p) {
    return s.exists && !s.templ && s.name == p.name && s.vdcId == p.vdcId && (p.vappId.empty() || s.vappId == p.vappId);
}

}  // namespace

bool ThereThroughout(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to) {
    for (const std::string& id : truth.Ids()) {
        std::vector<const VmState*> states = truth.During(id, from, to);
        bool all = !states.empty();
        for (const VmState* s : states)
            if (!InPlace(*s, place)) all = false;
        if (all) return true;
    }
    return false;
}

std::vector<std::string> ThereAtSomeMoment(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to) {
    std::vector<std::string> out;
    for (const std::string& id : truth.Ids())
        for (const VmState* s : truth.During(id, from, to))
            if (InPlace(*s, place)) {
                out.push_back(id);
                break;
            }
    return out;
}

std::vector<std::string> CheckVm(const Truth& truth, const Place& place, std::int64_t from, std::int64_t to,
                                 const VmAnswer& a) {
    std::vector<std::string> problems;
    std::vector<std::string> there = ThereAtSomeMoment(truth, place, from, to);
    if (there.empty()) {
        problems.push_back("answered for " + place.name + ", which was not there at any moment of the call");
        return problems;
    }
    if (a.uuid.empty()) return problems;
    if (std::find(there.begin(), there.end(), a.uuid) == there.end()) {
        problems.push_back("answered with " + a.uuid + ", which is not the VM named " + place.name + " there");
        return problems;
    }
    bool agrees = false;
    std::string seen;
    for (const VmState* s : truth.During(a.uuid, from, to)) {
        if (!InPlace(*s, place)) continue;
        bool ok = (a.name.empty() || a.name == s->name) && (a.moref.empty() || a.moref == s->moref) &&
                  (a.vcenter.empty() || a.vcenter == s->vcenter) && (a.profile.empty() || a.profile == s->profile) &&
                  (a.power.empty() || a.power == s->power);
        if (!a.xml.empty()) {
            // The document may have been read after a rename within the call: any name the VM had then.
            bool named = false;
            for (const VmState* n : truth.During(a.uuid, from, to))
                if (n->exists && a.xml.find("name=\"" + n->name + "\"") != std::string::npos) named = true;
            ok = ok && a.xml.find(a.uuid) != std::string::npos && named;
        }
        if (ok) agrees = true;
        seen = s->name + " / " + s->moref + " / " + s->vcenter + " / " + s->profile + " / " + s->power;
    }
    if (!agrees)
        problems.push_back("answered " + a.name + " / " + a.moref + " / " + a.vcenter + " / " + a.profile + " / " + a.power +
                           (a.xml.empty() ? "" : " with its XML") + " for " + a.uuid + ", which was " + seen);
    return problems;
}

std::string UuidOf(const std::string& ref) {
    // The last 36 characters when they have the shape of a uuid.
    if (ref.size() < 36) return "";
    std::string u = ref.substr(ref.size() - 36);
    for (std::size_t i = 0; i < u.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? u[i] != '-' : !std::isxdigit(static_cast<unsigned char>(u[i]))) return "";
    }
    return Lower(u);
}

}  // namespace night

// JSON text, tables, trees and the progress spinner of the command-line tool.
#include "Output.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <ostream>
#include <streambuf>

namespace vcbtool {

std::atomic<bool> g_progressAllowed{false};

namespace {

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; }

void AppendEscape(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0xf];
}

// A stream buffer in front of another that replaces control characters on their way through. A UTF-8
// lead byte 0xC2 waits for the next byte, since together they may spell a C1 control.
class ControlFilter : public std::streambuf {
public:
    explicit ControlFilter(std::streambuf* sink) : sink_(sink) {}
    ~ControlFilter() override {
        if (pendingLead_) sink_->sputc(static_cast<char>(0xC2));
    }
    std::streambuf* sink() const { return sink_; }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        return put(static_cast<unsigned char>(ch)) ? ch : traits_type::eof();
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            if (!put(static_cast<unsigned char>(s[i]))) return i;
        return n;
    }
    int sync() override { return sink_->pubsync(); }

private:
    bool put(unsigned char c) {
        std::string out;
        if (pendingLead_) {
            pendingLead_ = false;
            if (c >= 0x80 && c <= 0x9f) {
                AppendEscape(out, c);
                return write(out);
            }
            out += static_cast<char>(0xC2);
        }
        if (c == 0xC2) pendingLead_ = true;
        else if (IsControl(c)) AppendEscape(out, c);
        else out += static_cast<char>(c);
        return write(out);
    }
    bool write(const std::string& text) {
        return sink_->sputn(text.data(), static_cast<std::streamsize>(text.size())) ==
               static_cast<std::streamsize>(text.size());
    }

    std::streambuf* sink_;
    bool pendingLead_ = false;
};

// Puts the filter in front of standard output and standard error for the life of the program. Every
// print path of the tool goes through these two streams, so this one place covers them all; the
// spinner, which erases its line with an escape sequence on purpose, writes to the descriptor directly.
struct TerminalFilter {
    ControlFilter out{std::cout.rdbuf()};
    ControlFilter err{std::cerr.rdbuf()};
    TerminalFilter() {
        std::cout.rdbuf(&out);
        std::cerr.rdbuf(&err);
    }
    ~TerminalFilter() {
        std::cout.flush();
        std::cerr.flush();
        if (std::cout.rdbuf() == &out) std::cout.rdbuf(out.sink());
        if (std::cerr.rdbuf() == &err) std::cerr.rdbuf(err.sink());
    }
};

const TerminalFilter g_terminalFilter;

}  // namespace

std::string VisibleText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f) {
                AppendEscape(out, next);
                ++i;
                continue;
            }
        }
        if (IsControl(c)) AppendEscape(out, c);
        else out += text[i];
    }
    return out;
}

Json Json::array() {
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json Json::object() {
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

Json& Json::set(const std::string& key, Json value) {
    items_.emplace_back(key, std::move(value));
    return *this;
}

Json& Json::push(Json value) {
    items_.emplace_back(std::string(), std::move(value));
    return *this;
}

std::string Json::dump() const {
    std::string out;
    write(out, 0);
    out += '\n';
    return out;
}

void Json::write(std::string& out, int indent) const {
    switch (kind_) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += bool_ ? "true" : "false"; return;
    case Kind::Int: out += std::to_string(int_); return;
    case Kind::String: AppendJsonString(out, text_); return;
    case Kind::Array:
    case Kind::Object: break;
    }
    const bool isObject = kind_ == Kind::Object;
    if (items_.empty()) {
        out += isObject ? "{}" : "[]";
        return;
    }
    out += isObject ? "{\n" : "[\n";
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    for (std::size_t i = 0; i < items_.size(); ++i) {
        out += pad;
        if (isObject) {
            AppendJsonString(out, items_[i].first);
            out += ": ";
        }
        items_[i].second.write(out, indent + 2);
        if (i + 1 < items_.size()) out += ',';
        out += '\n';
    }
    out.append(static_cast<std::size_t>(indent), ' ');
    out += isObject ? '}' : ']';
}

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there are not one (overlong forms,
// surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = Utf8SequenceAt(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++width;
    return width;
}

void Table::print(std::ostream& out) const {
    std::vector<std::size_t> widths(headers_.size(), 0);
    for (std::size_t i = 0; i < headers_.size(); ++i) widths[i] = DisplayWidth(VisibleText(headers_[i]));
    for (const auto& r : rows_)
        for (std::size_t i = 0; i < r.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(VisibleText(r[i])));
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < cells.size() ? VisibleText(cells[i]) : std::string();
            text += cell;
            if (i + 1 < widths.size()) text.append(widths[i] - DisplayWidth(cell) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << text << '\n';
    };
    line(headers_);
    for (const auto& r : rows_) line(r);
}

void PrintFields(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& fields,
                 const std::string& indent) {
    std::size_t width = 0;
    for (const auto& f : fields) width = std::max(width, DisplayWidth(f.first));
    for (const auto& f : fields) {
        out << indent << f.first << ':';
        out << std::string(width - DisplayWidth(f.first) + 1, ' ') << VisibleText(f.second) << '\n';
    }
}

void PrintNotice(const std::string& text) { std::cerr << text << '\n'; }

std::string HumanBytes(std::int64_t bytes) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char buf[32];
    if (value == static_cast<double>(static_cast<std::int64_t>(value)))
        std::snprintf(buf, sizeof buf, "%lld %s", static_cast<long long>(value), units[unit]);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}

namespace {

void PrintBranches(std::ostream& out, const std::vector<TreeNode>& nodes, const std::string& prefix, bool ascii) {
    const char* tee = ascii ? "|-- " : "\u251c\u2500\u2500 ";
    const char* last = ascii ? "`-- " : "\u2514\u2500\u2500 ";
    const char* bar = ascii ? "|   " : "\u2502   ";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const bool isLast = i + 1 == nodes.size();
        out << prefix << (isLast ? last : tee) << VisibleText(nodes[i].label) << '\n';
        PrintBranches(out, nodes[i].children, prefix + (isLast ? "    " : bar), ascii);
    }
}

}  // namespace

void PrintTree(std::ostream& out, const TreeNode& root, bool ascii) {
    out << VisibleText(root.label) << '\n';
    PrintBranches(out, root.children, "", ascii);
}

Progress::Progress(std::string label, bool enabled, bool ascii)
    : enabled_(enabled && g_progressAllowed.load()), ascii_(ascii), label_(VisibleText(label)) {
    if (enabled_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { stop(); }

void Progress::label(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = VisibleText(text);
}

void Progress::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Progress::run() {
    static const char* const unicodeFrames[] = {"\u280b", "\u2819", "\u2839", "\u2838", "\u283c",
                                                "\u2834", "\u2826", "\u2827", "\u2807", "\u280f"};
    static const char* const asciiFrames[] = {"|", "/", "-", "\\"};
    const auto start = std::chrono::steady_clock::now();
    // Quick calls finish before the first frame, so short commands never flicker.
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(300), [this] { return stopping_; })) return;
    bool drawn = false;
    for (unsigned frame = 0; !stopping_; ++frame) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char line[512];
        const char* glyph = ascii_ ? asciiFrames[frame % 4] : unicodeFrames[frame % 10];
        const int n = std::snprintf(line, sizeof line, "\r\033[K%s %s (%.1f s)", glyph, label_.c_str(), seconds);
        if (n > 0) {
            const std::size_t len = std::min(static_cast<std::size_t>(n), sizeof line - 1);
            if (::write(STDERR_FILENO, line, len) < 0) break;
            drawn = true;
        }
        wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
    }
    if (drawn && ::write(STDERR_FILENO, "\r\033[K", 4) < 0) {
        // Nothing to do: standard error is gone.
    }
}

}  // namespace vcbtool

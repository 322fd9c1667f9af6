// JSON text, tables, trees and the progress spinner of the command-line tool.
#include "Output.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

namespace vcbtool {

std::atomic<bool> g_progressAllowed{false};

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
    for (std::size_t i = 0; i < headers_.size(); ++i) widths[i] = DisplayWidth(headers_[i]);
    for (const auto& r : rows_)
        for (std::size_t i = 0; i < r.size() && i < widths.size(); ++i)
            if (DisplayWidth(r[i]) > widths[i]) widths[i] = DisplayWidth(r[i]);
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < cells.size() ? cells[i] : std::string();
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
        out << std::string(width - DisplayWidth(f.first) + 1, ' ') << f.second << '\n';
    }
}

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
        out << prefix << (isLast ? last : tee) << nodes[i].label << '\n';
        PrintBranches(out, nodes[i].children, prefix + (isLast ? "    " : bar), ascii);
    }
}

}  // namespace

void PrintTree(std::ostream& out, const TreeNode& root, bool ascii) {
    out << root.label << '\n';
    PrintBranches(out, root.children, "", ascii);
}

Progress::Progress(std::string label, bool enabled, bool ascii)
    : enabled_(enabled && g_progressAllowed.load()), ascii_(ascii), label_(std::move(label)) {
    if (enabled_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { stop(); }

void Progress::label(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = std::move(text);
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

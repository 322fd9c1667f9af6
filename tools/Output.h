// Output of the command-line tool: JSON values, aligned tables, the inventory tree and the progress
// indicator.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vcbtool {

// A JSON value with object members kept in insertion order, so that output is stable.
class Json {
public:
    enum class Kind { Null, Bool, Int, String, Array, Object };

    Json() = default;
    Json(bool value) : kind_(Kind::Bool), bool_(value) {}
    Json(int value) : kind_(Kind::Int), int_(value) {}
    Json(std::int64_t value) : kind_(Kind::Int), int_(value) {}
    Json(const char* value) : kind_(Kind::String), text_(value) {}
    Json(std::string value) : kind_(Kind::String), text_(std::move(value)) {}

    static Json array();
    static Json object();

    Json& set(const std::string& key, Json value);  // object member, appended
    Json& push(Json value);                         // array element
    Kind kind() const { return kind_; }
    std::size_t size() const { return items_.size(); }

    // Two-space indented text; one line for empty arrays and objects.
    std::string dump() const;

private:
    void write(std::string& out, int indent) const;

    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::int64_t int_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> items_;  // arrays leave the keys empty
};

// Appends text as a JSON string literal. Bytes that are not valid UTF-8 become U+FFFD, so the result is
// valid JSON whatever the server or the caller handed over.
void AppendJsonString(std::string& out, const std::string& text);

// Text fit for a terminal: every control character but the line feed and the tab (C0, DEL, and the C1
// controls U+0080 to U+009F in UTF-8) becomes \xNN, so that text from a server cannot move the cursor,
// retitle the window or clear the screen. The tool's standard output and standard error pass every
// byte through the same replacement, whatever prints it; tables and trees apply it to their cells first
// so that their columns stay aligned.
std::string VisibleText(const std::string& text);

// Number of terminal columns that UTF-8 text takes (one per code point; no wide-character tables).
std::size_t DisplayWidth(const std::string& text);

// Columns padded to their widest cell, two blanks apart; the last column is not padded.
class Table {
public:
    explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    bool empty() const { return rows_.empty(); }
    void print(std::ostream& out) const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// "label: value" lines with the values aligned.
void PrintFields(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& fields,
                 const std::string& indent = "");

// Byte counts for people: "512 MiB", "4.0 TiB".
std::string HumanBytes(std::int64_t bytes);

// One node of a tree to print.
struct TreeNode {
    std::string label;
    std::vector<TreeNode> children;
};

// A notice such as "(no VMs)" that says a listing is empty: a line on standard error, never data on
// standard output.
void PrintNotice(const std::string& text);

// The tree with box-drawing branches (or ASCII ones), the root label on the first line.
void PrintTree(std::ostream& out, const TreeNode& root, bool ascii);

// A spinner with a label and the elapsed time on standard error while a long call runs. It draws only
// when enabled (standard error is a terminal and the user did not ask for quiet), and erases its line
// when it stops, so that it never mixes with the output proper.
class Progress {
public:
    Progress(std::string label, bool enabled, bool ascii = false);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void label(std::string text);
    void stop();

private:
    void run();

    bool enabled_;
    bool ascii_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string label_;
    bool stopping_ = false;
    std::thread thread_;
};

// Whether the progress indicator may draw at all (set once from the options).
extern std::atomic<bool> g_progressAllowed;

}  // namespace vcbtool

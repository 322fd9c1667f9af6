// Command-line parsing of vcloud-bridge: options, commands, their help texts and the two error kinds
// that decide the exit status.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vcbtool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the operation (or what it needs: runtime, server, login) failed
constexpr int kExitUsage = 2;   // the command line is wrong

// A command line that cannot be run as written: exit status 2.
struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& text) : std::runtime_error(text) {}
};

// A failed operation, with the text to show on standard error: exit status 1.
struct OperationError : std::runtime_error {
    explicit OperationError(const std::string& text) : std::runtime_error(text) {}
};

struct OptionInfo {
    std::string name;          // without the leading dashes
    const char* value;         // name of the value in help texts; nullptr for a switch
    std::string help;
    char shortName = 0;
};

struct Context;

struct CommandInfo {
    std::string name;
    std::vector<std::string> aliases;
    std::string synopsis;      // the arguments, e.g. "ORG VDC VM"
    std::string summary;       // one line for the command list
    std::string details;       // further paragraphs for the command's --help
    std::vector<OptionInfo> options;
    int minArgs = 0;
    int maxArgs = 0;
    bool connects = true;      // needs a logged-in bridge
    std::function<int(Context&)> run;
};

// The parsed command line.
struct ParsedArgs {
    const CommandInfo* command = nullptr;
    std::vector<std::string> positionals;
    std::vector<std::pair<std::string, std::string>> options;  // in order; "" for switches
    bool help = false;

    bool has(const std::string& name) const;
    std::string get(const std::string& name, const std::string& fallback = std::string()) const;  // the last
    std::vector<std::string> all(const std::string& name) const;
    // A whole number within [min, max]; a usage error otherwise.
    long long number(const std::string& name, long long fallback, long long min, long long max) const;
};

const std::vector<OptionInfo>& GlobalOptions();
const std::vector<CommandInfo>& Commands();
const CommandInfo* FindCommand(const std::string& name);

// Throws UsageError for unknown commands and options, missing option values and wrong argument counts
// (the count is not checked when help is asked for).
ParsedArgs ParseCommandLine(int argc, char** argv);

std::string ToolVersion();
std::string MainHelp();
std::string CommandHelp(const CommandInfo& command);

}  // namespace vcbtool

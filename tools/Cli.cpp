// Parsing of the command line and the help texts.
#include "Cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#ifndef VCB_TOOL_VERSION
#define VCB_TOOL_VERSION "0.0.0.0"
#endif

namespace vcbtool {

bool ParsedArgs::has(const std::string& name) const {
    for (const auto& o : options)
        if (o.first == name) return true;
    return false;
}

std::string ParsedArgs::get(const std::string& name, const std::string& fallback) const {
    std::string value = fallback;
    for (const auto& o : options)
        if (o.first == name) value = o.second;
    return value;
}

std::vector<std::string> ParsedArgs::all(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& o : options)
        if (o.first == name) values.push_back(o.second);
    return values;
}

long long ParsedArgs::number(const std::string& name, long long fallback, long long min, long long max) const {
    if (!has(name)) return fallback;
    const std::string text = get(name);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
        throw UsageError("--" + name + " wants a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    return value;
}

const std::vector<OptionInfo>& GlobalOptions() {
    static const std::vector<OptionInfo> options = {
        {"server", "URL", "vCloud Director to use, e.g. https://vcd.example.com (default: $VCB_SERVER; "
                          "without either, the built-in simulated cloud is started)"},
        {"user", "USER@ORG", "login name and organisation (default: $VCB_USER; administrator@System for the "
                             "built-in cloud)"},
        {"password-file", "FILE", "read the password from the first line of FILE ('-' for standard input); "
                                  "otherwise $VCB_PASSWORD, otherwise a prompt on the terminal"},
        {"auth", "MODE", "how to log in: password (the default) or api-token, whose token comes from the same "
                         "places as a password (default: $VCB_AUTH)"},
        {"proxy", "URL", "the http:// forward proxy to go through, or 'none' (default: $https_proxy, $http_proxy and "
                         "$no_proxy as curl uses them)"},
        {"insecure", nullptr, "do not verify the server's TLS certificate (never in production)"},
        {"ca-file", "FILE", "trust the CA certificates in FILE (PEM or DER)"},
        {"allow-http", nullptr, "allow plain http (loopback addresses only)"},
        {"option", "KEY=VALUE", "a further wrapper option, e.g. httpTimeout=60s (repeatable)"},
        {"home", "DIR", "directory of the wrapper and libraries (default: $XQ_HOME, else found beside the tool)"},
        {"log", "FILE", "the wrapper's own log file"},
        {"debug-level", "N", "detail of the wrapper's log: 0 errors, 1 operations, 2 requests, 3 bodies"},
        {"json", nullptr, "print results as JSON"},
        {"ascii", nullptr, "draw trees and progress with ASCII characters only"},
        {"quiet", nullptr, "no progress indicator and no notices on standard error", 'q'},
        {"help", nullptr, "show help (for a command: COMMAND --help)", 'h'},
        {"version", nullptr, "show the tool's version"},
    };
    return options;
}

const CommandInfo* FindCommand(const std::string& name) {
    for (const auto& c : Commands()) {
        if (c.name == name) return &c;
        for (const auto& a : c.aliases)
            if (a == name) return &c;
    }
    return nullptr;
}

namespace {

const OptionInfo* FindOption(const std::vector<OptionInfo>& specs, const std::string& name, bool isShort) {
    for (const auto& s : specs) {
        if (isShort ? (s.shortName != 0 && name.size() == 1 && name[0] == s.shortName) : s.name == name) return &s;
    }
    return nullptr;
}

std::string CommandHint(const ParsedArgs& parsed) {
    return parsed.command ? "see 'vcloud-bridge " + parsed.command->name + " --help'"
                          : "see 'vcloud-bridge --help'";
}

}  // namespace

ParsedArgs ParseCommandLine(int argc, char** argv) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isLong = arg.size() > 2 && arg.compare(0, 2, "--") == 0;
        const bool isShort = !isLong && arg.size() == 2 && arg[0] == '-' && arg[1] != '-';
        if (!optionsEnded && (isLong || isShort)) {
            std::string name = isLong ? arg.substr(2) : arg.substr(1);
            std::string inlineValue;
            bool hasInline = false;
            const auto eq = name.find('=');
            if (isLong && eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasInline = true;
            }
            if (name == "password") {
                throw UsageError("passwords are never taken from the command line (other users can read it); "
                                 "use --password-file FILE, the VCB_PASSWORD variable or the prompt");
            }
            const OptionInfo* spec = FindOption(GlobalOptions(), name, isShort);
            if (!spec && parsed.command) spec = FindOption(parsed.command->options, name, isShort);
            if (!spec) throw UsageError("unknown option '" + arg + "' (" + CommandHint(parsed) + ")");
            std::string value;
            if (spec->value) {
                if (hasInline) value = inlineValue;
                else if (i + 1 < argc) value = argv[++i];
                else throw UsageError("option --" + spec->name + " needs a value " + spec->value);
            } else if (hasInline) {
                throw UsageError("option --" + spec->name + " takes no value");
            }
            if (spec->name == "help") parsed.help = true;
            parsed.options.emplace_back(spec->name, value);
            continue;
        }
        if (!parsed.command) {
            parsed.command = FindCommand(arg);
            if (!parsed.command) throw UsageError("unknown command '" + arg + "' (see 'vcloud-bridge --help')");
            continue;
        }
        parsed.positionals.push_back(arg);
    }
    if (parsed.command && !parsed.help) {
        const int n = static_cast<int>(parsed.positionals.size());
        const CommandInfo& c = *parsed.command;
        if (n < c.minArgs || n > c.maxArgs) {
            std::string want = c.synopsis.empty() ? "no arguments" : c.synopsis;
            throw UsageError("'" + c.name + "' wants " + want + ", got " + std::to_string(n) + " argument" +
                             (n == 1 ? "" : "s") + " (" + CommandHint(parsed) + ")");
        }
    }
    return parsed;
}

std::string ToolVersion() { return VCB_TOOL_VERSION; }

namespace {

void AppendOptions(std::ostringstream& out, const std::vector<OptionInfo>& options) {
    std::size_t width = 0;
    std::vector<std::string> heads;
    for (const auto& o : options) {
        std::string head = o.shortName ? std::string("-") + o.shortName + ", " : std::string("    ");
        head += "--" + o.name;
        if (o.value) head += std::string(" ") + o.value;
        width = std::max(width, head.size());
        heads.push_back(head);
    }
    for (std::size_t i = 0; i < options.size(); ++i)
        out << "  " << heads[i] << std::string(width - heads[i].size() + 2, ' ') << options[i].help << '\n';
}

}  // namespace

std::string MainHelp() {
    std::ostringstream out;
    // "Usage:" with a capital U: help2man makes the manual page's synopsis from that line.
    out << "Usage: vcloud-bridge [OPTIONS] COMMAND [ARGS...]\n\n"
           "Drives vCloud Director through the vCloudSDKCppBridge library, exactly as a backup agent does:\n"
           "one bridge object, Initialize, Connect, the operation, Disconnect. Without --server it starts\n"
           "the built-in simulated cloud on a free loopback port and stops it on exit; it serves https\n"
           "with a certificate made for the run (with openssl), which the tool trusts for that run only.\n\n"
           "Commands:\n";
    std::size_t width = 0;
    for (const auto& c : Commands()) width = std::max(width, c.name.size());
    for (const auto& c : Commands())
        out << "  " << c.name << std::string(width - c.name.size() + 2, ' ') << c.summary << '\n';
    out << "\nOptions (accepted before or after the command):\n";
    AppendOptions(out, GlobalOptions());
    out << "\nExit status: 0 success, 1 the operation failed (the reason on standard error), 2 usage error.\n"
           "Run 'vcloud-bridge COMMAND --help' for a command's arguments, or 'vcloud-bridge demo' for a tour.\n";
    return out.str();
}

std::string CommandHelp(const CommandInfo& c) {
    std::ostringstream out;
    out << "usage: vcloud-bridge [OPTIONS] " << c.name;
    if (!c.options.empty()) out << " [" << c.name << " OPTIONS]";
    if (!c.synopsis.empty()) out << ' ' << c.synopsis;
    out << "\n\n" << c.summary << '\n';
    if (!c.details.empty()) out << '\n' << c.details << '\n';
    if (!c.aliases.empty()) {
        out << "\nAlso called:";
        for (const auto& a : c.aliases) out << ' ' << a;
        out << '\n';
    }
    if (!c.options.empty()) {
        out << '\n' << c.name << " options:\n";
        AppendOptions(out, c.options);
    }
    out << "\nGeneral options: see 'vcloud-bridge --help'.\n";
    return out.str();
}

}  // namespace vcbtool

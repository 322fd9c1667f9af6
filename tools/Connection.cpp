// Home directory, simulator process, signals, password sources and the bridge connection of the tool.
#include "Connection.h"

#include "Output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

extern char** environ;

#ifndef VCB_TOOL_HOME_REL
#define VCB_TOOL_HOME_REL "../lib/vCloudSDKCppBridge"
#endif
#ifndef VCB_BUILD_SIM_EXE
#define VCB_BUILD_SIM_EXE ""
#endif

namespace vcbtool {

namespace {

const char* const kWrapperFile = "vCloudSDKWrapper.dll";

bool IsFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// State that the signal handler reads: only plain values that it may touch safely.
volatile sig_atomic_t g_simulatorPid = 0;
volatile sig_atomic_t g_terminalSaved = 0;
int g_terminalFd = -1;
struct termios g_savedTerminal;
bool g_stderrIsTerminal = false;

void OnSignal(int sig) {
    const int savedErrno = errno;
    if (g_terminalSaved) ::tcsetattr(g_terminalFd, TCSAFLUSH, &g_savedTerminal);
    if (g_stderrIsTerminal && ::write(STDERR_FILENO, "\r\033[K", 4) < 0) {
        // Standard error is gone; nothing else to do.
    }
    const pid_t sim = g_simulatorPid;
    if (sim > 0) {
        g_simulatorPid = 0;
        simlauncher::EndChild(sim);
    }
    errno = savedErrno;
    // End the process the way the signal would have, so that the caller sees it (status 128 + sig).
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

Settings Settings::From(const ParsedArgs& args) {
    Settings s;
    const char* envServer = std::getenv("VCB_SERVER");
    const char* envUser = std::getenv("VCB_USER");
    s.server = args.get("server", envServer ? envServer : "");
    s.user = args.get("user", envUser ? envUser : "");
    s.passwordFile = args.get("password-file");
    s.caFile = args.get("ca-file");
    s.proxy = args.get("proxy");
    if (s.proxy.find(';') != std::string::npos) throw UsageError("--proxy: the URL cannot contain ';'");
    const char* envAuth = std::getenv("VCB_AUTH");
    const std::string auth = args.get("auth", envAuth ? envAuth : "password");
    if (auth == "api-token") s.apiToken = true;
    else if (auth != "password" && !auth.empty())
        throw UsageError("--auth wants password or api-token, not '" + auth + "'");
    s.home = args.get("home");
    s.logFile = args.get("log");
    s.debugLevel = static_cast<unsigned long long>(args.number("debug-level", 0, 0, 3));
    s.wrapperOptions = args.all("option");
    s.insecure = args.has("insecure");
    s.allowHttp = args.has("allow-http");
    s.json = args.has("json");
    s.ascii = args.has("ascii");
    s.quiet = args.has("quiet");
    if (!s.user.empty() && (s.user.find('@') == std::string::npos || s.user.front() == '@' || s.user.back() == '@'))
        throw UsageError("--user wants USER@ORG (for example administrator@System), not '" + s.user + "'");
    // The wrapper takes its options as one "key=value;..." text, so a ';' inside a value would split it.
    for (const auto& o : s.wrapperOptions) {
        if (o.find('=') == std::string::npos || o.front() == '=')
            throw UsageError("--option wants KEY=VALUE, not '" + o + "'");
        if (o.find(';') != std::string::npos) throw UsageError("--option values cannot contain ';': '" + o + "'");
    }
    if (s.caFile.find(';') != std::string::npos)
        throw UsageError("--ca-file: the path cannot contain ';': '" + s.caFile + "'");
    if (!s.caFile.empty() && !IsFile(s.caFile)) throw UsageError("--ca-file: no such file: " + s.caFile);
    return s;
}

std::string ExecutableDirectory() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string FindHome(const std::string& explicitHome) {
    if (!explicitHome.empty()) {
        if (!IsDirectory(explicitHome)) throw UsageError("--home: no such directory: " + explicitHome);
        if (!IsFile(explicitHome + "/" + kWrapperFile))
            throw UsageError("--home: " + explicitHome + " holds no " + kWrapperFile);
        return Canonical(explicitHome);
    }
    if (const char* env = std::getenv("XQ_HOME")) {
        if (*env) return env;
    }
    const std::string dir = ExecutableDirectory();
    // Installed: the home directory relative to the bin directory. Build tree: bin/ and home/ side by side.
    for (const std::string& candidate : {dir + "/" + VCB_TOOL_HOME_REL, dir + "/../home"}) {
        if (IsFile(candidate + "/" + kWrapperFile)) return Canonical(candidate);
    }
    throw OperationError("cannot find the home directory with " + std::string(kWrapperFile) + " beside " + dir +
                         "; give it with --home DIR");
}

std::string FindSimulator(const std::string& home) {
    const std::string dir = ExecutableDirectory();
    for (const std::string& candidate :
         {home + "/sim/vcdsim.exe", dir + "/../sim/vcdsim.exe", std::string(VCB_BUILD_SIM_EXE)}) {
        if (!candidate.empty() && IsFile(candidate)) return Canonical(candidate);
    }
    throw OperationError("cannot find the simulated cloud (vcdsim.exe) in " + home + "/sim or the build tree; "
                         "build it, or give a real server with --server URL");
}

void PrepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    }
    g_stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    InstallSignalHandlers();
}

void InstallSignalHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // SIGPIPE stays as it is: the managed runtime ignores it so that a dropped connection becomes an error
    // in the call, and a closed standard output then shows as a failed write.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

// ---- simulator ----

void StartSimulator(simlauncher::Simulator& sim, const std::string& exe, const std::vector<std::string>& extraArgs,
                    bool forwardOutput) {
    simlauncher::SimulatorOptions options;
    options.extraArgs = extraArgs;
    options.forwardOutput = forwardOutput;
    options.pidSlot = &g_simulatorPid;
    try {
        sim.start(exe, options);
    } catch (const simlauncher::SimulatorError& e) {
        throw OperationError(e.what());
    }
}

// ---- passwords ----

namespace {

std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Reads a line from the terminal with echo off; the signal handler puts the echo back on Ctrl-C.
bool PromptHidden(const std::string& prompt, std::string& answer) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct termios old;
    if (::tcgetattr(fd, &old) != 0) {
        ::close(fd);
        return false;
    }
    g_savedTerminal = old;
    g_terminalFd = fd;
    g_terminalSaved = 1;
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    bool ok = ::write(fd, prompt.data(), prompt.size()) >= 0;
    answer.clear();
    char c;
    while (ok) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        answer += c;
    }
    ::tcsetattr(fd, TCSAFLUSH, &old);
    g_terminalSaved = 0;
    if (::write(fd, "\n", 1) < 0) ok = false;
    ::close(fd);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return ok;
}

}  // namespace

std::string ResolvePassword(const Settings& s, const std::string& user, const std::string& server) {
    if (!s.passwordFile.empty()) {
        if (s.passwordFile == "-") return FirstLine(std::cin);
        // Only a regular file holds a password: a directory reads as empty and would log in with "",
        // a FIFO or device could block or never end. The file opened is the file checked.
        const int fd = ::open(s.passwordFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) throw UsageError("--password-file: cannot read " + s.passwordFile + ": " + std::strerror(errno));
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            throw UsageError("--password-file: " + s.passwordFile + " is not a regular file");
        }
        if (!s.quiet && (st.st_mode & 077) != 0)
            std::cerr << "vcloud-bridge: warning: the password file " << s.passwordFile
                      << " can be read by other users (chmod 600 it)\n";
        std::string content;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            content.append(buffer, static_cast<std::size_t>(n));
            if (content.find('\n') != std::string::npos) break;
        }
        ::close(fd);
        std::istringstream in(content);
        std::fill(content.begin(), content.end(), '\0');
        return FirstLine(in);
    }
    if (const char* env = std::getenv("VCB_PASSWORD")) return env;
    if (::isatty(STDIN_FILENO) == 1) {
        std::string answer;
        if (PromptHidden((s.apiToken ? "API token for " : "Password for ") + user + " at " + server + ": ", answer))
            return answer;
    }
    throw UsageError(std::string(s.apiToken ? "no API token for " : "no password for ") + user +
                     ": use --password-file FILE or the VCB_PASSWORD variable, or run on a terminal to be asked");
}

bool Confirm(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

std::string DemoPassword(const std::string& user) {
    static const std::pair<const char*, const char*> accounts[] = {
        {"administrator@System", "vmware1!"}, {"alice@Acme", "alice1!"}, {"bob@Globex", "bob1!"}};
    for (const auto& a : accounts)
        if (user == a.first) return a.second;
    return std::string();
}

// ---- the built-in cloud's certificate and tokens ----

namespace {

// Runs a program found on PATH with no input and its output dropped; true when it exits with 0.
bool RunQuietly(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A throwaway certificate for 127.0.0.1 and localhost, made with openssl, which the built-in cloud
// serves https with and the wrapper trusts as its caFile. False when openssl is missing or fails.
bool MakeCertificate(const std::string& dir) {
    return RunQuietly({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/key.pem", "-out",
                       dir + "/cert.pem", "-days", "2", "-subj", "/CN=localhost", "-addext",
                       "subjectAltName=IP:127.0.0.1,DNS:localhost"}) &&
           IsFile(dir + "/cert.pem") && IsFile(dir + "/key.pem");
}

// 32 random characters from /dev/urandom, for an API token the built-in cloud is given for the run.
std::string RandomToken() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string token;
    std::ifstream in("/dev/urandom", std::ios::binary);
    for (int i = 0; i < 32 && in; ++i) token += alphabet[static_cast<unsigned char>(in.get()) % 62];
    if (token.size() != 32) throw OperationError("cannot read /dev/urandom for an API token");
    return token;
}

}  // namespace

// ---- connection ----

Connection::~Connection() { close(); }

vCloudSDKCppBridge::CVCloudSDKCppBridge& Connection::bridge() {
    if (!connected_) open();
    return *bridge_;
}

LoginPlan Connection::prepare() {
    const Settings& s = settings_;
    const std::string home = FindHome(s.home);
    // The bridge reads its home directory from XQ_HOME when the runtime starts.
    ::setenv("XQ_HOME", home.c_str(), 1);

    LoginPlan plan;
    plan.home = home;
    std::string& password = plan.password;
    if (builtIn()) {
        user_ = s.user.empty() ? "administrator@System" : s.user;
        // The demo accounts' passwords are public; a --password-file still wins, for other accounts.
        // An API token for the built-in cloud is one given, else one made for this run; either is
        // registered with the simulator through a file that only this user can read.
        if (s.apiToken)
            password = s.passwordFile.empty() && !std::getenv("VCB_PASSWORD") ? RandomToken()
                                                                               : ResolvePassword(s, user_, "the built-in cloud");
        else
            password = s.passwordFile.empty() ? DemoPassword(user_) : std::string();
        if (password.empty()) password = ResolvePassword(s, user_, "the built-in cloud");
        std::vector<std::string> simArgs;
        const char* tmp = std::getenv("TMPDIR");
        const std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vcloud-bridge-XXXXXX";
        std::vector<char> dirName(pattern.begin(), pattern.end());
        dirName.push_back('\0');
        if (!::mkdtemp(dirName.data()))
            throw OperationError("cannot make a private directory for the built-in cloud in " + pattern + ": " +
                                 std::strerror(errno));
        simDir_ = dirName.data();
        // The built-in cloud speaks https, as real clouds do, whenever openssl can make its certificate.
        if (MakeCertificate(simDir_)) {
            simArgs = {"--tls-cert", simDir_ + "/cert.pem", "--tls-key", simDir_ + "/key.pem"};
            simCa_ = simDir_ + "/cert.pem";
        } else if (!s.quiet) {
            std::cerr << "vcloud-bridge: openssl is not available: the built-in cloud serves plain http\n";
        }
        if (s.apiToken) {
            const std::string tokens = simDir_ + "/api-tokens";
            const int fd = ::open(tokens.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            const std::string line = user_ + "=" + password + "\n";
            const bool written = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            if (fd >= 0) ::close(fd);
            if (!written) throw OperationError("cannot write the built-in cloud's API token file in " + simDir_);
            simArgs.push_back("--api-token-file");
            simArgs.push_back(tokens);
        }
        StartSimulator(sim_, FindSimulator(home), simArgs, false);
        // The token file has been read; it goes at once.
        ::unlink((simDir_ + "/api-tokens").c_str());
        url_ = sim_.url();
        if (!s.quiet)
            std::cerr << "vcloud-bridge: no --server given: started the built-in simulated cloud at " << url_
                      << " (pid " << sim_.pid() << "); it stops when this command ends\n";
    } else {
        if (s.user.empty()) throw UsageError("--server needs --user USER@ORG (or the VCB_USER variable)");
        user_ = s.user;
        url_ = s.server;
        password = ResolvePassword(s, user_, url_);
    }

    const auto add = [&plan](const std::string& item) { plan.options.push_back(item); };
    if (builtIn() || s.allowHttp) add("allowHttp=true");
    // The simulated cloud finishes its tasks within moments; polling them often keeps the demo brisk.
    if (builtIn()) add("taskPollInterval=100ms");
    if (!simCa_.empty()) add("caFile=" + simCa_);
    if (s.insecure) add("insecure=true");
    if (s.apiToken) add("auth=apiToken");
    if (!s.proxy.empty()) add("proxy=" + s.proxy);
    if (!s.caFile.empty()) add("caFile=" + Canonical(s.caFile));
    for (const auto& o : s.wrapperOptions) add(o);
    plan.url = url_;
    plan.user = user_;
    return plan;
}

void Connection::open() {
    const Settings& s = settings_;
    LoginPlan plan = prepare();
    std::string& password = plan.password;
    const std::string& home = plan.home;
    std::string options;
    for (const auto& o : plan.options) options += (options.empty() ? "" : ";") + o;

    Progress progress("logging in to " + url_, !s.quiet, s.ascii);
    bridge_.reset(new vCloudSDKCppBridge::CVCloudSDKCppBridge());
    const bool initialized = bridge_->Initialize(s.logFile, options, s.debugLevel);
    // The runtime is up now; make sure that our handlers, not any it installed, see Ctrl-C.
    InstallSignalHandlers();
    if (!initialized) {
        std::string why = bridge_->GetLastErrorString();
        if (why.empty())
            why = "cannot start the managed runtime with the wrapper in " + home +
                  " (is the Mono runtime installed? see the lines above)";
        throw OperationError(why);
    }
    const bool ok = bridge_->Connect(url_, user_, password);
    std::fill(password.begin(), password.end(), '\0');
    progress.stop();
    if (!ok) {
        std::string why = bridge_->GetLastErrorString();
        if (!s.allowHttp && url_.compare(0, 7, "http://") == 0)
            why += " (for a loopback test server: --allow-http)";
        throw OperationError(why.empty() ? "Connect failed without an error text" : why);
    }
    connected_ = true;
}

void Connection::fail(const std::string& operation) {
    std::string why = bridge_ ? bridge_->GetLastErrorString() : std::string();
    if (why.empty()) why = operation + " failed without an error text (the bridge's log above may say why)";
    throw OperationError(why);
}

void Connection::close() {
    if (connected_ && bridge_) {
        connected_ = false;
        if (!bridge_->Disconnect() && !settings_.quiet)
            std::cerr << "vcloud-bridge: warning: logout failed: " << bridge_->GetLastErrorString() << '\n';
    }
    sim_.stop();
    if (!simDir_.empty()) {
        for (const char* f : {"/cert.pem", "/key.pem", "/api-tokens"}) ::unlink((simDir_ + f).c_str());
        ::rmdir(simDir_.c_str());
        simDir_.clear();
    }
}

}  // namespace vcbtool

// `vcloud-bridge record DIR`: logs in like any command and runs the recorder (vcbrecord.exe, beside the
// managed wrapper, whose transport it uses) with the password on a pipe, never on its command line or in
// its environment.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Commands.h"

extern char** environ;

namespace vcbtool {

namespace {

// Runs `mono EXE ARGS...` with secret and a newline on its standard input; its exit status.
int RunWithSecret(const std::string& exe, const std::vector<std::string>& args, std::string& secret) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw OperationError(std::string("pipe: ") + std::strerror(errno));
    std::vector<std::string> all = {"mono", exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "mono", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    if (rc != 0) {
        ::close(in[1]);
        throw OperationError("cannot start the recorder with 'mono': " + std::string(std::strerror(rc)));
    }
    // Nothing to send is sent as nothing: the recorder reads end of input as an empty line, and a --check
    // run, which reads no input, can end before a write would reach it.
    if (!secret.empty()) secret += '\n';
    std::size_t done = 0;
    while (done < secret.size()) {
        const ssize_t n = ::write(in[1], secret.data() + done, secret.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the recorder ended early; its status tells why
        done += static_cast<std::size_t>(n);
    }
    std::fill(secret.begin(), secret.end(), '\0');
    ::close(in[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int CmdRecord(Context& ctx) {
    const Settings& s = ctx.settings();
    const std::string exe = FindHome(s.home) + "/vcbrecord.exe";
    struct stat st;
    if (::stat(exe.c_str(), &st) != 0) throw OperationError("the recorder " + exe + " is missing");
    if (ctx.json()) throw UsageError("record has no --json output: the recording is the output");

    // --check DIR --map FILE audits a recording made earlier; it needs no cloud and no login.
    if (ctx.args.has("check")) {
        if (!ctx.args.has("map")) throw UsageError("record --check DIR needs --map FILE, the map written with the recording");
        if (ctx.args.has("exact") || ctx.args.has("org") || ctx.args.has("max-vms"))
            throw UsageError("record --check takes only DIR and --map FILE");
        std::string none;
        const int status = RunWithSecret(exe, {"--check", ctx.arg(0), "--map", ctx.args.get("map")}, none);
        if (status == kExitUsage) return kExitUsage;
        if (status != 0) throw OperationError("the recording in " + ctx.arg(0) + " holds originals that its scrubbing replaced (see above)");
        return kExitOk;
    }

    // The same login as every other command (the built-in cloud, https, API token, proxy), made by the
    // recorder through the wrapper rather than by the bridge.
    Connection login(s);
    LoginPlan plan = login.prepare();

    std::vector<std::string> args = {"--server", plan.url, "--user", plan.user};
    if (ctx.args.has("exact")) args.push_back("--exact");
    if (ctx.args.has("map")) {
        args.push_back("--map");
        args.push_back(ctx.args.get("map"));
    }
    for (const auto& org : ctx.args.all("org")) {
        args.push_back("--org");
        args.push_back(org);
    }
    if (ctx.args.has("max-vms"))
        args.insert(args.end(), {"--max-vms", std::to_string(ctx.args.number("max-vms", 0, 1, 100000000))});
    for (const auto& o : plan.options) args.insert(args.end(), {"--option", o});
    if (s.quiet) args.push_back("--quiet");
    args.push_back(ctx.arg(0));

    const int status = RunWithSecret(exe, args, plan.password);  // wipes the password once sent
    login.close();
    if (status == kExitUsage) return kExitUsage;
    if (status != 0) throw OperationError("the recording in " + ctx.arg(0) + " is incomplete (see above and its index.txt)");
    return kExitOk;
}

}  // namespace vcbtool

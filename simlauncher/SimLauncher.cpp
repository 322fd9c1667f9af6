// The simulator child process: spawned with a lifeline pipe on its standard input, its output read until
// the "listening" line and drained afterwards so that it never blocks on a full pipe.
#include "SimLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>

extern char** environ;

namespace simlauncher {

namespace {

void SleepMs(long ms) {
    struct timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

void EndChild(pid_t pid) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return;
        SleepMs(20);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

Simulator::~Simulator() { stop(); }

void Simulator::setPidSlot(pid_t pid) {
    if (pidSlot_) *pidSlot_ = pid;
}

std::string Simulator::baseUrl() const {
    std::string url = url_;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

int Simulator::port() const {
    const std::string url = baseUrl();
    const std::size_t colon = url.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(url.c_str() + colon + 1);
}

void Simulator::start(const std::string& exe, const SimulatorOptions& options) {
    int lifeline[2], output[2];
    if (::pipe2(lifeline, O_CLOEXEC) != 0) throw SimulatorError(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(lifeline[0]);
        ::close(lifeline[1]);
        throw SimulatorError(std::string("pipe: ") + std::strerror(errno));
    }
    std::vector<std::string> args = {"mono", exe, "--port", "0", "--stdin-lifeline"};
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (!options.dropPreload || std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, lifeline[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    // Nothing else this process holds open (a caller's pipes, say) may leak into the long-lived child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "mono", &actions, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(lifeline[0]);
    ::close(output[1]);
    if (rc != 0) {
        ::close(lifeline[1]);
        ::close(output[0]);
        throw SimulatorError("cannot start the simulated cloud with 'mono': " + std::string(std::strerror(rc)) +
                             " (is the Mono runtime installed?)");
    }
    pidSlot_ = options.pidSlot;
    pid_ = pid;
    setPidSlot(pid);
    lifeline_ = lifeline[1];
    output_ = output[0];

    // Its first line names the port; anything before it (runtime warnings, errors) is kept for the report.
    const std::string ready = "vcdsim listening on ";
    std::string pending, earlier;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.readySeconds);
    while (url_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            stop();
            throw SimulatorError("the simulated cloud did not report its port within " +
                                 std::to_string(options.readySeconds) + " s" +
                                 (earlier.empty() ? std::string() : ":\n" + earlier));
        }
        struct pollfd p{output_, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        char buf[4096];
        const ssize_t got = ::read(output_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            earlier += pending;
            stop();
            throw SimulatorError("the simulated cloud stopped before it was ready" +
                                 (earlier.empty() ? std::string() : ":\n" + earlier));
        }
        pending.append(buf, static_cast<std::size_t>(got));
        std::size_t nl;
        while (url_.empty() && (nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.compare(0, ready.size(), ready) == 0) url_ = line.substr(ready.size());
            else earlier += line + "\n";
        }
    }
    const bool forward = options.forwardOutput;
    if (forward && !pending.empty()) std::cerr << pending << std::flush;
    const int fd = output_;
    drain_ = std::thread([fd, forward] {
        char buf[4096];
        for (;;) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            if (forward && ::write(STDERR_FILENO, buf, static_cast<std::size_t>(got)) < 0) {
                // Standard error is gone; keep draining so that the simulator never blocks.
            }
        }
    });
}

int Simulator::wait() {
    if (pid_ <= 0) return 0;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    setPidSlot(0);
    pid_ = -1;
    stop();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Simulator::stop() {
    if (pid_ > 0) {
        setPidSlot(0);
        if (lifeline_ >= 0) {
            ::close(lifeline_);
            lifeline_ = -1;
        }
        EndChild(pid_);
        pid_ = -1;
    }
    if (lifeline_ >= 0) {
        ::close(lifeline_);
        lifeline_ = -1;
    }
    if (drain_.joinable()) drain_.join();
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

}  // namespace simlauncher

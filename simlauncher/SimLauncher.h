// Starts the vCloud Director API simulator (vcdsim.exe) as a child process on a free loopback port and
// stops it again: the one launcher of the tool, the end-to-end tests and the benchmarks.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace simlauncher {

// The simulator could not be started or did not become ready.
struct SimulatorError : std::runtime_error {
    explicit SimulatorError(const std::string& text) : std::runtime_error(text) {}
};

struct SimulatorOptions {
    std::vector<std::string> extraArgs;  // after `--port 0 --stdin-lifeline`
    bool forwardOutput = false;          // copy its later output to standard error; otherwise drop it
    bool ownProcessGroup = true;         // so that a Ctrl-C on the terminal reaches only the caller
    bool dropPreload = false;            // start it without LD_PRELOAD (a sanitizer meant for the caller)
    int readySeconds = 120;              // how long to wait for its "listening" line
    // Set to the child's pid while it runs and to 0 once it is stopped, for a signal handler that stops
    // it when the caller is interrupted.
    volatile sig_atomic_t* pidSlot = nullptr;
};

// The simulator as a child process: `mono vcdsim.exe --port 0 --stdin-lifeline ...`. Its standard input
// is a pipe that closes when this process ends in any way, which stops it too.
class Simulator {
public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts it and waits for its "listening" line. Throws SimulatorError.
    void start(const std::string& exe, const SimulatorOptions& options);
    // Waits until it ends by itself; its exit status, or 128 + the signal that ended it.
    int wait();
    // Closes its lifeline and ends it: SIGTERM, then SIGKILL after ten seconds.
    void stop();

    // As it reported it: "http://127.0.0.1:PORT/".
    const std::string& url() const { return url_; }
    // The same without the trailing slash, for appending paths.
    std::string baseUrl() const;
    int port() const;
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

private:
    void setPidSlot(pid_t pid);

    volatile sig_atomic_t* pidSlot_ = nullptr;
    pid_t pid_ = -1;
    int lifeline_ = -1;
    int output_ = -1;
    std::thread drain_;
    std::string url_;
};

// Stops pid with SIGTERM, waits up to ten seconds, then kills it. Async-signal-safe.
void EndChild(pid_t pid);

}  // namespace simlauncher

// Runs the vCloud Director API simulator as a child process on a free loopback port for one test
// process, and stops it when done (closing its standard input ends it even if we die first).
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

namespace e2e {

class SimulatorProcess {
public:
    // Starts `mono <simulator> --port 0 --stdin-lifeline <extra...>` and waits for its listening line.
    explicit SimulatorProcess(const std::vector<std::string>& extraArguments = {});
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    bool Running() const { return m_pid > 0 && !m_url.empty(); }
    // "http://127.0.0.1:PORT" without a trailing slash.
    const std::string& Url() const { return m_url; }
    const std::string& Error() const { return m_error; }

    // A plain HTTP request to the simulator (its control endpoint under /sim/); returns the status code
    // (0 when the request failed) and fills `body`.
    int Request(const std::string& method, const std::string& path, const std::string& requestBody,
                std::string& body) const;

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_port = 0;
    std::string m_url;
    std::string m_error;
    std::thread m_drain;
};

}  // namespace e2e

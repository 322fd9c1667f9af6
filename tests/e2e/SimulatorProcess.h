// The vCloud Director API simulator for one test process, on a free loopback port, stopped when done
// (closing its standard input ends it even if we die first), and requests to its control endpoint.
#pragma once

#include <string>
#include <vector>

#include "SimLauncher.h"

namespace e2e {

class SimulatorProcess {
public:
    // Starts `mono <simulator> --port 0 --stdin-lifeline <extra...>` and waits for its listening line.
    explicit SimulatorProcess(const std::vector<std::string>& extraArguments = {});
    ~SimulatorProcess() = default;
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    bool Running() const { return m_sim.running() && !m_url.empty(); }
    // "http://127.0.0.1:PORT" without a trailing slash.
    const std::string& Url() const { return m_url; }
    const std::string& Error() const { return m_error; }

    // A plain HTTP request to the simulator (its control endpoint under /sim/); returns the status code
    // (0 when the request failed) and fills `body`.
    int Request(const std::string& method, const std::string& path, const std::string& requestBody,
                std::string& body) const;

private:
    simlauncher::Simulator m_sim;
    std::string m_url;
    std::string m_error;
};

}  // namespace e2e

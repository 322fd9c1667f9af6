// The simulator for one test process, through the simulator launcher, and a minimal HTTP/1.1 client for
// its control endpoint.
#include "SimulatorProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VCB_SIM_EXE_PATH
#define VCB_SIM_EXE_PATH ""
#endif

namespace e2e {

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& extraArguments) {
    const char* exe = std::getenv("VCB_SIM_EXE");
    std::string simulator = exe != nullptr && *exe != '\0' ? exe : VCB_SIM_EXE_PATH;
    if (simulator.empty()) {
        m_error = "no simulator configured (VCB_SIM_EXE)";
        return;
    }
    simlauncher::SimulatorOptions options;
    options.extraArgs = extraArguments;
    options.ownProcessGroup = false;
    // The child must not inherit the test's sanitizer or runtime settings meant for the bridge.
    options.dropPreload = true;
    options.readySeconds = 60;
    try {
        m_sim.start(simulator, options);
        m_url = m_sim.baseUrl();
    } catch (const simlauncher::SimulatorError& e) {
        m_error = e.what();
    }
}

int SimulatorProcess::Request(const std::string& method, const std::string& path, const std::string& requestBody,
                              std::string& body) const {
    body.clear();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_sim.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return 0;
    }
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                          "Content-Type: application/json\r\nContent-Length: " + std::to_string(requestBody.size()) +
                          "\r\n\r\n" + requestBody;
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = write(fd, request.data() + sent, request.size() - sent);
        if (n <= 0) {
            close(fd);
            return 0;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string response;
    char buffer[8192];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    int status = 0;
    if (std::sscanf(response.c_str(), "HTTP/1.%*d %d", &status) != 1) return 0;
    std::size_t headerEnd = response.find("\r\n\r\n");
    if (headerEnd != std::string::npos) body = response.substr(headerEnd + 4);
    // A chunked body is kept as it came; the control endpoint answers with Content-Length.
    return status;
}

}  // namespace e2e

// The simulator child process and a minimal HTTP/1.1 client for its control endpoint.
#include "SimulatorProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VCB_SIM_EXE_PATH
#define VCB_SIM_EXE_PATH ""
#endif

namespace e2e {

namespace {

// Reads one line from `fd` within `timeoutMs`; false on time-out or end of file.
bool ReadLine(int fd, std::string& line, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    line.clear();
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

}  // namespace

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& extraArguments) {
    const char* exe = std::getenv("VCB_SIM_EXE");
    std::string simulator = exe != nullptr && *exe != '\0' ? exe : VCB_SIM_EXE_PATH;
    if (simulator.empty()) {
        m_error = "no simulator configured (VCB_SIM_EXE)";
        return;
    }
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        m_error = "pipe failed";
        return;
    }
    std::vector<std::string> args = {"mono", simulator, "--port", "0", "--stdin-lifeline"};
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // The child must not inherit the test's sanitizer or runtime settings meant for the bridge.
        unsetenv("LD_PRELOAD");
        execvp("mono", argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_stdin = in[1];
    std::string line;
    const std::string prefix = "vcdsim listening on ";
    while (ReadLine(out[0], line, 60000)) {
        if (line.rfind(prefix, 0) == 0) {
            m_url = line.substr(prefix.size());
            while (!m_url.empty() && (m_url.back() == '/' || m_url.back() == '\r')) m_url.pop_back();
            std::size_t colon = m_url.rfind(':');
            m_port = colon == std::string::npos ? 0 : std::atoi(m_url.c_str() + colon + 1);
            break;
        }
    }
    if (m_url.empty()) m_error = "simulator did not report its port (last line: " + line + ")";
    // The rest of its output is drained, so that the simulator never blocks on a full pipe.
    int fd = out[0];
    m_drain = std::thread([fd] {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    });
}

SimulatorProcess::~SimulatorProcess() {
    if (m_stdin >= 0) close(m_stdin);
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (!ended) usleep(50000);
        }
        if (!ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
    }
    if (m_drain.joinable()) m_drain.join();
}

int SimulatorProcess::Request(const std::string& method, const std::string& path, const std::string& requestBody,
                              std::string& body) const {
    body.clear();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
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

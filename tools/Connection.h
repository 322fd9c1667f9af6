// What a command runs in: the home directory, the built-in simulated cloud, the password, and one bridge
// object that is initialised, logged in and logged out exactly as a backup agent does it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "SimLauncher.h"
#include "vCloudSDKCppBridge.h"

namespace vcbtool {

// The settings that every command shares, taken from the options and the environment.
struct Settings {
    std::string server;        // "" for the built-in simulated cloud
    std::string user;
    std::string passwordFile;
    std::string caFile;
    bool apiToken = false;
    std::string proxy;         // --proxy URL or none; "" follows the environment     // --auth api-token: the password sources give an API token
    std::string home;          // --home
    std::string logFile;
    unsigned long long debugLevel = 0;
    std::vector<std::string> wrapperOptions;  // --option KEY=VALUE
    bool insecure = false;
    bool allowHttp = false;
    bool json = false;
    bool ascii = false;
    bool quiet = false;

    static Settings From(const ParsedArgs& args);
};

// The directory that holds this program.
std::string ExecutableDirectory();

// The home directory for the bridge: --home, else $XQ_HOME, else the installed or build-tree directory
// found from the program's own location. Throws UsageError for a --home without the wrapper and
// OperationError when nothing is found.
std::string FindHome(const std::string& explicitHome);

// vcdsim.exe: beside the installed home directory, in the build tree, or where the build put it.
std::string FindSimulator(const std::string& home);

// Fds 0 to 2 open (on /dev/null if they were closed), and handlers that stop the simulator, restore the
// terminal and then let the signal end the process as it would have.
void PrepareProcess();
void InstallSignalHandlers();

// Starts the built-in simulated cloud through the simulator launcher, registered with the signal handlers
// so that an interrupted program stops it. Throws OperationError when it cannot be started.
void StartSimulator(simlauncher::Simulator& sim, const std::string& exe, const std::vector<std::string>& extraArgs,
                    bool forwardOutput);

// The password from --password-file, $VCB_PASSWORD or a prompt without echo on a terminal. Throws
// UsageError when none of them can give one.
std::string ResolvePassword(const Settings& settings, const std::string& user, const std::string& server);

// Asks a yes/no question on the terminal; false for anything but yes.
bool Confirm(const std::string& question);

// One bridge object, initialised and logged in on first use; logged out and the simulator stopped on
// close or destruction.
// What a login needs: the endpoint (the built-in cloud, started, when no --server is given), the user,
// the password or API token, and the wrapper options that the settings give.
struct LoginPlan {
    std::string home;
    std::string url;
    std::string user;
    std::string password;
    std::vector<std::string> options;
};

class Connection {
public:
    explicit Connection(Settings settings) : settings_(std::move(settings)) {}
    ~Connection();

    vCloudSDKCppBridge::CVCloudSDKCppBridge& bridge();
    void close();
    // Starts the built-in cloud when needed and says how to log in, without logging in: for a program
    // other than the bridge (the recorder) that logs in through the same wrapper.
    LoginPlan prepare();

    // Throws OperationError with the wrapper's last error text for a failed operation.
    [[noreturn]] void fail(const std::string& operation);

    const Settings& settings() const { return settings_; }
    bool builtIn() const { return settings_.server.empty(); }
    const std::string& serverUrl() const { return url_; }
    const std::string& user() const { return user_; }

private:
    void open();

    Settings settings_;
    simlauncher::Simulator sim_;
    std::unique_ptr<vCloudSDKCppBridge::CVCloudSDKCppBridge> bridge_;
    bool connected_ = false;
    std::string url_;
    std::string user_;
    std::string simDir_;  // the built-in cloud's certificate (and token file while it starts)
    std::string simCa_;   // its certificate, trusted as the caFile; "" when it serves plain http
};

// The demo cloud's accounts, for logins to the built-in simulated cloud.
std::string DemoPassword(const std::string& user);

}  // namespace vcbtool

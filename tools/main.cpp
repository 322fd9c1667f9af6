// vcloud-bridge: the command-line face of the bridge library. Parses the command line, runs one command
// and maps the outcome to the exit status (0 success, 1 failed operation, 2 usage error).
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>

#include "Cli.h"
#include "Commands.h"
#include "Connection.h"

using namespace vcbtool;

int main(int argc, char** argv) {
    PrepareProcess();
    try {
        const ParsedArgs args = ParseCommandLine(argc, argv);
        if (args.has("version")) {
            std::cout << "vcloud-bridge " << ToolVersion() << '\n';
            return kExitOk;
        }
        if (args.help) {
            std::cout << (args.command ? CommandHelp(*args.command) : MainHelp());
            return kExitOk;
        }
        if (!args.command) {
            std::cerr << "usage: vcloud-bridge [OPTIONS] COMMAND [ARGS...]\n"
                         "Try 'vcloud-bridge demo' for a tour, or 'vcloud-bridge --help' for the commands.\n";
            return kExitUsage;
        }
        const Settings settings = Settings::From(args);
        g_progressAllowed = !settings.quiet && ::isatty(STDERR_FILENO) == 1;
        int status;
        {
            Connection connection(settings);
            Context ctx{args, connection, std::cout};
            status = args.command->run(ctx);
            std::cout.flush();
            connection.close();
        }
        if (!std::cout) {
            // A reader that stopped early (| head) is no error worth a message; the status still says it.
            if (errno != EPIPE) std::cerr << "vcloud-bridge: error: cannot write the output\n";
            return kExitFailed;
        }
        return status;
    } catch (const UsageError& e) {
        std::cout.flush();
        std::cerr << "vcloud-bridge: " << e.what() << '\n';
        return kExitUsage;
    } catch (const OperationError& e) {
        std::cout.flush();
        std::cerr << "vcloud-bridge: error: " << e.what() << '\n';
        return kExitFailed;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "vcloud-bridge: error: " << e.what() << '\n';
        return kExitFailed;
    }
}

// A minimal agent built against the installed vCloudSDKCppBridge package: logs in, prints the cloud's
// version and its organisations, logs out.
//   consumer URL USER@ORG PASSWORD-FILE [WRAPPER-OPTIONS]
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <vCloudSDKCppBridge.h>

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::cerr << "usage: consumer URL USER@ORG PASSWORD-FILE [WRAPPER-OPTIONS]\n";
        return 2;
    }
    std::string password;
    std::ifstream file(argv[3]);
    if (!std::getline(file, password)) {
        std::cerr << "consumer: cannot read " << argv[3] << '\n';
        return 2;
    }

    vCloudSDKCppBridge::CVCloudSDKCppBridge bridge;
    if (!bridge.Initialize("", argc == 5 ? argv[4] : "", 0) || !bridge.Connect(argv[1], argv[2], password)) {
        std::cerr << "consumer: " << bridge.GetLastErrorString() << '\n';
        return 1;
    }
    VMInfoStructs::SMgmtVersion version;
    if (!bridge.GetMgmtVersionInfo(version)) {
        std::cerr << "consumer: " << bridge.GetLastErrorString() << '\n';
        return 1;
    }
    std::cout << "version " << version.strVersion << " build " << version.strBuild << '\n';

    VMInfoStructs::SInventoryInfo root;
    root.eType = VMInfoStructs::eInventoryCloud;
    std::vector<VMInfoStructs::SInventoryInfo> orgs;
    if (bridge.BrowseInventory("", root, orgs, MIN_VM_PROPS, 1) != 1) {
        std::cerr << "consumer: " << bridge.GetLastErrorString() << '\n';
        return 1;
    }
    for (const auto& org : orgs) std::cout << "organisation " << org.strName << '\n';
    bridge.Disconnect();
    return 0;
}

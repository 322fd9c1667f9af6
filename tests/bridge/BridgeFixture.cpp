// The shared bridge of a test process.
#include "BridgeFixture.h"

namespace bridge_test {

vCloudSDKCppBridge::CVCloudSDKCppBridge& SharedBridge() {
    static auto* bridge = new vCloudSDKCppBridge::CVCloudSDKCppBridge();
    return *bridge;
}

}  // namespace bridge_test

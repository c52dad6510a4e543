// The empty uplinks and the process-wide switches.
#include "base/Settings.h"

#include <atomic>

const char* const kMakerAddress = "https://zentok.example.org";

UplinksHandle noUplinks() {
    static const UplinksHandle none = std::make_shared<const Uplinks>();
    return none;
}

namespace {
std::atomic<bool> gTestMessageRun{false};
}  // namespace

void setTestMessageRun(bool testRun) {
    gTestMessageRun = testRun;
}
bool testMessageRun() {
    return gTestMessageRun;
}

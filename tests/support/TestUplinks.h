// The uplinks the channels a test builds by hand send through: one set per
// test program, changed by the test between sends like a configuration would.
#pragma once

#include <memory>

#include "base/Settings.h"

namespace testsupport {

inline std::shared_ptr<Uplinks> sharedTestUplinks() {
    static const std::shared_ptr<Uplinks> shared = std::make_shared<Uplinks>();
    return shared;
}
inline Uplinks& uplinks() {
    return *sharedTestUplinks();
}
inline UplinksHandle uplinksHandle() {
    return sharedTestUplinks();
}
inline void clearUplinks() {
    uplinks() = Uplinks{};
}

}  // namespace testsupport

// A node a test builds by hand gets its address as a load gives it. Header
// only: the benchmarks use it too and build no support library.
#pragma once

#include <string>

#include "base/Records.h"
#include "base/Text.h"
#include "sources/NodeAddress.h"

namespace testsupport {

// Writes `text` as the node's address and reads it as the load does: the
// ":TYPE" behind it (against the node's source, when it has one) and the
// typed device address, as a source of `sourceType` reads it. False, with
// the reason, when the type is unknown or does not fit.
inline bool setAddress(Node& node, const char* sourceType, const std::string& text,
                       std::string* why = nullptr) {
    copyText(node.address, text.c_str());
    std::string reason;
    return readNodeAddress(sourceType, &node, why ? why : &reason);
}

}  // namespace testsupport

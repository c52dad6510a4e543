// Fuzzes the template preparation and expansion with random node names,
// values, templates and output capacities. The output buffer has exactly the
// capacity passed, so any write past it is caught; a template without "{{"
// must come out unchanged as far as it fits.
//
// Input: byte 0 and 1 the capacity (1..8000), byte 2 the node count and
// value kinds, then lines: one name per node, the rest is the template.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/Text.h"
#include "cycle/Coupler.h"

namespace {

double valueOf(int kind, int index) {
    switch ((kind >> index) & 3) {
        case 0:
            return -1e300;
        case 1:
            return std::numeric_limits<double>::quiet_NaN();
        case 2:
            return -std::numeric_limits<double>::infinity();
        default:
            return index * 41.6 - 99999999.5;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    int capacity = 1 + ((data[0] << 8) | data[1]) % kTextSize;
    int names = data[2] % kMaxNodes;
    int kinds = data[2] >> 3;
    std::string rest(reinterpret_cast<const char*>(data + 3), size - 3);
    rest.resize(strnlen(rest.c_str(), rest.size()));  // texts end at the first NUL

    auto coupler = std::make_unique<Coupler>();
    coupler->sourceCount = 1;
    copyText(coupler->sources[0].name, "plant");
    SourceEntry* source = &coupler->sources[0];
    for (int i = 0; i < names; ++i) {
        size_t end = rest.find('\n');
        std::string name = rest.substr(0, end);
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
        Node& node = coupler->freeNode();
        ++coupler->nodeCount;
        node.source = (i == 1) ? nullptr : source;  // one node outside the source
        copyText(node.address, name.c_str());
        node.value = valueOf(kinds, i);
    }
    Node& notifying = coupler->freeNode();
    const int notifyingEntry = coupler->nodeCount++;
    notifying.source = source;
    copyText(notifying.message, rest.c_str());
    notifying.value = valueOf(kinds, 4);

    // The table may grow here: the notifying node is looked up again after it.
    coupler->prepareTemplates();
    if (coupler->nodeCount > kMaxNodes) std::abort();

    std::vector<char> out(capacity);
    const Node& notified = coupler->nodes[notifyingEntry];
    coupler->formatMessage(out.data(), capacity, &notified);
    size_t length = strnlen(out.data(), capacity);
    if (length >= static_cast<size_t>(capacity)) std::abort();  // not terminated

    if (!std::strstr(notified.message.c_str(), "{{")) {
        std::string expected(notified.message);
        if (expected.size() > static_cast<size_t>(capacity - 1)) expected.resize(capacity - 1);
        if (expected != std::string(out.data(), length)) std::abort();
    }
    return 0;
}

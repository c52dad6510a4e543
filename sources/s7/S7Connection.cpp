// S7Connection: connects to an S7 PLC through the S7 layer and reads one
// node per request, 1, 2 or 4 bytes, converted as the node's type says.
#include "sources/s7/S7Connection.h"

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "sources/NodeAddress.h"
#include "sources/ReadPlan.h"
#include "sources/ValueDecode.h"

namespace {

constexpr int kTimeoutUs = 5000000;
constexpr int kAdapterTrials = 5;
constexpr const char* kDefaultDriver = "s7onlinx.dll";
const char* gDriverLibrary = kDefaultDriver;

// The PLC answered the read with an error of its own (an item return code,
// a refused job) or the request was never sent: the link is sound, and
// only this node's read failed; the nodes behind it are still read.
bool answeredWithAnError(int result) {
    return result > 0 || result == daveErrJobRefused || result == daveErrInvalidArgs;
}

// The device address as the failure lines name it: upper-cased, without its ":TYPE".
std::string shownAddress(const Node& node) {
    char device[kNameSize];
    deviceAddressOf(node, device);
    std::string shown = device;
    for (char& c : shown) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return shown;
}

}  // namespace

void S7Connection::setDriverLibraryForTesting(const char* name) {
    gDriverLibrary = name ? name : kDefaultDriver;
}

S7Connection::~S7Connection() {
    disconnect();
}

bool S7Connection::isConnected() {
    return plc() != nullptr;
}

bool S7Connection::connect(const char* parameters) {
    // Whatever an earlier attempt left open (a USB interface whose adapter
    // never woke, for instance) is released before anything new is opened.
    disconnect();

    connected = false;
    kind = Tcp;
    port = 102;
    slot = 2;
    copyText(ipAddress, "127.0.0.1");

    char str[kNameSize];
    copyText(str, parameters);
    char* cursor = str;
    if (char* field = nextToken(&cursor, ":")) {
        if (equalsIgnoreCase(field, "mpi"))
            kind = Mpi;
        else if (equalsIgnoreCase(field, "usb"))
            kind = Usb;
        else
            kind = Tcp;
    }
    if (char* field = nextToken(&cursor, ":")) copyText(ipAddress, field);
    if (char* field = nextToken(&cursor, ":")) port = parseInt(field);
    if (char* field = nextToken(&cursor, ":")) slot = parseInt(field);

    openLink();
    return connected;
}

void S7Connection::openLink() {
    if (kind == Tcp)
        connectTcp();
    else if (kind == Usb)
        connectUsb();
    // MPI: no adapter of that kind can be opened; the source stays offline.
}

void S7Connection::connectTcp() {
    auto session = std::make_unique<S7Session>();
    if (!session->openTcp(ipAddress, port, kTimeoutUs)) return;
    session_ = std::move(session);
    connectPlc();
}

void S7Connection::connectUsb() {
    if (!dllProbed) {
        dllProbed = true;
        if (void* library = dlopen(gDriverLibrary, RTLD_NOW | RTLD_LOCAL)) {
            dlclose(library);
            dllPresent = true;
        } else {
            logf(Log::Always, "Simatic_USB: S7Online.dll missing\n");
        }
    }
    if (!dllPresent) return;

    session_ = std::make_unique<S7Session>();
    session_->openS7online(kTimeoutUs);
    for (int trial = 1; trial <= kAdapterTrials; ++trial) {
        int result = daveInitAdapter(session_->interface());
        logf(Log::Always, "initadapter: %s\n", daveStrerror(result));
        if (result == 0) {
            connectPlc();
            return;
        }
        daveDisconnectAdapter(session_->interface());
    }
    logf(Log::Always, "initadapter: max trials failed\n");
    connected = false;
}

void S7Connection::connectPlc() {
    int result = session_->connectPlc(slot);
    if (result != 0) {
        logf(Log::Always, "connectplc: %s\n", daveStrerror(result));
        // A PLC that refused the connection must not count as connected.
        disconnect();
    }
    connected = result == 0;
}

void S7Connection::disconnect() {
    session_.reset();
}

bool S7Connection::read(Node* node) {
    if (!node || node->address[0] == 0) return false;
    switch (node->device.kind) {
        case AddressKind::Offline:
            node->value = isConnected() ? 0.0 : 1.0;
            return true;
        case AddressKind::Skipped:
            return true;
        case AddressKind::S7:
            break;
        default:
            // Always printed: the read fails in every cycle, so the operator has
            // to learn which address is at fault.
            logf(Log::Always, "read plc: adr %s, err invalid address\n", shownAddress(*node).c_str());
            return false;
    }
    const S7Address& a = node->device.s7;

    unsigned char buf[10] = {};
    int result = daveReadBytes(plc(), a.area, a.dbNumber, a.start, a.byteCount, buf);
    if (result == daveErrClosedBeforeRequest) {
        // PLCs and gateways with an idle time-out close the link between
        // reads. Nothing was sent, so the request goes out on a new link
        // instead of failing this read.
        disconnect();
        openLink();
        if (isConnected()) result = daveReadBytes(plc(), a.area, a.dbNumber, a.start, a.byteCount, buf);
    }
    node->readError = result;
    if (result != 0) {
        logf(Log::Always, "read plc: adr %s, err %s\n", shownAddress(*node).c_str(), daveStrerror(result));
        if (!answeredWithAnError(result)) disconnect();
        return false;
    }
    return storeReading(node, decodeS7Value(node->valueType, a.type, a.bit, buf));
}

int S7Connection::pduLength() {
    return daveGetMaxPDULen(plc());
}

// An item the PLC refuses fails its node alone: the node is read on its own
// afterwards and its own read says what is wrong. A job that fails as a
// whole leaves every node to its own read.
bool S7Connection::readBlock(const ReadBlock& block, const Node* nodes, std::vector<BlockValue>* values) {
    int count = static_cast<int>(block.nodes.size());
    if (!isConnected() || block.kind != AddressKind::S7 || count < 1 || count > s7::kMaxReadItems)
        return false;
    s7::ReadItem items[s7::kMaxReadItems];
    for (int i = 0; i < count; ++i) {
        const S7Address& a = nodes[block.nodes[static_cast<size_t>(i)]].device.s7;
        bool timerOrCounter = a.area == daveTimer || a.area == daveCounter;
        items[i] = s7::ReadItem{a.area, a.dbNumber, a.start,
                                timerOrCounter ? (a.byteCount + 1) / 2 : a.byteCount, a.byteCount};
    }
    int results[s7::kMaxReadItems] = {};
    uint8_t data[s7::kMaxReadItems][s7::kMaxItemBytes] = {};
    int result = daveReadItems(plc(), items, count, results, data);
    if (result == daveErrClosedBeforeRequest) {
        // Nothing was sent: the job goes out on a new link, as a single read does.
        disconnect();
        openLink();
        if (!isConnected()) return false;
        result = daveReadItems(plc(), items, count, results, data);
    }
    if (result != 0) {
        if (!answeredWithAnError(result)) disconnect();
        return false;
    }
    values->assign(block.nodes.size(), BlockValue{});
    for (int i = 0; i < count; ++i) {
        if (results[i] != 0) continue;
        const Node& node = nodes[block.nodes[static_cast<size_t>(i)]];
        const S7Address& a = node.device.s7;
        (*values)[static_cast<size_t>(i)] =
            BlockValue{true, decodeS7Value(node.valueType, a.type, a.bit, data[i])};
    }
    return true;
}

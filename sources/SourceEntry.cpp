// SourceEntry: lazy connection, reconnection per node step, the "!OFFLINE"
// address and the source's own read interval.
#include "core/Clock.h"
#include "core/Coupler.h"
#include "core/Text.h"
#include "core/ThreadTable.h"
#include "sources/SourceConnection.h"

SourceEntry::SourceEntry() = default;
SourceEntry::~SourceEntry() = default;

bool SourceEntry::open() {
    if (isConnected()) return true;
    if (!connection) connection = createConnection(type);  // once, at the first read
    if (!connection) return false;
    return connection->connect(parameters);
}

bool SourceEntry::isConnected() { return connection && connection->isConnected(); }

bool SourceEntry::readNode(Node* node) {
    int64_t now = currentTime();
    if (!node) return false;
    // One connection attempt per node step is the only reconnection mechanism.
    if (!isConnected()) open();
    if (equalsIgnoreCase(node->address, "!OFFLINE")) {
        node->value = isConnected() ? 0.0 : 1.0;
        return true;
    }
    if (!isConnected()) return false;
    // A last read in the future (clock set back) counts as elapsed.
    if (lastRead + readInterval > now && lastRead <= now) return true;
    bool ok = connection->read(node);
    if (ok) lastRead = now;
    return ok;
}

void SourceEntry::startRead(Node* nodeTable, int count) {
    readDone.store(false, std::memory_order_release);
    failedReads = 0;
    nodes = nodeTable;
    nodeCount = count;
    ThreadHandle handle = startThread([this] { readThread(this); });
    if (!handle) {
        // A worker that cannot start counts as done: its nodes wait for the next cycle.
        markReadDone();
        return;
    }
    addThreadHandle(std::move(handle));
}

void SourceEntry::markReadDone() {
    std::lock_guard<std::mutex> lock(readDoneMutex);
    readDone.store(true, std::memory_order_release);
    readDoneSignal.notify_all();
}

void SourceEntry::waitReadDone() {
    std::unique_lock<std::mutex> lock(readDoneMutex);
    readDoneSignal.wait(lock, [this] { return readDone.load(std::memory_order_acquire); });
}

// SourceEntry and its worker: lazy connection, reconnection per node step
// with a back-off after a failed connect, the "!OFFLINE" address, the
// source's own read interval and the thread that walks the nodes of the
// source once per cycle.
#include "sources/SourceEntry.h"

#include <algorithm>
#include <system_error>

#include "base/Clock.h"
#include "base/Records.h"
#include "base/Text.h"
#include "sources/SourceConnection.h"
#include "sources/SourceWorker.h"
#include "sources/ValueDecode.h"
#include "trigger/Trigger.h"

namespace {

// A last read in the future (clock set back, hand-edited states) counts as elapsed.
bool nodeWaits(const Node& node, int64_t now) {
    return node.readInterval > 0 && node.lastRead + node.readInterval > now && node.lastRead <= now;
}

}  // namespace

bool readAndEvaluate(Node* node) {
    if (!node) return false;
    // A value the cycle's block read brought is stamped with the time of
    // that read, which spares a few hundred clock reads a cycle.
    bool fromBlock = node->source && node->source->hasBlockValue(node);
    int64_t now = fromBlock ? node->source->blocksReadAt : currentTime();
    if (nodeWaits(*node, now)) return true;
    if (!node->source) return false;
    double previous = node->value;
    if (!node->source->readNode(node, now)) {
        noteFailedRead(node);
        return false;
    }
    node->readError = 0;
    if (!fromBlock) now = currentTime();
    node->lastRead = now;
    // The source interval may have let this read through without traffic;
    // the trigger still runs on the kept value, so the node's state follows
    // the cycle and not the source's interval.
    if (fromBlock)
        evaluateTriggerAt(node, previous, now);
    else
        evaluateTrigger(node, previous);
    return true;
}

// An alarm bit sends no request: its value is its bit of the word's read,
// which comes before it in the table, and a failed read of the word fails it too.
void takeWordBit(const Node* table, Node* node) {
    const Node& word = table[node->wordEntry];
    if (word.readError != 0) {
        node->readError = word.readError;
        return;
    }
    double previous = node->value;
    uint32_t bits = word.raw > 0 && word.raw <= 4294967295.0 ? static_cast<uint32_t>(word.raw) : 0;
    node->raw = (bits >> node->bit) & 1u;
    node->value = node->raw;
    node->readError = 0;
    node->lastRead = word.lastRead;
    evaluateTrigger(node, previous);
}

namespace {

constexpr int kFirstConnectBackoffMs = 250;
constexpr int kLongestConnectBackoffMs = 4000;

}  // namespace

void readThread(SourceEntry* entry) {
    if (entry->nodes && entry->nodeCount > 0) {
        entry->readBlocks();
        for (int i = 0; i < entry->nodeCount; ++i) {
            Node* node = &entry->nodes[i];
            if (node->source != entry) continue;
            if (node->bit >= 0 && node->wordEntry >= 0 && node->wordEntry < entry->nodeCount) {
                takeWordBit(entry->nodes, node);
                continue;
            }
            if (readAndEvaluate(node)) {
                entry->goodReads++;
                continue;
            }
            entry->failedReads++;
            // A refused address or an exception answer concerns this node
            // alone; only a lost link makes the rest of the source wait for
            // the next cycle, as each of its nodes would wait for a time-out.
            // Those nodes count as failing too: their last read is not now.
            // An "!OFFLINE" node behind it still reads the link's state.
            if (!entry->isConnected()) {
                for (int rest = i + 1; rest < entry->nodeCount; ++rest) {
                    Node* other = &entry->nodes[rest];
                    if (other->source != entry) continue;
                    if (equalsIgnoreCase(other->address, "!OFFLINE"))
                        readAndEvaluate(other);
                    else
                        noteFailedRead(other);
                }
                break;
            }
        }
    }
    // Last write of the worker: after this the main thread owns the nodes again.
    entry->markReadDone();
}

SourceEntry::SourceEntry() = default;
SourceEntry::~SourceEntry() {
    stopWorker();
}

// After a failed connect the next attempt waits, doubling up to a few
// seconds: a device that refuses at once would otherwise be asked again at
// every node step, and with a read interval of 0 as fast as a core can loop.
bool SourceEntry::open() {
    if (isConnected()) return true;
    if (!connection) connection = createConnection(type);  // once, at the first read
    if (!connection) return false;
    if (steadyMs() < connectRetryAtMs) return false;
    if (connection->connect(parameters)) {
        connectBackoffMs = 0;
        connectRetryAtMs = 0;
        return true;
    }
    connectBackoffMs =
        std::min(std::max(2 * connectBackoffMs, kFirstConnectBackoffMs), kLongestConnectBackoffMs);
    connectRetryAtMs = steadyMs() + connectBackoffMs;
    return false;
}

int64_t SourceEntry::msUntilConnectAttempt() const {
    if (connectRetryAtMs == 0 || (connection && connection->isConnected())) return 0;
    return std::max<int64_t>(connectRetryAtMs - steadyMs(), 0);
}

bool SourceEntry::isConnected() {
    return connection && connection->isConnected();
}

bool SourceEntry::readNode(Node* node) {
    return readNode(node, currentTime());
}

bool SourceEntry::hasBlockValue(const Node* node) const {
    auto index = static_cast<size_t>(node - nodes);
    return nodes && node >= nodes && index < blockValues.size() && blockValues[index].ok;
}

bool SourceEntry::readNode(Node* node, int64_t now) {
    if (!node) return false;
    bool offlineNode = equalsIgnoreCase(node->address, "!OFFLINE");
    // One connection attempt per node step is the only reconnection mechanism.
    // A device that stopped answering is not taken back by a connect alone
    // (its kernel accepts even while it is stopped): the next read decides.
    if (!isConnected() && (answering || !offlineNode)) open();
    if (offlineNode) {
        node->value = isConnected() && answering ? 0.0 : 1.0;
        return true;
    }
    if (!isConnected()) return false;
    // A last read in the future (clock set back) counts as elapsed.
    if (lastRead + readInterval > now && lastRead <= now) return true;
    bool ok = false;
    if (hasBlockValue(node)) {
        // The cycle's block read brought it; the value lands now, in file order.
        auto index = static_cast<size_t>(node - nodes);
        blockValues[index].ok = false;
        ok = storeReading(node, blockValues[index].raw);
    } else {
        ok = connection->read(node);
    }
    if (ok) lastRead = now;
    if (ok) answering = true;
    if (!ok && !isConnected()) answering = false;
    return ok;
}

const std::vector<ReadBlock>& SourceEntry::readPlan() {
    int pdu = connection ? connection->pduLength() : 0;
    if (plannedNodes != nodes || plannedCount != nodeCount || plannedPdu != pdu) {
        plan = planReads(nodes, nodeCount, this, pdu);
        plannedNodes = nodes;
        plannedCount = nodeCount;
        plannedPdu = pdu;
    }
    return plan;
}

void SourceEntry::readBlocks() {
    blockValues.assign(static_cast<size_t>(std::max(nodeCount, 0)), BlockValue{});
    blockOutcomes.clear();
    if (!nodes || nodeCount <= 0) return;
    if (!isConnected()) open();
    int64_t now = currentTime();
    blocksReadAt = now;
    // The source's own interval lets no read through: the nodes keep their values.
    if (!isConnected() || (lastRead + readInterval > now && lastRead <= now)) return;
    std::vector<BlockValue> values;
    const std::vector<ReadBlock>& blocks = readPlan();
    blockOutcomes.assign(blocks.size(), BlockOutcome::Alone);
    for (size_t b = 0; b < blocks.size(); ++b) {
        const ReadBlock& block = blocks[b];
        int due = 0;
        for (int index : block.nodes) due += nodeWaits(nodes[index], now) ? 0 : 1;
        if (due < 2) continue;
        if (!isConnected()) break;
        bool read = connection->readBlock(block, nodes, &values);
        blockOutcomes[b] = read ? BlockOutcome::Read : BlockOutcome::Failed;
        if (!read) continue;
        for (size_t i = 0; i < block.nodes.size() && i < values.size(); ++i)
            blockValues[static_cast<size_t>(block.nodes[i])] = values[i];
    }
}

// One worker per source lives as long as its entry and is woken for every
// cycle: starting and joining a thread each cycle cost more than the reads of
// a fast device.
void SourceEntry::startRead(Node* nodeTable, int count) {
    {
        std::lock_guard<std::mutex> lock(readDoneMutex);
        if (stopping) {
            // A stopped worker reads nothing more; the cycle must not wait for it.
            readDone.store(true, std::memory_order_release);
            return;
        }
        readDone.store(false, std::memory_order_release);
        failedReads = 0;
        goodReads = 0;
        nodes = nodeTable;
        nodeCount = count;
        ++cyclesRequested;
    }
    if (!worker.joinable()) {
        try {
            worker = std::thread([this] { serveCycles(); });
        } catch (const std::system_error&) {
            // A worker that cannot start counts as done: its nodes wait for the next cycle.
            markReadDone();
            return;
        }
    }
    readDoneSignal.notify_all();
}

void SourceEntry::serveCycles() {
    uint64_t served = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(readDoneMutex);
            readDoneSignal.wait(lock, [&] { return stopping || cyclesRequested != served; });
            if (stopping) return;
            served = cyclesRequested;
        }
        readThread(this);
    }
}

void SourceEntry::stopWorker() {
    {
        std::lock_guard<std::mutex> lock(readDoneMutex);
        stopping = true;
    }
    readDoneSignal.notify_all();
    // Between cycles the worker waits for the next one, so this returns at once.
    if (worker.joinable()) worker.join();
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

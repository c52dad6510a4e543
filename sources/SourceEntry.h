// A source of the configuration: its connection and the worker thread that
// reads its nodes once per cycle and hands them back to the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Records.h"
#include "sources/ReadPlan.h"
#include "sources/SourceConnection.h"

struct SourceEntry {
    Node* nodes = nullptr;  // the node table handed to the worker each cycle
    int nodeCount = 0;
    std::atomic<bool> readDone{false};  // released by the worker, acquired by the main thread
    std::mutex readDoneMutex;           // with readDoneSignal, wakes the main thread at the hand-over
    std::condition_variable readDoneSignal;
    std::unique_ptr<SourceConnection> connection;
    char name[kNameSize] = {};
    char pass[kNameSize] = {};
    char type[kNameSize] = {};
    char parameters[kNameSize] = {};
    int unitId = kNoUnitId;  // Modbus unit identifier from the parameters; none: 0 sent, answers not checked
    int readInterval = 0;
    int64_t lastRead = 0;
    int failedReads = 0;       // reads of the last cycle that failed; written by the worker before readDone
    int goodReads = 0;         // reads of the last cycle that succeeded; written as failedReads is
    int connectBackoffMs = 0;  // the wait after the last failed connect; 0 while none failed
    int64_t connectRetryAtMs = 0;  // steady clock: no connect attempt before this
    // False from a read that lost the link until a read is answered again: a
    // device that accepts connections but answers nothing (a stopped
    // process, a hung PLC behind its communication processor) is offline.
    bool answering = true;
    // The requests of a cycle, planned at its first read of this node table
    // (again when a new link negotiates another PDU length), and what the
    // last cycle's block reads brought, by node index.
    std::vector<ReadBlock> plan;
    const Node* plannedNodes = nullptr;
    int plannedCount = 0;
    int plannedPdu = -1;
    std::vector<BlockValue> blockValues;
    int64_t blocksReadAt = 0;  // the clock when the cycle's block requests went out
    // What became of each block of the plan in the last cycle.
    enum class BlockOutcome : uint8_t { Alone, Read, Failed };
    std::vector<BlockOutcome> blockOutcomes;
    std::thread worker;            // reads the nodes once per cycle, from the first cycle on
    uint64_t cyclesRequested = 0;  // guarded by readDoneMutex
    bool stopping = false;         // guarded by readDoneMutex

    SourceEntry();
    ~SourceEntry();
    SourceEntry(const SourceEntry&) = delete;
    SourceEntry& operator=(const SourceEntry&) = delete;

    // Connects unless connected already or a failed connect is still in its back-off.
    bool open();
    bool isConnected();
    // Milliseconds until a connect may be tried again; 0 when connected or not waiting.
    int64_t msUntilConnectAttempt() const;
    // Takes the unit identifier from a Modbus source's parameters
    // ("tcp:address:port:unit", 0..255; the RTU forms' 1..247); false when
    // the parameters cannot be used as written (the load says why).
    bool readUnitId();
    bool readNode(Node* node);
    // The same with the time the caller read from the clock already.
    bool readNode(Node* node, int64_t now);
    // The cycle's block read brought this node's value, not yet taken.
    bool hasBlockValue(const Node* node) const;
    // The cycle's block requests, before its nodes are walked in file order;
    // a block of fewer than two due nodes is left to the nodes' own reads.
    void readBlocks();
    // The plan for the node table handed over, made anew when it changed.
    const std::vector<ReadBlock>& readPlan();
    void startRead(Node* nodeTable, int count);
    // The worker's last step: hands the nodes back and wakes the main thread.
    void markReadDone();
    // Blocks the main thread until the worker has handed its nodes back.
    void waitReadDone();
    // The worker's life: one pass over the nodes per requested cycle.
    void serveCycles();
    // Ends the worker; it is idle between cycles.
    void stopWorker();
};

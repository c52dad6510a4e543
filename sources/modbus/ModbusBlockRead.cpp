// ModbusConnection's block read: one request for the objects of several
// nodes of a table. A failure of any kind leaves the nodes to be read one by
// one in the same cycle, so a bad address inside a block fails alone.
#include <cstring>

#include "base/Log.h"
#include "base/Records.h"
#include "base/ValueText.h"
#include "sources/ReadPlan.h"
#include "sources/SourceEntry.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/modbus/ModbusBlock.h"
#include "sources/modbus/ModbusConnection.h"

bool ModbusConnection::exchange(uint8_t function, uint16_t start, uint16_t quantity, int unitId,
                                size_t* frameSize) {
    ++transactionId_;
    if (transactionId_ == 0) ++transactionId_;
    uint8_t request[kModbusRequestSize];
    buildModbusRequest(request, transactionId_, function, start, quantity,
                       static_cast<uint8_t>(unitId == kNoUnitId ? 0 : unitId));
    return requestAnswer(request, frameSize);
}

bool ModbusConnection::readBlock(const ReadBlock& block, const Node* nodes, std::vector<BlockValue>* values) {
    if (!isConnected() || block.kind != AddressKind::Modbus || block.nodes.empty()) return false;
    uint8_t function = modbusFunctionFor(block.table);
    const Node& leader = nodes[block.nodes.front()];
    int unitId = leader.source ? leader.source->unitId : kNoUnitId;
    logf(Log::Read, "ModbusRead, IP %s, Addr %d:%d, %d objects\n", ipAddress_, block.table, block.start,
         block.quantity);
    size_t frameSize = 0;
    if (!exchange(function, static_cast<uint16_t>(block.start), static_cast<uint16_t>(block.quantity), unitId,
                  &frameSize))
        return false;
    const uint8_t* data = nullptr;
    ModbusAnswer answer = checkModbusBlockResponse(answer_, frameSize, transactionId_, function,
                                                   static_cast<unsigned>(block.quantity), unitId, &data);
    if (answer.outcome != ModbusOutcome::Value) {
        // Each node is asked again on its own, and its own read says what is wrong.
        logf(Log::Failure,
             "-ModbusRead, block %d:%d of %d objects failed (%s %d), reading its nodes one by one\n",
             block.table, block.start, block.quantity,
             answer.outcome == ModbusOutcome::Exception ? "exception" : "outcome",
             answer.outcome == ModbusOutcome::Exception ? answer.code : static_cast<int>(answer.outcome));
        if (answer.outcome == ModbusOutcome::Malformed) close();
        return false;
    }
    bool bits = function == 1 || function == 2;
    values->assign(block.nodes.size(), BlockValue{});
    for (size_t i = 0; i < block.nodes.size(); ++i) {
        int first = 0, last = 0;
        const Node& node = nodes[block.nodes[i]];
        if (!modbusSpan(node, &first, &last) || first < block.start || last >= block.start + block.quantity)
            continue;
        double raw = modbusBlockValue(node, bits, first - block.start, data);
        (*values)[i] = BlockValue{true, raw};
        if (logging(Log::Trace))
            logf(Log::Trace, "+ModbusRead: %d:%d = %s\n", block.table, first, formatValue(raw, true).c_str());
    }
    return true;
}

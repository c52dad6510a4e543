// The read plan: Modbus nodes grouped by table and nearness, S7 nodes packed
// into as few "read variable" jobs as the PDU length carries.
#include "sources/ReadPlan.h"

#include <algorithm>
#include <cstdio>

#include "sources/ValueType.h"
#include "sources/s7/S7Codes.h"
#include "sources/s7/S7Frame.h"

namespace {

bool isBitTable(int table) {
    return table == 0 || table == 1;
}

struct Span {
    int table;
    int first;
    int last;
    int index;
};

// Sorted by table and register, the nodes of one table that lie close
// together become one block, as long as it stays within the limit.
void planModbus(const Node* nodes, int count, const SourceEntry* source, std::vector<ReadBlock>* out) {
    std::vector<Span> spans;
    for (int i = 0; i < count; ++i) {
        Span s{0, 0, 0, i};
        if (nodes[i].source != source || !modbusSpan(nodes[i], &s.first, &s.last)) continue;
        s.table = nodes[i].device.modbus.table;
        spans.push_back(s);
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.table != b.table ? a.table < b.table : a.first < b.first;
    });
    ReadBlock* block = nullptr;
    int end = 0;  // the last object the current block reads
    for (const Span& s : spans) {
        bool bits = isBitTable(s.table);
        int gap = bits ? kModbusBitGap : kModbusRegisterGap;
        int limit = bits ? kModbusBlockBits : kModbusBlockRegisters;
        if (block && block->table == s.table && s.first - end - 1 <= gap &&
            std::max(end, s.last) - block->start + 1 <= limit) {
            end = std::max(end, s.last);
        } else {
            out->push_back(ReadBlock{AddressKind::Modbus, s.table, s.first, 0, {}});
            block = &out->back();
            end = s.last;
        }
        block->quantity = end - block->start + 1;
        block->nodes.push_back(s.index);
    }
    for (ReadBlock& b : *out) std::sort(b.nodes.begin(), b.nodes.end());
}

// The bytes an item takes in the request and in the answer of a read job.
constexpr int kS7RequestItem = 12;
constexpr int kS7AnswerItemHeader = 4;

int s7AnswerBytes(const S7Address& a) {
    bool timerOrCounter = a.area == daveTimer || a.area == daveCounter;
    return s7::answerBytes(a.area, timerOrCounter ? (a.byteCount + 1) / 2 : a.byteCount);
}

// In file order, each job takes items while its request and its answer (each
// item's data padded to an even length) fit the PDU.
void planS7(const Node* nodes, int count, const SourceEntry* source, int pduLength,
            std::vector<ReadBlock>* out) {
    ReadBlock* block = nullptr;
    int requestBytes = 0;
    int answerBytes = 0;
    for (int i = 0; i < count; ++i) {
        if (nodes[i].source != source || nodes[i].device.kind != AddressKind::S7) continue;
        int data = s7AnswerBytes(nodes[i].device.s7);
        int itemAnswer = kS7AnswerItemHeader + data + (data % 2);
        bool fits = block && block->quantity < kS7MaxItems && requestBytes + kS7RequestItem <= pduLength &&
                    answerBytes + itemAnswer <= pduLength;
        if (!fits) {
            out->push_back(ReadBlock{AddressKind::S7, 0, 0, 0, {}});
            block = &out->back();
            requestBytes = s7::kS7JobHeaderSize + 2;
            answerBytes = s7::kS7AckHeaderSize + 2;
        }
        requestBytes += kS7RequestItem;
        answerBytes += itemAnswer;
        block->quantity++;
        block->nodes.push_back(i);
    }
}

const char* tableName(int table) {
    switch (table) {
        case 0:
            return "coils";
        case 1:
            return "discrete inputs";
        case 3:
            return "input registers";
        default:
            return "holding registers";
    }
}

}  // namespace

bool modbusSpan(const Node& node, int* first, int* last) {
    if (node.device.kind != AddressKind::Modbus) return false;
    const ModbusAddress& a = node.device.modbus;
    int objects = isBitTable(a.table) ? 1 : modbusRegisterCount(node.valueType);
    *first = a.reg;
    *last = a.reg + objects - 1;
    return true;
}

std::vector<ReadBlock> planReads(const Node* nodes, int count, const SourceEntry* source, int s7PduLength) {
    std::vector<ReadBlock> blocks;
    if (!nodes) return blocks;
    planModbus(nodes, count, source, &blocks);
    planS7(nodes, count, source, s7PduLength, &blocks);
    std::stable_sort(blocks.begin(), blocks.end(), [](const ReadBlock& a, const ReadBlock& b) {
        return a.nodes.front() < b.nodes.front();
    });
    return blocks;
}

std::string describeBlock(const ReadBlock& block, const Node* nodes) {
    char text[160];
    int count = static_cast<int>(block.nodes.size());
    if (block.kind == AddressKind::Modbus) {
        std::snprintf(text, sizeof text, "%s %d:%d to %d:%d, %d node%s", tableName(block.table), block.table,
                      block.start, block.table, block.start + block.quantity - 1, count,
                      count == 1 ? "" : "s");
    } else {
        std::snprintf(text, sizeof text, "S7 read of %d item%s from %s", count, count == 1 ? "" : "s",
                      nodes[block.nodes.front()].label());
    }
    return text;
}

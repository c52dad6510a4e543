// Block reads: which nodes of a source one request reads together. The plan
// is made from the typed device addresses, once per load (an S7 plan again
// when the PDU length of a new link differs), never from the text.
#pragma once

#include <string>
#include <vector>

#include "base/Records.h"

// Registers a Modbus request may read over that no node asks for: 16
// registers (32 bytes more in the answer) cost less than a round trip. A gap
// wider than that is two requests. Bits (coils, discrete inputs) pack eight
// to a byte, so their gap may be 256.
constexpr int kModbusRegisterGap = 16;
constexpr int kModbusBitGap = 256;
// The protocol's limits for one read: 125 registers, 2000 bits.
constexpr int kModbusBlockRegisters = 125;
constexpr int kModbusBlockBits = 2000;
// S7 CPUs take at most 20 items in one "read variable" job.
constexpr int kS7MaxItems = 20;

// One request of a cycle and the nodes whose values it brings.
struct ReadBlock {
    AddressKind kind = AddressKind::Invalid;  // Modbus or S7
    int table = 0;                            // Modbus: the table
    int start = 0;                            // Modbus: first register or bit
    int quantity = 0;                         // Modbus: registers or bits asked for; S7: items
    std::vector<int> nodes;                   // indices into the node table, in file order
};

// The requests one cycle makes for the nodes of `source` in the table: Modbus
// nodes of one table whose objects lie within the gap, within the protocol's
// limits; S7 nodes in file order, as many per request as a PDU of
// `s7PduLength` bytes carries (each its own request when it is 0). The
// blocks come in the file order of their first node; a node whose address
// names nothing has none.
std::vector<ReadBlock> planReads(const Node* nodes, int count, const SourceEntry* source, int s7PduLength);

// The first and the last object a Modbus node reads; false for a node that is no Modbus object.
bool modbusSpan(const Node& node, int* first, int* last);

// "holding registers 4:10 to 4:40, 3 nodes", for the probe.
std::string describeBlock(const ReadBlock& block, const Node* nodes);

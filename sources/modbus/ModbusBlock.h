// The answer to a block read: one request for many registers or bits, and
// each node's raw value taken from its place in the answer. Pure functions
// on byte buffers, like the frame of a single read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/Records.h"
#include "sources/modbus/ModbusFrame.h"

// Checks a received frame (exactly `size` bytes) as the answer to a read of
// `quantity` objects and points `data` at its data bytes: one bit each for
// coils and discrete inputs, packed from the low bit up, two bytes for each
// register. The outcome and code are those of checkModbusResponse; `data`
// is set only for Value. Never reads beyond `size`.
ModbusAnswer checkModbusBlockResponse(const uint8_t* frame, size_t size, uint16_t transactionId,
                                      uint8_t function, unsigned quantity, int unitId, const uint8_t** data);

// The raw value of the node whose object lies `offset` objects after the
// block's start, from the block's data bytes; `bits` for coils and inputs.
// The caller has checked that the node's objects lie inside the block.
double modbusBlockValue(const Node& node, bool bits, int offset, const uint8_t* data);

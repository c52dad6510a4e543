// Modbus TCP framing: the MBAP header, the frame-length rule that the client
// and the plant simulator share, the read request and the check of the
// device's answer. Pure functions on byte buffers, so the parts that see
// untrusted bytes can be tested and fuzzed without a socket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sources/ByteCursor.h"

// A Modbus TCP frame is at most 260 bytes: the 7-byte MBAP header and a PDU
// of at most 253 bytes.
constexpr size_t kModbusFrameSize = 260;
constexpr size_t kMbapHeaderSize = 7;
// The smallest frame: the MBAP header and a function code.
constexpr size_t kModbusMinFrame = kMbapHeaderSize + 1;
constexpr size_t kModbusRequestSize = 12;

// The header that leads every Modbus TCP frame.
struct MbapHeader {
    uint16_t transactionId = 0;
    uint16_t protocolId = 0;  // 0 is Modbus
    uint16_t length = 0;      // bytes behind this field: the unit identifier and the PDU
    uint8_t unitId = 0;
};

MbapHeader readMbapHeader(ByteReader& in);
void writeMbapHeader(ByteWriter& out, const MbapHeader& header);

// How many bytes the frame starting in `data` has in all, from its MBAP
// header: 0 while fewer bytes than the smallest frame are there to tell, -1
// when the header cannot start a valid frame (protocol identifier not 0,
// length below 2 or beyond the 260-byte frame).
int modbusFrameLength(const uint8_t* data, size_t size);

// The most registers one read asks for: a 32-bit value takes two.
constexpr unsigned kMaxModbusRegisters = 2;

// Builds the 12-byte request for one object of a valid address, or for
// `quantity` registers from it (function 3 or 4), to unit `unitId`.
void buildModbusRequest(uint8_t* out, uint16_t transactionId, uint8_t function, uint16_t reg,
                        uint16_t quantity = 1, uint8_t unitId = 0);

enum class ModbusOutcome {
    Value,          // `value` holds the object's value
    WrongTid,       // the answer belongs to another request
    Exception,      // the device refused; `code` holds the exception code
    WrongFunction,  // another function code; `code` holds it
    WrongUnit,      // another unit identifier than the one asked; `code` holds it
    Malformed,      // the bytes cannot be a complete answer to this request
};

struct ModbusAnswer {
    ModbusOutcome outcome = ModbusOutcome::Malformed;
    int code = 0;
    double value = 0.0;                            // the bit or the first register
    uint16_t registers[kMaxModbusRegisters] = {};  // the registers, for a read of more than one
};

// The checks every answer passes before its data: its length, transaction
// id, unit, an exception and the function. Value when the data may be read
// from `in` (a reader over `frame`), which then stands at the byte count.
ModbusAnswer checkModbusAnswerHead(const uint8_t* frame, size_t size, uint16_t transactionId,
                                   uint8_t function, int unitId, ByteReader& in);

// Checks one received frame (exactly `size` bytes) against the request that
// was sent and takes the value. `quantity` registers were asked for (1 for
// a bit); a `unitId` of 0..255 must be echoed, -1 is not checked. Never
// reads beyond `size`.
ModbusAnswer checkModbusResponse(const uint8_t* frame, size_t size, uint16_t transactionId, uint8_t function,
                                 unsigned quantity = 1, int unitId = -1);

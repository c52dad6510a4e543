// Modbus TCP framing: node addresses, the read request and the check of the
// device's answer. Pure functions on byte buffers, so the parts that see
// untrusted bytes can be tested and fuzzed without a socket.
#pragma once

#include <cstddef>
#include <cstdint>

// The answer buffer; a Modbus TCP frame is at most 260 bytes (7-byte MBAP
// header plus a PDU of at most 253 bytes).
constexpr size_t kModbusFrameSize = 260;
constexpr size_t kModbusRequestSize = 12;
// MBAP header (7 bytes) plus the function code.
constexpr size_t kModbusHeaderSize = 8;

// A node address: "table:register", or one number N that is split into
// table N / 100000 and register N mod 100000.
struct ModbusAddress {
    int table = 0;
    int reg = 0;
};

ModbusAddress parseModbusAddress(const char* text);

// Tables 0, 1, 3 and 4 and registers 0..65535 can be read.
bool isValidModbusAddress(const ModbusAddress& address);

// The function code that reads one object of the table: coils 1, discrete
// inputs 2, input registers 4, holding registers 3; 0 for other tables.
uint8_t modbusFunctionFor(int table);

// Builds the 12-byte request for one object of a valid address.
void buildModbusRequest(uint8_t* out, uint16_t transactionId, uint8_t function, uint16_t reg);

// How many bytes the frame starting in `data` has in all, from its MBAP
// header: 0 while fewer than 8 bytes are there to tell, -1 when the header
// cannot start a valid answer (protocol identifier not 0, length below 2 or
// beyond the 260-byte buffer).
int modbusFrameLength(const uint8_t* data, size_t size);

enum class ModbusOutcome {
    Value,          // `value` holds the object's value
    WrongTid,       // the answer belongs to another request
    Exception,      // the device refused; `code` holds the exception code
    WrongFunction,  // another function code; `code` holds it
    Malformed,      // the bytes cannot be a complete answer to this request
};

struct ModbusAnswer {
    ModbusOutcome outcome = ModbusOutcome::Malformed;
    int code = 0;
    double value = 0.0;
};

// Checks one received frame (exactly `size` bytes) against the request that
// was sent and takes the value. Never reads beyond `size`.
ModbusAnswer checkModbusResponse(const uint8_t* frame, size_t size, uint16_t transactionId, uint8_t function);

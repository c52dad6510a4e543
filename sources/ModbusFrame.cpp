// Modbus TCP framing: the MBAP header and the read requests and answers of
// function codes 1 to 4, as the public Modbus application protocol and its
// TCP/IP implementation guide lay them out.
#include "sources/ModbusFrame.h"

#include <cstring>

#include "core/Text.h"

ModbusAddress parseModbusAddress(const char* text) {
    ModbusAddress address;
    if (!text) return address;
    const char* colon = std::strchr(text, ':');
    if (colon) {
        address.table = parseInt(text);
        address.reg = parseInt(colon + 1);
    } else {
        int n = parseInt(text);
        address.table = n / 100000;
        address.reg = n % 100000;
    }
    return address;
}

bool isValidModbusAddress(const ModbusAddress& address) {
    if (address.reg < 0 || address.reg > 0xFFFF) return false;
    return modbusFunctionFor(address.table) != 0;
}

uint8_t modbusFunctionFor(int table) {
    switch (table) {
        case 0: return 1;  // Read Coils
        case 1: return 2;  // Read Discrete Inputs
        case 3: return 4;  // Read Input Registers
        case 4: return 3;  // Read Holding Registers
        default: return 0;
    }
}

void buildModbusRequest(uint8_t* out, uint16_t transactionId, uint8_t function, uint16_t reg) {
    out[0] = static_cast<uint8_t>(transactionId >> 8);  // transaction identifier
    out[1] = static_cast<uint8_t>(transactionId & 0xFF);
    out[2] = 0;  // protocol identifier: 0 is Modbus
    out[3] = 0;
    out[4] = 0;  // length of what follows: unit, function, address, quantity
    out[5] = 6;
    out[6] = 0;  // unit identifier
    out[7] = function;
    out[8] = static_cast<uint8_t>(reg >> 8);  // start address, sent as configured
    out[9] = static_cast<uint8_t>(reg & 0xFF);
    out[10] = 0;  // quantity: one object
    out[11] = 1;
}

int modbusFrameLength(const uint8_t* data, size_t size) {
    if (size < kModbusHeaderSize) return 0;
    if (data[2] != 0 || data[3] != 0) return -1;
    int length = data[4] * 256 + data[5];  // unit identifier and PDU
    // At least the unit identifier and a function code, and the whole frame
    // must fit the answer buffer.
    if (length < 2 || 6 + length > static_cast<int>(kModbusFrameSize)) return -1;
    return 6 + length;
}

ModbusAnswer checkModbusResponse(const uint8_t* frame, size_t size, uint16_t transactionId, uint8_t function) {
    ModbusAnswer answer;
    int length = modbusFrameLength(frame, size);
    if (length <= 0 || static_cast<size_t>(length) != size) return answer;

    if (frame[0] * 256 + frame[1] != transactionId) {
        answer.outcome = ModbusOutcome::WrongTid;
        return answer;
    }
    uint8_t code = frame[7];
    if (code == static_cast<uint8_t>(function + 0x80)) {
        if (size < 9) return answer;  // an exception answer carries its code in byte 8
        answer.outcome = ModbusOutcome::Exception;
        answer.code = frame[8];
        return answer;
    }
    if (code != function) {
        answer.outcome = ModbusOutcome::WrongFunction;
        answer.code = code;
        return answer;
    }
    // One object was asked for: one data byte for a bit, two for a register.
    bool bits = function == 1 || function == 2;
    size_t count = bits ? 1 : 2;
    if (size != 9 + count || frame[8] != count) return answer;
    answer.outcome = ModbusOutcome::Value;
    answer.value = bits ? static_cast<double>(frame[9] & 1) : static_cast<double>(frame[9] * 256 + frame[10]);
    return answer;
}

// Modbus RTU framing: the unit address, the PDU, then the CRC-16 with its
// low byte first, as every RTU device on a serial line or gateway expects it.
#include "sources/modbus/ModbusRtuFrame.h"

#include "sources/ByteCursor.h"
#include "sources/modbus/ModbusFrame.h"

namespace {

constexpr size_t kCrcSize = 2;

// The functions that answer with a byte count after the function code: the
// reads of coils, discrete inputs, holding and input registers, and
// read/write multiple registers.
bool answersWithByteCount(unsigned function) {
    return (function >= 1 && function <= 4) || function == 23;
}

// The writes echo address and value or quantity: four bytes behind the code.
bool answersWithEcho(unsigned function) {
    return function == 5 || function == 6 || function == 15 || function == 16;
}

}  // namespace

uint16_t modbusCrc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

size_t rtuFrameFromTcp(const uint8_t* tcp, size_t size, uint8_t* rtu, size_t capacity) {
    int length = modbusFrameLength(tcp, size);
    if (length <= 0 || static_cast<size_t>(length) != size) return 0;
    // The MBAP length counts the unit identifier and the PDU: exactly the
    // RTU frame without its CRC.
    size_t body = size - (kMbapHeaderSize - 1);
    ByteWriter out(rtu, capacity);
    out.putBytes(tcp + kMbapHeaderSize - 1, body);
    uint16_t crc = modbusCrc16(tcp + kMbapHeaderSize - 1, body);
    out.put8(crc & 0xFF);
    out.put8(crc >> 8);
    return out.overflow() ? 0 : out.size();
}

int rtuAnswerLength(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned function = data[1];
    if (function & 0x80) return static_cast<int>(kRtuMinAnswer);  // exception: one code byte
    if (answersWithEcho(function)) return static_cast<int>(2 + 4 + kCrcSize);
    if (!answersWithByteCount(function)) return -1;
    if (size < 3) return 0;
    size_t total = 3 + data[2] + kCrcSize;
    return total > kRtuFrameSize ? -1 : static_cast<int>(total);
}

RtuCheck tcpFrameFromRtu(const uint8_t* rtu, size_t size, uint16_t transactionId, uint8_t* tcp,
                         size_t capacity, size_t* tcpSize) {
    if (size < kRtuMinAnswer - 1 || size > kRtuFrameSize) return RtuCheck::Malformed;
    size_t body = size - kCrcSize;
    uint16_t sent = static_cast<uint16_t>(rtu[body] | (rtu[body + 1] << 8));
    if (modbusCrc16(rtu, body) != sent) return RtuCheck::BadCrc;
    ByteWriter out(tcp, capacity);
    MbapHeader header;
    header.transactionId = transactionId;
    header.length = static_cast<uint16_t>(body);  // unit identifier and PDU
    header.unitId = rtu[0];
    writeMbapHeader(out, header);
    out.putBytes(rtu + 1, body - 1);
    if (out.overflow()) return RtuCheck::Malformed;
    *tcpSize = out.size();
    return RtuCheck::Ok;
}

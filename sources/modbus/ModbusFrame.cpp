// Modbus TCP framing: the MBAP header and the read requests and answers of
// function codes 1 to 4, as the public Modbus application protocol and its
// TCP/IP implementation guide lay them out.
#include "sources/modbus/ModbusFrame.h"

namespace {

// Bytes of the frame in front of the MBAP length field's count.
constexpr size_t kBeforeLengthCount = 6;

ModbusAnswer outcome(ModbusOutcome what, int code = 0) {
    ModbusAnswer answer;
    answer.outcome = what;
    answer.code = code;
    return answer;
}

}  // namespace

MbapHeader readMbapHeader(ByteReader& in) {
    MbapHeader header;
    header.transactionId = static_cast<uint16_t>(in.u16());  // 0-1
    header.protocolId = static_cast<uint16_t>(in.u16());     // 2-3
    header.length = static_cast<uint16_t>(in.u16());         // 4-5
    header.unitId = static_cast<uint8_t>(in.u8());           // 6
    return header;
}

void writeMbapHeader(ByteWriter& out, const MbapHeader& header) {
    out.put16(header.transactionId);  // 0-1: transaction identifier
    out.put16(header.protocolId);     // 2-3: protocol identifier
    out.put16(header.length);         // 4-5: length of what follows
    out.put8(header.unitId);          // 6: unit identifier
}

int modbusFrameLength(const uint8_t* data, size_t size) {
    if (size < kModbusMinFrame) return 0;
    ByteReader in(data, size);
    MbapHeader header = readMbapHeader(in);
    if (header.protocolId != 0) return -1;
    // At least the unit identifier and a function code, and the whole frame
    // must fit the largest frame.
    size_t total = kBeforeLengthCount + header.length;
    if (header.length < 2 || total > kModbusFrameSize) return -1;
    return static_cast<int>(total);
}

void buildModbusRequest(uint8_t* out, uint16_t transactionId, uint8_t function, uint16_t reg,
                        uint16_t quantity, uint8_t unitId) {
    ByteWriter w(out, kModbusRequestSize);
    MbapHeader header;
    header.transactionId = transactionId;
    header.length = 6;  // unit, function, address, quantity
    header.unitId = unitId;
    writeMbapHeader(w, header);
    w.put8(function);   // 7: function code
    w.put16(reg);       // 8-9: start address, sent as configured
    w.put16(quantity);  // 10-11: quantity of objects
}

ModbusAnswer checkModbusAnswerHead(const uint8_t* frame, size_t size, uint16_t transactionId,
                                   uint8_t function, int unitId, ByteReader& in) {
    int length = modbusFrameLength(frame, size);
    if (length <= 0 || static_cast<size_t>(length) != size) return outcome(ModbusOutcome::Malformed);
    MbapHeader header = readMbapHeader(in);
    if (header.transactionId != transactionId) return outcome(ModbusOutcome::WrongTid);
    if (unitId >= 0 && header.unitId != unitId) return outcome(ModbusOutcome::WrongUnit, header.unitId);
    unsigned code = in.u8();
    if (code == static_cast<uint8_t>(function + 0x80)) {
        unsigned exceptionCode = in.u8();
        if (in.overrun()) return outcome(ModbusOutcome::Malformed);
        return outcome(ModbusOutcome::Exception, static_cast<int>(exceptionCode));
    }
    if (code != function) return outcome(ModbusOutcome::WrongFunction, static_cast<int>(code));
    return outcome(ModbusOutcome::Value);
}

ModbusAnswer checkModbusResponse(const uint8_t* frame, size_t size, uint16_t transactionId, uint8_t function,
                                 unsigned quantity, int unitId) {
    ByteReader in(frame, size);
    ModbusAnswer head = checkModbusAnswerHead(frame, size, transactionId, function, unitId, in);
    if (head.outcome != ModbusOutcome::Value) return head;

    // One data byte for a bit, two for each register asked for.
    bool bits = function == 1 || function == 2;
    if (quantity < 1 || quantity > kMaxModbusRegisters || (bits && quantity != 1))
        return outcome(ModbusOutcome::Malformed);
    unsigned count = bits ? 1 : 2 * quantity;
    unsigned byteCount = in.u8();
    if (in.overrun() || byteCount != count || in.remaining() != count)
        return outcome(ModbusOutcome::Malformed);
    ModbusAnswer answer = outcome(ModbusOutcome::Value);
    if (bits) {
        answer.value = static_cast<double>(in.u8() & 1);
        return answer;
    }
    for (unsigned i = 0; i < quantity; ++i) answer.registers[i] = static_cast<uint16_t>(in.u16());
    answer.value = answer.registers[0];
    return answer;
}

// Block answers of function codes 1 to 4: the same header checks as a single
// read, a byte count that must match the quantity asked for exactly.
#include "sources/modbus/ModbusBlock.h"

#include "sources/ValueDecode.h"
#include "sources/ValueType.h"

namespace {

ModbusAnswer outcome(ModbusOutcome what, int code = 0) {
    ModbusAnswer answer;
    answer.outcome = what;
    answer.code = code;
    return answer;
}

}  // namespace

ModbusAnswer checkModbusBlockResponse(const uint8_t* frame, size_t size, uint16_t transactionId,
                                      uint8_t function, unsigned quantity, int unitId, const uint8_t** data) {
    int length = modbusFrameLength(frame, size);
    if (length <= 0 || static_cast<size_t>(length) != size) return outcome(ModbusOutcome::Malformed);
    ByteReader in(frame, size);
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
    bool bits = function == 1 || function == 2;
    unsigned count = bits ? (quantity + 7) / 8 : 2 * quantity;
    unsigned byteCount = in.u8();
    if (quantity < 1 || in.overrun() || byteCount != count || in.remaining() != count)
        return outcome(ModbusOutcome::Malformed);
    *data = in.take(count);
    return outcome(ModbusOutcome::Value);
}

double modbusBlockValue(const Node& node, bool bits, int offset, const uint8_t* data) {
    if (bits) return static_cast<double>((data[offset / 8] >> (offset % 8)) & 1);
    uint16_t registers[kMaxModbusRegisters] = {};
    int count = modbusRegisterCount(node.valueType);
    for (int i = 0; i < count && i < static_cast<int>(kMaxModbusRegisters); ++i) {
        const uint8_t* p = data + 2 * static_cast<size_t>(offset + i);
        registers[i] = static_cast<uint16_t>((p[0] << 8) | p[1]);
    }
    if (node.valueType == ValueType::Plain) return registers[0];
    return decodeModbusRegisters(node.valueType, node.wordOrder, registers);
}

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
    ByteReader in(frame, size);
    ModbusAnswer head = checkModbusAnswerHead(frame, size, transactionId, function, unitId, in);
    if (head.outcome != ModbusOutcome::Value) return head;
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

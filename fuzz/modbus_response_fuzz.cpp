// Fuzzes the check of a Modbus TCP answer: the request's transaction id,
// function code, register count and unit id from the first three bytes, the
// frame from the rest, and the decoding of the registers as every type. The
// frame is copied to a buffer of exactly its size so that any read beyond it
// is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sources/ValueDecode.h"
#include "sources/ValueType.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/modbus/ModbusBlock.h"
#include "sources/modbus/ModbusFrame.h"

namespace {

// Every value type in both word orders: a value in the type's range, or a
// float's NaN or infinity.
void decodeAsEveryType(const uint16_t* registers) {
    static const ValueType kTypes[] = {ValueType::Plain, ValueType::Int16, ValueType::Uint32,
                                       ValueType::Int32, ValueType::Float32};
    for (ValueType type : kTypes)
        for (WordOrder order : {WordOrder::ABCD, WordOrder::CDAB}) {
            double v = decodeModbusRegisters(type, order, registers);
            bool inRange = true;
            if (type == ValueType::Int16) inRange = v >= -32768 && v <= 32767 && v == static_cast<int>(v);
            if (type == ValueType::Uint32) inRange = v >= 0 && v <= 4294967295.0;
            if (type == ValueType::Int32) inRange = v >= -2147483648.0 && v <= 2147483647.0;
            if (!inRange) abort();
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint16_t tid = static_cast<uint16_t>(data[0] << 8 | data[1]);
    static const uint8_t functions[] = {1, 2, 3, 4};
    uint8_t function = functions[data[2] & 3];
    bool bits = function <= 2;
    unsigned quantity = bits ? 1 : 1 + ((data[2] >> 2) & 1);
    int unitId = (data[2] & 0x80) ? data[1] : -1;
    std::vector<uint8_t> frame(data + 3, data + size);

    int length = modbusFrameLength(frame.data(), frame.size());
    if (length > static_cast<int>(kModbusFrameSize)) abort();
    ModbusAnswer answer = checkModbusResponse(frame.data(), frame.size(), tid, function, quantity, unitId);
    if (answer.outcome == ModbusOutcome::Value) {
        // A value is only ever taken from a whole frame of this request.
        if (length != static_cast<int>(frame.size())) abort();
        if (frame[0] != data[0] || frame[1] != data[1] || frame[7] != function) abort();
        if (unitId >= 0 && frame[6] != unitId) abort();
        if (!bits && frame[8] != 2 * quantity) abort();
        if (bits && answer.value != 0.0 && answer.value != 1.0) abort();
        if (answer.value < 0.0 || answer.value > 65535.0) abort();
        decodeAsEveryType(answer.registers);
    }
    // The same bytes as the answer to a block read: the data it points at
    // lies inside the frame and holds exactly what the quantity asks for.
    unsigned blockQuantity = 1 + data[1] % (bits ? 2000 : 125);
    const uint8_t* blockData = nullptr;
    ModbusAnswer block = checkModbusBlockResponse(frame.data(), frame.size(), tid, function, blockQuantity,
                                                  unitId, &blockData);
    if (block.outcome == ModbusOutcome::Value) {
        size_t bytes = bits ? (blockQuantity + 7) / 8 : 2 * blockQuantity;
        if (!blockData || blockData + bytes != frame.data() + frame.size()) abort();
    }

    // The same bytes as a node address text. An empty frame's data() may be
    // null, which memcpy must not be given even for no bytes.
    char address[100] = {};
    size_t n = frame.size() < sizeof address - 1 ? frame.size() : sizeof address - 1;
    if (n > 0) std::memcpy(address, frame.data(), n);
    ModbusAddress parsed = parseModbusAddress(address);
    if (isValidModbusAddress(parsed) &&
        (parsed.reg < 0 || parsed.reg > 0xFFFF || modbusFunctionFor(parsed.table) == 0))
        abort();

    // ... and with a type behind it: a fitting two-register type never runs past register 65535.
    ValueSpec spec;
    std::string why;
    if (parseValueSuffix(address, &spec, &why)) {
        if (spec.typeAt < 0 || spec.typeAt >= static_cast<int>(sizeof address)) abort();
        std::string device(address,
                           static_cast<size_t>(spec.typeAt > 0 ? spec.typeAt : std::strlen(address)));
        if (valueTypeFits("modbus", device.c_str(), spec, &why) && spec.type != ValueType::Plain) {
            ModbusAddress typed = parseModbusAddress(device.c_str());
            if (typed.reg + modbusRegisterCount(spec.type) - 1 > 0xFFFF) abort();
        }
    }
    return 0;
}

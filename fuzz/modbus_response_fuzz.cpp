// Fuzzes the check of a Modbus TCP answer: the request's transaction id and
// function code from the first three bytes, the frame from the rest. The
// frame is copied to a buffer of exactly its size so that any read beyond it
// is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sources/modbus/ModbusAddress.h"
#include "sources/modbus/ModbusFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint16_t tid = static_cast<uint16_t>(data[0] << 8 | data[1]);
    static const uint8_t functions[] = {1, 2, 3, 4};
    uint8_t function = functions[data[2] & 3];
    std::vector<uint8_t> frame(data + 3, data + size);

    int length = modbusFrameLength(frame.data(), frame.size());
    if (length > static_cast<int>(kModbusFrameSize)) abort();
    ModbusAnswer answer = checkModbusResponse(frame.data(), frame.size(), tid, function);
    if (answer.outcome == ModbusOutcome::Value) {
        // A value is only ever taken from a whole frame of this request.
        if (length != static_cast<int>(frame.size())) abort();
        if (frame[0] != data[0] || frame[1] != data[1] || frame[7] != function) abort();
        bool bits = function <= 2;
        if (bits && answer.value != 0.0 && answer.value != 1.0) abort();
        if (answer.value < 0.0 || answer.value > 65535.0) abort();
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
    return 0;
}

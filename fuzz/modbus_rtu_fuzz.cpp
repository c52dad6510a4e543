// Fuzzes the RTU line's side of an answer: the bytes arrive one at a time
// until their function code tells the frame's length, the frame's CRC is
// checked and it goes on as the TCP frame of the request, which the one
// answer check takes. The first byte picks the register count asked for.
// Buffers are exactly as large as the bytes they hold.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sources/modbus/ModbusFrame.h"
#include "sources/modbus/ModbusRtuFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    unsigned quantity = 1 + (data[0] & 1);
    std::vector<uint8_t> line(data + 1, data + size);
    int length = 0;
    size_t got = 0;
    while (length == 0 && got < line.size()) {
        std::vector<uint8_t> piece(line.begin(), line.begin() + static_cast<long>(++got));
        length = rtuAnswerLength(piece.data(), piece.size());
    }
    if (length > static_cast<int>(kRtuFrameSize)) abort();
    if (length <= 0 || static_cast<size_t>(length) > line.size()) return 0;
    std::vector<uint8_t> frame(line.begin(), line.begin() + length);
    std::vector<uint8_t> tcp(kModbusFrameSize);
    size_t tcpSize = 0;
    RtuCheck check = tcpFrameFromRtu(frame.data(), frame.size(), 7, tcp.data(), tcp.size(), &tcpSize);
    if (check != RtuCheck::Ok) return 0;
    // A frame passes only with the CRC of its bytes.
    size_t body = frame.size() - 2;
    if (modbusCrc16(frame.data(), body) != (frame[body] | frame[body + 1] << 8)) abort();
    if (tcpSize != body + 6 || tcp[6] != frame[0]) abort();
    tcp.resize(tcpSize);
    ModbusAnswer answer = checkModbusResponse(tcp.data(), tcp.size(), 7, 3, quantity, frame[0]);
    if (answer.outcome == ModbusOutcome::Value && answer.value > 65535.0) abort();
    return 0;
}

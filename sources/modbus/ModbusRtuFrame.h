// Modbus RTU framing: the serial line's frame (unit address, PDU, CRC-16)
// and its translation from and to the Modbus TCP frame the client builds and
// checks, so a read works the same over TCP, an RTU gateway and a serial
// port. Pure functions on byte buffers, like ModbusFrame.
#pragma once

#include <cstddef>
#include <cstdint>

// An RTU frame is at most 256 bytes: the unit address, a PDU of at most 253
// bytes and the two CRC bytes.
constexpr size_t kRtuFrameSize = 256;
// The shortest answer: address, function code, exception code, CRC.
constexpr size_t kRtuMinAnswer = 5;

// The CRC-16 of the Modbus serial line: polynomial 0xA001 (reflected 0x8005),
// starting from 0xFFFF. It is sent low byte first.
uint16_t modbusCrc16(const uint8_t* data, size_t size);

// The RTU frame of a Modbus TCP request frame: the MBAP header's unit
// identifier as the address, the PDU, the CRC. Its size, or 0 when `tcp` is no
// whole TCP frame or `capacity` too small.
size_t rtuFrameFromTcp(const uint8_t* tcp, size_t size, uint8_t* rtu, size_t capacity);

// How many bytes the RTU answer starting in `data` has in all, told by its
// function code: 0 while too few bytes are there to tell, -1 when the
// function code is none whose answer length is known (the bytes are noise or
// out of step).
int rtuAnswerLength(const uint8_t* data, size_t size);

enum class RtuCheck {
    Ok,        // the TCP frame was written
    BadCrc,    // the CRC does not match the bytes
    Malformed  // too short, or the frame does not fit
};

// Checks the CRC of one whole RTU answer (exactly `size` bytes) and writes it
// as the Modbus TCP frame with `transactionId` that the request would have
// had, unit identifier from the address byte; `*tcpSize` its size.
RtuCheck tcpFrameFromRtu(const uint8_t* rtu, size_t size, uint16_t transactionId, uint8_t* tcp,
                         size_t capacity, size_t* tcpSize);

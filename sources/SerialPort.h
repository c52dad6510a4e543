// A serial port in raw mode, non-blocking, with bounded waits in poll: the
// open with its character format, and the write, read and flush steps the
// Modbus RTU line uses. Failures come back as the socket steps' net::Result,
// so the callers report both alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sources/Socket.h"

// The character format of a serial line.
struct SerialFormat {
    int baud = 19200;
    int dataBits = 8;
    char parity = 'E';  // 'N', 'E' or 'O'
    int stopBits = 1;
};

namespace serial {

struct Opened {
    int fd = -1;            // the open port, never 0; -1 when it failed
    int error = 0;          // errno of the failed step
    const char* step = "";  // "open" or "configure"
};

// Opens `device` for this process alone (TIOCEXCL), raw, 8 bits as the
// format says, no flow control, input and output flushed.
Opened openPort(const char* device, const SerialFormat& format);

// The bits of one character on the line: start bit, data bits, parity bit,
// stop bits.
int characterBits(const SerialFormat& format);
// Microseconds one character takes on the line, rounded up.
int64_t characterTimeUs(const SerialFormat& format);

// Writes all `length` bytes, waiting in poll while the driver's buffer is full.
net::Result writeAll(int fd, const uint8_t* data, size_t length, const net::Deadline& deadline);

// Waits for at least one byte, then reads what is there, up to `capacity`.
// A port that vanished (USB adapter unplugged: hang-up, a read of 0, EIO,
// ENODEV) ends Closed or Failed.
net::Result readSome(int fd, uint8_t* data, size_t capacity, const net::Deadline& deadline);

// Drops what was received and not yet read; Failed when the port is gone.
net::Result discardInput(int fd);

}  // namespace serial

// The line RTU frames travel on: a serial port, or the TCP socket of a
// gateway that puts them on its serial line. On a serial port the silent
// interval between frames is kept: 3.5 character times, 1.75 ms above 19200
// baud. Every wait is a poll or a sleep, never a busy loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "sources/SerialPort.h"
#include "sources/Socket.h"

class ModbusRtuLine {
  public:
    // The line on `fd`: a serial port in `format`, or a gateway's socket.
    void attach(int fd, bool serial, const SerialFormat& format);

    // Drops what came after the last answer; false when the line is gone.
    bool discardStale();
    // Sends one frame once the line has been silent long enough.
    net::Result send(const uint8_t* frame, size_t size, const net::Deadline& deadline);
    net::Result receive(uint8_t* data, size_t capacity, const net::Deadline& deadline);
    // After an answer that failed its check: drops bytes until the line has
    // been quiet for a while, so the next answer is read from its start.
    void resynchronise(const net::Deadline& deadline);

    // `deadline` moved on by the time `bytes` take on a slow serial line (a
    // full answer at 1200 baud takes 2.3 s); unchanged on a socket.
    net::Deadline allowingFor(const net::Deadline& deadline, size_t bytes) const;

    // The gap that must separate two frames on this line; 0 on a socket.
    int64_t silentIntervalUs() const { return silentUs_; }

  private:
    using Clock = std::chrono::steady_clock;

    static constexpr size_t kSinkSize = 256;

    int fd_ = -1;
    bool serial_ = false;
    int64_t characterUs_ = 0;
    int64_t silentUs_ = 0;
    Clock::time_point quietFrom_{};  // the next frame may start from then on
};

// ModbusRtuLine: the silent interval and the resynchronisation of the RTU
// line, over a serial port or a socket.
#include "sources/modbus/ModbusRtuLine.h"

#include <algorithm>
#include <thread>

namespace {

// Above 19200 baud the silent interval is fixed (Modbus over serial line,
// 2.5.1.1), so a fast line does not depend on the timer's resolution.
constexpr int kFixedIntervalAboveBaud = 19200;
constexpr int64_t kFixedSilentUs = 1750;
// How long the line must stay quiet before a damaged answer counts as over.
// Longer than the 16 ms a USB serial adapter may hold bytes before it
// passes them on, so its late pieces are not taken for the next answer.
constexpr int64_t kResyncQuietUs = 20000;

// 3.5 x the bits of a character / baud, in whole microseconds rounded up.
int64_t threeAndAHalfCharactersUs(const SerialFormat& format) {
    int64_t twiceBaud = 2 * static_cast<int64_t>(std::max(format.baud, 1));
    return (serial::characterBits(format) * INT64_C(7000000) + twiceBaud - 1) / twiceBaud;
}

}  // namespace

void ModbusRtuLine::attach(int fd, bool serial, const SerialFormat& format) {
    fd_ = fd;
    serial_ = serial;
    characterUs_ = serial ? serial::characterTimeUs(format) : 0;
    if (!serial)
        silentUs_ = 0;
    else if (format.baud > kFixedIntervalAboveBaud)
        silentUs_ = kFixedSilentUs;
    else
        silentUs_ = threeAndAHalfCharactersUs(format);
    quietFrom_ = Clock::now();
}

bool ModbusRtuLine::discardStale() {
    net::Result dropped = serial_ ? serial::discardInput(fd_) : net::discardQueued(fd_);
    return dropped.ok();
}

net::Result ModbusRtuLine::send(const uint8_t* frame, size_t size, const net::Deadline& deadline) {
    if (!serial_) return net::sendAll(fd_, frame, size, deadline);
    std::this_thread::sleep_until(quietFrom_);
    net::Result written = serial::writeAll(fd_, frame, size, deadline);
    // write returns once the driver holds the bytes; they are on the line
    // for another character time each.
    quietFrom_ =
        Clock::now() + std::chrono::microseconds(characterUs_ * static_cast<int64_t>(size) + silentUs_);
    return written;
}

net::Result ModbusRtuLine::receive(uint8_t* data, size_t capacity, const net::Deadline& deadline) {
    net::Result got = serial_ ? serial::readSome(fd_, data, capacity, deadline)
                              : net::receiveSome(fd_, data, capacity, deadline);
    if (got.ok()) quietFrom_ = std::max(quietFrom_, Clock::now() + std::chrono::microseconds(silentUs_));
    return got;
}

net::Deadline ModbusRtuLine::allowingFor(const net::Deadline& deadline, size_t bytes) const {
    if (!serial_) return deadline;
    return net::Deadline::afterUs(static_cast<int64_t>(deadline.remainingMs()) * 1000 +
                                  characterUs_ * static_cast<int64_t>(bytes));
}

void ModbusRtuLine::resynchronise(const net::Deadline& deadline) {
    uint8_t sink[kSinkSize];
    for (;;) {
        int64_t quietUs = std::max(kResyncQuietUs, silentUs_);
        int64_t leftUs = static_cast<int64_t>(deadline.remainingMs()) * 1000;
        if (leftUs <= 0) break;
        net::Deadline quiet = net::Deadline::afterUs(std::min(quietUs, leftUs));
        if (!receive(sink, sizeof sink, quiet).ok()) break;  // quiet, or gone: the next request sees which
    }
    discardStale();
}

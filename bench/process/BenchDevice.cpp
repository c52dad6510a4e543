// The bench's own Modbus device (see BenchDevice.h): one connection at a
// time, function codes 3 and 4 for one register, anything else answered
// with exception 1.
#include "BenchDevice.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "support/TestSupport.h"

namespace {

constexpr int kHeaderBytes = 7;  // MBAP: transaction, protocol, length, unit
constexpr int kRequestBytes = 12;

bool readExactly(int fd, uint8_t* buffer, int size) {
    for (int got = 0; got < size;) {
        ssize_t n = recv(fd, buffer + got, static_cast<size_t>(size - got), 0);
        if (n <= 0) return false;
        got += static_cast<int>(n);
    }
    return true;
}

}  // namespace

BenchDevice::BenchDevice() {
    listener_ = testsupport::listenOnLoopback(4, &port_);
    if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

BenchDevice::~BenchDevice() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
}

void BenchDevice::serve() {
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) continue;
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        answer(fd);
        close(fd);
    }
}

void BenchDevice::answer(int fd) {
    uint8_t request[kRequestBytes];
    while (!stop_) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 100) == 0) continue;
        // The program sends only reads of one object: a 12-byte request.
        if (!readExactly(fd, request, kRequestBytes)) return;
        int function = request[7];
        int number = request[8] << 8 | request[9];  // 400001 is register 1 on the wire
        uint8_t reply[kHeaderBytes + 4] = {request[0], request[1], 0, 0, 0, 0, request[6]};
        int pduBytes = 3;
        if ((function == 3 || function == 4) && number >= 1 && number <= kRegisters) {
            int value = values_[number - 1];
            reads_[number - 1]++;
            served_[number - 1] = value;
            reply[7] = static_cast<uint8_t>(function);
            reply[8] = 2;  // byte count
            reply[9] = static_cast<uint8_t>(value >> 8);
            reply[10] = static_cast<uint8_t>(value);
            pduBytes = 4;
        } else {
            reply[7] = static_cast<uint8_t>(function | 0x80);
            reply[8] = 1;  // illegal function
            pduBytes = 2;
        }
        reply[5] = static_cast<uint8_t>(pduBytes + 1);  // length: unit and PDU
        if (send(fd, reply, static_cast<size_t>(kHeaderBytes + pduBytes), MSG_NOSIGNAL) < 0) return;
    }
}

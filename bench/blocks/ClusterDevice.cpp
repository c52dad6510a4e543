// The bench's block device: function 3 for any register range the protocol
// allows; everything else is refused with exception 1.
#include "blocks/ClusterDevice.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "support/TestSupport.h"

namespace {

constexpr int kRequestBytes = 12;
constexpr int kHeaderBytes = 7;

bool readExactly(int fd, uint8_t* out, int size) {
    int got = 0;
    while (got < size) {
        ssize_t n = recv(fd, out + got, static_cast<size_t>(size - got), 0);
        if (n <= 0) return false;
        got += static_cast<int>(n);
    }
    return true;
}

}  // namespace

ClusterDevice::ClusterDevice() {
    listener_ = testsupport::listenOnLoopback(8, &port_);
    if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

ClusterDevice::~ClusterDevice() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : connections_) t.join();
    if (listener_ >= 0) close(listener_);
}

void ClusterDevice::serve() {
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) continue;
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.emplace_back([this, fd] {
            answer(fd);
            close(fd);
        });
    }
}

void ClusterDevice::answer(int fd) {
    uint8_t request[kRequestBytes];
    uint8_t reply[kHeaderBytes + 2 + 250];
    while (!stop_) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 100) == 0) continue;
        if (!readExactly(fd, request, kRequestBytes)) return;
        ++requests_;
        int function = request[7];
        int start = request[8] << 8 | request[9];
        int count = request[10] << 8 | request[11];
        for (int i = 0; i < kHeaderBytes; ++i) reply[i] = request[i];
        int pduBytes = 0;
        if (function == 3 && count >= 1 && count <= 125 && start + count <= 65536) {
            reply[7] = 3;
            reply[8] = static_cast<uint8_t>(2 * count);
            for (int i = 0; i < count; ++i) {
                reply[9 + 2 * i] = static_cast<uint8_t>((start + i) >> 8);
                reply[10 + 2 * i] = static_cast<uint8_t>(start + i);
            }
            pduBytes = 2 + 2 * count;
        } else {
            reply[7] = static_cast<uint8_t>(function | 0x80);
            reply[8] = 1;  // illegal function
            pduBytes = 2;
        }
        reply[4] = static_cast<uint8_t>((pduBytes + 1) >> 8);
        reply[5] = static_cast<uint8_t>(pduBytes + 1);
        if (send(fd, reply, static_cast<size_t>(kHeaderBytes + pduBytes), MSG_NOSIGNAL) < 0) return;
    }
}

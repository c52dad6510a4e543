// TCP client sockets with bounded waits: the connect, send and receive steps
// that the Modbus connection and the S7 layer share. Every socket is
// non-blocking; every wait ends at a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace net {

// A point on the monotonic clock by which an operation must be done, so that
// a step of the wall clock can neither stretch nor cut a wait.
class Deadline {
  public:
    static Deadline afterMs(int64_t ms) { return Deadline(std::chrono::milliseconds(ms)); }
    static Deadline afterUs(int64_t us) { return Deadline(std::chrono::microseconds(us)); }
    // Milliseconds left, rounded up so that a wait never ends early; 0 once passed.
    int remainingMs() const;

  private:
    explicit Deadline(std::chrono::microseconds span) : at_(std::chrono::steady_clock::now() + span) {}
    std::chrono::steady_clock::time_point at_;
};

// How a send or receive ended. `error` holds errno for Failed; `count` the
// bytes moved before the operation ended, whatever its status.
enum class Status { Ok, Timeout, Closed, Failed };

struct Result {
    Status status = Status::Ok;
    int error = 0;
    size_t count = 0;
    bool ok() const { return status == Status::Ok; }
};

// The step of connectTcp that failed.
enum class ConnectStep { Address, Create, NonBlocking, Connect };

struct Connection {
    int fd = -1;  // the connected socket, or -1
    ConnectStep failedStep = ConnectStep::Connect;
    int error = 0;  // errno of the failed step; EINVAL for an address or port that cannot be used
};

// Connects to a dotted IPv4 address and a port, giving up after timeoutMs
// instead of the system's minutes-long time-out. The socket is non-blocking
// and sends at once (TCP_NODELAY): requests are small and wait for their
// answer. The descriptor is never 0, which callers may use for none.
Connection connectTcp(const char* address, int port, int timeoutMs);

// Waits until fd is ready for `events` (POLLIN, POLLOUT). 1 ready, 0 the
// deadline passed, -1 poll failed (errno set).
int waitReady(int fd, short events, const Deadline& deadline);

// Sends all `length` bytes. A peer that has closed the link fails the send
// with EPIPE, never with a signal.
Result sendAll(int fd, const uint8_t* data, size_t length, const Deadline& deadline);

// Waits for at least one byte, then receives what is there, up to `capacity`.
Result receiveSome(int fd, uint8_t* data, size_t capacity, const Deadline& deadline);

// Told of each piece receiveExact takes: its size and how many were still wanted.
using ChunkHook = void (*)(size_t received, size_t wanted);

// Receives exactly `length` bytes; the peer may send them in any number of segments.
Result receiveExact(int fd, uint8_t* data, size_t length, const Deadline& deadline, ChunkHook hook = nullptr);

// Drops whatever is queued on the socket without waiting. Bounded, so that a
// peer that never stops sending cannot hold the caller. Ok with the count
// dropped, or Closed / Failed when the peer has closed or reset the link.
Result discardQueued(int fd);

// Closes fd when it is open and sets it to -1.
void closeSocket(int& fd);

}  // namespace net

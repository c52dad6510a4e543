// TCP client sockets on POSIX: a bounded non-blocking connect, and send and
// receive loops that wait in poll until their deadline.
#include "sources/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace net {

namespace {

Connection failedAt(ConnectStep step, int error) {
    Connection c;
    c.failedStep = step;
    c.error = error;
    return c;
}

Result ended(Status status, int error, size_t count) {
    Result r;
    r.status = status;
    r.error = error;
    r.count = count;
    return r;
}

// Descriptor 0 means "none" to some callers; with standard input closed a
// new socket can get it, so it is moved up.
int awayFromZero(int fd) {
    if (fd != 0) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// The outcome of a non-blocking connect: 0 or the errno that ended it.
int finishConnect(int fd, const sockaddr_in& peer, int timeoutMs) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    int ready = waitReady(fd, POLLOUT, Deadline::afterMs(timeoutMs));
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return errno;
    return soError;
}

}  // namespace

int Deadline::remainingMs() const {
    auto now = std::chrono::steady_clock::now();
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(at_ - now).count();
    if (left <= 0) return 0;
    return static_cast<int>((left + 999) / 1000);
}

Connection connectTcp(const char* address, int port, int timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    if (!address || port < 1 || port > 65535 || ::inet_pton(AF_INET, address, &peer.sin_addr) != 1)
        return failedAt(ConnectStep::Address, EINVAL);
    peer.sin_port = htons(static_cast<uint16_t>(port));

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd >= 0) fd = awayFromZero(fd);
    if (fd < 0) return failedAt(ConnectStep::Create, errno);

    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        int error = errno;
        closeSocket(fd);
        return failedAt(ConnectStep::NonBlocking, error);
    }
    int error = finishConnect(fd, peer, timeoutMs);
    if (error != 0) {
        closeSocket(fd);
        return failedAt(ConnectStep::Connect, error);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection c;
    c.fd = fd;
    return c;
}

int waitReady(int fd, short events, const Deadline& deadline) {
    for (;;) {
        int ms = deadline.remainingMs();
        if (ms <= 0) return 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, ms);
        if (n > 0) return 1;
        if (n < 0 && errno != EINTR) return -1;
        // poll may wake a little early; the clock decides
    }
}

Result sendAll(int fd, const uint8_t* data, size_t length, const Deadline& deadline) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitReady(fd, POLLOUT, deadline);
            if (ready == 1) continue;
            if (ready == 0) return ended(Status::Timeout, ETIMEDOUT, sent);
        }
        return ended(Status::Failed, errno, sent);
    }
    return ended(Status::Ok, 0, sent);
}

Result receiveSome(int fd, uint8_t* data, size_t capacity, const Deadline& deadline) {
    for (;;) {
        int ready = waitReady(fd, POLLIN, deadline);
        if (ready == 0) return ended(Status::Timeout, ETIMEDOUT, 0);
        if (ready < 0) return ended(Status::Failed, errno, 0);
        ssize_t n = ::recv(fd, data, capacity, MSG_DONTWAIT);
        if (n > 0) return ended(Status::Ok, 0, static_cast<size_t>(n));
        if (n == 0) return ended(Status::Closed, 0, 0);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return ended(Status::Failed, errno, 0);
    }
}

Result receiveExact(int fd, uint8_t* data, size_t length, const Deadline& deadline, ChunkHook hook) {
    size_t got = 0;
    while (got < length) {
        Result piece = receiveSome(fd, data + got, length - got, deadline);
        if (!piece.ok()) return ended(piece.status, piece.error, got);
        if (hook) hook(piece.count, length - got);
        got += piece.count;
    }
    return ended(Status::Ok, 0, got);
}

Result discardQueued(int fd) {
    uint8_t sink[512];
    size_t dropped = 0;
    for (int chunk = 0; chunk < 64; ++chunk) {
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            dropped += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return ended(Status::Closed, 0, dropped);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return ended(Status::Failed, errno, dropped);
    }
    return ended(Status::Ok, 0, dropped);
}

void closeSocket(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace net

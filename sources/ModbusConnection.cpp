// ModbusConnection on POSIX sockets: a bounded non-blocking connect, one
// request per node read and a poll-driven wait for the whole answer.
#include "sources/ModbusConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/Coupler.h"
#include "core/Log.h"
#include "core/Text.h"

namespace {

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The answer deadline is the start of the second after next on the wall
// clock, so it lies 1 to 2 seconds after the request. It is kept on the
// monotonic clock so that a clock step cannot stretch or cut the wait.
int64_t answerDeadlineMs() {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    int64_t intoSecond = wall.tv_nsec / 1000000;
    return monotonicMs() + 2000 - intoSecond;
}

// Waits for `events` on fd until the deadline. 1 ready, 0 deadline passed,
// -1 poll failed (errno set).
int waitFor(int fd, short events, int64_t deadlineMs) {
    for (;;) {
        int64_t left = deadlineMs - monotonicMs();
        if (left < 0) left = 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return 1;
        if (n == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

ModbusConnection::~ModbusConnection() { close(); }

bool ModbusConnection::isConnected() { return isOpen_ && sock_ != -1; }

void ModbusConnection::close() {
    if (sock_ == -1 && !isOpen_) return;  // nothing was ever opened
    if (logLevel() >= 3) printf("Closing ModbusTCP connection to %s\n", ipAddress_);
    if (sock_ != -1) ::close(sock_);
    sock_ = -1;
    isOpen_ = false;
    if (logLevel() >= 4) printf("ModbusTCP connection to %s closed\n", ipAddress_);
}

bool ModbusConnection::connect(const char* parameters) {
    if (isConnected()) close();
    sock_ = -1;
    isOpen_ = false;
    copyText(ipAddress_, "127.0.0.1");
    port_ = 502;
    if (!parameters) return false;

    char str[100];
    copyText(str, parameters);
    char* cursor = str;
    char* kind = nextToken(&cursor, ":");
    if (!kind || !equalsIgnoreCase(kind, "tcp")) {
        printf("-Modbus, invalid adr (%s)\n", parameters);
        return false;
    }
    char* address = nextToken(&cursor, ":");
    if (address && *address) copyText(ipAddress_, address);
    char* portText = nextToken(&cursor, ":");
    if (portText) port_ = parseInt(portText);

    if (logLevel() >= 3) printf("Modbus connect: IP '%s', port %d\n", ipAddress_, port_);
    return openLink();
}

bool ModbusConnection::openLink() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        printf("socket function failed with error = %d\n", errno);
        return false;
    }
    sock_ = fd;

    // Non-blocking from the start: the connect is bounded by our own time-out.
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        if (logLevel() >= 1) printf("-NB-Mode (%s:%d), %ld\n", ipAddress_, port_, static_cast<long>(errno));
        close();
        return false;
    }

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    long error = 0;
    if (port_ < 1 || port_ > 65535 || inet_pton(AF_INET, ipAddress_, &peer.sin_addr) != 1) {
        error = EINVAL;  // not a dotted IPv4 address or not a TCP port
    } else {
        peer.sin_port = htons(static_cast<uint16_t>(port_));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                int ready = waitFor(fd, POLLOUT, monotonicMs() + kConnectTimeoutMs);
                if (ready == 1) {
                    int soError = 0;
                    socklen_t len = sizeof soError;
                    error = getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 ? soError : errno;
                } else {
                    error = ready == 0 ? ETIMEDOUT : errno;
                }
            }
        }
    }
    if (error != 0) {
        if (logLevel() >= 1) printf("-Connect (%s:%d), %ld\n", ipAddress_, port_, error);
        close();
        return false;
    }

    // Requests are 12 bytes each and wait for their answer: send at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    isOpen_ = true;
    if (logLevel() >= 4) printf("ModbusTCP connection to %s open\n", ipAddress_);
    return true;
}

// Bytes that came in after the last answer was complete (a device that repeats
// its answer, for one) belong to no request of ours. Left queued they would be
// read as the answer to the next request, and every later read would get its
// predecessor's answer. False when the device has closed or reset the link.
bool ModbusConnection::discardStaleBytes() {
    // Bounded, so that a device that never stops sending cannot hold the read.
    for (int chunk = 0; chunk < 64; ++chunk) {
        ssize_t n = ::recv(sock_, modbus_tlg, sizeof modbus_tlg, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

bool ModbusConnection::sendRequest(const uint8_t* request, int64_t deadlineMs) {
    size_t sent = 0;
    while (sent < kModbusRequestSize) {
        // MSG_NOSIGNAL: a device that has closed the link gives EPIPE, not SIGPIPE.
        ssize_t n = ::send(sock_, request + sent, kModbusRequestSize - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitFor(sock_, POLLOUT, deadlineMs);
            if (ready == 1) continue;
            if (ready == 0) errno = ETIMEDOUT;
        }
        if (logLevel() >= 1) printf("-ModbusRead, send, err %ld\n", static_cast<long>(errno));
        return false;
    }
    return true;
}

// Receives one whole answer into modbus_tlg. Phase 1 waits for the MBAP
// header and the function code, phase 2 for the rest that the header's length
// announces; TCP may deliver the answer in any number of pieces. Every failure
// is reported here; the caller closes the link.
bool ModbusConnection::receiveAnswer(int64_t deadlineMs, size_t* frameSize) {
    std::memset(modbus_tlg, 0, sizeof modbus_tlg);
    size_t got = 0;
    for (;;) {
        int phase = got < kModbusHeaderSize ? 1 : 2;
        int ready = waitFor(sock_, POLLIN, deadlineMs);
        if (ready == 0) {
            if (logLevel() >= 1) {
                if (got == 0) printf("-ModbusRead, no response\n");
                else printf("-ModbusRead, incomplete response (%zu bytes)\n", got);
            }
            return false;
        }
        ssize_t n = ready < 0 ? -1 : ::recv(sock_, modbus_tlg + got, sizeof modbus_tlg - got, 0);
        if (n == 0) {
            if (logLevel() >= 1) printf("-ModbusRead, connection closed by device\n");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            if (logLevel() >= 1) {
                if (phase == 1) printf("-ModbusRead, recv(1), err %d\n", errno);
                else printf("-ModbusRead, recv(2), err %ld\n", static_cast<long>(errno));
            }
            return false;
        }
        got += static_cast<size_t>(n);
        if (got < kModbusHeaderSize) continue;
        int length = modbusFrameLength(modbus_tlg, got);
        if (length < 0) {
            if (logLevel() >= 1) printf("-ModbusRead, malformed response\n");
            return false;
        }
        // Bytes behind the announced frame belong to no request of ours. They
        // are dropped here just as they are before the next request when they
        // arrive later, so the outcome does not depend on TCP segmentation.
        if (got >= static_cast<size_t>(length)) {
            *frameSize = static_cast<size_t>(length);
            return true;
        }
    }
}

bool ModbusConnection::read(Node* node) {
    if (!node) return false;
    if (equalsIgnoreCase(node->address, "!OFFLINE")) {
        node->value = isConnected() ? 0.0 : 1.0;
        return true;
    }
    ModbusAddress address = parseModbusAddress(node->address);
    if (!isValidModbusAddress(address)) {
        printf("Modbus, address %s out of range\n", node->address);
        return false;
    }
    if (!isConnected()) return false;

    // Identifiers run 1..65535; 0 is skipped so that it never matches a
    // zeroed buffer.
    ++transactionId_;
    if (transactionId_ == 0) ++transactionId_;
    uint8_t function = modbusFunctionFor(address.table);
    uint8_t request[kModbusRequestSize];
    buildModbusRequest(request, transactionId_, function, static_cast<uint16_t>(address.reg));

    if (logLevel() >= 6) printf("ModbusRead, IP %s, Addr %d:%d\n", ipAddress_, address.table, address.reg);
    if (!discardStaleBytes()) {
        // Devices and gateways with an idle time-out close the link between
        // reads. Nothing has been sent yet, so the request goes out on a new
        // link instead of failing this read.
        close();
        if (!openLink()) return false;
    }
    int64_t deadlineMs = answerDeadlineMs();
    size_t frameSize = 0;
    if (!sendRequest(request, deadlineMs) || !receiveAnswer(deadlineMs, &frameSize)) {
        // No answer, half an answer or a broken link: a late answer must never
        // be taken for the next request's, so the link starts afresh.
        close();
        return false;
    }

    ModbusAnswer answer = checkModbusResponse(modbus_tlg, frameSize, transactionId_, function);
    switch (answer.outcome) {
        case ModbusOutcome::WrongTid:
            if (logLevel() >= 1) printf("-ModbusRead, wrong TID\n");
            return false;
        case ModbusOutcome::Exception:
            if (logLevel() >= 1) printf("-ModbusRead, Exception %d\n", answer.code);
            return false;
        case ModbusOutcome::WrongFunction:
            if (logLevel() >= 1) printf("-ModbusRead, wrong response %d\n", answer.code);
            return false;
        case ModbusOutcome::Malformed:
            if (logLevel() >= 1) printf("-ModbusRead, malformed response\n");
            close();
            return false;
        case ModbusOutcome::Value:
            break;
    }
    node->value = answer.value;
    if (logLevel() >= 9) printf("+ModbusRead: %d:%d = %d\n", address.table, address.reg, static_cast<int>(answer.value));
    return true;
}

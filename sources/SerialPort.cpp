// Serial ports on Linux through termios.
#include "sources/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace serial {

namespace {

net::Result ended(net::Status status, int error, size_t count) {
    net::Result r;
    r.status = status;
    r.error = error;
    r.count = count;
    return r;
}

speed_t speedFor(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:  // the load lets no other rate through
            return B19200;
    }
}

bool configure(int fd, const SerialFormat& format) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (format.parity != 'N') tio.c_cflag |= PARENB;
    if (format.parity == 'O') tio.c_cflag |= PARODD;
    if (format.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // One byte makes a read return; with O_NONBLOCK an empty port gives
    // EAGAIN, so a read of 0 means only a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = speedFor(format.baud);
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    return ::tcflush(fd, TCIOFLUSH) == 0;
}

// Waits for `events`; 1 ready, 0 deadline, -1 poll failed, -2 the port hung up.
int waitPort(int fd, short events, const net::Deadline& deadline) {
    for (;;) {
        int ms = deadline.remainingMs();
        if (ms <= 0) return 0;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, ms);
        if (n > 0) {
            if (p.revents & events) return 1;
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return -2;
        }
        if (n < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

Opened openPort(const char* device, const SerialFormat& format) {
    Opened opened;
    int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == 0) {  // standard input was closed; 0 means "none" to some callers
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ::close(fd);
        fd = moved;
    }
    if (fd < 0) {
        opened.error = errno;
        opened.step = "open";
        return opened;
    }
    // A second reader on the same line would take answers meant for us.
    if (::ioctl(fd, TIOCEXCL) != 0 || !configure(fd, format)) {
        opened.error = errno;
        opened.step = "configure";
        ::close(fd);
        return opened;
    }
    opened.fd = fd;
    return opened;
}

int characterBits(const SerialFormat& format) {
    return 1 + format.dataBits + (format.parity == 'N' ? 0 : 1) + format.stopBits;
}

int64_t characterTimeUs(const SerialFormat& format) {
    if (format.baud <= 0) return 0;
    return (characterBits(format) * INT64_C(1000000) + format.baud - 1) / format.baud;
}

net::Result writeAll(int fd, const uint8_t* data, size_t length, const net::Deadline& deadline) {
    size_t written = 0;
    while (written < length) {
        ssize_t n = ::write(fd, data + written, length - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitPort(fd, POLLOUT, deadline);
            if (ready == 1) continue;
            if (ready == 0) return ended(net::Status::Timeout, ETIMEDOUT, written);
            if (ready == -2) return ended(net::Status::Closed, 0, written);
        }
        return ended(net::Status::Failed, n < 0 ? errno : EIO, written);
    }
    return ended(net::Status::Ok, 0, written);
}

net::Result readSome(int fd, uint8_t* data, size_t capacity, const net::Deadline& deadline) {
    for (;;) {
        int ready = waitPort(fd, POLLIN, deadline);
        if (ready == 0) return ended(net::Status::Timeout, ETIMEDOUT, 0);
        if (ready == -2) return ended(net::Status::Closed, 0, 0);
        if (ready < 0) return ended(net::Status::Failed, errno, 0);
        ssize_t n = ::read(fd, data, capacity);
        if (n > 0) return ended(net::Status::Ok, 0, static_cast<size_t>(n));
        if (n == 0) return ended(net::Status::Closed, 0, 0);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return ended(net::Status::Failed, errno, 0);
    }
}

net::Result discardInput(int fd) {
    // A flush alone does not see a vanished port: poll does, at once.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return ended(net::Status::Closed, 0, 0);
    if (::tcflush(fd, TCIFLUSH) != 0) return ended(net::Status::Failed, errno, 0);
    return ended(net::Status::Ok, 0, 0);
}

}  // namespace serial

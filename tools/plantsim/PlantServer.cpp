// plantsim's Modbus TCP server: the answers to function codes 1 to 4, as the
// public Modbus application protocol lays them out, framed with the client's
// own Modbus frame code so that both follow one frame-length rule.
#include "PlantServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sources/modbus/ModbusFrame.h"

namespace {

constexpr size_t kMaxClients = 64;

void exception(ByteWriter& answer, unsigned function, unsigned code) {
    answer.put8(function | 0x80);
    answer.put8(code);
}

}  // namespace

void answerRequest(const PlantImage& image, ByteReader& request, ByteWriter& answer) {
    unsigned function = request.u8();
    if (request.overrun()) return;
    if (function < 1 || function > 4) return exception(answer, function, 1);
    if (request.remaining() != 4) return exception(answer, function, 3);
    unsigned start = request.u16();
    unsigned count = request.u16();
    bool bits = function <= 2;
    if (count < 1 || count > (bits ? 2000u : 125u)) return exception(answer, function, 3);
    if (start + count > kPlantObjects) return exception(answer, function, 2);

    answer.put8(function);
    if (bits) {
        const bool* table = function == 1 ? image.coils : image.inputs;
        answer.put8((count + 7) / 8);
        for (unsigned i = 0; i < count; i += 8) {
            unsigned byte = 0;
            for (unsigned b = 0; b < 8 && i + b < count; ++b)
                if (table[start + i + b]) byte |= 1u << b;
            answer.put8(byte);
        }
    } else {
        const uint16_t* table = function == 3 ? image.holdingRegisters : image.inputRegisters;
        answer.put8(count * 2);
        for (unsigned i = 0; i < count; ++i) answer.put16(table[start + i]);
    }
}

PlantServer::~PlantServer() {
    for (Client& c : clients_) ::close(c.fd);
    if (listener_ >= 0) ::close(listener_);
}

bool PlantServer::listenOn(int port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        printf("plantsim: socket failed: %s\n", strerror(errno));
        return false;
    }
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 16) != 0) {
        printf("plantsim: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return false;
    }
    return true;
}

void PlantServer::acceptClients() {
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (clients_.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Client c;
        c.fd = fd;
        clients_.push_back(std::move(c));
    }
}

bool PlantServer::flush(Client& client) {
    while (!client.out.empty()) {
        ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            client.out.erase(client.out.begin(), client.out.begin() + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        return false;
    }
    return true;
}

// Reads what is there and answers every whole request in it. False drops the
// client: it closed, failed, or sent something that is not Modbus TCP.
bool PlantServer::serveInput(Client& client, const std::function<PlantImage()>& imageNow) {
    uint8_t buffer[1024];
    for (;;) {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            client.in.insert(client.in.end(), buffer, buffer + n);
            // a client that never waits for answers
            if (client.in.size() > 4 * kModbusFrameSize) return false;
            continue;
        }
        if (n == 0) return false;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        return false;
    }
    for (;;) {
        int length = modbusFrameLength(client.in.data(), client.in.size());
        if (length < 0) return false;
        if (length == 0 || client.in.size() < static_cast<size_t>(length)) break;
        if (answerDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs_));
        ByteReader request(client.in.data(), static_cast<size_t>(length));
        MbapHeader header = readMbapHeader(request);
        uint8_t frame[kModbusFrameSize];
        ByteWriter answer(frame + kMbapHeaderSize, sizeof frame - kMbapHeaderSize);
        answerRequest(imageNow(), request, answer);
        // The answer echoes the transaction and unit identifiers.
        header.length = static_cast<uint16_t>(answer.size() + 1);  // unit identifier and PDU
        ByteWriter head(frame, kMbapHeaderSize);
        writeMbapHeader(head, header);
        client.out.insert(client.out.end(), frame, frame + kMbapHeaderSize + answer.size());
        client.in.erase(client.in.begin(), client.in.begin() + length);
    }
    if (!flush(client)) return false;
    // A client that sends requests but never reads its answers is dropped
    // before its queue can grow without bound.
    return client.out.size() <= 64 * kModbusFrameSize;
}

void PlantServer::run(const std::function<bool()>& keepGoing, const std::function<PlantImage()>& imageNow) {
    std::vector<pollfd> fds;
    while (keepGoing()) {
        fds.clear();
        fds.push_back({listener_, POLLIN, 0});
        for (const Client& c : clients_)
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        int n = poll(fds.data(), fds.size(), 100);
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) acceptClients();
        // Clients accepted just now are polled from the next round on.
        std::vector<Client> kept;
        for (size_t i = 0; i < clients_.size(); ++i) {
            Client& c = clients_[i];
            short events = i + 1 < fds.size() ? fds[i + 1].revents : 0;
            bool ok = true;
            if (events & (POLLIN | POLLHUP | POLLERR)) ok = serveInput(c, imageNow);
            if (ok && (events & POLLOUT)) ok = flush(c);
            if (ok) {
                kept.push_back(std::move(c));
            } else {
                ::close(c.fd);
            }
        }
        clients_ = std::move(kept);
    }
}

// The dave* operations: the connect sequence (COTP connection request,
// confirm, setup communication) and the read job over the shared socket steps
// of Socket.cpp, with traces on standard output for the debug flag groups.
#include "sources/s7/Nodave.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Text.h"
#include "sources/Socket.h"
#include "sources/s7/S7Frame.h"

struct daveInterface {
    daveFds fds;
    char name[20] = {};
    int localMPI = 0;
    int protocol = 0;
    int speed = 0;
    int timeoutUs = 5000000;
};

struct daveConnection {
    daveInterface* iface = nullptr;
    int mpi = 0;
    int rack = 0;
    int slot = 0;
    int pduLength = 0;  // accepted by the PLC; 0 until connected
    bool open = false;  // connect sequence done and the byte stream still in step
    uint16_t lastRef = 0;
    uint8_t packet[s7::kMaxPacket] = {};
};

namespace {

constexpr int kConnectTimeoutMs = 5000;

void dump(const char* direction, const uint8_t* data, int length) {
    if (!logging(Log::Detail)) return;
    logf(Log::Always, "s7: %s %d bytes:", direction, length);
    for (int i = 0; i < length; ++i) {
        if (i % 16 == 0) logf(Log::Always, "\ns7:  ");
        logf(Log::Always, " %02X", data[i]);
    }
    logf(Log::Always, "\n");
}

int failure(int code, const char* step) {
    logf(Log::Failure, "s7: %s failed: %s (%d)\n", step, daveStrerror(code), code);
    return code;
}

// Each step of an exchange, the send and the wait for the answer, has the
// interface's time-out.
net::Deadline timeoutFromNow(const daveConnection* dc) {
    return net::Deadline::afterUs(dc->iface->timeoutUs);
}

void traceChunk(size_t received, size_t wanted) {
    logf(Log::Trace, "s7: received %zu of %zu bytes\n", received, wanted);
}

// The layer's result code for a receive that did not end well.
int receiveFailure(const net::Result& r) {
    switch (r.status) {
        case net::Status::Timeout:
            return daveErrTimeout;
        case net::Status::Closed:
            return daveErrClosed;
        default:
            return r.error == ECONNRESET ? daveErrClosed : daveErrSocket;
    }
}

// Receives one TPKT packet into dc->packet; its length, or a negative code.
int receivePacket(daveConnection* dc, const net::Deadline& deadline) {
    int fd = dc->iface->fds.rfd;
    net::Result r = net::receiveExact(fd, dc->packet, s7::kTpktHeaderSize, deadline, traceChunk);
    if (!r.ok()) return receiveFailure(r);
    // The length is checked against the buffer before anything more is read.
    int total = s7::checkTpktHeader(dc->packet);
    if (total < 0) {
        dump("receive (header)", dc->packet, s7::kTpktHeaderSize);
        return total;
    }
    size_t rest = static_cast<size_t>(total - s7::kTpktHeaderSize);
    r = net::receiveExact(fd, dc->packet + s7::kTpktHeaderSize, rest, deadline, traceChunk);
    if (!r.ok()) return receiveFailure(r);
    dump("receive", dc->packet, total);
    return total;
}

// Sends a request built in `request` and receives the answer into dc->packet.
// Bytes that came in after the last answer was complete (a repeated answer,
// or one nobody asked for) belong to no request of ours and are dropped
// first; left queued they would be read as this request's answer. A link
// found closed then fails without sending, with its own code, so the caller
// knows a new link may carry the same request.
int exchange(daveConnection* dc, const uint8_t* request, int length) {
    net::Result stale = net::discardQueued(dc->iface->fds.rfd);
    if (!stale.ok()) return daveErrClosedBeforeRequest;
    if (stale.count > 0 && logging(Log::Trace))
        logf(Log::Always, "s7: discarded %zu bytes queued before the request\n", stale.count);
    dump("send", request, length);
    // One time-out bounds the whole exchange, sending and answer together.
    auto deadline = timeoutFromNow(dc);
    if (!net::sendAll(dc->iface->fds.wfd, request, static_cast<size_t>(length), deadline).ok())
        return daveErrSend;
    return receivePacket(dc, deadline);
}

bool usable(daveConnection* dc) {
    return dc && dc->iface && dc->iface->protocol == daveProtoISOTCP && dc->iface->fds.rfd > 0 &&
           dc->iface->fds.wfd > 0;
}

}  // namespace

int openSocket(int port, const char* address) {
    net::Connection link = net::connectTcp(address, port, kConnectTimeoutMs);
    if (link.fd < 0) {
        if (link.failedStep == net::ConnectStep::Address) {
            logf(Log::Failure, "s7: openSocket: invalid address %s:%d\n", address ? address : "", port);
        } else if (logging(Log::Failure)) {
            logf(Log::Always, "s7: openSocket %s:%d failed: %s\n", address, port, errorText(link.error));
        }
        return 0;
    }
    logf(Log::Failure, "s7: openSocket %s:%d: handle %d\n", address, port, link.fd);
    return link.fd;
}

void closeSocket(int handle) {
    if (handle <= 0) return;
    logf(Log::Failure, "s7: closeSocket %d\n", handle);
    net::closeSocket(handle);
}

int openS7online(const char* accessPoint, void*) {
    logf(Log::Failure, "s7: openS7online %s: no S7 online driver here\n", accessPoint ? accessPoint : "");
    return -1;
}

void closeS7online(int) {}

daveInterface* daveNewInterface(daveFds fds, const char* name, int localMPI, int protocol, int speed) {
    auto* di = new daveInterface;
    di->fds = fds;
    copyText(di->name, name);
    di->localMPI = localMPI;
    di->protocol = protocol;
    di->speed = speed;
    logf(Log::Failure, "s7: new interface %s, protocol %d, handle %d\n", di->name, protocol, fds.rfd);
    return di;
}

void daveSetTimeout(daveInterface* di, int microseconds) {
    if (di && microseconds > 0) di->timeoutUs = microseconds;
}

int daveInitAdapter(daveInterface* di) {
    if (!di) return daveErrInvalidArgs;
    // ISO-on-TCP talks to the PLC directly; there is no adapter to wake.
    if (di->protocol == daveProtoISOTCP) return daveResOK;
    return failure(daveErrNoDriver, "initadapter");
}

int daveDisconnectAdapter(daveInterface*) {
    return daveResOK;
}

daveConnection* daveNewConnection(daveInterface* di, int mpi, int rack, int slot) {
    auto* dc = new daveConnection;
    dc->iface = di;
    dc->mpi = mpi;
    dc->rack = rack;
    dc->slot = slot;
    return dc;
}

int daveConnectPLC(daveConnection* dc) {
    if (!dc || !dc->iface) return failure(daveErrInvalidArgs, "connectplc");
    if (dc->iface->protocol != daveProtoISOTCP) return failure(daveErrNoDriver, "connectplc");
    if (!usable(dc)) return failure(daveErrNotConnected, "connectplc");
    dc->open = false;
    dc->pduLength = 0;

    uint8_t request[s7::kConnectRequestSize];
    int length = s7::buildConnectRequest(request, dc->rack, dc->slot);
    logf(Log::Connection, "s7: connection request, rack %d, slot %d (called TSAP 01 %02X)\n", dc->rack,
         dc->slot, request[s7::kTpktHeaderSize + 17]);
    int rc = exchange(dc, request, length);
    if (rc < 0) return failure(rc, "connection request");
    rc = s7::parseConnectConfirm(dc->packet, rc);
    if (rc != 0) return failure(rc, "connection confirm");
    logf(Log::Connection, "s7: connection confirm\n");

    uint8_t setup[s7::kSetupRequestSize];
    uint16_t ref = ++dc->lastRef;
    length = s7::buildSetupRequest(setup, ref, s7::kRequestedPdu);
    logf(Log::Connection, "s7: setup communication, PDU length %d\n", s7::kRequestedPdu);
    rc = exchange(dc, setup, length);
    if (rc < 0) return failure(rc, "setup communication");
    int accepted = 0;
    rc = s7::parseSetupAnswer(dc->packet, rc, ref, &accepted);
    if (rc != 0) return failure(rc, "setup answer");
    // Never more than was asked for, whatever the PLC offers.
    dc->pduLength = accepted < s7::kRequestedPdu ? accepted : s7::kRequestedPdu;
    dc->open = true;
    logf(Log::Connection, "s7: connected, PDU length %d\n", dc->pduLength);
    return daveResOK;
}

int daveDisconnectPLC(daveConnection* dc) {
    if (!dc) return daveErrInvalidArgs;
    // Closing the socket ends the ISO connection; the PLC needs no farewell.
    dc->open = false;
    dc->pduLength = 0;
    logf(Log::Connection, "s7: disconnect\n");
    return daveResOK;
}

int daveGetMaxPDULen(daveConnection* dc) {
    return dc ? dc->pduLength : 0;
}

int daveReadBytes(daveConnection* dc, int area, int dbNumber, int start, int len, void* buffer) {
    if (!dc || !dc->open || !usable(dc)) return failure(daveErrNotConnected, "read");
    bool timerOrCounter = area == daveTimer || area == daveCounter;
    bool byteArea = area == daveInputs || area == daveOutputs || area == daveFlags || area == daveDB;
    int count = timerOrCounter ? (len + 1) / 2 : len;
    // The start address field has 24 bits: byte numbers times 8, timer numbers as they are.
    int maxStart = timerOrCounter ? 0xFFFF : 0x1FFFFF;
    if ((!timerOrCounter && !byteArea) || !buffer || len < 1 || start < 0 || start > maxStart ||
        dbNumber < 0 || dbNumber > 0xFFFF || (area != daveDB && dbNumber != 0) ||
        s7::answerBytes(area, count) + s7::kReadAnswerOverhead > dc->pduLength) {
        return failure(daveErrInvalidArgs, "read");
    }
    uint8_t request[s7::kReadRequestSize];
    uint16_t ref = ++dc->lastRef;
    int length = s7::buildReadRequest(request, ref, area, dbNumber, start, count);
    int rc = exchange(dc, request, length);
    if (rc >= 0) rc = s7::parseReadAnswer(dc->packet, rc, ref, area, len, static_cast<uint8_t*>(buffer));
    if (rc < 0 && rc != daveErrJobRefused) {
        // After a failed exchange the byte stream can no longer be trusted.
        dc->open = false;
    }
    logf(Log::Connection, "s7: read area 0x%02X, block %d, start %d, %d bytes: %d\n", area, dbNumber, start,
         len, rc);
    if (rc != 0) return failure(rc, "read");
    return daveResOK;
}

int daveReadItems(daveConnection* dc, const s7::ReadItem* items, int itemCount, int* results,
                  uint8_t (*data)[s7::kMaxItemBytes]) {
    if (!dc || !dc->open || !usable(dc)) return failure(daveErrNotConnected, "read items");
    uint8_t request[s7::kMultiReadRequestSize];
    uint16_t ref = ++dc->lastRef;
    int length = s7::buildMultiReadRequest(request, ref, items, itemCount);
    if (length == 0) return failure(daveErrInvalidArgs, "read items");
    int rc = exchange(dc, request, length);
    if (rc >= 0) rc = s7::parseMultiReadAnswer(dc->packet, rc, ref, items, itemCount, results, data);
    if (rc < 0 && rc != daveErrJobRefused) dc->open = false;
    logf(Log::Connection, "s7: read %d items: %d\n", itemCount, rc);
    if (rc != 0) return failure(rc, "read items");
    return daveResOK;
}

unsigned daveGetU16from(const void* buffer) {
    const auto* b = static_cast<const uint8_t*>(buffer);
    return (static_cast<unsigned>(b[0]) << 8) | b[1];
}

uint32_t daveGetU32from(const void* buffer) {
    const auto* b = static_cast<const uint8_t*>(buffer);
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

const char* daveStrerror(int code) {
    switch (code) {
        case daveResOK:
            return "ok";
        // S7 item return codes
        case 0x01:
            return "the PLC reports a hardware fault";
        case 0x03:
            return "access to the object not allowed";
        case 0x05:
            return "address out of range";
        case 0x06:
            return "data type not supported";
        case 0x07:
            return "data type inconsistent";
        case 0x0A:
            return "the object does not exist";
        // the layer's own codes
        case daveErrTimeout:
            return "timeout";
        case daveErrShortAnswer:
            return "short answer";
        case daveErrMalformed:
            return "malformed answer";
        case daveErrClosed:
            return "connection closed by the peer";
        case daveErrJobRefused:
            return "job refused by the PLC";
        case daveErrPduRef:
            return "wrong PDU reference in the answer";
        case daveErrSizeMismatch:
            return "answer size does not match the request";
        case daveErrPacketTooLarge:
            return "packet larger than the receive buffer";
        case daveErrInvalidArgs:
            return "invalid request";
        case daveErrSend:
            return "cannot send the request";
        case daveErrNotConnected:
            return "not connected";
        case daveErrConnectRefused:
            return "connection refused by the PLC";
        case daveErrSetupRefused:
            return "setup communication refused";
        case daveErrNoDriver:
            return "no S7 online driver on this system";
        case daveErrSocket:
            return "socket error";
        case daveErrClosedBeforeRequest:
            return "connection found closed before the request";
        default:
            return code > 0 ? "unknown S7 item error" : "unknown error";
    }
}

void daveFree(daveConnection* dc) {
    delete dc;
}
void daveFree(daveInterface* di) {
    if (di && logging(Log::Failure)) logf(Log::Always, "s7: free interface %s\n", di->name);
    delete di;
}

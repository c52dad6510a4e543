// ModbusConnection: the parameter text, one request per node read, the wait
// for the whole answer and its check. The socket steps are in Socket.cpp.
#include "sources/modbus/ModbusConnection.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "base/Records.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "sources/SourceEntry.h"
#include "sources/ValueDecode.h"
#include "sources/ValueType.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/modbus/ModbusRtuFrame.h"

namespace {

// The answer deadline is the start of the second after next on the wall
// clock, so it lies 1 to 2 seconds after the request.
net::Deadline answerDeadline() {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    return net::Deadline::afterMs(2000 - wall.tv_nsec / 1000000);
}

// The meaning of a Modbus exception code, as the protocol names it, so a
// failure line says what the device refused and not only its number.
const char* modbusExceptionName(int code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "server device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "server device busy";
        case 8:
            return "memory parity error";
        case 10:
            return "gateway path unavailable";
        case 11:
            return "gateway target device failed to respond";
        default:
            return "unknown exception";
    }
}

}  // namespace

ModbusConnection::~ModbusConnection() {
    close();
}

bool ModbusConnection::isConnected() {
    return isOpen_ && sock_ != -1;
}

void ModbusConnection::close() {
    if (sock_ == -1 && !isOpen_) return;  // nothing was ever opened
    net::closeSocket(sock_);
    isOpen_ = false;
    reportClosed();
}

void ModbusConnection::reportClosed() const {
    if (endpoint_.framing == ModbusFraming::RtuSerial) {
        logf(Log::Connection, "Closing Modbus RTU port %s\n", endpoint_.device);
        return;
    }
    logf(Log::Connection, "Closing ModbusTCP connection to %s\n", ipAddress_);
    logf(Log::Detail, "ModbusTCP connection to %s closed\n", ipAddress_);
}

bool ModbusConnection::connect(const char* parameters) {
    if (isConnected()) close();
    sock_ = -1;
    isOpen_ = false;
    copyText(ipAddress_, "127.0.0.1");
    port_ = 502;
    if (!parameters) return false;

    endpoint_ = parseModbusEndpoint(parameters);
    // A Modbus TCP unit id the check refuses never kept a link from opening.
    bool usable = endpoint_.problem.empty() || endpoint_.framing == ModbusFraming::Tcp;
    if (!usable) {
        logf(Log::Always, "-Modbus, invalid adr (%s)\n", parameters);
        return false;
    }
    if (endpoint_.framing == ModbusFraming::RtuSerial) {
        copyText(ipAddress_, endpoint_.device);  // the read lines name the port
        return openLink();
    }
    copyText(ipAddress_, endpoint_.host);
    port_ = endpoint_.port;

    logf(Log::Connection, "Modbus connect: IP '%s', port %d\n", ipAddress_, port_);
    return openLink();
}

bool ModbusConnection::openLink() {
    if (endpoint_.framing == ModbusFraming::RtuSerial) return openSerialPort();
    net::Connection link = net::connectTcp(ipAddress_, port_, kConnectTimeoutMs);
    if (link.fd < 0) {
        switch (link.failedStep) {
            case net::ConnectStep::Create:
                logf(Log::Always, "socket function failed with error = %d\n", link.error);
                return false;
            case net::ConnectStep::NonBlocking:
                logf(Log::Failure, "-NB-Mode (%s:%d), %ld: %s, %s:%d\n", ipAddress_, port_,
                     static_cast<long>(link.error), errorText(link.error), ipAddress_, port_);
                break;
            case net::ConnectStep::Address:  // not a dotted IPv4 address or not a TCP port
            case net::ConnectStep::Connect:
                logf(Log::Failure, "-Connect (%s:%d), %ld: %s, %s:%d\n", ipAddress_, port_,
                     static_cast<long>(link.error), errorText(link.error), ipAddress_, port_);
                break;
        }
        reportClosed();
        return false;
    }
    sock_ = link.fd;
    isOpen_ = true;
    line_.attach(sock_, false, endpoint_.serial);
    logf(Log::Detail, "ModbusTCP connection to %s open\n", ipAddress_);
    return true;
}

bool ModbusConnection::openSerialPort() {
    const SerialFormat& format = endpoint_.serial;
    logf(Log::Connection, "Modbus RTU connect: port '%s', %d %d%c%d\n", endpoint_.device, format.baud,
         format.dataBits, format.parity, format.stopBits);
    serial::Opened port = serial::openPort(endpoint_.device, format);
    if (port.fd < 0) {
        logf(Log::Failure, "-Serial port %s, %s, err %d: %s\n", endpoint_.device, port.step, port.error,
             errorText(port.error));
        return false;
    }
    sock_ = port.fd;
    isOpen_ = true;
    line_.attach(sock_, true, format);
    logf(Log::Detail, "Modbus RTU port %s open\n", endpoint_.device);
    return true;
}

ModbusConnection::Transfer ModbusConnection::transfer(const uint8_t* request, const net::Deadline& deadline,
                                                      size_t* frameSize) {
    if (endpoint_.framing != ModbusFraming::Tcp) return transferRtu(request, deadline, frameSize);
    if (!sendRequest(request, deadline) || !receiveAnswer(deadline, frameSize)) return Transfer::Lost;
    return Transfer::Answer;
}

// The request goes out as an RTU frame; the answer is taken by the length its
// function code tells, its CRC checked, and handed on as the TCP frame the
// request would have had, so the one check of answers serves every line.
ModbusConnection::Transfer ModbusConnection::transferRtu(const uint8_t* request,
                                                         const net::Deadline& answerBy, size_t* frameSize) {
    uint8_t frame[kRtuFrameSize];
    size_t size = rtuFrameFromTcp(request, kModbusRequestSize, frame, sizeof frame);
    net::Deadline deadline = line_.allowingFor(answerBy, size + kRtuFrameSize);
    net::Result sent = line_.send(frame, size, deadline);
    if (!sent.ok()) {
        logf(Log::Failure, "-ModbusRead, send, err %ld: %s, %s:%d\n", static_cast<long>(sent.error),
             errorText(sent.error), ipAddress_, port_);
        return Transfer::Lost;
    }
    size_t got = 0;
    int length = 0;
    while (length == 0 || got < static_cast<size_t>(length)) {
        net::Result piece =
            line_.receive(frame + got, static_cast<size_t>(length > 0 ? length : 3) - got, deadline);
        if (!piece.ok()) {
            reportReceiveFailure(piece, got < kRtuMinAnswer ? 1 : 2, got);
            return Transfer::Lost;
        }
        got += piece.count;
        length = rtuAnswerLength(frame, got);
        if (length < 0) {
            logf(Log::Failure, "-ModbusRead, RTU answer out of step (function %u), line resynchronised\n",
                 static_cast<unsigned>(frame[1]));
            line_.resynchronise(deadline);
            return Transfer::Damaged;
        }
    }
    RtuCheck check = tcpFrameFromRtu(frame, got, transactionId_, answer_, sizeof answer_, frameSize);
    if (check != RtuCheck::Ok) {
        logf(Log::Failure, "-ModbusRead, RTU answer with %s (%zu bytes), line resynchronised\n",
             check == RtuCheck::BadCrc ? "CRC error" : "no room", got);
        line_.resynchronise(deadline);
        return Transfer::Damaged;
    }
    // An answer from another unit is out of turn: what follows it is no answer of ours either.
    if (frame[0] != request[kMbapHeaderSize - 1]) line_.resynchronise(deadline);
    return Transfer::Answer;
}

bool ModbusConnection::sendRequest(const uint8_t* request, const net::Deadline& deadline) {
    net::Result sent = net::sendAll(sock_, request, kModbusRequestSize, deadline);
    if (sent.ok()) return true;
    logf(Log::Failure, "-ModbusRead, send, err %ld: %s, %s:%d\n", static_cast<long>(sent.error),
         errorText(sent.error), ipAddress_, port_);
    return false;
}

// Receives one whole answer into answer_. Phase 1 waits for the MBAP
// header and the function code, phase 2 for the rest that the header's
// length announces; TCP may deliver the answer in any number of pieces.
// Every failure is reported here; the caller closes the link.
bool ModbusConnection::receiveAnswer(const net::Deadline& deadline, size_t* frameSize) {
    std::memset(answer_, 0, sizeof answer_);
    size_t got = 0;
    for (;;) {
        int phase = got < kModbusMinFrame ? 1 : 2;
        net::Result piece = net::receiveSome(sock_, answer_ + got, sizeof answer_ - got, deadline);
        if (!piece.ok()) {
            reportReceiveFailure(piece, phase, got);
            return false;
        }
        got += piece.count;
        int length = modbusFrameLength(answer_, got);
        if (length == 0) continue;
        if (length < 0) {
            logf(Log::Failure, "-ModbusRead, malformed response\n");
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

void ModbusConnection::reportReceiveFailure(const net::Result& failure, int phase, size_t got) const {
    if (!logging(Log::Failure)) return;
    switch (failure.status) {
        case net::Status::Timeout:
            if (got == 0)
                logf(Log::Always, "-ModbusRead, no response\n");
            else
                logf(Log::Always, "-ModbusRead, incomplete response (%zu bytes)\n", got);
            break;
        case net::Status::Closed:
            logf(Log::Always, "-ModbusRead, connection closed by device\n");
            break;
        default:
            if (phase == 1)
                logf(Log::Always, "-ModbusRead, recv(1), err %d: %s, %s:%d\n", failure.error,
                     errorText(failure.error), ipAddress_, port_);
            else
                logf(Log::Always, "-ModbusRead, recv(2), err %ld: %s, %s:%d\n",
                     static_cast<long>(failure.error), errorText(failure.error), ipAddress_, port_);
            break;
    }
}

bool ModbusConnection::requestAnswer(const uint8_t* request, size_t* frameSize) {
    // Bytes that came in after the last answer was complete (a device that
    // repeats its answer, for one) belong to no request of ours; left queued
    // they would be read as the answer to this one.
    if (!line_.discardStale()) {
        // Devices and gateways with an idle time-out close the link between
        // reads. Nothing has been sent yet, so the request goes out on a new
        // link instead of failing this read. A serial port that hung up was
        // unplugged, and is opened again once it is back.
        if (endpoint_.framing == ModbusFraming::RtuSerial)
            logf(Log::Failure, "-Serial port %s gone, opening it again\n", endpoint_.device);
        close();
        if (!openLink()) return false;
    }
    Transfer transferred = transfer(request, answerDeadline(), frameSize);
    if (transferred != Transfer::Answer) {
        // No answer, half an answer or a broken link: a late answer must never
        // be taken for the next request's, so the link starts afresh. A
        // damaged RTU answer was dropped with what followed it; the line stays.
        if (transferred == Transfer::Lost) close();
        return false;
    }
    return true;
}

bool ModbusConnection::read(Node* node) {
    if (!node) return false;
    if (node->device.kind == AddressKind::Offline) {
        node->value = isConnected() ? 0.0 : 1.0;
        return true;
    }
    if (node->device.kind != AddressKind::Modbus) {
        logf(Log::Always, "Modbus, address %s out of range\n", node->address);
        return false;
    }
    const ModbusAddress& address = node->device.modbus;
    if (!isConnected()) return false;

    // Identifiers run 1..65535; 0 is skipped so that it never matches a
    // zeroed buffer.
    ++transactionId_;
    if (transactionId_ == 0) ++transactionId_;
    uint8_t function = modbusFunctionFor(address.table);
    // A 32-bit value is asked for in one request, so both of its registers
    // come from the same moment.
    auto registers = static_cast<uint16_t>(modbusRegisterCount(node->valueType));
    int unitId = node->source ? node->source->unitId : kNoUnitId;
    uint8_t request[kModbusRequestSize];
    buildModbusRequest(request, transactionId_, function, static_cast<uint16_t>(address.reg), registers,
                       static_cast<uint8_t>(unitId == kNoUnitId ? 0 : unitId));

    logf(Log::Read, "ModbusRead, IP %s, Addr %d:%d\n", ipAddress_, address.table, address.reg);
    size_t frameSize = 0;
    if (!requestAnswer(request, &frameSize)) return false;

    ModbusAnswer answer =
        checkModbusResponse(answer_, frameSize, transactionId_, function, registers, unitId);
    switch (answer.outcome) {
        case ModbusOutcome::WrongTid:
            logf(Log::Failure, "-ModbusRead, wrong TID\n");
            return false;
        case ModbusOutcome::Exception:
            logf(Log::Failure, "-ModbusRead, Exception %d: %s, node %s at %s:%d\n", answer.code,
                 modbusExceptionName(answer.code), node->address, ipAddress_, port_);
            return false;
        case ModbusOutcome::WrongFunction:
            logf(Log::Failure, "-ModbusRead, wrong response %d\n", answer.code);
            return false;
        case ModbusOutcome::WrongUnit:
            logf(Log::Failure, "-ModbusRead, answer from unit %d, asked unit %d\n", answer.code, unitId);
            return false;
        case ModbusOutcome::Malformed:
            logf(Log::Failure, "-ModbusRead, malformed response\n");
            close();
            return false;
        case ModbusOutcome::Value:
            break;
    }
    double raw = node->valueType == ValueType::Plain
                     ? answer.value
                     : decodeModbusRegisters(node->valueType, node->wordOrder, answer.registers);
    logf(Log::Trace, "+ModbusRead: %d:%d = %s\n", address.table, address.reg, formatValue(raw, true).c_str());
    return storeReading(node, raw);
}

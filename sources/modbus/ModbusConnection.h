// ModbusConnection: the source connection to a Modbus device. One TCP link,
// or one serial port; each node read sends one request for one coil,
// discrete input, input register or holding register and waits for its
// answer. Requests and answers are built and checked as Modbus TCP frames;
// on an RTU gateway or a serial port the line below carries them as RTU
// frames with their CRC.
#pragma once

#include <cstdint>

#include "sources/Socket.h"
#include "sources/SourceConnection.h"
#include "sources/modbus/ModbusEndpoint.h"
#include "sources/modbus/ModbusFrame.h"
#include "sources/modbus/ModbusRtuLine.h"

class ModbusConnection : public SourceConnection {
  public:
    ModbusConnection() = default;
    ~ModbusConnection() override;
    ModbusConnection(const ModbusConnection&) = delete;
    ModbusConnection& operator=(const ModbusConnection&) = delete;

    // "tcp:address:port", "rtutcp:address:port:unit" or
    // "rtu:device:baud:format:unit"; address defaults to 127.0.0.1, port to 502.
    bool connect(const char* parameters) override;
    bool read(Node* node) override;
    // One request for the registers or bits of a planned block.
    bool readBlock(const ReadBlock& block, const Node* nodes, std::vector<BlockValue>* values) override;
    bool isConnected() override;
    void close();

    int port() const { return port_; }
    const char* ipAddress() const { return ipAddress_; }
    uint16_t transactionId() const { return transactionId_; }
    void setTransactionIdForTesting(uint16_t id) { transactionId_ = id; }

    // A device that is switched off or unplugged never answers the connect;
    // give up after this long instead of the system's minutes-long time-out.
    static constexpr int kConnectTimeoutMs = 5000;

  private:
    // How one request and its answer went: an answer to check, an answer
    // that failed the RTU line's check (the line is in step again and stays
    // open), or a link that must start afresh.
    enum class Transfer { Answer, Damaged, Lost };

    // Opens the TCP link to ipAddress_:port_, or the serial port.
    bool openLink();
    bool openSerialPort();
    // Sends a built request (a Modbus TCP frame) and receives the whole
    // answer into answer_, as a Modbus TCP frame whatever the line; false
    // when none came (the link closed unless the RTU line dropped a damaged
    // answer). Every read of the device goes through here.
    bool requestAnswer(const uint8_t* request, size_t* frameSize);
    Transfer transfer(const uint8_t* request, const net::Deadline& deadline, size_t* frameSize);
    Transfer transferRtu(const uint8_t* request, const net::Deadline& deadline, size_t* frameSize);
    void reportClosed() const;
    bool sendRequest(const uint8_t* request, const net::Deadline& deadline);
    bool receiveAnswer(const net::Deadline& deadline, size_t* frameSize);
    void reportReceiveFailure(const net::Result& failure, int phase, size_t got) const;
    // Sends a read of `quantity` objects from `start` and receives the whole
    // answer into answer_; false, the link closed, when none came.
    bool exchange(uint8_t function, uint16_t start, uint16_t quantity, int unitId, size_t* frameSize);

    ModbusEndpoint endpoint_;
    ModbusRtuLine line_;  // on an RTU gateway or a serial port
    int port_ = 0;
    char ipAddress_[100] = {};
    int sock_ = -1;
    bool isOpen_ = false;
    uint16_t transactionId_ = 0;
    uint8_t answer_[kModbusFrameSize] = {};  // the device's answer to the last request
};

// S7Connection: the source connection to a Siemens S7 PLC, over ISO on
// TCP or through a USB adapter (S7 online driver).
#pragma once

#include <memory>

#include "base/Records.h"
#include "sources/SourceConnection.h"
#include "sources/s7/S7Session.h"

class S7Connection : public SourceConnection {
  public:
    S7Connection() = default;
    ~S7Connection() override;
    S7Connection(const S7Connection&) = delete;
    S7Connection& operator=(const S7Connection&) = delete;

    bool connect(const char* parameters) override;
    bool read(Node* node) override;
    // The block's nodes as the items of one read-variable job.
    bool readBlock(const ReadBlock& block, const Node* nodes, std::vector<BlockValue>* values) override;
    int pduLength() override;
    bool isConnected() override;
    void disconnect();

    // The library probed for a USB connect; tests point it at a file that exists.
    static void setDriverLibraryForTesting(const char* name);

    // How the PLC is reached; the numbers are those of the configuration reference.
    enum Kind : int { Tcp = 1, Mpi = 2, Usb = 3 };

    Kind kind = Tcp;
    int port = 102;
    int slot = 2;
    char ipAddress[kNameSize] = {};
    bool dllProbed = false;
    bool dllPresent = false;

  private:
    // Opens the link that the parameters of the last connect describe.
    void openLink();
    void connectTcp();
    void connectUsb();
    void connectPlc();
    // The PLC connection of the open link, or null.
    daveConnection* plc() const { return session_ ? session_->connection() : nullptr; }

    // The open link: socket or driver handle, interface and PLC connection.
    std::unique_ptr<S7Session> session_;
};

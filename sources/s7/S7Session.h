// S7Session: one link to a PLC through the S7 layer. It owns the socket (or
// the S7 online driver's handle), the interface on it and the PLC
// connection, and releases them together, in the layer's order, when it is
// destroyed. The requests themselves stay the layer's dave* operations.
#pragma once

#include "sources/s7/Nodave.h"

class S7Session {
  public:
    S7Session() = default;
    ~S7Session();
    S7Session(const S7Session&) = delete;
    S7Session& operator=(const S7Session&) = delete;

    // Each session opens one link, once. ISO on TCP: the socket and an
    // interface on it; false when the socket cannot be opened.
    bool openTcp(const char* address, int port, int timeoutUs);
    // The S7 online driver's access point and an interface on it.
    void openS7online(int timeoutUs);
    // The connection to the CPU in rack 0 at `slot` (MPI address 2) and the
    // connect sequence; the layer's result code, 0 when connected.
    int connectPlc(int slot);

    daveInterface* interface() const { return di_; }
    // Null until connectPlc has been called.
    daveConnection* connection() const { return dc_; }

  private:
    enum class Handle { None, Socket, S7online };

    void openInterface(int protocol, int timeoutUs);

    Handle handle_ = Handle::None;
    daveFds fds_;
    daveInterface* di_ = nullptr;
    daveConnection* dc_ = nullptr;
};

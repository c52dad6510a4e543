// S7Session: opening a link through the S7 layer and its one teardown.
#include "sources/s7/S7Session.h"

S7Session::~S7Session() {
    if (dc_) {
        daveDisconnectPLC(dc_);
        daveFree(dc_);
    }
    if (di_) daveDisconnectAdapter(di_);
    if (handle_ == Handle::Socket)
        closeSocket(fds_.rfd);
    else if (handle_ == Handle::S7online)
        closeS7online(fds_.rfd);
    if (di_) daveFree(di_);
}

bool S7Session::openTcp(const char* address, int port, int timeoutUs) {
    int handle = openSocket(port, address);
    if (handle == 0) return false;
    handle_ = Handle::Socket;
    fds_.rfd = fds_.wfd = handle;
    openInterface(daveProtoISOTCP, timeoutUs);
    return true;
}

void S7Session::openS7online(int timeoutUs) {
    // There is no console window here; the driver is told of none.
    int handle = ::openS7online("/S7ONLINE", nullptr);
    handle_ = Handle::S7online;
    fds_.rfd = fds_.wfd = handle;
    openInterface(daveProtoS7online, timeoutUs);
}

int S7Session::connectPlc(int slot) {
    dc_ = daveNewConnection(di_, 2, 0, slot);
    return daveConnectPLC(dc_);
}

void S7Session::openInterface(int protocol, int timeoutUs) {
    di_ = daveNewInterface(fds_, "IF1", 0, protocol, daveSpeed187k);
    daveSetTimeout(di_, timeoutUs);
}

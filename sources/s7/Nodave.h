// The S7 access layer: ISO-on-TCP (RFC 1006, COTP class 0) and S7
// communication, offered as the small set of dave* operations the S7 source
// connection calls. It reads one item of a few bytes per request; it never
// writes to the PLC.
#pragma once

#include <cstdint>

// Result codes. 0 is success. A positive code is the S7 item return code the
// PLC answered with (for example 5 address out of range, 10 object does not
// exist); negative codes are failures of the layer and the transport.
enum : int {
    daveResOK = 0,
    daveErrTimeout = -1,               // no (complete) answer within the time-out
    daveErrShortAnswer = -2,           // the answer ends before the fields it announces
    daveErrMalformed = -3,             // a field of the answer does not fit the request
    daveErrClosed = -4,                // the peer closed the connection
    daveErrJobRefused = -5,            // the S7 header carries an error class/code
    daveErrPduRef = -6,                // the answer does not echo the request's PDU reference
    daveErrSizeMismatch = -7,          // the item data length differs from the bytes requested
    daveErrPacketTooLarge = -8,        // TPKT length larger than the receive buffer
    daveErrInvalidArgs = -9,           // area, block, start or count the request cannot carry
    daveErrSend = -10,                 // the request could not be sent
    daveErrNotConnected = -11,         // no open PLC connection
    daveErrConnectRefused = -12,       // the PLC answered the connection request with no confirm
    daveErrSetupRefused = -13,         // setup communication was refused
    daveErrNoDriver = -14,             // no S7 online driver on this platform
    daveErrSocket = -15,               // the socket failed while receiving
    daveErrClosedBeforeRequest = -16,  // the peer had closed the link; nothing was sent
};

// Protocol numbers of daveNewInterface.
constexpr int daveProtoISOTCP = 122;
constexpr int daveProtoS7online = 50;
// Speed code 2 (187.5 kbit/s on MPI); kept for the adapter kinds, unused on TCP.
constexpr int daveSpeed187k = 2;

// Area codes of daveReadBytes.
constexpr int daveInputs = 0x81;
constexpr int daveOutputs = 0x82;
constexpr int daveFlags = 0x83;
constexpr int daveDB = 0x84;
constexpr int daveCounter = 0x1C;
constexpr int daveTimer = 0x1D;

// The read and write file handles of an interface; both hold the same socket on TCP.
struct daveFds {
    int rfd = 0;
    int wfd = 0;
};

struct daveInterface;
struct daveConnection;

// TCP connection to address:port (IPv4 dotted text), bounded at 5 s. Returns
// the socket, or 0 on failure.
int openSocket(int port, const char* address);
void closeSocket(int handle);

// There is no S7 online driver on this platform: the handle returned makes
// daveInitAdapter and daveConnectPLC fail with daveErrNoDriver.
int openS7online(const char* accessPoint, void* windowHandle);
void closeS7online(int handle);

daveInterface* daveNewInterface(daveFds fds, const char* name, int localMPI, int protocol, int speed);
// Bounds every later wait for an answer on this interface, in microseconds.
void daveSetTimeout(daveInterface* di, int microseconds);
int daveInitAdapter(daveInterface* di);
int daveDisconnectAdapter(daveInterface* di);

daveConnection* daveNewConnection(daveInterface* di, int mpi, int rack, int slot);
// Connection request (calling TSAP 0x0100, called TSAP 0x01 / rack*32+slot),
// connection confirm, then setup communication for the PDU length.
int daveConnectPLC(daveConnection* dc);
int daveDisconnectPLC(daveConnection* dc);
// The PDU length the PLC accepted; 0 before daveConnectPLC succeeded.
int daveGetMaxPDULen(daveConnection* dc);

// Reads `len` bytes (timers and counters: len/2 elements of 2 bytes) from the
// area into buffer, one read-variable job. The buffer must hold len bytes.
int daveReadBytes(daveConnection* dc, int area, int dbNumber, int start, int len, void* buffer);

unsigned daveGetU16from(const void* buffer);
uint32_t daveGetU32from(const void* buffer);

const char* daveStrerror(int code);

void daveFree(daveConnection* dc);
void daveFree(daveInterface* di);

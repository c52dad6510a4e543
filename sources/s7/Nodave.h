// The S7 access layer: ISO-on-TCP (RFC 1006, COTP class 0) and S7
// communication, offered as the small set of dave* operations the S7 source
// connection calls. It reads one item of a few bytes per request; it never
// writes to the PLC.
#pragma once

#include <cstdint>

#include "sources/s7/S7Codes.h"
#include "sources/s7/S7Frame.h"

// Protocol numbers of daveNewInterface.
constexpr int daveProtoISOTCP = 122;
constexpr int daveProtoS7online = 50;
// Speed code 2 (187.5 kbit/s on MPI); kept for the adapter kinds, unused on TCP.
constexpr int daveSpeed187k = 2;

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

// Reads several items with one read-variable job: 0 when the answer came and
// is sound, each item's own result (0 or its return code) in results[i] and
// its bytes in data[i]; otherwise the layer's code, and no item counts.
int daveReadItems(daveConnection* dc, const s7::ReadItem* items, int itemCount, int* results,
                  uint8_t (*data)[s7::kMaxItemBytes]);

unsigned daveGetU16from(const void* buffer);
uint32_t daveGetU32from(const void* buffer);

const char* daveStrerror(int code);

void daveFree(daveConnection* dc);
void daveFree(daveInterface* di);

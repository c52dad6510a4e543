// Where a Modbus source's requests go, from its parameter text:
//   tcp:HOST:PORT[:UNIT]           Modbus TCP
//   rtutcp:HOST:PORT:UNIT          RTU frames through a TCP gateway
//   rtu:DEVICE:BAUD:FORMAT:UNIT    RTU frames on a serial port, FORMAT as 8E1
// Read once by the check and the load, and again by the connect.
#pragma once

#include <string>

#include "base/Records.h"
#include "sources/SerialPort.h"

enum class ModbusFraming { Tcp, RtuOverTcp, RtuSerial, Unknown };

struct ModbusEndpoint {
    ModbusFraming framing = ModbusFraming::Tcp;
    char host[kNameSize] = "127.0.0.1";
    int port = 502;
    char device[kNameSize] = {};  // the serial port's path
    SerialFormat serial;
    int unit = kNoUnitId;  // none: 0 sent, answers not checked (Modbus TCP only)
    // Why the text cannot be used as written; empty when it can. A fatal one
    // is in a form no running site has (a unit id, the RTU forms), the others
    // never connected before either.
    std::string problem;
    bool problemIsFatal = false;
};

ModbusEndpoint parseModbusEndpoint(const char* parameters);

// The RTU address range: 0 is broadcast (no answer comes), 248..255 reserved.
constexpr int kFirstRtuUnit = 1;
constexpr int kLastRtuUnit = 247;

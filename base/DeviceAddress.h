// A node's address as its device knows it: the typed form the load reads
// once from the node's text, and the only form a read uses. Plain records:
// their readers live with their protocols in sources/ (parseModbusAddress,
// parseS7Address, readDeviceAddress), which this layer may not include.
#pragma once

#include <cstdint>

// A Modbus object: the table (0 coils, 1 discrete inputs, 3 input registers,
// 4 holding registers) and the register in it.
struct ModbusAddress {
    int table = 0;
    int reg = 0;
};

// An S7 object: area code, block, start, bytes to read, type.
struct S7Address {
    int area = 0;
    int dbNumber = 0;
    int start = 0;
    int byteCount = 0;
    char type = 0;  // 'B', 'W', 'D' or 'X'
    int bit = 0;    // type X: bit number, 0 to 7 inside the byte
};

enum class AddressKind : uint8_t {
    Invalid,  // no address of the source's protocol: a read fails and says so, nothing is sent
    Offline,  // "!OFFLINE": 1 while the source is offline, 0 while it is connected
    Skipped,  // another "!" address on an S7 source: its read succeeds and sends nothing
    Modbus,   // `modbus` holds it
    S7,       // `s7` holds it
};

struct DeviceAddress {
    AddressKind kind = AddressKind::Invalid;
    ModbusAddress modbus;
    S7Address s7;
};

// Modbus node addresses and the tables they name.
#include "sources/ModbusAddress.h"

#include <cstring>

#include "core/Text.h"

ModbusAddress parseModbusAddress(const char* text) {
    ModbusAddress address;
    if (!text) return address;
    const char* colon = std::strchr(text, ':');
    if (colon) {
        address.table = parseInt(text);
        address.reg = parseInt(colon + 1);
    } else {
        int n = parseInt(text);
        address.table = n / 100000;
        address.reg = n % 100000;
    }
    return address;
}

bool isValidModbusAddress(const ModbusAddress& address) {
    if (address.reg < 0 || address.reg > 0xFFFF) return false;
    return modbusFunctionFor(address.table) != 0;
}

uint8_t modbusFunctionFor(int table) {
    switch (table) {
        case 0:
            return 1;  // Read Coils
        case 1:
            return 2;  // Read Discrete Inputs
        case 3:
            return 4;  // Read Input Registers
        case 4:
            return 3;  // Read Holding Registers
        default:
            return 0;
    }
}

// Modbus node addresses and the tables they name.
#include "sources/ModbusAddress.h"

#include <cstring>

#include "core/Records.h"
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

bool SourceEntry::readUnitId() {
    unitId = kNoUnitId;
    if (!equalsIgnoreCase(type, "modbus")) return true;
    char text[kNameSize];  // nextToken cuts its text up: work on a copy
    copyText(text, parameters);
    char* cursor = text;
    char* field = nullptr;
    for (int i = 0; i < 4; ++i) field = nextToken(&cursor, ":");
    if (!field || !*field) return true;
    if (std::strlen(field) > 3 || std::strspn(field, "0123456789") != std::strlen(field)) return false;
    int unit = parseInt(field);
    if (unit > 255) return false;
    unitId = unit;
    return true;
}

// Modbus node addresses and the tables they name.
#include "sources/modbus/ModbusAddress.h"

#include <cstring>

#include "base/Records.h"
#include "base/Text.h"
#include "sources/SourceEntry.h"
#include "sources/modbus/ModbusEndpoint.h"

namespace {

constexpr long kTooLarge = 100000000;  // beyond every table and register

// The decimal number that `text` starts with, up to `*end`; -1 when it does
// not start with a digit. Saturates, so a long row of digits stays out of range.
long readDigits(const char* text, const char** end) {
    const char* p = text;
    long number = 0;
    while (*p >= '0' && *p <= '9') {
        if (number < kTooLarge) number = number * 10 + (*p - '0');
        ++p;
    }
    *end = p;
    return p == text ? -1 : number;
}

}  // namespace

// Only digits and one ":" are part of an address: "4x0001" must not be read
// as coil 4, which atoi would make of it.
ModbusAddress parseModbusAddress(const char* text) {
    ModbusAddress address;
    address.table = -1;  // invalid until the whole text was read
    if (!text) return address;
    const char* end = text;
    long first = readDigits(text, &end);
    if (first < 0) return address;
    if (*end == 0) {
        address.table = static_cast<int>(first / 100000);
        address.reg = static_cast<int>(first % 100000);
        return address;
    }
    if (*end != ':') return address;
    long reg = readDigits(end + 1, &end);
    if (reg < 0 || *end != 0) return address;
    address.table = static_cast<int>(first);
    address.reg = static_cast<int>(reg);
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
    ModbusEndpoint endpoint = parseModbusEndpoint(parameters);
    unitId = endpoint.unit;
    return endpoint.problem.empty();
}

// Modbus node addresses: "table:register", or one number N that is split into
// table N / 100000 and register N mod 100000, and the function code that
// reads one object of each table. An address holds decimal digits and at most
// one ":", nothing else.
#pragma once

#include <cstdint>

#include "base/DeviceAddress.h"

// A text with any other character gives an address that is not valid.
ModbusAddress parseModbusAddress(const char* text);

// Tables 0, 1, 3 and 4 and registers 0..65535 can be read.
bool isValidModbusAddress(const ModbusAddress& address);

// The function code that reads one object of the table: coils 1, discrete
// inputs 2, input registers 4, holding registers 3; 0 for other tables.
uint8_t modbusFunctionFor(int table);

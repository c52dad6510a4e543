// Value types of node addresses: "DB10.DBD8:REAL", "400011:FLOAT32:CDAB".
// The text behind the address is read once, when the configuration is
// loaded, into the node's typed fields; the reads use those fields only.
#pragma once

#include <string>

#include "base/Records.h"

// What the text behind an address names.
struct ValueSpec {
    ValueType type = ValueType::Plain;
    WordOrder order = WordOrder::ABCD;
    bool orderGiven = false;
    int typeAt = 0;  // where ":TYPE" starts; 0 when the address names no type
};

// Finds ":TYPE" or ":TYPE:ORDER" behind the address: the first colon that
// is followed by a letter (a Modbus "table:register" has a digit there).
// Type and word order are read in any case. False, with the reason, when
// the text there is no known type or word order.
bool parseValueSuffix(const char* address, ValueSpec* spec, std::string* why);

// Whether the type fits the address on a source of that type ("simatic" or
// "modbus"): S7 INT on a word, DINT and REAL on a double word of inputs,
// outputs, flags or a data block; Modbus types on registers, the 32-bit ones
// on two registers that both exist. False, with the reason, when not.
bool valueTypeFits(const char* sourceType, const char* deviceAddress, const ValueSpec& spec,
                   std::string* why);

// The name the documentation uses for a node's type, "INT", "FLOAT32 CDAB";
// for an address without a type the form its device address reads as
// ("WORD", "UINT16", "BOOL"), "-" for one that names nothing.
std::string valueTypeName(const Node& node);

// Registers a Modbus read of the type asks for: 2 for the 32-bit types.
int modbusRegisterCount(ValueType type);

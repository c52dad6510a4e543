// Value type names, the suffix behind a node address and whether a type
// fits the address it is written behind.
#include "sources/ValueType.h"

#include <cctype>
#include <cstring>

#include "base/Text.h"
#include "sources/SourceEntry.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/s7/S7Address.h"
#include "sources/s7/S7Codes.h"

namespace {

struct TypeName {
    const char* name;
    ValueType type;
};

constexpr TypeName kTypeNames[] = {
    {"INT", ValueType::S7Int},       {"DINT", ValueType::S7Dint},   {"REAL", ValueType::S7Real},
    {"INT16", ValueType::Int16},     {"UINT32", ValueType::Uint32}, {"INT32", ValueType::Int32},
    {"FLOAT32", ValueType::Float32}, {"BITS", ValueType::Bits32},   {"BITS", ValueType::Bits16},
};

bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool isS7Type(ValueType type) {
    return type == ValueType::S7Int || type == ValueType::S7Dint || type == ValueType::S7Real;
}

// ":BITS" is read as BITS 16 and fits either protocol; the address makes it 32.
bool isBits(ValueType type) {
    return type == ValueType::Bits16 || type == ValueType::Bits32;
}

const char* nameOf(ValueType type) {
    for (const TypeName& entry : kTypeNames)
        if (entry.type == type) return entry.name;
    return "";
}

std::string upperCase(const char* text) {
    std::string upper = text ? text : "";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool s7TypeFits(const char* deviceAddress, const ValueSpec& spec, std::string* why) {
    S7Address a;
    std::string upper = upperCase(deviceAddress);
    if (!parseS7Address(upper.c_str(), &a)) {
        *why = std::string("'") + deviceAddress + "' is no S7 address a type can be given to";
        return false;
    }
    char wanted = spec.type == ValueType::S7Int ? 'W' : 'D';
    bool byteArea = a.area != daveTimer && a.area != daveCounter;
    if (byteArea && (a.type == wanted || (isBits(spec.type) && a.type == 'W'))) return true;
    if (isBits(spec.type)) {
        *why = std::string(
                   "BITS needs a word or a double word of inputs, outputs, flags or a data block "
                   "(MW20, DB10.DBD8), not '") +
               deviceAddress + "'";
        return false;
    }
    *why = std::string("type ") + nameOf(spec.type) + " needs a " + (wanted == 'W' ? "word" : "double word") +
           " of inputs, outputs, flags or a data block (" +
           (wanted == 'W' ? "MW20, DB10.DBW4" : "MD4, DB10.DBD8") + "), not '" + deviceAddress + "'";
    return false;
}

bool modbusTypeFits(const char* deviceAddress, const ValueSpec& spec, std::string* why) {
    ModbusAddress a = parseModbusAddress(deviceAddress);
    if (!isValidModbusAddress(a) || (a.table != 3 && a.table != 4)) {
        *why = std::string("type ") + nameOf(spec.type) +
               " needs an input or holding register (300001, 400001), not '" + deviceAddress + "'";
        return false;
    }
    // BITS with a word order is a word of 32 bits on two registers.
    int registers = isBits(spec.type) && spec.orderGiven ? 2 : modbusRegisterCount(spec.type);
    if (registers == 1 && spec.orderGiven) {
        *why = std::string("a word order applies to the 32-bit types only, not to ") + nameOf(spec.type);
        return false;
    }
    if (a.reg + registers - 1 > 0xFFFF) {
        *why = std::string("type ") + nameOf(spec.type) + " takes two registers, and " +
               std::to_string(a.reg) + " is the last one";
        return false;
    }
    return true;
}

bool isS7DoubleWord(const char* deviceAddress) {
    S7Address a;
    std::string upper = upperCase(deviceAddress);
    return parseS7Address(upper.c_str(), &a) && a.type == 'D';
}

}  // namespace

bool parseValueSuffix(const char* address, ValueSpec* spec, std::string* why) {
    *spec = ValueSpec{};
    const char* colon = address ? std::strchr(address, ':') : nullptr;
    while (colon && !isLetter(colon[1])) colon = std::strchr(colon + 1, ':');
    if (!colon) return true;
    spec->typeAt = static_cast<int>(colon - address);

    std::string suffix = upperCase(colon + 1);
    size_t second = suffix.find(':');
    std::string type = suffix.substr(0, second);
    std::string order = second == std::string::npos ? "" : suffix.substr(second + 1);
    bool known = false;
    for (const TypeName& entry : kTypeNames)
        if (type == entry.name) {
            spec->type = entry.type;
            known = true;
        }
    if (!known) {
        *why =
            "unknown value type '" + std::string(colon + 1, type.size()) + "' in address '" + address + "'";
        return false;
    }
    if (second == std::string::npos) return true;
    spec->orderGiven = true;
    if (order == "ABCD" || order == "CDAB") {
        spec->order = order == "ABCD" ? WordOrder::ABCD : WordOrder::CDAB;
        return true;
    }
    *why = "unknown word order '" + std::string(colon + 2 + type.size()) + "' in address '" + address +
           "' (ABCD or CDAB)";
    return false;
}

bool valueTypeFits(const char* sourceType, const char* deviceAddress, const ValueSpec& spec,
                   std::string* why) {
    if (spec.type == ValueType::Plain) return true;
    if (equalsIgnoreCase(deviceAddress, "!OFFLINE")) {
        *why = "!OFFLINE takes no value type";
        return false;
    }
    bool s7 = isS7Type(spec.type) || (isBits(spec.type) && equalsIgnoreCase(sourceType, "simatic"));
    if (!equalsIgnoreCase(sourceType, s7 ? "simatic" : "modbus")) {
        *why = std::string("type ") + nameOf(spec.type) + " is " + (s7 ? "an S7" : "a Modbus") +
               " type, but the node's source is of type '" + (sourceType ? sourceType : "") + "'";
        return false;
    }
    if (s7 && spec.orderGiven) {
        *why =
            std::string("a word order applies to the 32-bit Modbus types only, not to ") + nameOf(spec.type);
        return false;
    }
    return s7 ? s7TypeFits(deviceAddress, spec, why) : modbusTypeFits(deviceAddress, spec, why);
}

bool readValueType(Node* node, std::string* why) {
    ValueSpec spec;
    bool read = parseValueSuffix(node->address, &spec, why);
    char deviceText[kNameSize];
    copyText(deviceText, spec.typeAt > 0 ? static_cast<size_t>(spec.typeAt) + 1 : sizeof deviceText,
             node->address);
    // A type that does not fit is not used: the whole text is then no
    // address, and every read of it fails without a request.
    bool fits = read && valueTypeFits(node->source ? node->source->type : "", deviceText, spec, why);
    if (!fits) spec = ValueSpec{};
    if (spec.type == ValueType::Bits16 && (spec.orderGiven || isS7DoubleWord(deviceText)))
        spec.type = ValueType::Bits32;
    node->valueType = spec.type;
    node->wordOrder = spec.order;
    node->typeAt = spec.typeAt;
    return fits;
}

int modbusRegisterCount(ValueType type) {
    return type == ValueType::Uint32 || type == ValueType::Int32 || type == ValueType::Float32 ||
                   type == ValueType::Bits32
               ? 2
               : 1;
}

std::string valueTypeName(const Node& node) {
    if (node.valueType != ValueType::Plain) {
        std::string name = nameOf(node.valueType);
        if (modbusRegisterCount(node.valueType) == 2 && node.device.kind != AddressKind::S7)
            name += node.wordOrder == WordOrder::CDAB ? " CDAB" : " ABCD";
        return name;
    }
    switch (node.device.kind) {
        case AddressKind::Offline:
            return "OFFLINE";
        case AddressKind::Modbus:
            return node.device.modbus.table == 3 || node.device.modbus.table == 4 ? "UINT16" : "BOOL";
        case AddressKind::S7:
            break;
        default:
            return "-";
    }
    switch (node.device.s7.type) {
        case 'B':
            return "BYTE";
        case 'W':
            return "WORD";
        case 'D':
            return "DWORD";
        default:
            return "BOOL";
    }
}

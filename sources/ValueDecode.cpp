// Decoding of typed values, scaling, and the node address without its type.
#include "sources/ValueDecode.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "base/ValueText.h"

namespace {

uint32_t bigEndian32(const uint8_t* b) {
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

// IEEE 754 single precision from its bit pattern.
float floatOfBits(uint32_t bits) {
    float value;
    static_assert(sizeof value == sizeof bits, "float is 32 bits");
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Two's complement of 16 or 32 bits, without relying on a narrowing cast.
double signed16(uint32_t bits) {
    return bits >= 0x8000u ? static_cast<double>(bits) - 65536.0 : static_cast<double>(bits);
}
double signed32(uint32_t bits) {
    return bits >= 0x80000000u ? static_cast<double>(bits) - 4294967296.0 : static_cast<double>(bits);
}

}  // namespace

double decimalOfFloat(float value) {
    if (!std::isfinite(value)) return value;
    char text[64];
    std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    double widened = value;
    if (written.ec != std::errc()) return widened;
    std::from_chars(text, written.ptr, widened);
    return widened;
}

double decodeS7Value(ValueType type, char addressType, int bit, const uint8_t* bytes) {
    switch (type) {
        case ValueType::S7Int:
            return signed16((static_cast<uint32_t>(bytes[0]) << 8) | bytes[1]);
        case ValueType::S7Dint:
            return signed32(bigEndian32(bytes));
        case ValueType::S7Real:
            return decimalOfFloat(floatOfBits(bigEndian32(bytes)));
        default:
            break;
    }
    switch (addressType) {
        case 'W':
            return (static_cast<unsigned>(bytes[0]) << 8) | bytes[1];
        case 'D':
            return bigEndian32(bytes);
        case 'X':
            return ((bytes[0] >> bit) & 1) ? 1.0 : 0.0;
        default:
            return bytes[0];
    }
}

double decodeModbusRegisters(ValueType type, WordOrder order, const uint16_t* registers) {
    if (type == ValueType::Int16) return signed16(registers[0]);
    if (type == ValueType::Plain || type == ValueType::Bits16) return registers[0];
    uint32_t high = order == WordOrder::ABCD ? registers[0] : registers[1];
    uint32_t low = order == WordOrder::ABCD ? registers[1] : registers[0];
    uint32_t bits = (high << 16) | low;
    switch (type) {
        case ValueType::Int32:
            return signed32(bits);
        case ValueType::Float32:
            return decimalOfFloat(floatOfBits(bits));
        default:
            return bits;
    }
}

bool storeReading(Node* node, double raw) {
    double value = node->scaled ? raw * node->scaleFactor + node->scaleOffset : raw;
    if (std::isfinite(raw) && std::isfinite(value)) {
        node->raw = raw;
        node->value = value;
        return true;
    }
    std::string kept = formatValue(node->value, node->keepsDecimals());
    if (std::isfinite(raw))
        logf(Log::Always, "-read, adr %s: %s scaled is out of range; the node keeps %s\n", node->address,
             formatValue(raw, true).c_str(), kept.c_str());
    else
        logf(Log::Always, "-read, adr %s: the device answered %s, no value; the node keeps %s\n",
             node->address, std::isnan(raw) ? "NaN" : "an infinite value", kept.c_str());
    return false;
}

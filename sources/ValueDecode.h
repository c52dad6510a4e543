// From the bytes a device answers with to the node's value: the value types
// of S7 and Modbus, the scaling and the refusal of a reading that is no
// number. Pure functions over bytes, so they can be tested and fuzzed alone.
#pragma once

#include <cstdint>

#include "base/Records.h"

// The raw value of an S7 read of an address of type B, W, D or X (bit
// `bit`): `bytes` holds the 1, 2 or 4 bytes the address asked for, big-endian.
double decodeS7Value(ValueType type, char addressType, int bit, const uint8_t* bytes);

// The raw value of one register (INT16) or two (UINT32, INT32, FLOAT32, in
// the word order given); `registers` holds as many as the type takes.
double decodeModbusRegisters(ValueType type, WordOrder order, const uint16_t* registers);

// A single-precision float as the double of its shortest decimal form, so
// a REAL the PLC shows as 21.3 compares and prints as 21.3 and not as the
// 21.2999992370605... that its bits widen to. NaN and infinity stay as they are.
double decimalOfFloat(float value);

// Takes a raw reading: value = raw x factor + offset for a scaled node.
// A raw or scaled value that is NaN or infinite is no reading: a line says
// so, the node keeps its value and the read fails.
bool storeReading(Node* node, double raw);

// The base connection and the factory that picks the connection kind from
// the source's type name.
#include "sources/SourceConnection.h"

#include <cctype>

#include "core/Records.h"
#include "core/Text.h"
#include "sources/ModbusAddress.h"
#include "sources/ModbusConnection.h"
#include "sources/NodaveConnection.h"

bool SourceConnection::connect(const char*) {
    return false;
}
bool SourceConnection::read(Node*) {
    return false;
}
bool SourceConnection::isConnected() {
    return connected;
}

std::unique_ptr<SourceConnection> createConnection(const char* type) {
    if (equalsIgnoreCase(type, "simatic")) return std::make_unique<NodaveConnection>();
    if (equalsIgnoreCase(type, "modbus")) return std::make_unique<ModbusConnection>();
    return nullptr;
}

bool isKnownSourceType(const char* type) {
    return equalsIgnoreCase(type, "simatic") || equalsIgnoreCase(type, "modbus");
}

// The same parsers the reads use, so what the check accepts is what is read.
bool isValidNodeAddress(const char* type, const char* address) {
    if (!address) return false;
    if (equalsIgnoreCase(address, "!OFFLINE")) return true;
    if (equalsIgnoreCase(type, "modbus")) return isValidModbusAddress(parseModbusAddress(address));
    if (!equalsIgnoreCase(type, "simatic")) return true;  // an unknown type is reported on its own
    char upper[kNameSize];
    copyText(upper, address);
    for (char* p = upper; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    S7Address parsed;
    return parseS7Address(upper, &parsed);
}

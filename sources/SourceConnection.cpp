// The base connection and the factory that picks the connection kind from
// the source's type name.
#include "sources/SourceConnection.h"

#include "core/Text.h"
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

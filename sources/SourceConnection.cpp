// The base connection and the factory that picks the connection kind from
// the source's type name.
#include "sources/SourceConnection.h"

#include "base/Text.h"
#include "sources/modbus/ModbusConnection.h"
#include "sources/s7/S7Connection.h"

bool SourceConnection::connect(const char*) {
    return false;
}
bool SourceConnection::read(Node*) {
    return false;
}
bool SourceConnection::readBlock(const ReadBlock&, const Node*, std::vector<BlockValue>*) {
    return false;
}
int SourceConnection::pduLength() {
    return 0;
}
bool SourceConnection::isConnected() {
    return connected;
}

std::unique_ptr<SourceConnection> createConnection(const char* type) {
    if (equalsIgnoreCase(type, "simatic")) return std::make_unique<S7Connection>();
    if (equalsIgnoreCase(type, "modbus")) return std::make_unique<ModbusConnection>();
    return nullptr;
}

bool isKnownSourceType(const char* type) {
    return equalsIgnoreCase(type, "simatic") || equalsIgnoreCase(type, "modbus");
}

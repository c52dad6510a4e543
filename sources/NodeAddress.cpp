// Node addresses read by the grammar of the source's protocol.
#include "sources/NodeAddress.h"

#include <cctype>

#include "base/Text.h"
#include "sources/ValueType.h"
#include "sources/modbus/ModbusAddress.h"
#include "sources/s7/S7Address.h"

namespace {

DeviceAddress modbusAddressOf(const char* text) {
    DeviceAddress address;
    address.modbus = parseModbusAddress(text);
    if (isValidModbusAddress(address.modbus)) address.kind = AddressKind::Modbus;
    return address;
}

// S7 addresses are read in any case. A "!" address other than !OFFLINE
// names no object, and the S7 read has always let it pass without a request.
DeviceAddress s7AddressOf(const char* text) {
    char upper[kNameSize];
    copyText(upper, text);
    for (char* p = upper; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    DeviceAddress address;
    if (upper[0] == '!')
        address.kind = AddressKind::Skipped;
    else if (parseS7Address(upper, &address.s7))
        address.kind = AddressKind::S7;
    return address;
}

}  // namespace

DeviceAddress readDeviceAddress(const char* sourceType, const char* text) {
    if (!text) return DeviceAddress{};
    if (equalsIgnoreCase(text, "!OFFLINE")) return DeviceAddress{AddressKind::Offline, {}, {}};
    if (equalsIgnoreCase(sourceType, "modbus")) return modbusAddressOf(text);
    if (equalsIgnoreCase(sourceType, "simatic")) return s7AddressOf(text);
    return DeviceAddress{};
}

bool readNodeAddress(const char* sourceType, Node* node, std::string* why) {
    bool typed = readValueType(node, why);
    char device[kNameSize];
    deviceAddressOf(*node, device);
    node->device = readDeviceAddress(sourceType, device);
    return typed;
}

bool isValidNodeAddress(const DeviceAddress& address) {
    return address.kind == AddressKind::Offline || address.kind == AddressKind::Modbus ||
           address.kind == AddressKind::S7;
}

void deviceAddressOf(const Node& node, char (&out)[kNameSize]) {
    size_t length = node.typeAt > 0 ? static_cast<size_t>(node.typeAt) : sizeof out - 1;
    copyText(out, length + 1 < sizeof out ? length + 1 : sizeof out, node.address);
}

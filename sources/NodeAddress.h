// The one reader of node addresses: a node's text becomes its typed device
// address once, when the configuration is loaded, as the source's protocol
// reads it; the reads use only that typed form.
#pragma once

#include <string>

#include "base/Records.h"

// The text, without a ":TYPE", as a source of `sourceType` ("modbus",
// "simatic", in any case) reads it. "!OFFLINE" fits every type; anything
// that is no address of the type, or a type that is none of the two, is
// Invalid.
DeviceAddress readDeviceAddress(const char* sourceType, const char* text);

// Reads the node's address as the load does: the ":TYPE" behind it into the
// node's value type (Node::readValueType, against the node's source), then
// the rest into `device`. False, with the reason, when the type is unknown
// or does not fit; the whole text is then read as the device address.
bool readNodeAddress(const char* sourceType, Node* node, std::string* why);

// What the load accepts without a complaint: "!OFFLINE" or an address of the
// source's protocol.
bool isValidNodeAddress(const DeviceAddress& address);

// The node's address as the device knows it, without its ":TYPE".
void deviceAddressOf(const Node& node, char (&out)[kNameSize]);

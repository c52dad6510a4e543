// The S7 node address syntax (MW20, DB10.DBX2.5, T5, ...) read into the
// typed address a read sends. Apart from the connection, so the load that
// reads node addresses needs nothing of the link.
#pragma once

#include "base/DeviceAddress.h"

// Reads an upper-cased node address. False for "!" addresses and for every
// text that fits none of the forms; nothing is sent for those.
bool parseS7Address(const char* adr, S7Address* out);

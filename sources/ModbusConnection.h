// ModbusConnection (placeholder with the base behaviour).
#pragma once

#include "sources/SourceConnection.h"

class ModbusConnection : public SourceConnection {};

// NodaveConnection (placeholder with the base behaviour).
#pragma once

#include "sources/SourceConnection.h"

class NodaveConnection : public SourceConnection {};

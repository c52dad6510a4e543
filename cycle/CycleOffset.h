// Where within its read interval a coupler starts its cycles. Many couplers on
// one host, all started together, would otherwise wake and query their devices
// at the same turn of the second.
#pragma once

#include <cstdint>

// Milliseconds in [0, readIntervalSeconds * 1000) after the turn of the
// second the cycle is due at, fixed for the configuration file's absolute
// name; 0 without a read interval.
int cycleOffsetFor(const char* configPath, int readIntervalSeconds);

// The second the cycle clock shows at `wallMs` (milliseconds since 1970):
// the wall clock moved back by the offset.
int64_t cycleSecondAt(int64_t wallMs, int offsetMs);

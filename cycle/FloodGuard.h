// The flood guard of a receiver ("flood;MAX;SECONDS"): past MAX hand-overs in
// a window of SECONDS, what follows is held back in the outbox and goes out
// as one summary when the window ends. Nothing leaves the outbox unsent.
#pragma once

#include <cstdint>

class Outbox;
struct OutboxEntry;
struct Receiver;

// True when the guard of `receiver` lets `entry` go now, counting it;
// otherwise the entry is held back, with a line.
bool floodGuardAdmits(Outbox& box, const Receiver& receiver, OutboxEntry& entry, int64_t nowMs);
// Replaces what each receiver held back by one summary once its window has
// ended; the summary opens the next window. True when the outbox changed.
bool summarizeHeldBack(Outbox& box, int64_t nowMs);

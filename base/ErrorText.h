// The text of an errno code, safe to call from any thread: the source worker,
// the sender and the main loop all report system failures, and strerror may
// hand each the same static buffer.
#pragma once

// Valid until the next call on the same thread, as strerror's text would be
// until the next call anywhere.
const char* errorText(int code);

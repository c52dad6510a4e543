// errno texts through the reentrant strerror_r, into a buffer of the calling thread.
#include "base/ErrorText.h"

#include <cstring>

const char* errorText(int code) {
    thread_local char buffer[128];
    // The GNU form: returns either a constant text or the buffer, always terminated.
    return strerror_r(code, buffer, sizeof buffer);
}

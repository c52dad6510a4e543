// Fuzzes the reader of the operator's request files, which anybody who may
// write the request folder can fill: it must never crash, and a request it
// accepts must read back the same from what the writer makes of it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cycle/OperatorRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    OperatorRequest request;
    std::string why;
    if (!parseRequest(text, &request, &why)) return 0;
    OperatorRequest again;
    if (!parseRequest(formatRequest(request), &again, &why) || again.command != request.command ||
        again.node != request.node || again.by != request.by || again.note != request.note ||
        again.seconds != request.seconds || again.time != request.time || again.episode != request.episode)
        std::abort();
    return 0;
}

// Fuzz target for the S7 answer checks: arbitrary bytes as a connection
// confirm, a setup answer and a read answer, and as a node address.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sources/s7/S7Connection.h"
#include "sources/s7/Nodave.h"
#include "sources/s7/S7Frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // The first bytes choose what the read asked for; the rest is the answer.
    static const int kAreas[] = {daveInputs, daveOutputs, daveFlags, daveDB, daveTimer, daveCounter};
    int area = kAreas[data[0] % 6];
    int byteCount = 1 + data[1] % 4;
    uint16_t ref = data[2];
    const uint8_t* packet = data + 3;
    int length = static_cast<int>(size - 3 > 4096 ? 4096 : size - 3);

    // An exact-size copy, so that any read past the end is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(length > 0 ? length : 1));
    if (length > 0) std::memcpy(copy, packet, static_cast<size_t>(length));

    if (length >= s7::kTpktHeaderSize) s7::checkTpktHeader(copy);
    s7::parseConnectConfirm(copy, length);
    int pdu = 0;
    if (s7::parseSetupAnswer(copy, length, ref, &pdu) == 0 && pdu < 24) std::abort();

    // The buffer holds exactly the bytes requested; a write past it is a fault.
    uint8_t* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(byteCount)));
    int rc = s7::parseReadAnswer(copy, length, ref, area, byteCount, out);
    if (rc == 0 && length < 25) std::abort();  // no answer that short carries an item
    std::free(out);
    std::free(copy);

    // The same bytes as a node address.
    char adr[kNameSize];
    size_t n = size < sizeof adr - 1 ? size : sizeof adr - 1;
    std::memcpy(adr, data, n);
    adr[n] = 0;
    S7Address a;
    if (parseS7Address(adr, &a) &&
        (a.byteCount < 1 || a.byteCount > 4 || a.start < 0 || a.bit < 0 || a.bit > 31))
        std::abort();
    return 0;
}

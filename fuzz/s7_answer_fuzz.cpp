// Fuzz target for the S7 answer checks: arbitrary bytes as a connection
// confirm, a setup answer and a read answer, the data decoded as every type
// that fits its size, and the bytes as a node address with a type.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sources/ValueDecode.h"
#include "sources/ValueType.h"
#include "sources/s7/Nodave.h"
#include "sources/s7/S7Address.h"
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
    if (rc == 0 && byteCount == 2) {
        double v = decodeS7Value(ValueType::S7Int, 'W', 0, out);
        if (v < -32768 || v > 32767) std::abort();
    }
    if (rc == 0 && byteCount == 4) {
        double v = decodeS7Value(ValueType::S7Dint, 'D', 0, out);
        if (v < -2147483648.0 || v > 2147483647.0) std::abort();
        decodeS7Value(ValueType::S7Real, 'D', 0, out);
    }
    std::free(out);

    // The same bytes as the answer to a job of several items, their areas and
    // sizes taken from the first bytes.
    s7::ReadItem items[s7::kMaxReadItems];
    int itemCount = 1 + data[1] % s7::kMaxReadItems;
    for (int i = 0; i < itemCount; ++i) {
        uint8_t pick = data[(3 + i) % size];
        int itemArea = kAreas[pick % 6];
        int bytes = (itemArea == daveTimer || itemArea == daveCounter) ? 2 : 1 + (pick >> 4) % 4;
        int count = (itemArea == daveTimer || itemArea == daveCounter) ? 1 : bytes;
        items[i] = s7::ReadItem{itemArea, 1, i, count, bytes};
    }
    int results[s7::kMaxReadItems] = {};
    uint8_t itemData[s7::kMaxReadItems][s7::kMaxItemBytes] = {};
    s7::parseMultiReadAnswer(copy, length, ref, items, itemCount, results, itemData);
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
    // A type that fits names a word or a double word, so the read asks for
    // exactly the bytes the decoding takes.
    ValueSpec spec;
    std::string why;
    if (parseValueSuffix(adr, &spec, &why) && spec.typeAt > 0) {
        std::string device(adr, static_cast<size_t>(spec.typeAt));
        for (char& c : device) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (valueTypeFits("simatic", device.c_str(), spec, &why)) {
            if (!parseS7Address(device.c_str(), &a)) std::abort();
            // ":BITS" is a word of 16 alarm bits on a word, of 32 on a double word.
            bool word = spec.type == ValueType::S7Int || spec.type == ValueType::Bits16;
            if (spec.type == ValueType::Bits16 || spec.type == ValueType::Bits32) word = a.byteCount == 2;
            if (a.byteCount != (word ? 2 : 4)) std::abort();
        }
    }
    return 0;
}

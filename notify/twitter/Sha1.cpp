// SHA-1 after FIPS 180-1 and HMAC-SHA1 after RFC 2104.
#include "notify/twitter/Sha1.h"

#include <cstdio>
#include <cstring>

namespace {

inline uint32_t rol(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// update() takes 32-bit lengths; longer inputs go in pieces.
void updateLong(Sha1& sha1, const uint8_t* data, size_t length) {
    while (length > 0) {
        uint32_t piece = length > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(length);
        sha1.update(data, piece);
        data += piece;
        length -= piece;
    }
}

}  // namespace

void Sha1::reset() {
    state_[0] = 0x67452301u;
    state_[1] = 0xEFCDAB89u;
    state_[2] = 0x98BADCFEu;
    state_[3] = 0x10325476u;
    state_[4] = 0xC3D2E1F0u;
    count_[0] = count_[1] = 0;
}

// clang-format off
// The 16 message words live in a circular window, so each of the 80 rounds
// only needs the words W[t-3], W[t-8], W[t-14] and W[t-16].
#define SHA1_BYTE(i, k) uint32_t(block[4 * static_cast<size_t>(i) + (k)])
#define SHA1_BLK0(i) \
    (work_[i] = (SHA1_BYTE(i, 0) << 24) | (SHA1_BYTE(i, 1) << 16) | (SHA1_BYTE(i, 2) << 8) | SHA1_BYTE(i, 3))
#define SHA1_BLK(i)                                                                                        \
    (work_[(i)&15] = rol(work_[((i) + 13) & 15] ^ work_[((i) + 8) & 15] ^ work_[((i) + 2) & 15] ^ work_[(i)&15], \
                         1))
#define SHA1_R0(v, w, x, y, z, i)                                             \
    (z) += (((w) & ((x) ^ (y))) ^ (y)) + SHA1_BLK0(i) + 0x5A827999u + rol((v), 5); \
    (w) = rol((w), 30);
#define SHA1_R1(v, w, x, y, z, i)                                            \
    (z) += (((w) & ((x) ^ (y))) ^ (y)) + SHA1_BLK(i) + 0x5A827999u + rol((v), 5); \
    (w) = rol((w), 30);
#define SHA1_R2(v, w, x, y, z, i)                                  \
    (z) += ((w) ^ (x) ^ (y)) + SHA1_BLK(i) + 0x6ED9EBA1u + rol((v), 5); \
    (w) = rol((w), 30);
#define SHA1_R3(v, w, x, y, z, i)                                                      \
    (z) += ((((w) | (x)) & (y)) | ((w) & (x))) + SHA1_BLK(i) + 0x8F1BBCDCu + rol((v), 5); \
    (w) = rol((w), 30);
#define SHA1_R4(v, w, x, y, z, i)                                  \
    (z) += ((w) ^ (x) ^ (y)) + SHA1_BLK(i) + 0xCA62C1D6u + rol((v), 5); \
    (w) = rol((w), 30);

void Sha1::transform(const uint8_t block[kBlockSize]) {
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];

    // Rounds 0-19: Ch, K = 0x5A827999.
    SHA1_R0(a, b, c, d, e, 0) SHA1_R0(e, a, b, c, d, 1) SHA1_R0(d, e, a, b, c, 2) SHA1_R0(c, d, e, a, b, 3)
    SHA1_R0(b, c, d, e, a, 4) SHA1_R0(a, b, c, d, e, 5) SHA1_R0(e, a, b, c, d, 6) SHA1_R0(d, e, a, b, c, 7)
    SHA1_R0(c, d, e, a, b, 8) SHA1_R0(b, c, d, e, a, 9) SHA1_R0(a, b, c, d, e, 10) SHA1_R0(e, a, b, c, d, 11)
    SHA1_R0(d, e, a, b, c, 12) SHA1_R0(c, d, e, a, b, 13) SHA1_R0(b, c, d, e, a, 14) SHA1_R0(a, b, c, d, e, 15)
    SHA1_R1(e, a, b, c, d, 16) SHA1_R1(d, e, a, b, c, 17) SHA1_R1(c, d, e, a, b, 18) SHA1_R1(b, c, d, e, a, 19)
    // Rounds 20-39: Parity, K = 0x6ED9EBA1.
    SHA1_R2(a, b, c, d, e, 20) SHA1_R2(e, a, b, c, d, 21) SHA1_R2(d, e, a, b, c, 22) SHA1_R2(c, d, e, a, b, 23)
    SHA1_R2(b, c, d, e, a, 24) SHA1_R2(a, b, c, d, e, 25) SHA1_R2(e, a, b, c, d, 26) SHA1_R2(d, e, a, b, c, 27)
    SHA1_R2(c, d, e, a, b, 28) SHA1_R2(b, c, d, e, a, 29) SHA1_R2(a, b, c, d, e, 30) SHA1_R2(e, a, b, c, d, 31)
    SHA1_R2(d, e, a, b, c, 32) SHA1_R2(c, d, e, a, b, 33) SHA1_R2(b, c, d, e, a, 34) SHA1_R2(a, b, c, d, e, 35)
    SHA1_R2(e, a, b, c, d, 36) SHA1_R2(d, e, a, b, c, 37) SHA1_R2(c, d, e, a, b, 38) SHA1_R2(b, c, d, e, a, 39)
    // Rounds 40-59: Maj, K = 0x8F1BBCDC.
    SHA1_R3(a, b, c, d, e, 40) SHA1_R3(e, a, b, c, d, 41) SHA1_R3(d, e, a, b, c, 42) SHA1_R3(c, d, e, a, b, 43)
    SHA1_R3(b, c, d, e, a, 44) SHA1_R3(a, b, c, d, e, 45) SHA1_R3(e, a, b, c, d, 46) SHA1_R3(d, e, a, b, c, 47)
    SHA1_R3(c, d, e, a, b, 48) SHA1_R3(b, c, d, e, a, 49) SHA1_R3(a, b, c, d, e, 50) SHA1_R3(e, a, b, c, d, 51)
    SHA1_R3(d, e, a, b, c, 52) SHA1_R3(c, d, e, a, b, 53) SHA1_R3(b, c, d, e, a, 54) SHA1_R3(a, b, c, d, e, 55)
    SHA1_R3(e, a, b, c, d, 56) SHA1_R3(d, e, a, b, c, 57) SHA1_R3(c, d, e, a, b, 58) SHA1_R3(b, c, d, e, a, 59)
    // Rounds 60-79: Parity, K = 0xCA62C1D6.
    SHA1_R4(a, b, c, d, e, 60) SHA1_R4(e, a, b, c, d, 61) SHA1_R4(d, e, a, b, c, 62) SHA1_R4(c, d, e, a, b, 63)
    SHA1_R4(b, c, d, e, a, 64) SHA1_R4(a, b, c, d, e, 65) SHA1_R4(e, a, b, c, d, 66) SHA1_R4(d, e, a, b, c, 67)
    SHA1_R4(c, d, e, a, b, 68) SHA1_R4(b, c, d, e, a, 69) SHA1_R4(a, b, c, d, e, 70) SHA1_R4(e, a, b, c, d, 71)
    SHA1_R4(d, e, a, b, c, 72) SHA1_R4(c, d, e, a, b, 73) SHA1_R4(b, c, d, e, a, 74) SHA1_R4(a, b, c, d, e, 75)
    SHA1_R4(e, a, b, c, d, 76) SHA1_R4(d, e, a, b, c, 77) SHA1_R4(c, d, e, a, b, 78) SHA1_R4(b, c, d, e, a, 79)

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

#undef SHA1_BYTE
#undef SHA1_BLK0
#undef SHA1_BLK
#undef SHA1_R0
#undef SHA1_R1
#undef SHA1_R2
#undef SHA1_R3
#undef SHA1_R4
// clang-format on

void Sha1::update(const uint8_t* data, uint32_t length) {
    if (length == 0 || data == nullptr) return;
    uint32_t used = (count_[0] >> 3) & 63;
    // The bit count is 64 bits wide in two words; the high word takes the
    // carry of the low one and the top 3 bits of the byte length.
    uint32_t bitsLow = length << 3;
    count_[0] += bitsLow;
    if (count_[0] < bitsLow) ++count_[1];
    count_[1] += length >> 29;

    uint32_t i = 0;
    if (used + length >= 64) {
        i = 64 - used;
        memcpy(buffer_ + used, data, i);
        transform(buffer_);
        for (; i + 63 < length; i += 64) transform(data + i);
        used = 0;
    }
    memcpy(buffer_ + used, data + i, length - i);
}

void Sha1::finalize() {
    uint8_t finalcount[8];
    for (int i = 0; i < 8; ++i) {
        // Big-endian, high word first.
        finalcount[i] = static_cast<uint8_t>((count_[i >= 4 ? 0 : 1] >> ((3 - (i & 3)) * 8)) & 255);
    }
    static const uint8_t kPad80 = 0x80;
    static const uint8_t kZero = 0;
    update(&kPad80, 1);
    while ((count_[0] & 504) != 448) update(&kZero, 1);
    update(finalcount, 8);  // the 64th padding byte runs the last transform
    for (int i = 0; i < kDigestSize; ++i) {
        digest_[i] = static_cast<uint8_t>((state_[i >> 2] >> ((3 - (i & 3)) * 8)) & 255);
    }
    // Wipe what is left of the message; one transform over the zeroed block
    // also overwrites the work area.
    memset(state_, 0, sizeof state_);
    memset(count_, 0, sizeof count_);
    memset(buffer_, 0, sizeof buffer_);
    memset(finalcount, 0, sizeof finalcount);
    transform(buffer_);
}

void Sha1::digest(uint8_t* out) const {
    if (out) memcpy(out, digest_, kDigestSize);
}

bool Sha1::hashFile(const char* path) {
    if (path == nullptr) return false;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    static const size_t kChunk = 8000;
    uint8_t chunk[kChunk];
    size_t got;
    while ((got = fread(chunk, 1, kChunk, file)) > 0) update(chunk, static_cast<uint32_t>(got));
    fclose(file);
    return true;
}

void Sha1::reportHash(char* out, size_t capacity, int type) const {
    if (out == nullptr || capacity == 0) return;
    if (type != kReportHex && type != kReportDigits) {
        snprintf(out, capacity, "%s", "Error: Unknown report type!");
        return;
    }
    size_t length = strnlen(out, capacity);
    if (length == capacity) {  // not terminated: start over rather than run past the end
        length = 0;
        out[0] = 0;
    }
    for (int i = 0; i < kDigestSize; ++i) {
        char piece[16];
        if (type == kReportHex) {
            snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", digest_[i]);
        } else {
            snprintf(piece, sizeof piece, i == 0 ? "%u" : " %u", static_cast<unsigned>(digest_[i]));
        }
        size_t add = strlen(piece);
        if (length + add >= capacity) break;
        memcpy(out + length, piece, add + 1);
        length += add;
    }
}

void HmacSha1::compute(const uint8_t* message, size_t messageLength, const uint8_t* key, size_t keyLength,
                       uint8_t* digest) {
    if (digest == nullptr) return;
    uint8_t keyBlock[Sha1::kBlockSize] = {};
    // A key longer than the block is replaced by its digest (RFC 2104, 2.).
    if (keyLength > Sha1::kBlockSize) {
        sha1_.reset();
        updateLong(sha1_, key, keyLength);
        sha1_.finalize();
        sha1_.digest(keyBlock);
    } else if (keyLength > 0) {
        memcpy(keyBlock, key, keyLength);
    }
    uint8_t ipad[Sha1::kBlockSize];
    uint8_t opad[Sha1::kBlockSize];
    for (int i = 0; i < Sha1::kBlockSize; ++i) {
        ipad[i] = static_cast<uint8_t>(keyBlock[i] ^ 0x36);
        opad[i] = static_cast<uint8_t>(keyBlock[i] ^ 0x5C);
    }

    uint8_t inner[Sha1::kDigestSize];
    sha1_.reset();
    sha1_.update(ipad, Sha1::kBlockSize);
    updateLong(sha1_, message, messageLength);
    sha1_.finalize();
    sha1_.digest(inner);

    sha1_.reset();
    sha1_.update(opad, Sha1::kBlockSize);
    sha1_.update(inner, Sha1::kDigestSize);
    sha1_.finalize();
    sha1_.digest(digest);

    memset(keyBlock, 0, sizeof keyBlock);
    memset(ipad, 0, sizeof ipad);
    memset(opad, 0, sizeof opad);
}

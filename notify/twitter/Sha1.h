// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104): the digests under the OAuth
// request signature. Written here so the signing road has no crypto library
// underneath it.
#pragma once

#include <cstddef>
#include <cstdint>

class Sha1 {
  public:
    static constexpr int kDigestSize = 20;
    static constexpr int kBlockSize = 64;

    enum ReportType { kReportHex = 0, kReportDigits = 1 };

    Sha1() { reset(); }

    // Starts a new message.
    void reset();
    // Adds `length` bytes to the message.
    void update(const uint8_t* data, uint32_t length);
    // Pads, writes the digest and wipes the working data; reset() before reuse.
    void finalize();
    // Copies the 20 digest bytes of the last finalize() to `out`.
    void digest(uint8_t* out) const;

    // Feeds a whole file to update() in 8000-byte chunks. Neither resets nor
    // finalizes: the caller brackets it. False for a null path or a file that
    // can't be opened.
    bool hashFile(const char* path);

    // Appends the digest as text to the zero-terminated text in `out` (which
    // holds `capacity` bytes): "A9 99 3E ..." for kReportHex, "169 153 62 ..."
    // for kReportDigits. Another type writes "Error: Unknown report type!".
    // The output is cut to fit; a null buffer does nothing.
    void reportHash(char* out, size_t capacity, int type) const;

  private:
    void transform(const uint8_t block[kBlockSize]);

    uint32_t state_[5];
    uint32_t count_[2];  // message length in bits: low word, high word
    uint8_t buffer_[kBlockSize] = {};
    uint8_t digest_[kDigestSize] = {};
    uint32_t work_[16] = {};
};

class HmacSha1 {
  public:
    // RFC 2104 with SHA-1; writes 20 bytes to `digest`. The message is fed to
    // the inner hash as it is rather than copied behind the padded key, so its
    // length is not bounded.
    void compute(const uint8_t* message, size_t messageLength, const uint8_t* key, size_t keyLength,
                 uint8_t* digest);

  private:
    Sha1 sha1_;
};

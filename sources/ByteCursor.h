// Bounded big-endian access to frame bytes. Every field of a Modbus or S7
// frame is read or written through these two cursors, so no offset can run
// past its buffer: a read beyond the end yields 0 and marks the reader
// overrun, a write beyond the end writes nothing and marks the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteReader {
  public:
    // A null `data` reads as no bytes at all.
    ByteReader(const uint8_t* data, size_t length) : data_(data), length_(data ? length : 0) {}

    unsigned u8() { return static_cast<unsigned>(next(1)); }
    unsigned u16() { return static_cast<unsigned>(next(2)); }
    uint32_t u24() { return next(3); }
    uint32_t u32() { return next(4); }
    // The next n bytes in place, or null (and overrun) when fewer are left.
    const uint8_t* take(size_t n) {
        if (n > remaining()) {
            fail();
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    void skip(size_t n) { take(n); }

    size_t remaining() const { return length_ - pos_; }
    bool overrun() const { return overrun_; }

  private:
    uint32_t next(size_t width) {
        const uint8_t* p = take(width);
        if (!p) return 0;
        uint32_t v = 0;
        for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
        return v;
    }
    void fail() {
        overrun_ = true;
        pos_ = length_;
    }

    const uint8_t* data_;
    size_t length_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

class ByteWriter {
  public:
    ByteWriter(uint8_t* data, size_t capacity) : data_(data), capacity_(data ? capacity : 0) {}

    void put8(unsigned v) { put(v, 1); }
    void put16(unsigned v) { put(v, 2); }
    void put24(uint32_t v) { put(v, 3); }
    void put32(uint32_t v) { put(v, 4); }
    void putBytes(const uint8_t* bytes, size_t n) {
        if (!room(n)) return;
        if (n > 0) std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }

    // Bytes written so far.
    size_t size() const { return size_; }
    bool overflow() const { return overflow_; }

  private:
    void put(uint32_t v, size_t width) {
        if (!room(width)) return;
        for (size_t i = 0; i < width; ++i)
            data_[size_ + i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
        size_ += width;
    }
    bool room(size_t n) {
        if (n <= capacity_ - size_) return true;
        overflow_ = true;
        return false;
    }

    uint8_t* data_;
    size_t capacity_;
    size_t size_ = 0;
    bool overflow_ = false;
};

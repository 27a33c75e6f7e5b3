#include "tools/encode/h264_bits.h"

#include <cstring>

// ---------------------------------------------------------------------------
// Constants

constexpr int kMaxGolombZeros = 32;  // ue(v) codes beyond 2^32 - 2 are not H.264's
constexpr uint8_t kEmulationByte = 0x03;

// ---------------------------------------------------------------------------
// Internal helpers

// The offset of the next 00 00 01 at or after from, or size.
static size_t findStartCode(const uint8_t* bytes, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (bytes[i + 2] > 1) {
            i += 2;  // none of the three can start one
            continue;
        }
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
    }
    return size;
}

// ---------------------------------------------------------------------------
// Public functions

bool nextNalUnit(const uint8_t* bytes, size_t size, size_t& offset, NalUnit& unit) {
    const size_t code = findStartCode(bytes, size, offset);
    if (code >= size) {
        offset = size;
        return false;
    }
    // A fourth zero before 00 00 01 belongs to the start code.
    const size_t begin = code > offset && bytes[code - 1] == 0 ? code - 1 : code;
    const size_t data = code + kStartCodeBytes;
    if (data >= size) {
        offset = size;
        return false;
    }
    size_t end = findStartCode(bytes, size, data);
    // Zeros before the next start code are trailing_zero_8bits, not the unit's.
    while (end > data && bytes[end - 1] == 0)
        --end;
    unit.begin = bytes + begin;
    unit.data = bytes + data;
    unit.size = end - data;
    unit.type = bytes[data] & 0x1F;
    unit.refIdc = (bytes[data] >> 5) & 0x03;
    offset = end;
    return true;
}

size_t unescapeNal(const uint8_t* escaped, size_t size, uint8_t* out) {
    size_t n = 0;
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = escaped[i];
        if (zeros >= 2 && b == kEmulationByte) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out[n++] = b;
    }
    return n;
}

size_t escapeNal(const uint8_t* raw, size_t size, uint8_t* out) {
    size_t n = 0;
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = raw[i];
        if (zeros >= 2 && b <= kEmulationByte) {
            out[n++] = kEmulationByte;
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out[n++] = b;
    }
    // A unit may not end in 00 00 (cabac_zero_words): the next start code
    // would swallow it.
    if (zeros >= 2) out[n++] = kEmulationByte;
    return n;
}

BitReader bitReader(const uint8_t* data, size_t size) {
    return BitReader{data, size, 0, false};
}

uint32_t readBits(BitReader& r, int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        uint32_t bit = 0;
        if (r.pos < r.size * 8)
            bit = (r.data[r.pos >> 3] >> (7 - (r.pos & 7))) & 1;
        else
            r.overrun = true;
        ++r.pos;
        value = (value << 1) | bit;
    }
    return value;
}

uint32_t readUe(BitReader& r) {
    int zeros = 0;
    while (readBits(r, 1) == 0) {
        if (r.overrun || ++zeros > kMaxGolombZeros) {
            r.overrun = true;
            return 0;
        }
    }
    if (zeros == kMaxGolombZeros) {
        // 2^32 - 1 + the suffix: only an all-zero suffix fits in 32 bits.
        r.overrun = readBits(r, zeros) != 0 || r.overrun;
        return 0xFFFFFFFFu;
    }
    return ((1u << zeros) - 1) + readBits(r, zeros);
}

int32_t readSe(BitReader& r) {
    const uint32_t k = readUe(r);
    // 1, 2, 3, 4 ... stand for 1, -1, 2, -2 ...
    const int64_t magnitude = (static_cast<int64_t>(k) + 1) / 2;
    return static_cast<int32_t>(k & 1 ? magnitude : -magnitude);
}

bool atTrailingBits(const BitReader& r) {
    const size_t total = r.size * 8;
    if (r.overrun || r.pos >= total) return false;
    BitReader rest = r;
    if (readBits(rest, 1) != 1) return false;
    while (rest.pos < total)
        if (readBits(rest, 1) != 0) return false;
    return true;
}

BitWriter bitWriter(uint8_t* data, size_t capacity) {
    return BitWriter{data, capacity, 0, false};
}

void writeBits(BitWriter& w, uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
        const size_t byte = w.pos >> 3;
        if (byte >= w.capacity) {
            w.overrun = true;
            return;
        }
        if ((w.pos & 7) == 0) w.data[byte] = 0;
        w.data[byte] |= static_cast<uint8_t>(((value >> i) & 1) << (7 - (w.pos & 7)));
        ++w.pos;
    }
}

void writeUe(BitWriter& w, uint32_t value) {
    const uint64_t code = static_cast<uint64_t>(value) + 1;
    int bits = 0;
    while ((code >> bits) > 1)
        ++bits;
    writeBits(w, 0, bits);
    // The 1 and the suffix: bits + 1 bits of code, at most 32.
    writeBits(w, static_cast<uint32_t>(code >> bits), 1);
    writeBits(w, static_cast<uint32_t>(code), bits);
}

void writeSe(BitWriter& w, int32_t value) {
    const int64_t v = value;
    writeUe(w, static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

size_t finishRbsp(BitWriter& w) {
    writeBits(w, 1, 1);
    while ((w.pos & 7) != 0)
        writeBits(w, 0, 1);
    return w.pos >> 3;
}

bool putBits(uint8_t* data, size_t size, size_t pos, uint32_t value, int n) {
    if (pos + static_cast<size_t>(n) > size * 8) return false;
    for (int i = n - 1; i >= 0; --i, ++pos) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (pos & 7));
        if ((value >> i) & 1)
            data[pos >> 3] |= mask;
        else
            data[pos >> 3] &= static_cast<uint8_t>(~mask);
    }
    return true;
}

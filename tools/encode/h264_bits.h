// H.264 at the level of bits and bytes: Annex B units one by one, the
// emulation prevention bytes taken out and put back, and a reader and a
// writer of fixed-width fields and Exp-Golomb codes. What the live stream
// needs to read x264's headers and to write pictures of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// NAL unit types the stream reads or writes.
constexpr int kNalSlice = 1;            // a slice of a picture that is not IDR
constexpr int kNalIdrSlice = 5;         // a slice of an IDR picture
constexpr int kNalSei = 6;              // supplemental information (timing)
constexpr int kNalSps = 7;              // sequence parameter set
constexpr int kNalPps = 8;              // picture parameter set
constexpr int kNalFiller = 12;          // filler data: 0xFF bytes the decoder drops
constexpr int kLongStartCodeBytes = 4;  // 00 00 00 01, before a picture's first unit
constexpr int kStartCodeBytes = 3;      // 00 00 01, before the units after it

// One unit of an Annex B byte stream.
struct NalUnit {
    const uint8_t* begin;  // its start code
    const uint8_t* data;   // its header byte (forbidden bit, nal_ref_idc, type)
    size_t size;           // bytes from data on, emulation prevention included
    int type;              // nal_unit_type, 0..31
    int refIdc;            // nal_ref_idc, 0..3
};

// Finds the unit that starts at or after offset in bytes[0 .. size - 1] and
// moves offset to its end. Returns false when no unit is left.
bool nextNalUnit(const uint8_t* bytes, size_t size, size_t& offset, NalUnit& unit);

// Copies a unit's payload (escaped, header byte included) without its
// emulation prevention bytes: every 03 that follows 00 00 goes. Returns the
// bytes written; out holds at least size bytes.
size_t unescapeNal(const uint8_t* escaped, size_t size, uint8_t* out);

// The reverse: puts a 03 wherever 00 00 would be followed by a byte 00..03,
// and after a final 00 00. Returns the bytes written; out holds at least
// size * 3 / 2 + 1 bytes.
size_t escapeNal(const uint8_t* raw, size_t size, uint8_t* out);

// Reads bits from the most significant on. Reading past the end gives zeros
// and sets overrun.
struct BitReader {
    const uint8_t* data;  // the unescaped bytes
    size_t size;          // bytes in data
    size_t pos;           // bits read so far
    bool overrun;         // a read went past the end
};

// A reader at the first bit of data.
BitReader bitReader(const uint8_t* data, size_t size);

// The next n bits (0..32) as an unsigned number.
uint32_t readBits(BitReader& r, int n);

// ue(v): an unsigned Exp-Golomb code (at most 32 leading zeros).
uint32_t readUe(BitReader& r);

// se(v): a signed Exp-Golomb code.
int32_t readSe(BitReader& r);

// Whether only the RBSP trailing bits are left: a 1, then zeros to the end.
bool atTrailingBits(const BitReader& r);

// Writes bits from the most significant on into a buffer the caller owns.
// Writing past the end writes nothing and sets overrun.
struct BitWriter {
    uint8_t* data;    // the unescaped bytes
    size_t capacity;  // bytes in data
    size_t pos;       // bits written so far
    bool overrun;     // a write went past the end
};

// A writer at the first bit of data; the bytes are cleared as it goes.
BitWriter bitWriter(uint8_t* data, size_t capacity);

// Writes the low n bits (0..32) of value.
void writeBits(BitWriter& w, uint32_t value, int n);

// ue(v) for value, up to 2^32 - 2.
void writeUe(BitWriter& w, uint32_t value);

// se(v) for value.
void writeSe(BitWriter& w, int32_t value);

// The RBSP trailing bits: a 1 and zeros up to the byte boundary. Returns the
// bytes written in all.
size_t finishRbsp(BitWriter& w);

// Overwrites n bits (0..32) at bit position pos of data (size bytes) with
// value; false when they do not fit.
bool putBits(uint8_t* data, size_t size, size_t pos, uint32_t value, int n);

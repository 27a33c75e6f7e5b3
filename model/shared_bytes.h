// Access to the bytes the listener thread and the frame loop share.
//
// The page model is plain global memory. Every access to it from either thread
// goes through these functions, which turn each byte access into a relaxed
// atomic one (std::atomic_ref), so concurrent reads and writes are well defined
// and no lock is ever taken. Ordering comes only from the change flags: the
// writer raises a flag with release semantics after the change it announces,
// and the reader takes the flag with an acquire exchange before it reads what
// the flag covers. A change that lands while the reader is working leaves the
// flag raised, so the next frame picks it up.
#pragma once

#include <atomic>
#include <cstdint>

#include "model/page_model.h"

inline uint8_t loadShared(const uint8_t& byte) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(byte)).load(std::memory_order_relaxed);
}

inline void storeShared(uint8_t& byte, uint8_t value) {
    std::atomic_ref<uint8_t>(byte).store(value, std::memory_order_relaxed);
}

// Writer side: announces a change after it is complete.
inline void raiseFlag(uint8_t& flag) {
    std::atomic_ref<uint8_t>(flag).store(1, std::memory_order_release);
}

// Reader side: looks at a flag without clearing it.
inline bool flagRaised(const uint8_t& flag) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(flag)).load(std::memory_order_acquire) != 0;
}

// Reader side: clears a flag before reading what it covers. The exchange is a
// read-modify-write, so none of the reads that follow can move above it.
inline bool takeFlag(uint8_t& flag) {
    return std::atomic_ref<uint8_t>(flag).exchange(0, std::memory_order_acq_rel) != 0;
}

// Copies record n of a model byte by byte into a private record, so that a
// reader works on a stable copy. n must be 0..255.
void readPage(const PageRecord* pages, int n, PageRecord& out);

// Copies n bytes into shared memory, in ascending order, one relaxed store each.
void writeShared(uint8_t* dst, const uint8_t* src, int n);

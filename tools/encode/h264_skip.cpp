#include "tools/encode/h264_skip.h"

#include <cstring>

#include "tools/encode/h264_bits.h"

// ---------------------------------------------------------------------------
// Constants

constexpr size_t kHeaderPeek = 64;  // unescaped bytes enough for any slice header read here
constexpr size_t kSeiPeek = 2048;   // unescaped bytes of a parameter set or SEI unit read at most
constexpr int kSeiBufferingPeriod = 0;  // payloadType of a buffering period message
constexpr int kSeiPictureTiming = 1;    // payloadType of a picture timing message
constexpr uint32_t kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSp = 3, kSliceSi = 4;
constexpr uint32_t kSlicePAll = 5;       // slice_type: P, and every slice of the picture is P
constexpr uint32_t kDeblockingOff = 1;   // disable_deblocking_filter_idc
constexpr int kMaxRefIdx = 32;           // num_ref_idx_active at most
constexpr int kMaxModifications = 64;    // ref_pic_list_modification entries read at most
constexpr uint8_t kFillerByte = 0xFF;    // filler_data's ff_byte
constexpr uint8_t kTrailingByte = 0x80;  // rbsp_stop_one_bit and alignment zeros
// Profiles whose SPS carries chroma format, bit depths and scaling matrices.
constexpr int kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};

// ---------------------------------------------------------------------------
// Internal helpers

static uint32_t wrap(uint64_t value, int bits) {
    return bits >= 32 ? static_cast<uint32_t>(value)
                      : static_cast<uint32_t>(value & ((uint64_t{1} << bits) - 1));
}

// A unit's payload without emulation prevention, at most limit bytes of it.
static size_t peekUnit(const NalUnit& unit, uint8_t* out, size_t limit) {
    return unescapeNal(unit.data, unit.size < limit ? unit.size : limit, out);
}

static void skipScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        next = (last + readSe(r) + 256) % 256;
        if (next != 0) last = next;
    }
}

static void readHrd(BitReader& r, H264Layout& l) {
    const uint32_t count = readUe(r) + 1;
    readBits(r, 8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < count && !r.overrun; ++i) {
        readUe(r);
        readUe(r);
        readBits(r, 1);
    }
    readBits(r, 5);  // initial_cpb_removal_delay_length_minus1
    l.cpbDelayBits = static_cast<int>(readBits(r, 5)) + 1;
    l.dpbDelayBits = static_cast<int>(readBits(r, 5)) + 1;
    readBits(r, 5);  // time_offset_length
}

static void readVui(BitReader& r, H264Layout& l) {
    constexpr uint32_t kExtendedSar = 255;
    if (readBits(r, 1) && readBits(r, 8) == kExtendedSar) readBits(r, 32);
    if (readBits(r, 1)) readBits(r, 1);  // overscan
    if (readBits(r, 1)) {                // video signal type
        readBits(r, 4);
        if (readBits(r, 1)) readBits(r, 24);
    }
    if (readBits(r, 1)) {  // chroma location
        readUe(r);
        readUe(r);
    }
    if (readBits(r, 1)) {
        l.unitsInTick = readBits(r, 32);
        l.timeScale = readBits(r, 32);
        readBits(r, 1);  // fixed_frame_rate_flag
    }
    const bool nal = readBits(r, 1) != 0;
    if (nal) readHrd(r, l);
    const bool vcl = readBits(r, 1) != 0;
    if (vcl) readHrd(r, l);
    l.delaysPresent = nal || vcl;
    if (l.delaysPresent) readBits(r, 1);  // low_delay_hrd_flag
    l.picStructPresent = readBits(r, 1) != 0;
}

static bool readSps(const uint8_t* rbsp, size_t size, H264Layout& l) {
    BitReader r = bitReader(rbsp, size);
    readBits(r, 8);  // the unit header
    const int profile = static_cast<int>(readBits(r, 8));
    readBits(r, 16);  // constraint flags, level
    const uint32_t id = readUe(r);
    bool high = false;
    for (int p : kHighProfiles)
        high = high || p == profile;
    l.separatePlanes = false;
    if (high) {
        const uint32_t chroma = readUe(r);
        if (chroma == 3) l.separatePlanes = readBits(r, 1) != 0;
        readUe(r);  // bit depths
        readUe(r);
        readBits(r, 1);  // qpprime_y_zero_transform_bypass_flag
        if (readBits(r, 1))
            for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i)
                if (readBits(r, 1)) skipScalingList(r, i < 6 ? 16 : 64);
    }
    l.frameNumBits = static_cast<int>(readUe(r)) + 4;
    l.pocType = static_cast<int>(readUe(r));
    if (l.pocType == 0) {
        l.pocLsbBits = static_cast<int>(readUe(r)) + 4;
    } else if (l.pocType == 1) {
        l.pocDeltaZero = readBits(r, 1) != 0;
        readSe(r);
        readSe(r);
        const uint32_t cycle = readUe(r);
        for (uint32_t i = 0; i < cycle && !r.overrun; ++i)
            readSe(r);
    }
    readUe(r);       // max_num_ref_frames
    readBits(r, 1);  // gaps_in_frame_num_value_allowed_flag
    const uint32_t widthMbs = readUe(r) + 1;
    const uint32_t heightUnits = readUe(r) + 1;
    l.frameMbsOnly = readBits(r, 1) != 0;
    if (!l.frameMbsOnly) readBits(r, 1);  // mb_adaptive_frame_field_flag
    l.mbCount = widthMbs * heightUnits * (l.frameMbsOnly ? 1 : 2);
    readBits(r, 1);  // direct_8x8_inference_flag
    if (readBits(r, 1))
        for (int i = 0; i < 4; ++i)
            readUe(r);  // cropping
    l.delaysPresent = l.picStructPresent = false;
    l.unitsInTick = l.timeScale = 0;
    if (readBits(r, 1)) readVui(r, l);
    l.spsId = static_cast<int>(id);
    return !r.overrun && l.frameNumBits <= 16 && l.pocType <= 2 && id < 32;
}

static bool readPps(const uint8_t* rbsp, size_t size, H264Layout& l) {
    BitReader r = bitReader(rbsp, size);
    readBits(r, 8);
    const uint32_t id = readUe(r);
    const uint32_t sps = readUe(r);
    l.cabac = readBits(r, 1) != 0;
    l.bottomFieldPicOrder = readBits(r, 1) != 0;
    l.slicesGrouped = readUe(r) > 0;
    if (l.slicesGrouped) {
        // Their maps are not read: such a stream is only passed through.
        l.ppsId = static_cast<int>(id);
        return !r.overrun;
    }
    l.refIdxL0Default = readUe(r) + 1;
    l.refIdxL1Default = readUe(r) + 1;
    l.weightedPred = readBits(r, 1) != 0;
    l.weightedBipred = static_cast<int>(readBits(r, 2));
    l.qpInit = 26 + readSe(r);
    readSe(r);  // pic_init_qs_minus26
    readSe(r);  // chroma_qp_index_offset
    l.deblockingControl = readBits(r, 1) != 0;
    readBits(r, 1);  // constrained_intra_pred_flag
    l.redundantPicCnt = readBits(r, 1) != 0;
    l.ppsId = static_cast<int>(id);
    return !r.overrun && static_cast<int>(sps) == l.spsId && id < 256;
}

// The skip pictures need slices whose data is mb_skip_run alone, a frame
// number that counts frames, and a picture order that follows frame_num.
static bool canSkip(const H264Layout& l) {
    return l.known && !l.cabac && l.frameMbsOnly && !l.separatePlanes && l.pocType == 2 &&
           !l.slicesGrouped && !l.weightedPred && l.mbCount > 0;
}

struct SliceFacts {
    uint32_t type;       // slice_type % 5
    uint32_t firstMb;    // first_mb_in_slice
    uint32_t frameNum;   // as written
    size_t frameNumPos;  // its bit position in the unescaped unit
    bool readWhole;      // the header was read up to the slice data
    int qp;              // the slice's QP
    uint32_t skipRun;    // P slices: the first mb_skip_run
    bool onlySkipRun;    // ... and nothing but the trailing bits after it
};

static void skipRefListModification(BitReader& r) {
    if (!readBits(r, 1)) return;
    for (int i = 0; i < kMaxModifications && !r.overrun; ++i) {
        const uint32_t idc = readUe(r);
        if (idc == 3) return;
        readUe(r);  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
    r.overrun = true;
}

// Reads a slice header up to the slice data, and in a P slice of a CAVLC
// stream the first mb_skip_run.
static bool readSlice(const H264Layout& l, const uint8_t* rbsp, size_t size, SliceFacts& s) {
    BitReader r = bitReader(rbsp, size);
    const uint32_t header = readBits(r, 8);
    const int unitType = static_cast<int>(header & 0x1F);
    const bool reference = (header >> 5) != 0;
    s.firstMb = readUe(r);
    s.type = readUe(r) % 5;
    const uint32_t pps = readUe(r);
    s.readWhole = false;
    if (r.overrun || static_cast<int>(pps) != l.ppsId) return false;
    if (l.separatePlanes) readBits(r, 2);
    s.frameNumPos = r.pos;
    s.frameNum = readBits(r, l.frameNumBits);
    bool field = false;
    if (!l.frameMbsOnly && (field = readBits(r, 1) != 0)) readBits(r, 1);
    if (unitType == kNalIdrSlice) readUe(r);
    if (l.pocType == 0) {
        readBits(r, l.pocLsbBits);
        if (l.bottomFieldPicOrder && !field) readSe(r);
    } else if (l.pocType == 1 && !l.pocDeltaZero) {
        readSe(r);
        if (l.bottomFieldPicOrder && !field) readSe(r);
    }
    if (l.redundantPicCnt) readUe(r);
    if (s.type == kSliceB) readBits(r, 1);  // direct_spatial_mv_pred_flag
    if (s.type == kSliceP || s.type == kSliceSp || s.type == kSliceB) {
        if (readBits(r, 1)) {
            readUe(r);
            if (s.type == kSliceB) readUe(r);
        }
    }
    if (s.type != kSliceI && s.type != kSliceSi) {
        skipRefListModification(r);
        if (s.type == kSliceB) skipRefListModification(r);
    }
    if ((l.weightedPred && (s.type == kSliceP || s.type == kSliceSp)) ||
        (l.weightedBipred == 1 && s.type == kSliceB))
        return !r.overrun;  // a prediction weight table: not read further
    if (reference) {
        if (unitType == kNalIdrSlice) {
            readBits(r, 2);
        } else if (readBits(r, 1)) {
            for (int i = 0; i < kMaxModifications && !r.overrun; ++i) {
                const uint32_t op = readUe(r);
                if (op == 0) break;
                if (op == 1 || op == 3) readUe(r);
                if (op == 2) readUe(r);
                if (op == 3 || op == 6) readUe(r);
                if (op == 4) readUe(r);
            }
        }
    }
    if (l.cabac && s.type != kSliceI && s.type != kSliceSi) readUe(r);
    s.qp = l.qpInit + readSe(r);
    if (s.type == kSliceSp || s.type == kSliceSi) {
        if (s.type == kSliceSp) readBits(r, 1);
        readSe(r);
    }
    if (l.deblockingControl && readUe(r) != kDeblockingOff) {
        readSe(r);
        readSe(r);
    }
    if (r.overrun) return false;
    s.readWhole = true;
    s.skipRun = 0;
    s.onlySkipRun = false;
    if (!l.cabac && s.type == kSliceP) {
        s.skipRun = readUe(r);
        s.onlySkipRun = atTrailingBits(r);
    }
    return true;
}

// Finds the SEI messages of one unit: the picture timing's bit position and
// whether a buffering period is there.
struct SeiFacts {
    bool timed;            // a picture timing message
    size_t timingPos;      // its payload's bit position in the unescaped unit
    bool bufferingPeriod;  // a buffering period message
};

static void readSei(const uint8_t* rbsp, size_t size, SeiFacts& f) {
    size_t at = 1;  // after the unit header
    // Messages are whole bytes; the last byte holds the trailing bits.
    while (at + 1 < size) {
        int type = 0, length = 0;
        while (at < size && rbsp[at] == 0xFF)
            type += rbsp[at++];
        if (at >= size) return;
        type += rbsp[at++];
        while (at < size && rbsp[at] == 0xFF)
            length += rbsp[at++];
        if (at >= size) return;
        length += rbsp[at++];
        if (type == kSeiPictureTiming) {
            f.timed = true;
            f.timingPos = at * 8;
        }
        if (type == kSeiBufferingPeriod) f.bufferingPeriod = true;
        at += static_cast<size_t>(length);
    }
}

static void putStartCode(uint8_t* out, size_t& n, bool first) {
    if (first) out[n++] = 0;
    out[n++] = 0;
    out[n++] = 0;
    out[n++] = 1;
}

// Appends a unit (header byte included) built in raw, escaped, after a start code.
static bool putUnit(const uint8_t* raw, size_t rawSize, bool first, uint8_t* out, size_t& n,
                    size_t capacity) {
    if (n + kLongStartCodeBytes + rawSize * 3 / 2 + 1 > capacity) return false;
    putStartCode(out, n, first);
    n += escapeNal(raw, rawSize, out + n);
    return true;
}

// ---------------------------------------------------------------------------
// Public functions

void startSkipSplice(SkipSplice& s, int framesPerSecond) {
    std::memset(&s, 0, sizeof s);
    s.framesPerSecond = framesPerSecond > 0 ? static_cast<uint32_t>(framesPerSecond) : 1;
}

void readParameterSets(SkipSplice& s, const uint8_t* bytes, size_t size) {
    size_t offset = 0;
    NalUnit unit;
    uint8_t rbsp[kSeiPeek];
    while (nextNalUnit(bytes, size, offset, unit)) {
        if (unit.type == kNalSps) {
            H264Layout l = {};
            if (!readSps(rbsp, peekUnit(unit, rbsp, sizeof rbsp), l)) l.spsId = -1;
            s.layout = l;  // known once its PPS follows
        } else if (unit.type == kNalPps) {
            H264Layout l = s.layout;
            l.known = l.spsId >= 0 && readPps(rbsp, peekUnit(unit, rbsp, sizeof rbsp), l);
            l.skippable = canSkip(l);
            // A picture's timing moves on by whole ticks a frame, or no skip pictures.
            const uint64_t perFrame = uint64_t{l.unitsInTick} * s.framesPerSecond;
            s.frameTicks = perFrame > 0 && l.timeScale % perFrame == 0
                               ? static_cast<uint32_t>(l.timeScale / perFrame)
                               : 0;
            if (l.delaysPresent && s.frameTicks == 0) l.skippable = false;
            s.layout = l;
        }
    }
}

bool readPicture(const H264Layout& l, const uint8_t* bytes, size_t size, PictureFacts& f) {
    f = PictureFacts{};
    if (!l.known) return false;
    size_t offset = 0;
    NalUnit unit;
    static thread_local uint8_t rbsp[kSeiPeek];
    bool slices = false, predicted = true, skipsOnly = true;
    uint64_t skipped = 0;
    while (nextNalUnit(bytes, size, offset, unit)) {
        if (unit.type == kNalSlice || unit.type == kNalIdrSlice) {
            SliceFacts s;
            const size_t n = peekUnit(unit, rbsp, kHeaderPeek);
            if (!readSlice(l, rbsp, n, s)) return false;
            if (!slices) {
                f.idr = unit.type == kNalIdrSlice;
                f.refIdc = unit.refIdc;
                f.frameNum = s.frameNum;
                f.qp = s.qp;
            }
            slices = true;
            predicted = predicted && s.type == kSliceP;
            // The run is all there is only when the whole unit was read.
            if (s.readWhole && s.onlySkipRun && unit.size <= kHeaderPeek)
                skipped += s.skipRun;
            else
                skipsOnly = false;
        } else if (unit.type == kNalFiller) {
            f.filler = true;
        } else if (unit.type == kNalSei) {
            const size_t n = peekUnit(unit, rbsp, sizeof rbsp);
            SeiFacts sei = {};
            readSei(rbsp, n, sei);
            f.bufferingPeriod = f.bufferingPeriod || sei.bufferingPeriod;
            if (sei.timed && l.delaysPresent) {
                BitReader r = bitReader(rbsp, n);
                r.pos = sei.timingPos;
                f.cpbDelay = readBits(r, l.cpbDelayBits);
                f.dpbDelay = readBits(r, l.dpbDelayBits);
                f.timed = !r.overrun;
            }
        }
    }
    f.predicted = slices && predicted;
    f.allSkipped = f.predicted && skipsOnly && skipped == l.mbCount;
    return slices;
}

size_t takeEncoderPicture(SkipSplice& s, const uint8_t* bytes, size_t size, uint8_t* out,
                          size_t outCapacity, uint8_t* work, size_t workCapacity) {
    readParameterSets(s, bytes, size);
    PictureFacts f;
    s.lastRead = readPicture(s.layout, bytes, size, f);
    s.last = f;
    if (!s.lastRead) return 0;
    if (f.idr) s.framesAdded = 0;
    const H264Layout& l = s.layout;
    const uint32_t frames = s.framesAdded, ticks = s.ticksAdded;
    s.lastFrameNum = wrap(uint64_t{f.frameNum} + frames, l.frameNumBits);
    s.lastCpbDelay = wrap(uint64_t{f.cpbDelay} + ticks, l.cpbDelayBits);
    s.lastDpbDelay = f.dpbDelay;
    s.lastRefIdc = f.refIdc;
    // Later pictures' delays count from this picture's buffering period.
    if (f.bufferingPeriod) s.ticksAdded = 0;
    if (frames == 0 && (ticks == 0 || !f.timed)) return 0;

    size_t n = 0, copied = 0, offset = 0;
    NalUnit unit;
    while (nextNalUnit(bytes, size, offset, unit)) {
        const bool slice = unit.type == kNalSlice && frames != 0;
        const bool sei = unit.type == kNalSei && ticks != 0 && f.timed;
        if (!slice && !sei) continue;
        if (unit.size > workCapacity) return 0;
        const size_t raw = unescapeNal(unit.data, unit.size, work);
        if (slice) {
            SliceFacts sf;
            if (!readSlice(l, work, raw < kHeaderPeek ? raw : kHeaderPeek, sf)) continue;
            putBits(work, raw, sf.frameNumPos, wrap(uint64_t{sf.frameNum} + frames, l.frameNumBits),
                    l.frameNumBits);
        } else {
            SeiFacts sf = {};
            readSei(work, raw, sf);
            if (!sf.timed) continue;
            BitReader r = bitReader(work, raw);
            r.pos = sf.timingPos;
            const uint32_t delay = readBits(r, l.cpbDelayBits);
            putBits(work, raw, sf.timingPos, wrap(uint64_t{delay} + ticks, l.cpbDelayBits),
                    l.cpbDelayBits);
        }
        const size_t before = static_cast<size_t>(unit.data - bytes) - copied;
        if (n + before + raw * 3 / 2 + 1 > outCapacity) return 0;
        std::memcpy(out + n, bytes + copied, before);
        n += before;
        n += escapeNal(work, raw, out + n);
        copied = static_cast<size_t>(unit.data - bytes) + unit.size;
    }
    if (copied == 0 || n + (size - copied) > outCapacity) return 0;
    std::memcpy(out + n, bytes + copied, size - copied);
    return n + (size - copied);
}

bool skipPictureReady(const SkipSplice& s, int qpFloor, bool exact) {
    if (!s.layout.skippable || !s.lastRead || s.lastRefIdc == 0) return false;
    return exact || (s.last.allSkipped && s.last.qp <= qpFloor);
}

size_t writeSkipPicture(SkipSplice& s, size_t fillTo, uint8_t* out, size_t capacity) {
    const H264Layout& l = s.layout;
    uint8_t raw[kSkipPictureBytes];
    size_t n = 0;
    bool first = true;
    const uint32_t delay = wrap(uint64_t{s.lastCpbDelay} + s.frameTicks, l.cpbDelayBits);
    if (l.delaysPresent || l.picStructPresent) {
        // Picture timing: one frame after the last picture; the output delay as before.
        int bits = l.delaysPresent ? l.cpbDelayBits + l.dpbDelayBits : 0;
        if (l.picStructPresent) bits += 5;  // pic_struct 0 (a frame), no clock timestamp
        BitWriter w = bitWriter(raw, sizeof raw);
        writeBits(w, kNalSei, 8);
        writeBits(w, kSeiPictureTiming, 8);
        writeBits(w, static_cast<uint32_t>((bits + 7) / 8), 8);
        if (l.delaysPresent) {
            writeBits(w, delay, l.cpbDelayBits);
            writeBits(w, s.lastDpbDelay, l.dpbDelayBits);
        }
        if (l.picStructPresent) writeBits(w, 0, 5);
        if ((w.pos & 7) != 0) {
            writeBits(w, 1, 1);  // the payload's alignment: a one, then zeros
            while ((w.pos & 7) != 0)
                writeBits(w, 0, 1);
        }
        const size_t rawSize = finishRbsp(w);
        if (w.overrun || !putUnit(raw, rawSize, first, out, n, capacity)) return 0;
        first = false;
    }
    const uint32_t frameNum = wrap(uint64_t{s.lastFrameNum} + 1, l.frameNumBits);
    BitWriter w = bitWriter(raw, sizeof raw);
    writeBits(w, static_cast<uint32_t>(s.lastRefIdc << 5 | kNalSlice), 8);
    writeUe(w, 0);  // first_mb_in_slice
    writeUe(w, kSlicePAll);
    writeUe(w, static_cast<uint32_t>(l.ppsId));
    writeBits(w, frameNum, l.frameNumBits);
    if (l.redundantPicCnt) writeUe(w, 0);
    // One reference picture: the last one.
    writeBits(w, l.refIdxL0Default != 1, 1);
    if (l.refIdxL0Default != 1) writeUe(w, 0);
    writeBits(w, 0, 1);                // ref_pic_list_modification_flag_l0
    writeBits(w, 0, 1);                // adaptive_ref_pic_marking_mode_flag: the sliding window
    writeSe(w, s.last.qp - l.qpInit);  // x264's QP: its own skip picture, renumbered
    if (l.deblockingControl) writeUe(w, kDeblockingOff);
    writeUe(w, l.mbCount);  // mb_skip_run: the whole picture
    const size_t rawSize = finishRbsp(w);
    if (w.overrun || !putUnit(raw, rawSize, first, out, n, capacity)) return 0;
    // Filler data: a start code, the header, ff bytes and the trailing bits.
    constexpr size_t kFillerOverhead = kStartCodeBytes + 2;
    if (fillTo >= n + kFillerOverhead) {
        if (fillTo > capacity) return 0;
        putStartCode(out, n, false);
        out[n++] = kNalFiller;
        const size_t ff = fillTo - n - 1;
        std::memset(out + n, kFillerByte, ff);
        n += ff;
        out[n++] = kTrailingByte;
    }
    s.lastFrameNum = frameNum;
    s.lastCpbDelay = delay;
    s.framesAdded += 1;
    s.ticksAdded += s.frameTicks;
    return n;
}

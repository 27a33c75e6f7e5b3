// Pictures of skipped macroblocks spliced between the encoder's own: while a
// page stands still, the live stream repeats the picture the decoder holds
// with a P picture of a few bytes (every macroblock skipped: zero motion, no
// residual, so its reconstruction is its reference, bit for bit) instead of
// running the encoder. Each one is a reference picture, so the encoder's
// later pictures get their frame_num (and their picture timing) moved on by
// the pictures spliced in since their IDR; a decoder sees one unbroken stream.
//
// Works on Annex B bytes: the encoder's parameter sets, its pictures, and the
// pictures written here. CAVLC only, frames only, picture order count type 2
// (what x264 writes with neither CABAC nor B-frames); another stream is
// passed through untouched and gets no skip pictures.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSkipPictureBytes = 64;  // a skip picture without filler fits in this

// What the stream's parameter sets say, as far as skip pictures and
// renumbering need it.
struct H264Layout {
    bool known;                // an SPS and the PPS that names it were read
    bool skippable;            // skip pictures can be written into this stream
    int spsId;                 // the SPS read, 0..31
    int ppsId;                 // the PPS read, 0..255
    int frameNumBits;          // log2_max_frame_num, 4..16
    int pocType;               // pic_order_cnt_type, 0..2
    int pocLsbBits;            // log2_max_pic_order_cnt_lsb (type 0), 4..16
    bool pocDeltaZero;         // delta_pic_order_always_zero_flag (type 1)
    bool frameMbsOnly;         // no fields, no MBAFF
    bool separatePlanes;       // 4:4:4 coded as three colour planes
    uint32_t mbCount;          // macroblocks in a picture
    bool cabac;                // entropy_coding_mode_flag
    bool bottomFieldPicOrder;  // bottom_field_pic_order_in_frame_present_flag
    uint32_t refIdxL0Default;  // num_ref_idx_l0_default_active, 1..32
    uint32_t refIdxL1Default;  // num_ref_idx_l1_default_active, 1..32
    bool weightedPred;         // weighted_pred_flag (P)
    int weightedBipred;        // weighted_bipred_idc (B), 0..2
    int qpInit;                // pic_init_qp, the slice QP before slice_qp_delta
    bool deblockingControl;    // deblocking_filter_control_present_flag
    bool redundantPicCnt;      // redundant_pic_cnt_present_flag
    bool slicesGrouped;        // more than one slice group
    bool delaysPresent;        // pictures carry cpb_removal_delay and dpb_output_delay
    int cpbDelayBits;          // cpb_removal_delay_length, 1..32
    int dpbDelayBits;          // dpb_output_delay_length, 1..32
    bool picStructPresent;     // pictures carry pic_struct
    uint32_t unitsInTick;      // num_units_in_tick (0: no timing info)
    uint32_t timeScale;        // time_scale, ticks a second
};

// What one of the encoder's pictures holds.
struct PictureFacts {
    bool idr;              // an IDR picture: frame_num starts again at 0
    int refIdc;            // nal_ref_idc of its slices; 0: not a reference
    bool predicted;        // every slice a P slice
    bool allSkipped;       // every macroblock skipped: its reconstruction is its reference
    bool filler;           // it carries filler data (a constant bitrate's buffer was full)
    int qp;                // the first slice's QP
    uint32_t frameNum;     // frame_num as the encoder wrote it
    bool timed;            // it carries a picture timing message
    bool bufferingPeriod;  // it carries a buffering period message
    uint32_t cpbDelay;     // cpb_removal_delay as the encoder wrote it
    uint32_t dpbDelay;     // dpb_output_delay as the encoder wrote it
};

// The splice between the encoder's pictures and the skip pictures.
struct SkipSplice {
    H264Layout layout;         // from the parameter sets seen so far
    uint32_t framesPerSecond;  // the stream's pace
    uint32_t frameTicks;       // clock ticks of one frame in cpb_removal_delay
    uint32_t framesAdded;      // skip pictures since the last IDR: added to the encoder's frame_num
    uint32_t ticksAdded;       // ticks of skip pictures since the last buffering period
    uint32_t lastFrameNum;     // frame_num of the last picture out
    uint32_t lastCpbDelay;     // cpb_removal_delay of the last picture out
    uint32_t lastDpbDelay;     // dpb_output_delay of the last picture out
    int lastRefIdc;            // nal_ref_idc of the last picture out
    PictureFacts last;         // what the encoder's last picture held
    bool lastRead;             // ... and whether it could be read at all
};

// Starts a splice for a stream of framesPerSecond pictures a second.
void startSkipSplice(SkipSplice& splice, int framesPerSecond);

// Reads every SPS and PPS in an Annex B buffer (the encoder's global header
// or a keyframe) into the splice's layout.
void readParameterSets(SkipSplice& splice, const uint8_t* bytes, size_t size);

// Reads what an Annex B picture holds under layout. Returns false when a
// slice cannot be read (another layout, a feature not handled).
bool readPicture(const H264Layout& layout, const uint8_t* bytes, size_t size, PictureFacts& facts);

// Takes the encoder's next picture: learns from it and moves its frame_num
// and cpb_removal_delay on by what was spliced in before it. Writes the
// changed picture into out (outCapacity >= size * 3 / 2 + 16) using work
// (workCapacity >= size) and returns its size; returns 0 when the picture
// goes out as it is.
size_t takeEncoderPicture(SkipSplice& splice, const uint8_t* bytes, size_t size, uint8_t* out,
                          size_t outCapacity, uint8_t* work, size_t workCapacity);

// Whether a skip picture may follow the last picture out: the stream is
// skippable, the encoder's last picture was a reference picture, and either
// its pictures are exact (lossless: the decoder holds the source itself) or
// that picture was a P picture of skipped macroblocks only at a QP of at most
// qpFloor (below which the encoder refines nothing more).
bool skipPictureReady(const SkipSplice& splice, int qpFloor, bool exact);

// Writes the next skip picture (picture timing, the slice, and filler data up
// to fillTo bytes in all when that leaves room for a filler unit) into out.
// Returns its size, 0 when out is too small. Call only when skipPictureReady.
size_t writeSkipPicture(SkipSplice& splice, size_t fillTo, uint8_t* out, size_t capacity);

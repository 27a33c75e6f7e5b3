// The compositor's blend: the composite image laid over the background canvas,
// giving the opaque 0x00RRGGBB words that the window shows.
#pragma once

#include <cstddef>
#include <cstdint>

// The ways one blend can be computed; every kernel gives the reference's bits.
enum class BlendKernel {
    kReference,  // plain per-pixel code, the definition of the blend
    kSse2,       // 4 pixels at a time (every x86-64 CPU)
    kAvx2,       // 8 pixels at a time, chosen at run time when the CPU has AVX2
};

// Blends n pixels: out[i] from foreground fg[i] over background bg[i], both
// 0xAABBGGRR with straight alpha. An opaque foreground pixel gives its own
// colour; otherwise the background is first weighted by its own alpha and then
// mixed with the foreground by the foreground's alpha, every division an
// integer division by 255. out[i] is 0x00RRGGBB.
void blendPixelsReference(const uint32_t* fg, const uint32_t* bg, uint32_t* out, size_t n);

// The same blend with the given kernel; the reference when the CPU lacks it.
void blendPixels(BlendKernel kernel, const uint32_t* fg, const uint32_t* bg, uint32_t* out,
                 size_t n);

// Whether this CPU and build can run kernel.
bool blendKernelSupported(BlendKernel kernel);

// The fastest kernel this CPU runs; decided once.
BlendKernel fastestBlendKernel();

// Blends the composite image `over` over the canvas `solid` into
// win_present_buf (all 720 x 480 pixels). Does nothing before they exist.
void blendFrame();

// The same for output rows first .. end - 1 only (clipped to the frame); the
// other rows of win_present_buf keep what they hold.
void blendRows(int32_t first, int32_t end);

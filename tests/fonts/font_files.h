// Helpers for the font tests: TIGA files built byte by byte, a scratch folder,
// and loading with standard output and standard error captured.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fonts/tiga_font.h"

namespace fonttest {

// A font to be written. Files come out as: an 80-byte header, the location
// table, the offset/width table, then the pattern, which thus ends the file.
struct Layout {
    uint16_t defaultChar = 'A';
    uint16_t firstChar = 'A';
    uint16_t lastChar = 'B';
    uint16_t height = 2;
    uint16_t leading = 3;
    int32_t pitch = 8;
    std::string faceName = "test face";  // up to 30 bytes used
    std::vector<uint16_t> locations = {0, 3, 8};
    std::vector<uint8_t> advances = {4, 6, 0};
    std::vector<uint8_t> offsets = {0, 1, 0};
    std::vector<uint8_t> pixels;  // height * pitch, 0 or 1; empty: a fixed checker
    uint32_t patternPadBits = 0;  // added to the pattern's bit offset (below 8)
};

constexpr size_t kHeaderBytes = 80;

inline void putU16(std::vector<uint8_t>& f, size_t pos, uint32_t v) {
    f[pos] = v & 0xFF;
    f[pos + 1] = (v >> 8) & 0xFF;
}

inline void putU32(std::vector<uint8_t>& f, size_t pos, uint32_t v) {
    putU16(f, pos, v & 0xFFFF);
    putU16(f, pos + 2, v >> 16);
}

// The pixels a Layout gets when it names none: (x + 2y) % 3 == 0 is ink.
inline std::vector<uint8_t> checker(int height, int pitch) {
    std::vector<uint8_t> px(static_cast<size_t>(height) * pitch);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < pitch; ++x)
            px[y * pitch + x] = (x + 2 * y) % 3 == 0;
    return px;
}

inline std::vector<uint8_t> build(const Layout& l) {
    const std::vector<uint8_t> px = l.pixels.empty() ? checker(l.height, l.pitch) : l.pixels;
    const size_t n = l.locations.size();
    const size_t locPos = kHeaderBytes;
    const size_t widthPos = locPos + 2 * n;
    const size_t patPos = widthPos + 2 * n;
    std::vector<uint8_t> f(patPos + (px.size() + 7) / 8, 0);
    f[0] = 0x40;
    f[1] = 0x80;
    for (size_t i = 0; i < l.faceName.size() && i < 30; ++i)
        f[6 + i] = l.faceName[i];
    putU16(f, 36, l.defaultChar);
    putU16(f, 38, l.firstChar);
    putU16(f, 40, l.lastChar);
    putU16(f, 50, l.height);
    putU16(f, 56, l.leading);
    putU32(f, 58, static_cast<uint32_t>(l.pitch));
    putU32(f, 62, static_cast<uint32_t>(patPos * 8 + l.patternPadBits));
    putU32(f, 66, static_cast<uint32_t>(locPos * 8));
    putU32(f, 70, static_cast<uint32_t>(widthPos * 8));
    for (size_t i = 0; i < n; ++i) {
        putU16(f, locPos + 2 * i, l.locations[i]);
        f[widthPos + 2 * i] = i < l.advances.size() ? l.advances[i] : 0;
        f[widthPos + 2 * i + 1] = i < l.offsets.size() ? l.offsets[i] : 0;
    }
    for (size_t k = 0; k < px.size(); ++k)
        if (px[k]) f[patPos + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    return f;
}

// A scratch folder, removed with everything in it when the test ends.
struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string tmpl = ::testing::TempDir() + "vantrel-fonts-XXXXXX";
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(path / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }
};

// What one call printed.
struct Output {
    std::string out;  // standard output
    std::string err;  // standard error
};

template <typename Fn>
Output captured(Fn fn) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    fn();
    Output o;
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

}  // namespace fonttest

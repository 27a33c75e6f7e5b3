#include "tools/snapshot/snapshot.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <vector>

bool frameAsListener(const std::string& text, std::string& out) {
    out = std::to_string(text.size()) + "#" + text;
    if (out.size() > static_cast<size_t>(kMessageCapacity)) out.resize(kMessageCapacity);
    // Every received byte before the first '{' is blanked, NULs included; the
    // decoder then reads up to the first NUL after it.
    const size_t brace = out.find('{');
    if (brace == std::string::npos) {
        out.clear();
        return false;
    }
    for (size_t i = 0; i < brace; ++i)
        out[i] = ' ';
    return true;
}

bool readMessageText(const char* path, size_t maxBytes, std::string& out) {
    out.clear();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char chunk[4096];
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (out.size() + got > maxBytes) {
            ok = false;
            break;
        }
        out.append(chunk, got);
        if (got < sizeof chunk) {
            ok = !std::ferror(file);
            break;
        }
    }
    std::fclose(file);
    return ok;
}

bool writeRgbPng(const char* path, const uint32_t* words, int width, int height,
                 std::string& error) {
    // Kept from call to call: a run of frames of one size allocates it once.
    static std::vector<uint8_t> rgb;
    rgb.resize(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        rgb[3 * i] = static_cast<uint8_t>(words[i] >> 16);
        rgb[3 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        rgb[3 * i + 2] = static_cast<uint8_t>(words[i]);
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path, 0, rgb.data(), width * 3, nullptr) == 0) {
        error = image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

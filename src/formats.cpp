// Recognising image formats by signature and by file-name extension.
#include <cstring>

#include "internal.h"

namespace rastra {

int32_t detect_format(const uint8_t* b, uint64_t length) noexcept {
    if (length <= 1) return kNone;
    if (b[0] == 0xFF) return b[1] == 0xD8 ? kJpeg : kNone;
    if (length > 7) {
        if (b[0] == 0x89) return (b[1] == 'P' && b[2] == 'N' && b[3] == 'G') ? kPng : kNone;
        // RIFF....WEBP; the RIFF size in bytes 4..7 is not checked.
        if (b[0] == 'R' && length > 11 && b[1] == 'I') {
            return (b[2] == 'F' && b[3] == 'F' && std::memcmp(b + 8, "WEBP", 4) == 0) ? kWebp : kNone;
        }
    }
    if (b[0] == 'B' && b[1] == 'M') return kBmp;
    return kNone;
}

namespace {

// Whole-text comparison folding ASCII capitals by setting bit 0x20;
// lower must be in small letters.
bool ext_equals(const char* ext, const char* lower) noexcept {
    for (; *ext != '\0' && *lower != '\0'; ++ext, ++lower) {
        if ((static_cast<unsigned char>(*ext) | 0x20) != static_cast<unsigned char>(*lower)) return false;
    }
    return *ext == '\0' && *lower == '\0';
}

}  // namespace

int32_t fmt_from_ext(const char* path) noexcept {
    // The last dot of the whole string, not only of the final component.
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr || dot[1] == '\0') return kNone;
    const char* ext = dot + 1;
    if (ext_equals(ext, "jpg") || ext_equals(ext, "jpeg")) return kJpeg;
    if (ext_equals(ext, "png")) return kPng;
    if (ext_equals(ext, "bmp")) return kBmp;
    if (ext_equals(ext, "webp")) return kWebp;
    return kNone;
}

const char* kind_ext(int32_t kind) noexcept {
    static constexpr const char* kExt[] = {"", "jpg", "png", "bmp", "webp"};
    return kind >= kJpeg && kind <= kWebp ? kExt[kind] : "";
}

}  // namespace rastra

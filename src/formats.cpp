#include <algorithm>
// Recognising image formats by signature and by file-name extension, and
// reading what a file's header declares before anything is decoded.
#include <webp/decode.h>

#include <cstring>

#include <stb_image.h>

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

int32_t format_of_kind(int32_t kind) noexcept {
    switch (kind) {
        case kJpeg: return RASTRA_FORMAT_JPEG;
        case kPng: return RASTRA_FORMAT_PNG;
        case kBmp: return RASTRA_FORMAT_BMP;
        case kWebp: return RASTRA_FORMAT_WEBP;
        default: return RASTRA_FORMAT_UNKNOWN;
    }
}

int32_t choose_output_kind(int32_t format, const char* output_name, const char* input_name,
                           int32_t input_kind) noexcept {
    if (format >= RASTRA_FORMAT_PNG && format <= RASTRA_FORMAT_BMP) return kKindForFormat[format];
    if (format != RASTRA_FORMAT_AUTO) return kNone;
    if (output_name != nullptr) {
        if (const int32_t kind = fmt_from_ext(output_name); kind != kNone) return kind;
    }
    if (input_name != nullptr) {
        if (const int32_t kind = fmt_from_ext(input_name); kind != kNone) return kind;
    }
    return input_kind;
}

const char* kind_ext(int32_t kind) noexcept {
    static constexpr const char* kExt[] = {"", "jpg", "png", "bmp", "webp"};
    return kind >= kJpeg && kind <= kWebp ? kExt[kind] : "";
}

bool bmp_indices_in_palette(const uint8_t* b, uint64_t size, int32_t width, int32_t height) noexcept {
    if (size < 30) return true;
    const auto le = [b](std::size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
        return v;
    };
    const int64_t offset = le(10, 4), hsz = le(14, 4), bpp = hsz == 12 ? le(24, 2) : le(28, 2);
    if (bpp != 1 && bpp != 4 && bpp != 8) return true;
    // The palette's size and where the rows start, as stb_image reads them:
    // a palette short of 2^bpp entries leaves the rest of its table unset.
    const int64_t psize = hsz == 12 ? (offset - 14 - 24) / 3 : (offset - 14 - hsz) >> 2;
    if (psize < 0) return false;  // stb takes it for no palette at all, and reads none
    if (psize == 0 || psize > 256 || psize >= (int64_t{1} << bpp)) return true;  // refused by stb, or whole
    const int64_t after_palette = 14 + hsz + psize * (hsz == 12 ? 3 : 4);
    if (offset < after_palette) return true;  // the rows read as zeros: index 0
    const int64_t row = bpp == 1 ? (int64_t{width} + 7) >> 3 : bpp == 4 ? (int64_t{width} + 1) >> 1 : width;
    const int64_t stride = row + ((-row) & 3);
    const auto n = static_cast<int64_t>(size);
    for (int64_t y = 0; y < height; ++y) {
        const int64_t start = offset + y * stride;
        if (start >= n) break;  // missing rows read as zeros
        const int64_t end = std::min(n, start + row);
        for (int64_t i = start; i < end; ++i) {
            const uint8_t v = b[i];
            const int64_t x0 = (i - start) * (8 / bpp);  // the first pixel this byte holds
            for (int k = 0; k < 8 / bpp && x0 + k < width; ++k) {
                const int index = bpp == 8 ? v : bpp == 4 ? (v >> (4 - 4 * k)) & 15 : (v >> (7 - k)) & 1;
                if (index >= psize) return false;
            }
        }
    }
    return true;
}

bool read_header(int32_t kind, const uint8_t* bytes, uint64_t size, ImageHeader& header) noexcept {
    header = ImageHeader{};
    if (kind == kWebp) {
        WebPBitstreamFeatures f;
        if (WebPGetFeatures(bytes, static_cast<std::size_t>(size), &f) != VP8_STATUS_OK) return false;
        header.width = f.width;
        header.height = f.height;
        header.channels = f.has_alpha ? 4 : 3;
    } else {
        // stb takes an int length. Only the header is read here, and the
        // first 2 GiB hold it or nothing does: a longer input (which only
        // rastra_probe can hand in; conversions refuse it first) is seen
        // through that prefix, which tells the same or fails.
        const int len = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        int w = 0, h = 0, n = 0;
        if (stbi_info_from_memory(bytes, len, &w, &h, &n) == 0) return false;
        // A top-down BMP stores its height negative; the decoder takes its
        // absolute value, and so do the limits.
        if (kind == kBmp && h < 0 && h != INT_MIN) h = -h;
        header.width = w;
        header.height = h;
        header.channels = n;
        if (kind == kPng && stbi_is_16_bit_from_memory(bytes, len) != 0) header.bytes_per_sample = 2;
    }
    return header.width > 0 && header.height > 0;
}

namespace {

constexpr uint8_t kSOF0 = 0xC0, kSOF1 = 0xC1, kSOF2 = 0xC2, kDHT = 0xC4, kEOI = 0xD9, kSOS = 0xDA,
                  kDQT = 0xDB, kDNL = 0xDC, kDRI = 0xDD, kCOM = 0xFE;

constexpr bool is_app(uint8_t m) noexcept { return m >= 0xE0 && m <= 0xEF; }
constexpr bool is_restart(uint8_t m) noexcept { return m >= 0xD0 && m <= 0xD7; }

// Markers whose segment the decoder reads and steps over, before or after the
// frame header.
constexpr bool is_table_or_note(uint8_t m) noexcept {
    return m == kDQT || m == kDHT || m == kDRI || m == kCOM || is_app(m);
}

}  // namespace

JpegLayout jpeg_layout(const uint8_t* b, uint64_t n, uint32_t max_scans) noexcept {
    JpegLayout out;
    bool frame = false;
    uint64_t i = 2;  // after SOI
    for (;;) {
        if (i >= n) return out;
        if (b[i] != 0xFF) {
            // The decoder steps over stray bytes between the segments before
            // the frame header, and stops at them after it.
            if (frame) return out;
            const auto* ff = static_cast<const uint8_t*>(std::memchr(b + i, 0xFF, static_cast<std::size_t>(n - i)));
            if (ff == nullptr) return out;
            i = static_cast<uint64_t>(ff - b);
        }
        // A marker: 0xFF, any number of 0xFF fill bytes, its code.
        while (i < n && b[i] == 0xFF) ++i;
        if (i >= n) return out;
        const uint8_t m = b[i++];
        if (m == kEOI) {
            out.complete = frame;
            return out;
        }
        const bool sof = m == kSOF0 || m == kSOF1 || m == kSOF2;
        const bool known = is_table_or_note(m) || (frame ? (m == kSOS || m == kDNL) : sof);
        if (!known || n - i < 2) return out;
        const uint64_t length = (static_cast<uint64_t>(b[i]) << 8) | b[i + 1];
        if (length < 2 || length > n - i) return out;
        i += length;
        if (sof) {
            frame = true;
            out.progressive = m == kSOF2;
        }
        if (m != kSOS) continue;
        if (++out.scans > max_scans) return out;
        // Entropy-coded data runs to the next 0xFF that is neither a stuffed
        // zero nor a restart marker.
        for (;;) {
            const auto* ff = static_cast<const uint8_t*>(std::memchr(b + i, 0xFF, static_cast<std::size_t>(n - i)));
            if (ff == nullptr) return out;
            uint64_t j = static_cast<uint64_t>(ff - b) + 1;
            while (j < n && b[j] == 0xFF) ++j;
            if (j >= n) return out;
            if (b[j] != 0x00 && !is_restart(b[j])) {
                i = j - 1;  // the last 0xFF before the code
                break;
            }
            i = j + 1;
        }
    }
}

}  // namespace rastra

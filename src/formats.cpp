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

bool read_header(int32_t kind, const uint8_t* bytes, uint64_t size, ImageHeader& header) noexcept {
    header = ImageHeader{};
    if (kind == kWebp) {
        WebPBitstreamFeatures f;
        if (WebPGetFeatures(bytes, static_cast<std::size_t>(size), &f) != VP8_STATUS_OK) return false;
        header.width = f.width;
        header.height = f.height;
        header.channels = f.has_alpha ? 4 : 3;
    } else {
        // stb takes an int length; the size limit keeps inputs below 2 GiB.
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

namespace {

uint16_t get16(const uint8_t* p, bool big) noexcept {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t get32(const uint8_t* p, bool big) noexcept {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

constexpr uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};

bool starts_with_exif_header(const uint8_t* p, uint64_t n) noexcept {
    return n >= 6 && std::memcmp(p, kExifHeader, 6) == 0;
}

}  // namespace

int32_t exif_orientation(const uint8_t* tiff, uint64_t n) noexcept {
    // Some writers put the JPEG-style "Exif\0\0" before the TIFF header.
    if (starts_with_exif_header(tiff, n)) {
        tiff += 6;
        n -= 6;
    }
    if (n < 8) return 1;
    bool big;
    if (tiff[0] == 'I' && tiff[1] == 'I') {
        big = false;
    } else if (tiff[0] == 'M' && tiff[1] == 'M') {
        big = true;
    } else {
        return 1;
    }
    if (get16(tiff + 2, big) != 42) return 1;
    // Only IFD 0 holds the orientation: no IFD chain is followed, so a cyclic
    // one cannot loop.
    const uint64_t ifd = get32(tiff + 4, big);
    if (ifd > n - 2) return 1;
    const uint64_t entries = get16(tiff + ifd, big);
    const uint64_t room = (n - ifd - 2) / 12;
    for (uint64_t i = 0; i < entries && i < room; ++i) {
        const uint8_t* e = tiff + ifd + 2 + i * 12;
        if (get16(e, big) != 0x0112) continue;
        // SHORT, one value, held in the entry itself.
        if (get16(e + 2, big) != 3 || get32(e + 4, big) != 1) return 1;
        const uint16_t v = get16(e + 8, big);
        return v >= 1 && v <= 8 ? v : 1;
    }
    return 1;
}

int32_t read_orientation(int32_t kind, const uint8_t* b, uint64_t n) noexcept {
    switch (kind) {
        case kJpeg: {
            // APP1 "Exif" segments come before the first scan.
            uint64_t i = 2;
            while (n >= 4 && i <= n - 4 && b[i] == 0xFF) {
                const uint8_t m = b[i + 1];
                if (m == kSOS || m == kEOI) break;
                if (m == 0xFF) {  // fill byte
                    ++i;
                    continue;
                }
                const uint64_t length = (static_cast<uint64_t>(b[i + 2]) << 8) | b[i + 3];
                if (length < 2 || length > n - i - 2) break;
                const uint8_t* data = b + i + 4;
                if (m == 0xE1 && starts_with_exif_header(data, length - 2)) return exif_orientation(data, length - 2);
                i += 2 + length;
            }
            return 1;
        }
        case kPng: {
            for (uint64_t i = 8; n >= 12 && i <= n - 12;) {
                const uint64_t length = get32(b + i, true);
                if (length > n - i - 12) break;
                if (std::memcmp(b + i + 4, "eXIf", 4) == 0) return exif_orientation(b + i + 8, length);
                if (std::memcmp(b + i + 4, "IEND", 4) == 0) break;
                i += 12 + length;
            }
            return 1;
        }
        case kWebp: {
            // Only an extended file (VP8X first) carries an EXIF chunk.
            if (n < 30 || std::memcmp(b + 12, "VP8X", 4) != 0 || (b[20] & 0x08) == 0) return 1;
            for (uint64_t i = 12; n >= 8 && i <= n - 8;) {
                const uint64_t length = get32(b + i + 4, false);
                if (length > n - i - 8) break;
                if (std::memcmp(b + i, "EXIF", 4) == 0) return exif_orientation(b + i + 8, length);
                i += 8 + length + (length & 1);  // chunks are padded to even sizes
            }
            return 1;
        }
        default: return 1;
    }
}

}  // namespace rastra

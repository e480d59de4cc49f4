// Finding what an input carries beside its pixels (EXIF, XMP, an ICC
// profile) in each format's own container, with every length checked against
// the bytes that are there.
#include <algorithm>
#include <cstring>

#include <stb_image.h>

#include <string>
#include <string_view>

#include "internal.h"

namespace rastra {

namespace {

uint16_t get16(const uint8_t* p, bool big) noexcept {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t get32(const uint8_t* p, bool big) noexcept {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

constexpr uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char kXmpHeader[] = "http://ns.adobe.com/xap/1.0/";  // and its NUL: 29 bytes
constexpr char kIccHeader[] = "ICC_PROFILE";                   // and its NUL: 12 bytes
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";

bool starts_with(const uint8_t* p, uint64_t n, const void* prefix, std::size_t length) noexcept {
    return n >= length && std::memcmp(p, prefix, length) == 0;
}

// Some writers put JPEG's "Exif\0\0" before the TIFF header in PNG and WebP too.
Span skip_exif_header(const uint8_t* p, uint64_t n) noexcept {
    if (starts_with(p, n, kExifHeader, 6)) return {p + 6, static_cast<std::size_t>(n - 6)};
    return {p, static_cast<std::size_t>(n)};
}

// The value bytes of IFD 0's orientation entry (a SHORT with one value, held
// in the entry), or null. Only IFD 0 is read: no IFD chain is followed, so a
// cyclic one cannot loop.
const uint8_t* orientation_entry(const uint8_t* tiff, uint64_t n, bool& big) noexcept {
    const Span t = skip_exif_header(tiff, n);
    tiff = t.data;
    n = t.size;
    if (n < 8) return nullptr;
    if (tiff[0] == 'I' && tiff[1] == 'I') {
        big = false;
    } else if (tiff[0] == 'M' && tiff[1] == 'M') {
        big = true;
    } else {
        return nullptr;
    }
    if (get16(tiff + 2, big) != 42) return nullptr;
    const uint64_t ifd = get32(tiff + 4, big);
    if (ifd > n - 2) return nullptr;
    const uint64_t entries = get16(tiff + ifd, big);
    const uint64_t room = (n - ifd - 2) / 12;
    for (uint64_t i = 0; i < entries && i < room; ++i) {
        const uint8_t* e = tiff + ifd + 2 + i * 12;
        if (get16(e, big) != 0x0112) continue;
        if (get16(e + 2, big) != 3 || get32(e + 4, big) != 1) return nullptr;
        return e + 8;
    }
    return nullptr;
}

// Inflates a zlib stream of a PNG chunk into a new buffer of at most `cap`
// bytes (stb's inflater grows its buffer by doubling, so it may ask for up to
// twice that; anything beyond stops it as if memory had run out).
MallocPtr<uint8_t> inflate_bounded(const uint8_t* z, uint64_t n, std::size_t cap, std::size_t& size) noexcept {
    size = 0;
    if (n == 0 || n > INT_MAX) return nullptr;
    const DecoderAllocLimit limit(2 * cap);
    const int guess = static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(n * 4, 4096), cap));
    int length = 0;
    MallocPtr<uint8_t> out(reinterpret_cast<uint8_t*>(stbi_zlib_decode_malloc_guesssize_headerflag(
        reinterpret_cast<const char*>(z), static_cast<int>(n), guess, &length, 1)));
    if (!out || length <= 0 || static_cast<std::size_t>(length) > cap) return nullptr;
    size = static_cast<std::size_t>(length);
    return out;
}

// The APP2 "ICC_PROFILE" segments of a JPEG, numbered 1..count.
class IccSegments {
public:
    void add(const uint8_t* d, uint64_t n) noexcept {
        if (n < 14) {
            bad_ = true;
            return;
        }
        const uint8_t seq = d[12], count = d[13];
        if (count == 0 || seq == 0 || seq > count || (count_ != 0 && count != count_) || parts_[seq].data) {
            bad_ = true;
            return;
        }
        count_ = count;
        parts_[seq] = {d + 14, static_cast<std::size_t>(n - 14)};
        total_ += n - 14;
    }

    // The whole profile: the one segment itself, or the segments in order in
    // storage. Empty when any is missing or repeated, or it is too large.
    Span assemble(MallocPtr<uint8_t>& storage) const noexcept {
        if (bad_ || count_ == 0 || total_ == 0 || total_ > kMaxProfileBytes) return {};
        for (int i = 1; i <= count_; ++i) {
            if (parts_[i].data == nullptr) return {};
        }
        if (count_ == 1) return parts_[1];
        storage.reset(static_cast<uint8_t*>(std::malloc(total_)));
        if (!storage) return {};
        std::size_t at = 0;
        for (int i = 1; i <= count_; ++i) {
            if (parts_[i].size != 0) std::memcpy(storage.get() + at, parts_[i].data, parts_[i].size);
            at += parts_[i].size;
        }
        return {storage.get(), total_};
    }

private:
    Span parts_[256];
    uint64_t total_ = 0;
    uint8_t count_ = 0;
    bool bad_ = false;
};

void read_jpeg(const uint8_t* b, uint64_t n, uint32_t parts, InputMetadata& m) noexcept {
    IccSegments icc;
    // The segments of interest come before the first scan.
    uint64_t i = 2;
    while (n >= 4 && i <= n - 4 && b[i] == 0xFF) {
        const uint8_t marker = b[i + 1];
        if (marker == 0xDA || marker == 0xD9) break;  // SOS, EOI
        if (marker == 0xFF) {                         // fill byte
            ++i;
            continue;
        }
        const uint64_t length = (static_cast<uint64_t>(b[i + 2]) << 8) | b[i + 3];
        if (length < 2 || length > n - i - 2) break;
        const uint8_t* d = b + i + 4;
        const uint64_t dn = length - 2;
        if (marker == 0xE1) {
            if ((parts & kPartExif) && m.exif.empty() && starts_with(d, dn, kExifHeader, 6)) {
                m.exif = {d + 6, static_cast<std::size_t>(dn - 6)};
            } else if ((parts & kPartXmp) && m.xmp.empty() && starts_with(d, dn, kXmpHeader, sizeof kXmpHeader)) {
                m.xmp = {d + sizeof kXmpHeader, static_cast<std::size_t>(dn - sizeof kXmpHeader)};
            }
        } else if (marker == 0xE2 && (parts & kPartIcc) && starts_with(d, dn, kIccHeader, sizeof kIccHeader)) {
            icc.add(d, dn);
        }
        i += 2 + length;
    }
    if (parts & kPartIcc) m.icc = icc.assemble(m.icc_storage);
}

// The text of an iTXt chunk after its keyword: the compression flag and
// method, a language tag and a translated keyword (each ending in NUL), then
// the text, inflated into storage when compressed.
Span itxt_text(const uint8_t* p, const uint8_t* end, MallocPtr<uint8_t>& storage) noexcept {
    if (end - p < 2 || p[0] > 1 || p[1] != 0) return {};
    const bool compressed = p[0] == 1;
    p += 2;
    for (int field = 0; field < 2; ++field) {
        const auto* nul = static_cast<const uint8_t*>(std::memchr(p, 0, static_cast<std::size_t>(end - p)));
        if (nul == nullptr) return {};
        p = nul + 1;
    }
    if (!compressed) return {p, static_cast<std::size_t>(end - p)};
    std::size_t size = 0;
    storage = inflate_bounded(p, static_cast<uint64_t>(end - p), kMaxXmpBytes, size);
    return storage ? Span{storage.get(), size} : Span{};
}

void read_png(const uint8_t* b, uint64_t n, uint32_t parts, InputMetadata& m) noexcept {
    for (uint64_t i = 8; n >= 12 && i <= n - 12;) {
        const uint64_t length = get32(b + i, true);
        if (length > n - i - 12) break;
        const uint8_t* type = b + i + 4;
        const uint8_t* d = b + i + 8;
        if (std::memcmp(type, "IEND", 4) == 0) break;
        if (std::memcmp(type, "eXIf", 4) == 0) {
            if ((parts & kPartExif) && m.exif.empty()) m.exif = skip_exif_header(d, length);
        } else if (std::memcmp(type, "sRGB", 4) == 0) {
            m.srgb = true;
        } else if (std::memcmp(type, "iCCP", 4) == 0) {
            // A name of 1..79 bytes and its NUL, the method (0: zlib), the stream.
            const auto* nul = static_cast<const uint8_t*>(std::memchr(d, 0, std::min<uint64_t>(length, 80)));
            if ((parts & kPartIcc) && m.icc.empty() && !m.icc_storage && nul != nullptr && nul > d &&
                nul + 2 <= d + length && nul[1] == 0) {
                std::size_t size = 0;
                m.icc_storage = inflate_bounded(nul + 2, static_cast<uint64_t>(d + length - nul - 2),
                                                kMaxProfileBytes, size);
                if (m.icc_storage) m.icc = {m.icc_storage.get(), size};
            }
        } else if (std::memcmp(type, "iTXt", 4) == 0 && (parts & kPartXmp) && m.xmp.empty() &&
                   starts_with(d, length, kXmpKeyword, sizeof kXmpKeyword)) {
            m.xmp = itxt_text(d + sizeof kXmpKeyword, d + length, m.xmp_storage);
        }
        i += 12 + length;
    }
    if (m.srgb) {  // an sRGB chunk says what the pixels are, whatever iCCP says
        m.icc = {};
        m.icc_storage.reset();
    }
}

void read_webp(const uint8_t* b, uint64_t n, uint32_t parts, InputMetadata& m) noexcept {
    // Only an extended file (VP8X first) carries metadata, each part flagged there.
    if (n < 30 || std::memcmp(b + 12, "VP8X", 4) != 0) return;
    const uint8_t flags = b[20];
    for (uint64_t i = 12; n >= 8 && i <= n - 8;) {
        const uint64_t length = get32(b + i + 4, false);
        if (length > n - i - 8) break;
        const uint8_t* d = b + i + 8;
        if (std::memcmp(b + i, "EXIF", 4) == 0) {
            if ((parts & kPartExif) && (flags & 0x08) && m.exif.empty()) m.exif = skip_exif_header(d, length);
        } else if (std::memcmp(b + i, "XMP ", 4) == 0) {
            if ((parts & kPartXmp) && (flags & 0x04) && m.xmp.empty()) m.xmp = {d, static_cast<std::size_t>(length)};
        } else if (std::memcmp(b + i, "ICCP", 4) == 0) {
            if ((parts & kPartIcc) && (flags & 0x20) && m.icc.empty() && length <= kMaxProfileBytes) {
                m.icc = {d, static_cast<std::size_t>(length)};
            }
        }
        i += 8 + length + (length & 1);  // chunks are padded to even sizes
    }
}

}  // namespace

InputMetadata read_metadata(int32_t kind, const uint8_t* bytes, uint64_t size, uint32_t parts) noexcept {
    InputMetadata m;
    if (parts == 0) return m;
    switch (kind) {
        case kJpeg: read_jpeg(bytes, size, parts, m); break;
        case kPng: read_png(bytes, size, parts, m); break;
        case kWebp: read_webp(bytes, size, parts, m); break;
        default: break;
    }
    return m;
}

int32_t exif_orientation(const uint8_t* tiff, uint64_t n) noexcept {
    bool big = false;
    const uint8_t* value = orientation_entry(tiff, n, big);
    if (value == nullptr) return 1;
    const uint16_t v = get16(value, big);
    return v >= 1 && v <= 8 ? v : 1;
}

void set_exif_orientation(uint8_t* tiff, std::size_t n, int32_t orientation) noexcept {
    bool big = false;
    auto* value = const_cast<uint8_t*>(orientation_entry(tiff, n, big));
    if (value == nullptr) return;
    const auto v = static_cast<uint16_t>(orientation);
    value[big ? 0 : 1] = static_cast<uint8_t>(v >> 8);
    value[big ? 1 : 0] = static_cast<uint8_t>(v & 0xFF);
}

void set_xmp_orientation(uint8_t* xmp, std::size_t size, int32_t orientation) noexcept {
    const std::string_view text(reinterpret_cast<const char*>(xmp), size);
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    // The prefixes bound to the TIFF namespace ("tiff" by convention).
    constexpr std::string_view kTiffNs = "http://ns.adobe.com/tiff/1.0/";
    std::string_view prefixes[4] = {"tiff"};
    std::size_t count = 1;
    for (std::size_t at = text.find(kTiffNs); at != std::string_view::npos && count < 4;
         at = text.find(kTiffNs, at + 1)) {
        // xmlns:PREFIX="http://ns.adobe.com/tiff/1.0/"
        std::size_t q = at;
        if (q < 2 || (text[q - 1] != '"' && text[q - 1] != '\'')) continue;
        q -= 1;
        while (q > 0 && space(text[q - 1])) --q;
        if (q == 0 || text[q - 1] != '=') continue;
        --q;
        while (q > 0 && space(text[q - 1])) --q;
        const std::size_t end = q;
        while (q > 0 && text[q - 1] != ':' && !space(text[q - 1]) && text[q - 1] != '<') --q;
        if (q < 6 || text.substr(q - 6, 6) != "xmlns:" || end == q) continue;
        const std::string_view prefix = text.substr(q, end - q);
        if (prefix != "tiff") prefixes[count++] = prefix;
    }
    const char digit = static_cast<char>('0' + orientation);
    for (std::size_t p = 0; p < count; ++p) {
        const std::string name = std::string(prefixes[p]) + ":Orientation";
        for (std::size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
            if (at == 0 || !(text[at - 1] == '<' || space(text[at - 1]))) continue;
            std::size_t i = at + name.size();
            while (i < size && space(text[i])) ++i;
            if (i >= size) break;
            if (text[i] == '=') {  // an attribute: tiff:Orientation="6"
                ++i;
                while (i < size && space(text[i])) ++i;
                if (i + 2 >= size || (text[i] != '"' && text[i] != '\'')) continue;
                if (text[i + 1] >= '1' && text[i + 1] <= '8' && text[i + 2] == text[i]) xmp[i + 1] = static_cast<uint8_t>(digit);
            } else if (text[i] == '>') {  // an element: <tiff:Orientation>6</tiff:Orientation>
                ++i;
                while (i < size && space(text[i])) ++i;
                std::size_t j = i + 1;
                while (j < size && space(text[j])) ++j;
                if (j < size && text[i] >= '1' && text[i] <= '8' && text[j] == '<') xmp[i] = static_cast<uint8_t>(digit);
            }
        }
    }
}

bool valid_exif(Span tiff) noexcept {
    const Span t = skip_exif_header(tiff.data, tiff.size);
    if (t.size < 8) return false;
    const bool little = t.data[0] == 'I' && t.data[1] == 'I';
    const bool big = t.data[0] == 'M' && t.data[1] == 'M';
    return (little || big) && get16(t.data + 2, big) == 42;
}

int32_t read_orientation(int32_t kind, const uint8_t* b, uint64_t n) noexcept {
    const Span exif = read_metadata(kind, b, n, kPartExif).exif;
    return exif_orientation(exif.data, exif.size);
}

}  // namespace rastra

// Writing kept metadata into an output, in the output format's own container.
#include <webp/mux.h>

#include <cstring>

#include "internal.h"

namespace rastra {

namespace {

constexpr std::size_t kJpegSegmentMax = 65533;  // a segment's bytes after its length field
constexpr uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char kXmpHeader[] = "http://ns.adobe.com/xap/1.0/";  // with its NUL: 29 bytes
constexpr char kIccHeader[] = "ICC_PROFILE";                   // with its NUL: 12 bytes
constexpr std::size_t kIccPerSegment = kJpegSegmentMax - sizeof kIccHeader - 2;
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr char kIccName[] = "ICC profile";
constexpr std::size_t kPngChunkMax = 0x7FFFFFFF - 4;  // its CRC covers 4 more bytes in an int length

// Appends one segment: marker, length, head, data.
void put_jpeg_segment(std::vector<uint8_t>& out, uint8_t marker, const void* head, std::size_t head_size,
                      const uint8_t* data, std::size_t size) {
    const std::size_t length = 2 + head_size + size;
    const std::size_t at = out.size();
    out.resize(at + 2 + length);
    uint8_t* p = out.data() + at;
    p[0] = 0xFF;
    p[1] = marker;
    p[2] = static_cast<uint8_t>(length >> 8);
    p[3] = static_cast<uint8_t>(length);
    std::memcpy(p + 4, head, head_size);
    if (size != 0) std::memcpy(p + 4 + head_size, data, size);
}

void put32(uint8_t* p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One PNG chunk: its data in up to three pieces.
struct PngChunk {
    const char* type = nullptr;
    Span piece[3];
    std::size_t size() const noexcept { return piece[0].size + piece[1].size + piece[2].size; }
};

// Writes a chunk at p; returns the bytes written.
std::size_t put_png_chunk(uint8_t* p, const PngChunk& c) noexcept {
    const std::size_t n = c.size();
    put32(p, static_cast<uint32_t>(n));
    std::memcpy(p + 4, c.type, 4);
    std::size_t at = 8;
    for (const Span& s : c.piece) {
        if (s.size != 0) std::memcpy(p + at, s.data, s.size);
        at += s.size;
    }
    put32(p + at, png_crc(p + 4, 4 + n));
    return 12 + n;
}

struct MuxDeleter {
    void operator()(WebPMux* mux) const noexcept { WebPMuxDelete(mux); }
};

}  // namespace

std::vector<uint8_t> jpeg_metadata_segments(const OutputMetadata& meta) {
    std::vector<uint8_t> out;
    out.reserve(meta.exif.size + meta.xmp.size + meta.icc.size + 1024);
    if (!meta.exif.empty() && sizeof kExifHeader + meta.exif.size <= kJpegSegmentMax) {
        put_jpeg_segment(out, 0xE1, kExifHeader, sizeof kExifHeader, meta.exif.data, meta.exif.size);
    }
    if (!meta.xmp.empty() && sizeof kXmpHeader + meta.xmp.size <= kJpegSegmentMax) {
        put_jpeg_segment(out, 0xE1, kXmpHeader, sizeof kXmpHeader, meta.xmp.data, meta.xmp.size);
    }
    const std::size_t count = (meta.icc.size + kIccPerSegment - 1) / kIccPerSegment;
    if (!meta.icc.empty() && count <= 255) {
        uint8_t head[sizeof kIccHeader + 2];
        std::memcpy(head, kIccHeader, sizeof kIccHeader);
        head[sizeof kIccHeader + 1] = static_cast<uint8_t>(count);
        for (std::size_t i = 0; i < count; ++i) {
            head[sizeof kIccHeader] = static_cast<uint8_t>(i + 1);
            const std::size_t at = i * kIccPerSegment;
            put_jpeg_segment(out, 0xE2, head, sizeof head, meta.icc.data + at,
                             std::min(kIccPerSegment, meta.icc.size - at));
        }
    }
    return out;
}

bool png_add_metadata(Encoded& out, const OutputMetadata& meta) noexcept {
    // After the signature and IHDR: every ancillary chunk may go there.
    constexpr std::size_t kAt = 8 + 12 + 13;
    if (out.size < kAt || std::memcmp(out.data.get() + 12, "IHDR", 4) != 0) return false;

    MallocPtr<uint8_t> compressed;
    PngChunk chunks[3];
    std::size_t count = 0;
    if (!meta.icc.empty()) {
        std::size_t n = 0;
        compressed.reset(zlib_compress(meta.icc.data, meta.icc.size, n));
        if (!compressed) return false;
        static constexpr uint8_t kHead[] = {'I', 'C', 'C', ' ', 'p', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0};
        static_assert(sizeof kHead == sizeof kIccName + 1);
        chunks[count++] = {"iCCP", {{kHead, sizeof kHead}, {compressed.get(), n}, {}}};
    }
    if (!meta.exif.empty()) chunks[count++] = {"eXIf", {meta.exif, {}, {}}};
    if (!meta.xmp.empty()) {
        // The keyword, uncompressed, no language, no translated keyword.
        static constexpr uint8_t kHead[] = {'X', 'M', 'L', ':', 'c', 'o', 'm', '.', 'a', 'd', 'o', 'b',
                                            'e', '.', 'x', 'm', 'p', 0, 0, 0, 0, 0};
        static_assert(sizeof kHead == sizeof kXmpKeyword + 4);
        chunks[count++] = {"iTXt", {{kHead, sizeof kHead}, meta.xmp, {}}};
    }
    std::size_t extra = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (chunks[i].size() > kPngChunkMax) chunks[i].type = nullptr;  // too large for a chunk: left out
        if (chunks[i].type != nullptr) extra += 12 + chunks[i].size();
    }
    if (extra == 0) return true;

    void* grown = std::realloc(out.data.get(), out.size + extra);
    if (grown == nullptr) return false;
    (void)out.data.release();
    out.data.reset(static_cast<uint8_t*>(grown));
    uint8_t* p = out.data.get();
    std::memmove(p + kAt + extra, p + kAt, out.size - kAt);
    std::size_t at = kAt;
    for (std::size_t i = 0; i < count; ++i) {
        if (chunks[i].type != nullptr) at += put_png_chunk(p + at, chunks[i]);
    }
    out.size += extra;
    return true;
}

bool webp_add_metadata(Encoded& out, const OutputMetadata& meta) noexcept {
    const WebPData image{out.data.get(), out.size};
    const std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxCreate(&image, 0));
    if (!mux) return false;
    const struct {
        const char* fourcc;
        Span part;
    } parts[] = {{"ICCP", meta.icc}, {"EXIF", meta.exif}, {"XMP ", meta.xmp}};
    for (const auto& [fourcc, part] : parts) {
        if (part.empty()) continue;
        const WebPData chunk{part.data, part.size};
        if (WebPMuxSetChunk(mux.get(), fourcc, &chunk, 0) != WEBP_MUX_OK) return false;
    }
    WebPData assembled;
    WebPDataInit(&assembled);
    if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) return false;
    out.data = BufferPtr(const_cast<uint8_t*>(assembled.bytes), WebPFree);
    out.size = assembled.size;
    return true;
}

}  // namespace rastra

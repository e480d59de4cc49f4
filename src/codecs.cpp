// Decoding to RGBA and encoding from it, through stb_image, stb_image_write
// and libwebp, entirely in memory.
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include <stb_image.h>
#include <stb_image_write.h>

#include "internal.h"

namespace rastra {

namespace {

// The largest single buffer stb_image needs for a valid image with this
// header: component planes or coefficients padded to whole blocks, a PNG's
// inflated rows (grown up to twice for interlacing), its compressed data
// gathered from the file, the output. A stream that inflates beyond it is a
// bomb.
std::size_t decoder_alloc_limit(const ImageHeader& h, uint64_t file_size) noexcept {
    const uint64_t padded = (static_cast<uint64_t>(h.width) + 32) * (static_cast<uint64_t>(h.height) + 32);
    const uint64_t per_pixel = static_cast<uint64_t>(std::max(2 * h.channels, 4) * h.bytes_per_sample);
    return static_cast<std::size_t>(per_pixel * padded + 2 * file_size + (uint64_t{1} << 20));
}

// Collects what stb's streaming writers emit, in one growing buffer, with
// `insert` spliced in at byte insert_at of the stream.
struct Sink {
    Encoded out;
    std::size_t capacity = 0;
    bool failed = false;
    Span insert;
    std::size_t insert_at = 0;

    explicit Sink(std::size_t expected) noexcept { grow(expected); }
    bool grow(std::size_t at_least) noexcept {
        void* p = std::realloc(out.data.get(), at_least);
        if (p == nullptr) return false;
        (void)out.data.release();
        out.data.reset(static_cast<uint8_t*>(p));
        capacity = at_least;
        return true;
    }
    void put(const uint8_t* data, std::size_t n) noexcept {
        if (failed || n == 0) return;
        if (n > capacity - out.size && !grow(std::max(capacity * 2, out.size + n))) {
            failed = true;
            return;
        }
        std::memcpy(out.data.get() + out.size, data, n);
        out.size += n;
    }
    static void append(void* context, void* data, int size) {
        auto& sink = *static_cast<Sink*>(context);
        const auto* p = static_cast<const uint8_t*>(data);
        auto n = static_cast<std::size_t>(size);
        if (!sink.insert.empty() && sink.out.size + n >= sink.insert_at) {
            const std::size_t before = sink.insert_at - sink.out.size;
            sink.put(p, before);
            sink.put(sink.insert.data, sink.insert.size);
            sink.insert = {};
            p += before;
            n -= before;
        }
        sink.put(p, n);
    }
};

// stb's JPEG writer starts with SOI and its 18-byte APP0 "JFIF" segment; the
// kept metadata follows them.
constexpr std::size_t kJpegAfterApp0 = 20;

}  // namespace

bool decode(int32_t kind, const uint8_t* bytes, uint64_t size, const ImageHeader& header, Image& img) noexcept {
    int w = 0, h = 0;
    if (kind == kWebp) {
        img.pixels = BufferPtr(WebPDecodeRGBA(bytes, static_cast<std::size_t>(size), &w, &h), WebPFree);
    } else {
        if (size > INT_MAX) return false;  // stb takes an int length: refused, never cut short
        const DecoderAllocLimit limit(decoder_alloc_limit(header, size));
        int channels = 0;
        img.pixels = BufferPtr(stbi_load_from_memory(bytes, static_cast<int>(size), &w, &h, &channels, 4),
                               stbi_image_free);
    }
    img.width = w;
    img.height = h;
    return img.pixels != nullptr && w > 0 && h > 0;
}

// The pixel ceiling keeps every encoder's int size arithmetic in range; only
// the formats' own side limits remain.
EncodeResult encode(int32_t kind, const Image& img, int32_t quality, const OutputMetadata& meta,
                    Encoded& out) noexcept try {
    const uint8_t* px = img.pixels.get();
    const int w = img.width, h = img.height;
    switch (kind) {
        case kJpeg: {
            if (w > kJpegMaxSide || h > kJpegMaxSide) return EncodeResult::kTooLarge;
            // stb's JPEG writer drops the alpha channel.
            const int q = std::clamp(quality, 1, 100);
            const std::vector<uint8_t> segments = meta.any() ? jpeg_metadata_segments(meta) : std::vector<uint8_t>{};
            Sink sink(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) / 2 + 4096 + segments.size());
            if (!sink.out.data) return EncodeResult::kOutOfMemory;
            sink.insert = {segments.data(), segments.size()};
            sink.insert_at = kJpegAfterApp0;
            if (stbi_write_jpg_to_func(Sink::append, &sink, w, h, 4, px, q) == 0) return EncodeResult::kFailed;
            if (sink.failed) return EncodeResult::kOutOfMemory;
            out = std::move(sink.out);
            break;
        }
        case kPng: {
            if (w > kPngMaxWidth) return EncodeResult::kTooLarge;
            // stb builds the whole PNG in memory; take it as it is. It fails
            // only when memory runs out.
            out.data = BufferPtr(encode_png(px, w, h, out.size), std::free);
            if (!out.data) return EncodeResult::kOutOfMemory;
            if (meta.any() && !png_add_metadata(out, meta)) return EncodeResult::kOutOfMemory;
            break;
        }
        case kBmp: {
            // A 32-bit BMP: 14 + 108 header bytes, then the pixels.
            Sink sink(122 + static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
            if (!sink.out.data) return EncodeResult::kOutOfMemory;
            if (stbi_write_bmp_to_func(Sink::append, &sink, w, h, 4, px) == 0) return EncodeResult::kFailed;
            if (sink.failed) return EncodeResult::kOutOfMemory;
            out = std::move(sink.out);
            break;
        }
        case kWebp: {
            if (w > kWebpMaxSide || h > kWebpMaxSide) return EncodeResult::kTooLarge;
            const float qf = std::fmin(std::fmax(static_cast<float>(quality), 0.0f), 100.0f);
            uint8_t* data = nullptr;
            out.size = WebPEncodeRGBA(px, w, h, w * 4, qf, &data);
            out.data = BufferPtr(data, WebPFree);
            if (out.data != nullptr && out.size != 0 && meta.any() && !webp_add_metadata(out, meta)) {
                return EncodeResult::kOutOfMemory;
            }
            break;
        }
        default: return EncodeResult::kFailed;
    }
    return out.data != nullptr && out.size != 0 ? EncodeResult::kOk : EncodeResult::kFailed;
} catch (const std::bad_alloc&) {
    return EncodeResult::kOutOfMemory;
}

}  // namespace rastra

namespace rastra {

namespace {

struct PictureOwner {
    WebPPicture picture;
    ~PictureOwner() { WebPPictureFree(&picture); }
};

}  // namespace

EncodeResult encode_webp_lossless(const Image& img, int32_t quality, Encoded& out) noexcept {
    WebPConfig config;
    if (!WebPConfigInit(&config)) return EncodeResult::kFailed;
    config.lossless = 1;
    config.exact = 1;  // every pixel as it was, the colour under full transparency too
    config.quality = std::fmin(std::fmax(static_cast<float>(quality), 0.0f), 100.0f);  // the effort
    PictureOwner owner;
    WebPPicture& pic = owner.picture;
    if (!WebPPictureInit(&pic)) return EncodeResult::kFailed;
    pic.use_argb = 1;
    pic.width = img.width;
    pic.height = img.height;
    if (!WebPPictureImportRGBA(&pic, img.pixels.get(), img.width * 4)) return EncodeResult::kOutOfMemory;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    if (!WebPEncode(&config, &pic)) {
        WebPMemoryWriterClear(&writer);
        return pic.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY ? EncodeResult::kOutOfMemory : EncodeResult::kFailed;
    }
    out.data = BufferPtr(writer.mem, WebPFree);
    out.size = writer.size;
    return out.size != 0 ? EncodeResult::kOk : EncodeResult::kFailed;
}

bool decode_for(int32_t kind, const uint8_t* bytes, uint64_t size, const ImageHeader& header,
                const DecodeWish& wish, Image& img) noexcept {
    if (wish.codecs == RASTRA_CODECS_FAST) {
        switch (kind) {
            case kJpeg: {
                const int32_t denom = jpeg_scale_for(header.width, header.height, wish.target);
                const FastDecode d = decode_jpeg_fast(bytes, size, denom, img);
                if (d != FastDecode::kUnsupported) return d == FastDecode::kOk;
                break;  // CMYK and YCCK: the reference decoder
            }
            case kPng: return decode_png_fast(bytes, size, header, img);
            case kWebp: {
                // An intermediate of at least twice the target on each side,
                // when that is smaller than the stored image (the box shrinks
                // it by more than half).
                const int64_t tw = 2 * int64_t{wish.target.width}, th = 2 * int64_t{wish.target.height};
                if (tw >= header.width || th >= header.height) break;
                const double k = std::max(static_cast<double>(tw) / header.width,
                                          static_cast<double>(th) / header.height);
                const Size to{static_cast<int32_t>(std::ceil(header.width * k)),
                              static_cast<int32_t>(std::ceil(header.height * k))};
                return decode_webp_scaled(bytes, size, to, img);
            }
            default: break;
        }
    }
    return decode(kind, bytes, size, header, img);
}

EncodeResult encode_with(int32_t kind, const Image& img, int32_t quality, const EncodeWish& wish,
                         const OutputMetadata& meta, Encoded& out) noexcept try {
    if (kind == kWebp && wish.webp_lossless) {
        if (img.width > kWebpMaxSide || img.height > kWebpMaxSide) return EncodeResult::kTooLarge;
        const EncodeResult r = encode_webp_lossless(img, quality, out);
        if (r != EncodeResult::kOk) return r;
        if (meta.any() && !webp_add_metadata(out, meta)) return EncodeResult::kOutOfMemory;
        return EncodeResult::kOk;
    }
    if (wish.codecs == RASTRA_CODECS_FAST && kind == kJpeg) {
        if (img.width > kJpegMaxSide || img.height > kJpegMaxSide) return EncodeResult::kTooLarge;
        return encode_jpeg_fast(img, quality, meta.any() ? jpeg_metadata_segments(meta) : std::vector<uint8_t>{}, out);
    }
    if (wish.codecs == RASTRA_CODECS_FAST && kind == kPng) {
        if (img.width > kPngMaxWidth) return EncodeResult::kTooLarge;
        const EncodeResult r = encode_png_fast(img, wish.png_level, out);
        if (r == EncodeResult::kOk && meta.any() && !png_add_metadata(out, meta)) return EncodeResult::kOutOfMemory;
        return r;
    }
    return encode(kind, img, quality, meta, out);
} catch (const std::bad_alloc&) {
    return EncodeResult::kOutOfMemory;
}

}  // namespace rastra

// Decoding to RGBA and encoding from it, through stb_image, stb_image_write
// and libwebp, entirely in memory.
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

// Collects what stb's streaming writers emit, in one growing buffer.
struct Sink {
    Encoded out;
    std::size_t capacity = 0;
    bool failed = false;

    explicit Sink(std::size_t expected) noexcept { grow(expected); }
    bool grow(std::size_t at_least) noexcept {
        void* p = std::realloc(out.data.get(), at_least);
        if (p == nullptr) return false;
        (void)out.data.release();
        out.data.reset(static_cast<uint8_t*>(p));
        capacity = at_least;
        return true;
    }
    static void append(void* context, void* data, int size) {
        auto& sink = *static_cast<Sink*>(context);
        const auto n = static_cast<std::size_t>(size);
        if (sink.failed || n == 0) return;
        if (n > sink.capacity - sink.out.size && !sink.grow(std::max(sink.capacity * 2, sink.out.size + n))) {
            sink.failed = true;
            return;
        }
        std::memcpy(sink.out.data.get() + sink.out.size, data, n);
        sink.out.size += n;
    }
};

}  // namespace

bool decode(int32_t kind, const uint8_t* bytes, uint64_t size, const ImageHeader& header, Image& img) noexcept {
    int w = 0, h = 0;
    if (kind == kWebp) {
        img.pixels = BufferPtr(WebPDecodeRGBA(bytes, static_cast<std::size_t>(size), &w, &h), WebPFree);
    } else {
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
EncodeResult encode(int32_t kind, const Image& img, int32_t quality, Encoded& out) noexcept {
    const uint8_t* px = img.pixels.get();
    const int w = img.width, h = img.height;
    switch (kind) {
        case kJpeg: {
            if (w > kJpegMaxSide || h > kJpegMaxSide) return EncodeResult::kTooLarge;
            // stb's JPEG writer drops the alpha channel.
            const int q = std::clamp(quality, 1, 100);
            Sink sink(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) / 2 + 4096);
            if (!sink.out.data) return EncodeResult::kOutOfMemory;
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
            break;
        }
        default: return EncodeResult::kFailed;
    }
    return out.data != nullptr && out.size != 0 ? EncodeResult::kOk : EncodeResult::kFailed;
}

}  // namespace rastra

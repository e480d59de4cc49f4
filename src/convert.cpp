// Converting one image file: read, recognise, decode, fit the bounding box,
// watermark, encode, write, account.
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <stb_image.h>
#include <stb_image_resize2.h>
#include <stb_image_write.h>

#include "internal.h"
#include "rastra.h"

namespace rastra {

Size fit_size(int32_t w, int32_t h, int32_t mw, int32_t mh) noexcept {
    double s;
    if (mw > 0 && mh > 0) {
        s = std::fmin(static_cast<double>(mh) / h, static_cast<double>(mw) / w);
    } else if (mw > 0) {
        s = static_cast<double>(mw) / w;
    } else if (mh > 0) {
        s = static_cast<double>(mh) / h;
    } else {
        return {w, h};
    }
    if (!(s < 1.0)) return {w, h};  // never enlarge; no resampling at 1.0
    const auto scaled = [s](int32_t v) {
        const auto n = static_cast<int32_t>(std::trunc(v * s + 0.5));
        return n < 1 ? 1 : n;
    };
    return {scaled(w), scaled(h)};
}

uint8_t* orient_pixels(uint8_t* px, int32_t w, int32_t h, int32_t o, uint8_t* turned) noexcept {
    const auto at = [](uint8_t* base, int64_t x, int64_t y, int64_t width) { return base + (y * width + x) * 4; };
    const auto swap_px = [](uint8_t* a, uint8_t* b) {
        uint32_t t;
        std::memcpy(&t, a, 4);
        std::memcpy(a, b, 4);
        std::memcpy(b, &t, 4);
    };
    switch (o) {
        case 2:  // mirrored left to right
            for (int64_t y = 0; y < h; ++y)
                for (int64_t x = 0; x < w / 2; ++x) swap_px(at(px, x, y, w), at(px, w - 1 - x, y, w));
            return px;
        case 3:  // turned half round: the buffer reversed pixel by pixel
            for (int64_t i = 0, j = int64_t{w} * h - 1; i < j; ++i, --j) swap_px(px + i * 4, px + j * 4);
            return px;
        case 4:  // mirrored top to bottom
            for (int64_t y = 0; y < h / 2; ++y)
                for (int64_t x = 0; x < w; ++x) swap_px(at(px, x, y, w), at(px, x, h - 1 - y, w));
            return px;
        case 5:
        case 6:
        case 7:
        case 8: {
            // Upright pixel (x, y) of the h x w result comes from stored pixel
            // (sx, sy); walked in tiles so both sides stay in cache.
            constexpr int64_t kTile = 32;
            const int64_t uw = h, uh = w;
            for (int64_t ty = 0; ty < uh; ty += kTile) {
                for (int64_t tx = 0; tx < uw; tx += kTile) {
                    for (int64_t y = ty; y < std::min(ty + kTile, uh); ++y) {
                        for (int64_t x = tx; x < std::min(tx + kTile, uw); ++x) {
                            int64_t sx, sy;
                            switch (o) {
                                case 5: sx = y, sy = x; break;                  // stored row 0 on the left, column 0 on top
                                case 6: sx = y, sy = h - 1 - x; break;          // row 0 on the right, column 0 on top
                                case 7: sx = w - 1 - y, sy = h - 1 - x; break;  // row 0 on the right, column 0 at the bottom
                                default: sx = w - 1 - y, sy = x; break;         // row 0 on the left, column 0 at the bottom
                            }
                            std::memcpy(at(turned, x, y, uw), at(px, sx, sy, w), 4);
                        }
                    }
                }
            }
            return turned;
        }
        default: return px;
    }
}

int64_t file_size(const char* path) noexcept {
    FilePtr f = open_read(path);
    return f ? seek_end(f.get()) : -1;
}

// ---- conversion ------------------------------------------------------------------

namespace {

// Decoded pixels or encoded bytes, released by whichever allocator produced
// them (stbi_image_free, WebPFree or free).
using BufferPtr = std::unique_ptr<uint8_t, void (*)(void*)>;

struct Image {
    BufferPtr pixels{nullptr, std::free};
    int32_t width = 0;
    int32_t height = 0;
};

enum class ReadResult { kOk, kCannotRead, kTooLarge };

// The whole file in one allocation and one read request, once its size is
// known to be within the limit.
ReadResult read_whole(const char* path, int64_t max_bytes, MallocPtr<uint8_t>& bytes, uint64_t& size) noexcept {
    FilePtr f = open_read(path);
    if (!f) return ReadResult::kCannotRead;
    const int64_t end = seek_end(f.get());
    if (end <= 0) return ReadResult::kCannotRead;
    if (end > max_bytes) return ReadResult::kTooLarge;
    std::rewind(f.get());
    const auto n = static_cast<std::size_t>(end);
    bytes.reset(static_cast<uint8_t*>(std::malloc(n)));
    if (!bytes || std::fread(bytes.get(), 1, n, f.get()) != n) return ReadResult::kCannotRead;
    size = static_cast<uint64_t>(end);
    return ReadResult::kOk;
}

enum class HeaderCheck { kOk, kTooLarge, kCorrupt };

// Everything decided from the header before decoding: the pixel limit, and for
// a JPEG its scans (each a pass over the whole image) and whether the decoder
// would finish it (a progressive JPEG that stops before its end marker comes
// back "decoded" without its coefficients ever applied).
HeaderCheck check_header(int32_t kind, const uint8_t* bytes, uint64_t size, ImageHeader& header) noexcept {
    if (!read_header(kind, bytes, size, header)) return HeaderCheck::kCorrupt;
    if (static_cast<int64_t>(header.width) * header.height > effective_max_pixels()) return HeaderCheck::kTooLarge;
    if (kind == kJpeg) {
        const JpegLayout jpeg = jpeg_layout(bytes, size, kMaxJpegScans);
        if (jpeg.scans == 0 || jpeg.scans > kMaxJpegScans || (jpeg.progressive && !jpeg.complete)) {
            return HeaderCheck::kCorrupt;
        }
    }
    return HeaderCheck::kOk;
}

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

// Shrinks img to fit the box mw x mh. False only when memory runs out.
bool apply_resize(Image& img, int32_t mw, int32_t mh) noexcept {
    const Size to = fit_size(img.width, img.height, mw, mh);
    if (to.width == img.width && to.height == img.height) return true;
    const std::size_t bytes = static_cast<std::size_t>(to.width) * static_cast<std::size_t>(to.height) * 4;
    BufferPtr resized(static_cast<uint8_t*>(std::malloc(bytes)), std::free);
    if (!resized) return false;
    if (stbir_resize_uint8_srgb(img.pixels.get(), img.width, img.height, img.width * 4, resized.get(), to.width,
                                to.height, to.width * 4, STBIR_RGBA) == nullptr) {
        return false;
    }
    img.pixels = std::move(resized);
    img.width = to.width;
    img.height = to.height;
    return true;
}

// An encoded output, owned by whichever allocator produced it.
struct Encoded {
    BufferPtr data{nullptr, std::free};
    std::size_t size = 0;
};

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

enum class EncodeResult { kOk, kTooLarge, kFailed };

// Encodes the whole output in memory. The pixel ceiling keeps every encoder's
// int size arithmetic in range; only the formats' own side limits remain.
EncodeResult encode(int32_t kind, const Image& img, Encoded& out) noexcept {
    const uint8_t* px = img.pixels.get();
    const int w = img.width, h = img.height;
    switch (kind) {
        case kJpeg: {
            if (w > kJpegMaxSide || h > kJpegMaxSide) return EncodeResult::kTooLarge;
            // stb's JPEG writer drops the alpha channel.
            const int q = s_ctx.quality < 1 ? 1 : (s_ctx.quality > 100 ? 100 : s_ctx.quality);
            Sink sink(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) / 2 + 4096);
            if (stbi_write_jpg_to_func(Sink::append, &sink, w, h, 4, px, q) == 0 || sink.failed) {
                return EncodeResult::kFailed;
            }
            out = std::move(sink.out);
            break;
        }
        case kPng: {
            // stb builds the whole PNG in memory; take it as it is.
            out.data = BufferPtr(encode_png(px, w, h, out.size), std::free);
            break;
        }
        case kBmp: {
            // A 32-bit BMP: 14 + 108 header bytes, then the pixels.
            Sink sink(122 + static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
            if (stbi_write_bmp_to_func(Sink::append, &sink, w, h, 4, px) == 0 || sink.failed) {
                return EncodeResult::kFailed;
            }
            out = std::move(sink.out);
            break;
        }
        case kWebp: {
            if (w > kWebpMaxSide || h > kWebpMaxSide) return EncodeResult::kTooLarge;
            const float qf = std::fmin(std::fmax(static_cast<float>(s_ctx.quality), 0.0f), 100.0f);
            uint8_t* data = nullptr;
            out.size = WebPEncodeRGBA(px, w, h, w * 4, qf, &data);
            out.data = BufferPtr(data, WebPFree);
            break;
        }
        default: return EncodeResult::kFailed;
    }
    return out.data != nullptr && out.size != 0 ? EncodeResult::kOk : EncodeResult::kFailed;
}

const char* format_name(int32_t kind) noexcept { return kind == kJpeg ? "JPEG" : "WebP"; }

int32_t process_file(const char* input, const char* output) {
    if (input == nullptr || output == nullptr) {
        set_err("process_file: NULL input/output");
        return 0;
    }

    MallocPtr<uint8_t> bytes;
    uint64_t in_size = 0;
    switch (read_whole(input, max_input_bytes(effective_max_pixels()), bytes, in_size)) {
        case ReadResult::kOk: break;
        case ReadResult::kCannotRead: set_err("process_file: cannot read %s", input); return 0;
        case ReadResult::kTooLarge: set_err("process_file: image too large: %s", input); return 0;
    }

    const int32_t in_kind = detect_format(bytes.get(), in_size);
    if (in_kind == kNone) {
        set_err("process_file: unsupported image format: %s", input);
        return 0;
    }

    ImageHeader header;
    switch (check_header(in_kind, bytes.get(), in_size, header)) {
        case HeaderCheck::kOk: break;
        case HeaderCheck::kTooLarge: set_err("process_file: image too large: %s", input); return 0;
        case HeaderCheck::kCorrupt: set_err("process_file: cannot decode %s", input); return 0;
    }

    const int32_t orientation = s_ctx.auto_orient == 1 ? read_orientation(in_kind, bytes.get(), in_size) : 1;
    Image img;
    if (!decode(in_kind, bytes.get(), in_size, header, img)) {
        set_err("process_file: cannot decode %s", input);
        return 0;
    }
    bytes.reset();

    // The box holds the upright image: a stored image that turns a quarter
    // round is fitted to the box with its sides exchanged, then turned.
    const bool quarter = orientation >= 5;
    if (s_ctx.resize_enabled == 1 && !apply_resize(img, quarter ? s_ctx.max_height : s_ctx.max_width,
                                                   quarter ? s_ctx.max_width : s_ctx.max_height)) {
        set_err("resize: out of memory");
        return 0;
    }
    if (quarter) {
        BufferPtr turned(static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(img.width) * img.height * 4)),
                         std::free);
        if (!turned) {
            set_err("process_file: out of memory");
            return 0;
        }
        orient_pixels(img.pixels.get(), img.width, img.height, orientation, turned.get());
        img.pixels = std::move(turned);
        std::swap(img.width, img.height);
    } else if (orientation > 1) {
        orient_pixels(img.pixels.get(), img.width, img.height, orientation, nullptr);
    }

    if (s_ctx.watermark_enabled == 1) draw_watermark(img.pixels.get(), img.width, img.height);

    int32_t out_kind;
    if (s_ctx.format == -1) {
        out_kind = fmt_from_ext(output);
        if (out_kind == kNone) out_kind = fmt_from_ext(input);
        if (out_kind == kNone) {
            set_err("process_file: cannot determine output format from %s", output);
            return 0;
        }
    } else if (s_ctx.format >= 0 && s_ctx.format <= 2) {
        out_kind = kKindForFormat[s_ctx.format];
    } else {
        set_err("process_file: bad configured format %d", static_cast<int>(s_ctx.format));
        return 0;
    }

    Encoded encoded;
    switch (encode(out_kind, img, encoded)) {
        case EncodeResult::kOk: break;
        case EncodeResult::kTooLarge:
            set_err("process_file: image too large for %s: %s", format_name(out_kind), output);
            return 0;
        case EncodeResult::kFailed: set_err("process_file: cannot write %s", output); return 0;
    }
    img.pixels.reset();
    if (!write_output(output, encoded.data.get(), encoded.size)) {
        set_err("process_file: cannot write %s", output);
        return 0;
    }
    encoded.data.reset();

    // The input's size as read: when output names the input, the file on disk
    // is now the output.
    const int64_t out_size = file_size(output);
    s_ctx.processed += 1;
    s_ctx.total_input_bytes += in_size;
    s_ctx.total_output_bytes += out_size > 0 ? static_cast<uint64_t>(out_size) : 0;
    clear_err();
    return 1;
}

}  // namespace

int32_t convert_file(const char* input, const char* output) noexcept {
    try {
        return process_file(input, output);
    } catch (...) {
        set_err("process_file: out of memory");
        return 0;
    }
}

}  // namespace rastra

extern "C" RASTRA_API int32_t rastra_process_file(const char* input, const char* output) noexcept {
    return rastra::convert_file(input, output);
}

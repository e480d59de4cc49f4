// The fast codec set: libjpeg-turbo for JPEG (with decoding at a reduced DCT
// scale), libspng with zlib for PNG, libwebp's scaled decoding for WebP.
//
// libjpeg reports fatal errors through a longjmp. Everything between its
// setjmp and the library's calls is plain C: raw pointers freed by hand on
// the error path, no C++ object alive that the jump would skip.
//
// libjpeg's system-dependent memory back end is defined here too, in place
// of the library's own (jmemnobs): the same interface, but every block comes
// zeroed. On damaged streams libjpeg hands out rows of its sample buffers
// that no decoding step wrote; zeroed, they read as black, never as an
// earlier image's pixels. Defining every function of that back end in the
// object that calls libjpeg keeps the linker from taking the library's copy,
// in the shared library and in static links alike.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>
#include <spng.h>
#include <webp/decode.h>

#include "internal.h"

extern "C" {

struct backing_store_struct;

void* jpeg_get_small(j_common_ptr, std::size_t size) { return std::calloc(1, size); }

void jpeg_free_small(j_common_ptr, void* object, std::size_t) { std::free(object); }

void* jpeg_get_large(j_common_ptr, std::size_t size) { return std::calloc(1, size); }

void jpeg_free_large(j_common_ptr, void* object, std::size_t) { std::free(object); }

std::size_t jpeg_mem_available(j_common_ptr cinfo, std::size_t, std::size_t max_bytes_needed,
                               std::size_t already_allocated) {
    const auto limit = static_cast<std::size_t>(cinfo->mem->max_memory_to_use);
    if (limit == 0) return max_bytes_needed;
    return limit > already_allocated ? limit - already_allocated : 0;
}

void jpeg_open_backing_store(j_common_ptr cinfo, backing_store_struct*, long) {
    cinfo->err->msg_code = JERR_NO_BACKING_STORE;
    cinfo->err->error_exit(cinfo);
}

long jpeg_mem_init(j_common_ptr) { return 0; }

void jpeg_mem_term(j_common_ptr) {}

}  // extern "C"

namespace rastra {

// ---- JPEG ---------------------------------------------------------------------------

namespace {

struct JpegError {
    jpeg_error_mgr mgr;  // first: libjpeg sees a jpeg_error_mgr*
    std::jmp_buf jump;
};

extern "C" void jpeg_fail(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Nothing is printed.
extern "C" void jpeg_quiet(j_common_ptr, int) {}

// The warnings that mean the image data is missing or damaged: libjpeg would
// fill the rest of the picture with grey and call it decoded. Such a decode
// fails at once, so a stream that claims a large frame over little data costs
// no more than its data. Other warnings (extraneous bytes before a marker, an
// unknown JFIF revision or Adobe transform, a bad ICC marker) describe
// files that decode whole, and are ignored.
constexpr bool damage_warning(int code) noexcept {
    return code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
           code == JWRN_ARITH_BAD_CODE || code == JWRN_MUST_RESYNC || code == JWRN_BOGUS_PROGRESSION;
}

extern "C" void jpeg_warn_damage(j_common_ptr cinfo, int level) {
    if (level < 0 && damage_warning(cinfo->err->msg_code)) jpeg_fail(cinfo);
}

}  // namespace

int32_t jpeg_scale_for(int32_t w, int32_t h, Size target) noexcept {
    for (int32_t denom : {8, 4, 2}) {
        const int64_t sw = (int64_t{w} + denom - 1) / denom;
        const int64_t sh = (int64_t{h} + denom - 1) / denom;
        if (sw >= target.width && sh >= target.height) return denom;
    }
    return 1;
}

FastDecode decode_jpeg_fast(const uint8_t* bytes, uint64_t size, int32_t denom, Image& img) noexcept {
    // libjpeg's length is an unsigned long, 32 bits on Windows: refused
    // rather than cut short.
    const auto length = static_cast<unsigned long>(size);
    if (length != size) return FastDecode::kFailed;
    jpeg_decompress_struct cinfo;
    JpegError err;
    uint8_t* volatile pixels = nullptr;
    volatile bool unsupported = false;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    err.mgr.emit_message = jpeg_warn_damage;
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        std::free(pixels);
        return unsupported ? FastDecode::kUnsupported : FastDecode::kFailed;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes, length);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        unsupported = true;  // stb turns these into RGB its own way
        jpeg_fail(reinterpret_cast<j_common_ptr>(&cinfo));
    }
    cinfo.out_color_space = JCS_EXT_RGBA;
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned int>(denom);
    jpeg_start_decompress(&cinfo);
    const std::size_t w = cinfo.output_width, h = cinfo.output_height;
    // Zeroed: rows a damaged stream never reaches read as black, never as
    // an earlier image's pixels.
    pixels = static_cast<uint8_t*>(std::calloc(w * h, 4));
    if (pixels == nullptr) jpeg_fail(reinterpret_cast<j_common_ptr>(&cinfo));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels + static_cast<std::size_t>(cinfo.output_scanline) * w * 4;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    img.pixels = BufferPtr(pixels, std::free);
    img.width = static_cast<int32_t>(w);
    img.height = static_cast<int32_t>(h);
    return FastDecode::kOk;
}

EncodeResult encode_jpeg_fast(const Image& img, int32_t quality, const std::vector<uint8_t>& segments,
                              Encoded& out) noexcept {
    jpeg_compress_struct cinfo;
    JpegError err;
    // Where libjpeg leaves its output (grown with malloc): the library writes
    // through these pointers, so they live in memory across its calls.
    struct {
        unsigned char* data = nullptr;
        unsigned long size = 0;
    } dest;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    err.mgr.emit_message = jpeg_quiet;
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_compress(&cinfo);
        std::free(dest.data);
        return EncodeResult::kFailed;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &dest.data, &dest.size);
    cinfo.image_width = static_cast<JDIMENSION>(img.width);
    cinfo.image_height = static_cast<JDIMENSION>(img.height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;  // alpha dropped, as the reference set does
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality < 1 ? 1 : quality > 100 ? 100 : quality, TRUE);
    cinfo.optimize_coding = TRUE;
    // The reference set's subsampling: 4:2:0 up to quality 90, 4:4:4 above.
    const int factor = quality <= 90 ? 2 : 1;
    cinfo.comp_info[0].h_samp_factor = factor;
    cinfo.comp_info[0].v_samp_factor = factor;
    jpeg_start_compress(&cinfo, TRUE);
    // Kept metadata, after the encoder's own APP0.
    for (std::size_t at = 0; at + 4 <= segments.size();) {
        const std::size_t n = (std::size_t{segments[at + 2]} << 8 | segments[at + 3]) - 2;
        jpeg_write_marker(&cinfo, segments[at + 1], segments.data() + at + 4, static_cast<unsigned int>(n));
        at += 4 + n;
    }
    const std::size_t stride = static_cast<std::size_t>(img.width) * 4;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(img.pixels.get()) + cinfo.next_scanline * stride;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    out.data = BufferPtr(dest.data, std::free);
    out.size = dest.size;
    return EncodeResult::kOk;
}

// ---- PNG ----------------------------------------------------------------------------

namespace {

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const noexcept { spng_ctx_free(ctx); }
};
using SpngPtr = std::unique_ptr<spng_ctx, SpngDeleter>;

}  // namespace

namespace {

// The chunks the decoder is shown: the image's own (IHDR, PLTE, IDAT, IEND),
// tRNS, and any critical chunk it does not know (so that it refuses the file
// as it should). Every other ancillary chunk is skipped here: libspng treats
// a malformed, duplicated, misplaced or large one as fatal, where a PNG
// reader only needs the pixels. The metadata the library keeps is read from
// the file by its own readers, under its own caps.
bool png_chunk_needed(const uint8_t* type) noexcept {
    return (type[0] & 0x20) == 0 || std::memcmp(type, "tRNS", 4) == 0;
}

// A PNG as libspng reads it: the signature and the needed chunks, served
// from the input's bytes without copying the file.
struct PngView {
    struct Piece {
        std::size_t at, size;
    };
    const uint8_t* bytes = nullptr;
    std::vector<Piece> pieces;
    std::size_t piece = 0, offset = 0;

    // False when every chunk is needed (the file may be read as it is).
    bool build(const uint8_t* data, std::size_t size) {
        bytes = data;
        bool skipped = false;
        std::size_t at = 8;
        pieces.push_back({0, std::min<std::size_t>(8, size)});
        while (at + 8 <= size) {
            const std::size_t length = std::size_t{data[at]} << 24 | std::size_t{data[at + 1]} << 16 |
                                       std::size_t{data[at + 2]} << 8 | data[at + 3];
            const std::size_t whole = length + 12;
            if (length > 0x7FFFFFFF || whole > size - at) break;  // damaged or cut: shown as it is
            if (png_chunk_needed(data + at + 4)) {
                if (!pieces.empty() && pieces.back().at + pieces.back().size == at) {
                    pieces.back().size += whole;
                } else {
                    pieces.push_back({at, whole});
                }
            } else {
                skipped = true;
            }
            at += whole;
            if (std::memcmp(data + at - whole + 4, "IEND", 4) == 0) return skipped;
        }
        if (at < size) pieces.push_back({at, size - at});
        return skipped;
    }

    static int read(spng_ctx*, void* user, void* dst, std::size_t length) {
        auto& v = *static_cast<PngView*>(user);
        auto* out = static_cast<uint8_t*>(dst);
        while (length > 0) {
            if (v.piece == v.pieces.size()) return SPNG_IO_EOF;
            const Piece& p = v.pieces[v.piece];
            const std::size_t n = std::min(length, p.size - v.offset);
            std::memcpy(out, v.bytes + p.at + v.offset, n);
            out += n;
            length -= n;
            v.offset += n;
            if (v.offset == p.size) {
                ++v.piece;
                v.offset = 0;
            }
        }
        return 0;
    }
};

}  // namespace

bool decode_png_fast(const uint8_t* bytes, uint64_t size, const ImageHeader& header, Image& img) noexcept try {
    const SpngPtr ctx(spng_ctx_new(0));
    if (!ctx) return false;
    // The header's size, checked against the pixel limit already; no chunk
    // larger than the file, and what libspng keeps of ancillary chunks (tRNS
    // only) within the file's size and a megabyte.
    spng_set_image_limits(ctx.get(), static_cast<uint32_t>(header.width), static_cast<uint32_t>(header.height));
    spng_set_chunk_limits(ctx.get(), static_cast<std::size_t>(size), static_cast<std::size_t>(size) + (1u << 20));
    // A critical chunk must be whole; a damaged tRNS is dropped.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    PngView view;
    const int set = view.build(bytes, static_cast<std::size_t>(size))
                        ? spng_set_png_stream(ctx.get(), PngView::read, &view)
                        : spng_set_png_buffer(ctx.get(), bytes, static_cast<std::size_t>(size));
    if (set != 0) return false;
    std::size_t n = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &n) != 0) return false;
    spng_ihdr ihdr;
    if (spng_get_ihdr(ctx.get(), &ihdr) != 0 || ihdr.width != static_cast<uint32_t>(header.width) ||
        ihdr.height != static_cast<uint32_t>(header.height) || n != std::size_t{ihdr.width} * ihdr.height * 4) {
        return false;
    }
    BufferPtr pixels(static_cast<uint8_t*>(std::calloc(n, 1)), std::free);
    if (!pixels) return false;
    if (spng_decode_image(ctx.get(), pixels.get(), n, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) return false;
    img.pixels = std::move(pixels);
    img.width = header.width;
    img.height = header.height;
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

EncodeResult encode_png_fast(const Image& img, int32_t level, Encoded& out) noexcept {
    const std::size_t pixels = static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height);
    const uint8_t* rgba = img.pixels.get();
    bool opaque = true;
    for (std::size_t i = 0; i < pixels && opaque; ++i) opaque = rgba[4 * i + 3] == 255;
    // An opaque image is written as RGB: a quarter fewer bytes to compress.
    BufferPtr rgb(nullptr, std::free);
    if (opaque) {
        rgb.reset(static_cast<uint8_t*>(std::malloc(pixels * 3)));
        if (!rgb) return EncodeResult::kOutOfMemory;
        uint8_t* p = rgb.get();
        for (std::size_t i = 0; i < pixels; ++i, p += 3) std::memcpy(p, rgba + 4 * i, 3);
    }
    const SpngPtr ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return EncodeResult::kOutOfMemory;
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(img.width);
    ihdr.height = static_cast<uint32_t>(img.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = opaque ? SPNG_COLOR_TYPE_TRUECOLOR : SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, level);
    spng_set_option(ctx.get(), SPNG_IMG_MEM_LEVEL, 9);
    if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return EncodeResult::kFailed;
    const std::size_t n = pixels * (opaque ? 3 : 4);
    const int rc = spng_encode_image(ctx.get(), opaque ? rgb.get() : rgba, n, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    if (rc != 0) return rc == SPNG_EMEM ? EncodeResult::kOutOfMemory : EncodeResult::kFailed;
    int error = 0;
    std::size_t length = 0;
    auto* png = static_cast<uint8_t*>(spng_get_png_buffer(ctx.get(), &length, &error));
    if (png == nullptr || error != 0) {
        std::free(png);
        return EncodeResult::kOutOfMemory;
    }
    out.data = BufferPtr(png, std::free);
    out.size = length;
    return EncodeResult::kOk;
}

// ---- WebP ---------------------------------------------------------------------------

bool decode_webp_scaled(const uint8_t* bytes, uint64_t size, Size to, Image& img) noexcept {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return false;
    const std::size_t n = static_cast<std::size_t>(to.width) * static_cast<std::size_t>(to.height) * 4;
    BufferPtr pixels(static_cast<uint8_t*>(std::calloc(n, 1)), std::free);
    if (!pixels) return false;
    config.options.use_scaling = 1;
    config.options.scaled_width = to.width;
    config.options.scaled_height = to.height;
    config.output.colorspace = MODE_RGBA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pixels.get();
    config.output.u.RGBA.stride = to.width * 4;
    config.output.u.RGBA.size = n;
    const VP8StatusCode status = WebPDecode(bytes, static_cast<std::size_t>(size), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return false;
    img.pixels = std::move(pixels);
    img.width = to.width;
    img.height = to.height;
    return true;
}

}  // namespace rastra

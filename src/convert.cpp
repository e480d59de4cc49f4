// Converting one image file: read, recognise, decode, fit the bounding box,
// watermark, encode, write, account.
#include <webp/decode.h>
#include <webp/encode.h>

#include <cerrno>
#include <climits>
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

int64_t file_size(const char* path) noexcept {
    FilePtr f = open_read(path);
    return f ? seek_end(f.get()) : -1;
}

// ---- OutputFile ------------------------------------------------------------------

namespace {

// A fresh file beside target, "<target>.<pid>-<n>.tmp"; its malloc'd name goes
// to temp. Null when none can be made (no room for the name, no permission).
std::FILE* create_temp_beside(const char* target, char*& temp) noexcept {
    static unsigned counter = 0;
    const std::size_t len = std::strlen(target) + 48;
    temp = static_cast<char*>(std::malloc(len));
    if (temp == nullptr) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp, len, "%s.%ld-%u.tmp", target, process_id(), counter++);
        if (std::FILE* f = create_exclusive(temp, target)) return f;
        if (errno != EEXIST) break;
    }
    std::free(temp);
    temp = nullptr;
    return nullptr;
}

}  // namespace

OutputFile::OutputFile(const char* target) noexcept : target_(target) {
    if (is_replaceable(target)) {
        file_ = create_temp_beside(target, temp_);
        if (file_ != nullptr) return;
    }
    file_ = std::fopen(target, "wb");
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::write(const void* data, std::size_t size) noexcept {
    if (ok_ && size != 0 && std::fwrite(data, 1, size, file_) != size) ok_ = false;
}

bool OutputFile::commit() noexcept {
    if (file_ == nullptr) return false;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok_ || !closed || (temp_ != nullptr && !replace_file(temp_, target_))) {
        discard();
        return false;
    }
    std::free(temp_);
    temp_ = nullptr;
    return true;
}

void OutputFile::discard() noexcept {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (temp_ != nullptr) {
        std::remove(temp_);
        std::free(temp_);
        temp_ = nullptr;
    }
}

// ---- conversion ------------------------------------------------------------------

namespace {

// Decoded pixels, released by whichever allocator produced them
// (stbi_image_free, WebPFree or free).
using PixelPtr = std::unique_ptr<uint8_t, void (*)(void*)>;

struct Image {
    PixelPtr pixels{nullptr, std::free};
    int32_t width = 0;
    int32_t height = 0;
};

struct WebPDeleter {
    void operator()(uint8_t* p) const noexcept { WebPFree(p); }
};

// The whole file in one allocation and one read request.
bool read_whole(const char* path, MallocPtr<uint8_t>& bytes, uint64_t& size) noexcept {
    FilePtr f = open_read(path);
    if (!f) return false;
    const int64_t end = seek_end(f.get());
    if (end <= 0 || static_cast<uint64_t>(end) > SIZE_MAX) return false;
    std::rewind(f.get());
    const auto n = static_cast<std::size_t>(end);
    bytes.reset(static_cast<uint8_t*>(std::malloc(n)));
    if (!bytes || std::fread(bytes.get(), 1, n, f.get()) != n) return false;
    size = static_cast<uint64_t>(end);
    return true;
}

bool decode(int32_t kind, const uint8_t* bytes, uint64_t size, Image& img) noexcept {
    int w = 0, h = 0;
    if (kind == kWebp) {
        img.pixels = PixelPtr(WebPDecodeRGBA(bytes, static_cast<std::size_t>(size), &w, &h), WebPFree);
    } else {
        // stb takes an int length; a longer file offers its first 2 GiB, which
        // hold all a decodable image can need since its pixels stay below 2 GiB.
        const int len = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        int channels = 0;
        img.pixels = PixelPtr(stbi_load_from_memory(bytes, len, &w, &h, &channels, 4), stbi_image_free);
    }
    img.width = w;
    img.height = h;
    return img.pixels != nullptr && w > 0 && h > 0;
}

// Shrinks img to fit the configured box. False only when memory runs out.
bool apply_resize(Image& img) noexcept {
    const Size to = fit_size(img.width, img.height, s_ctx.max_width, s_ctx.max_height);
    if (to.width == img.width && to.height == img.height) return true;
    const std::size_t bytes = static_cast<std::size_t>(to.width) * static_cast<std::size_t>(to.height) * 4;
    PixelPtr resized(static_cast<uint8_t*>(std::malloc(bytes)), std::free);
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

void write_to_output(void* context, void* data, int size) {
    static_cast<OutputFile*>(context)->write(data, static_cast<std::size_t>(size));
}

bool encode_and_write(int32_t kind, const Image& img, const char* output) noexcept {
    const uint8_t* px = img.pixels.get();
    const int w = img.width, h = img.height;
    if (kind == kWebp) {
        const float qf = std::fmin(std::fmax(static_cast<float>(s_ctx.quality), 0.0f), 100.0f);
        uint8_t* data = nullptr;
        const std::size_t n = WebPEncodeRGBA(px, w, h, w * 4, qf, &data);
        std::unique_ptr<uint8_t, WebPDeleter> encoded(data);
        if (n == 0 || !encoded) return false;
        OutputFile file(output);
        if (!file.is_open()) return false;
        file.write(encoded.get(), n);
        return file.commit();
    }
    // A JPEG frame header holds 16-bit dimensions; stb would write them cut.
    if (kind == kJpeg && (w > 65535 || h > 65535)) return false;
    OutputFile file(output);
    if (!file.is_open()) return false;
    int ok = 0;
    switch (kind) {
        case kJpeg: {
            // stb's JPEG writer drops the alpha channel.
            const int q = s_ctx.quality < 1 ? 1 : (s_ctx.quality > 100 ? 100 : s_ctx.quality);
            ok = stbi_write_jpg_to_func(write_to_output, &file, w, h, 4, px, q);
            break;
        }
        case kPng: ok = stbi_write_png_to_func(write_to_output, &file, w, h, 4, px, w * 4); break;
        case kBmp: ok = stbi_write_bmp_to_func(write_to_output, &file, w, h, 4, px); break;
        default: break;
    }
    return ok != 0 && file.commit();
}

int32_t process_file(const char* input, const char* output) {
    if (input == nullptr || output == nullptr) {
        set_err("process_file: NULL input/output");
        return 0;
    }

    MallocPtr<uint8_t> bytes;
    uint64_t in_size = 0;
    if (!read_whole(input, bytes, in_size)) {
        set_err("process_file: cannot read %s", input);
        return 0;
    }

    const int32_t in_kind = detect_format(bytes.get(), in_size);
    if (in_kind == kNone) {
        set_err("process_file: unsupported image format: %s", input);
        return 0;
    }

    Image img;
    if (!decode(in_kind, bytes.get(), in_size, img)) {
        set_err("process_file: cannot decode %s", input);
        return 0;
    }
    bytes.reset();

    if (s_ctx.resize_enabled == 1 && !apply_resize(img)) {
        set_err("resize: out of memory");
        return 0;
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

    if (!encode_and_write(out_kind, img, output)) {
        set_err("process_file: cannot write %s", output);
        return 0;
    }
    img.pixels.reset();

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
}  // namespace rastra

extern "C" RASTRA_API int32_t rastra_process_file(const char* input, const char* output) noexcept {
    try {
        return rastra::process_file(input, output);
    } catch (...) {
        rastra::set_err("process_file: out of memory");
        return 0;
    }
}

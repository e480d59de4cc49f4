// The stb implementations, compiled once with their default settings (no
// vertical flip, no unpremultiply, PNG compression level 8). Only the decoders
// the library accepts are built; files are reached through memory and write
// callbacks, never through stb's own stdio. Symbols stay hidden in the library.
//
// stb_image allocates through zeroing hooks: on some damaged inputs it reports
// success without writing every byte of its buffers (a progressive JPEG whose
// scans leave coefficients unset), and those bytes must read as zero, never as
// an earlier image's pixels. The hooks also enforce DecoderAllocLimit.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

// Per thread: conversions on other threads have caps of their own.
thread_local std::size_t s_alloc_limit = SIZE_MAX;

void* zeroed_malloc(std::size_t size) noexcept {
    return size <= s_alloc_limit ? std::calloc(1, size) : nullptr;
}

void* zeroed_realloc(void* p, std::size_t old_size, std::size_t new_size) noexcept {
    if (new_size > s_alloc_limit) return nullptr;
    auto* q = static_cast<unsigned char*>(std::realloc(p, new_size));
    if (q != nullptr && new_size > old_size) std::memset(q + old_size, 0, new_size - old_size);
    return q;
}

}  // namespace

namespace rastra {

DecoderAllocLimit::DecoderAllocLimit(std::size_t bytes) noexcept : saved_(s_alloc_limit) { s_alloc_limit = bytes; }
DecoderAllocLimit::~DecoderAllocLimit() { s_alloc_limit = saved_; }

}  // namespace rastra

#define STBI_MALLOC(size) zeroed_malloc(size)
#define STBI_REALLOC_SIZED(p, old_size, new_size) zeroed_realloc(p, old_size, new_size)
#define STBI_FREE(p) std::free(p)
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif

#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize2.h>

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace rastra {

uint8_t* encode_png(const uint8_t* rgba, int32_t width, int32_t height, std::size_t& size) noexcept {
    int len = 0;
    uint8_t* png = stbi_write_png_to_mem(rgba, width * 4, width, height, 4, &len);
    size = png != nullptr && len > 0 ? static_cast<std::size_t>(len) : 0;
    return png;
}

}  // namespace rastra

namespace rastra {

uint8_t* zlib_compress(const uint8_t* data, std::size_t size, std::size_t& out_size) noexcept {
    out_size = 0;
    if (size > INT_MAX / 2) return nullptr;
    int len = 0;
    // stb_image_write only reads the data it is handed.
    uint8_t* z = stbi_zlib_compress(const_cast<uint8_t*>(data), static_cast<int>(size), &len, 8);
    if (z != nullptr) out_size = static_cast<std::size_t>(len);
    return z;
}

uint32_t png_crc(const uint8_t* data, std::size_t size) noexcept {
    return stbiw__crc32(const_cast<uint8_t*>(data), static_cast<int>(size));
}

}  // namespace rastra

// The process-wide context, the setters and the two report texts.
#include <cstdarg>
#include <cstring>

#include "internal.h"
#include "rastra.h"

namespace rastra {

// One name per limit: the header's numbers are these.
static_assert(kDefaultMaxPixels == RASTRA_MAX_PIXELS_DEFAULT);
static_assert(kMaxPixelsCeiling == RASTRA_MAX_PIXELS_CEILING);
static_assert(kMaxJpegScans == RASTRA_MAX_JPEG_SCANS);
static_assert(kJpegMaxSide == RASTRA_JPEG_MAX_SIDE && kWebpMaxSide == RASTRA_WEBP_MAX_SIDE);
static_assert(max_input_bytes(1000) == RASTRA_MAX_INPUT_BYTES(1000) &&
              max_input_bytes(kMaxPixelsCeiling) == RASTRA_MAX_INPUT_BYTES(RASTRA_MAX_PIXELS_CEILING));
static_assert(kErrCapacity == RASTRA_ERROR_CAPACITY && kStatsCapacity == RASTRA_STATS_CAPACITY);
// The ceiling keeps the encoders' int arithmetic in range: stb's BMP and JPEG
// writers index w * h * 4 bytes, its PNG writer filters (w * 4 + 1) * h bytes
// and grows its deflate output (at most 9/8 of that) by doubling an int
// capacity, which holds up to 3 * 2^29 - 1 bytes.
static_assert(kMaxPixelsCeiling * 4 + 122 <= INT32_MAX);
static_assert(kMaxPixelsCeiling * 5 / 8 * 9 < 3 * (int64_t{1} << 29) - 1);

Context s_ctx;  // zero at load: format PNG and quality 0 until a reset call
char s_err[kErrCapacity];

namespace {

char out[kStatsCapacity];

void reset_context() noexcept {
    s_ctx = Context{};
    s_ctx.strip_metadata = 1;
    s_ctx.format = -1;
    s_ctx.quality = 90;
    s_ctx.max_pixels = kDefaultMaxPixels;
    clear_run_observer();
}

}  // namespace

char* set_err(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(s_err, sizeof s_err, fmt, args);
    va_end(args);
    return s_err;
}

}  // namespace rastra

using namespace rastra;

extern "C" {

RASTRA_API int32_t rastra_init(void) noexcept {
    reset_context();
    clear_err();
    return 1;
}

RASTRA_API void rastra_cleanup(void) noexcept {
    reset_context();
    clear_err();
}

RASTRA_API void rastra_reset(void) noexcept { reset_context(); }

RASTRA_API void rastra_set_resize(int32_t max_width, int32_t max_height) noexcept {
    if (max_width < 0 || max_height < 0) return;
    if (max_width == 0 && max_height == 0) {
        s_ctx.resize_enabled = 0;  // the old limits stay but are not looked at
        return;
    }
    s_ctx.resize_enabled = 1;
    s_ctx.max_width = max_width;
    s_ctx.max_height = max_height;
}

RASTRA_API void rastra_set_format(int32_t format) noexcept {
    if (format >= -1 && format <= 2) s_ctx.format = format;
}

RASTRA_API void rastra_set_quality(int32_t quality) noexcept {
    if (quality >= 0 && quality <= 100) s_ctx.quality = quality;
}

RASTRA_API void rastra_set_watermark(const char* text, int32_t size, float opacity) noexcept {
    // Ordered comparisons: a NaN opacity passes and later draws nothing.
    if (size < 3 || size > 512 || text == nullptr || opacity < 0.0f || opacity > 1.0f) return;
    if (text[0] == '\0') return;  // an earlier watermark stays in force
    std::size_t n = 0;
    while (n < sizeof s_ctx.watermark_text - 1 && text[n] != '\0') ++n;
    std::memcpy(s_ctx.watermark_text, text, n);
    s_ctx.watermark_text[n] = '\0';
    s_ctx.watermark_size = size;
    s_ctx.watermark_enabled = 1;
    s_ctx.watermark_opacity = opacity;
}

RASTRA_API void rastra_set_strip_metadata(int32_t strip_metadata) noexcept {
    s_ctx.strip_metadata = strip_metadata != 0 ? 1 : 0;
}

RASTRA_API void rastra_set_max_pixels(int64_t max_pixels) noexcept {
    if (max_pixels >= 1 && max_pixels <= kMaxPixelsCeiling) s_ctx.max_pixels = max_pixels;
}

RASTRA_API void rastra_set_auto_orient(int32_t enabled) noexcept { s_ctx.auto_orient = enabled != 0 ? 1 : 0; }

RASTRA_API const char* rastra_stats(void) noexcept {
    std::snprintf(out, sizeof out,
                  "{\"processed\":%d,\"failed\":%d,\"total_input_bytes\":%llu,\"total_output_bytes\":%llu}",
                  static_cast<int>(s_ctx.processed), static_cast<int>(s_ctx.failed),
                  static_cast<unsigned long long>(s_ctx.total_input_bytes),
                  static_cast<unsigned long long>(s_ctx.total_output_bytes));
    return out;
}

RASTRA_API const char* rastra_last_error(void) noexcept { return s_err; }

}  // extern "C"

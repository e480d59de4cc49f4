// The setter rules: each takes a Settings value and changes it only for a
// value in range. The process-wide setters and the settings objects share
// them.
#include <cstring>

#include "internal.h"

namespace rastra {

void set_resize(Settings& s, int32_t max_width, int32_t max_height) noexcept {
    if (max_width < 0 || max_height < 0) return;
    if (max_width == 0 && max_height == 0) {
        s.resize_enabled = 0;  // the old limits stay but are not looked at
        return;
    }
    s.resize_enabled = 1;
    s.max_width = max_width;
    s.max_height = max_height;
}

void set_format(Settings& s, int32_t format, int32_t max_format) noexcept {
    if (format >= RASTRA_FORMAT_AUTO && format <= max_format) s.format = format;
}

void set_quality(Settings& s, int32_t quality) noexcept {
    if (quality >= RASTRA_QUALITY_MIN && quality <= RASTRA_QUALITY_MAX) s.quality = quality;
}

void set_watermark(Settings& s, const char* text, int32_t size, float opacity) noexcept {
    // Ordered comparisons: a NaN opacity passes and later draws nothing.
    if (size < RASTRA_WATERMARK_SIZE_MIN || size > RASTRA_WATERMARK_SIZE_MAX || text == nullptr || opacity < 0.0f ||
        opacity > 1.0f)
        return;
    if (text[0] == '\0') return;  // an earlier watermark stays in force
    Watermark& w = s.watermark;
    std::size_t n = 0;
    while (n < kWatermarkTextMax && text[n] != '\0') ++n;
    std::memcpy(w.text, text, n);
    w.text[n] = '\0';
    w.size = size;
    w.enabled = 1;
    w.opacity = opacity;
}

void set_max_pixels(Settings& s, int64_t max_pixels) noexcept {
    if (max_pixels >= 1 && max_pixels <= kMaxPixelsCeiling) s.max_pixels = max_pixels;
}

void set_auto_orient(Settings& s, int32_t enabled) noexcept { s.auto_orient = enabled != 0 ? 1 : 0; }

void set_color(Settings& s, int32_t mode) noexcept {
    if (mode >= RASTRA_COLOR_IGNORE && mode <= RASTRA_COLOR_KEEP) s.color = mode;
}

void set_keep_metadata(Settings& s, uint32_t mask) noexcept {
    if ((mask & ~RASTRA_KEEP_ALL) == 0) s.keep_metadata = mask;
}

}  // namespace rastra

namespace rastra {

void set_codecs(Settings& s, int32_t codecs) noexcept {
    if (codecs == RASTRA_CODECS_REFERENCE || codecs == RASTRA_CODECS_FAST) s.codecs = codecs;
}

void set_png_level(Settings& s, int32_t level) noexcept {
    if (level >= 1 && level <= 9) s.png_level = level;
}

void set_webp_lossless(Settings& s, int32_t enabled) noexcept { s.webp_lossless = enabled != 0 ? 1 : 0; }

}  // namespace rastra

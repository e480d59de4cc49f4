// Geometry of a conversion: the bounding-box rule, resampling to it, and
// turning an image upright by its EXIF orientation.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include <stb_image_resize2.h>

#include "internal.h"

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

bool resize_to_fit(Image& img, int32_t mw, int32_t mh) noexcept {
    return resize_to(img, fit_size(img.width, img.height, mw, mh));
}

bool resize_to(Image& img, Size to) noexcept {
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

bool turn_upright(Image& img, int32_t o) noexcept {
    if (o >= 5 && o <= 8) {
        BufferPtr turned(static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(img.width) * img.height * 4)),
                         std::free);
        if (!turned) return false;
        orient_pixels(img.pixels.get(), img.width, img.height, o, turned.get());
        img.pixels = std::move(turned);
        std::swap(img.width, img.height);
    } else if (o > 1 && o < 5) {
        orient_pixels(img.pixels.get(), img.width, img.height, o, nullptr);
    }
    return true;
}

}  // namespace rastra

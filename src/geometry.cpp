// Geometry of a conversion: the bounding-box rule, resampling to it, and
// turning an image upright by its EXIF orientation.
#include <algorithm>
#include <array>
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

namespace {

// The sRGB transfer function both ways, as the resampler applies it.
float srgb_to_linear(int v) noexcept {
    const float c = static_cast<float>(v) / 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

// Linear light back to sRGB through a table of 16384 steps, fine enough that
// even the darkest step moves sRGB by a fifth of a unit.
constexpr int kLinearSteps = 16384;

uint8_t linear_to_srgb(double c) noexcept {
    static const auto table = [] {
        std::array<uint8_t, kLinearSteps + 1> t{};
        for (int i = 0; i <= kLinearSteps; ++i) {
            const double v = static_cast<double>(i) / kLinearSteps;
            const double s = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            t[static_cast<std::size_t>(i)] = static_cast<uint8_t>(s * 255.0 + 0.5);
        }
        return t;
    }();
    return table[static_cast<std::size_t>(std::clamp(c, 0.0, 1.0) * kLinearSteps + 0.5)];
}

// Past this ratio on one axis the resampler's single-precision positions
// lose whole pixels: such an axis is box-shrunk first whatever the budget.
constexpr int64_t kMaxResampleRatio = 1 << 20;

// The smallest whole factor at which a box shrink before the resampler saves
// time: 6000 x 4000 to 800 x 533 takes 61 ms with a box of 3 against 90 ms in
// one pass, to 1200 x 800 (a box of 2) the same 94 ms either way; to
// 320 x 213, 39 ms with a box of 6 against 99 ms.
constexpr int32_t kBoxPays = 3;


// One call of the resampler.
bool resample(Image& img, Size to) noexcept {
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

}  // namespace

bool box_shrink(Image& img, int32_t f, int32_t g) noexcept {
    if (f <= 1 && g <= 1) return true;
    const int64_t w = img.width, h = img.height;
    const int64_t ow = (w + f - 1) / f, oh = (h + g - 1) / g;
    BufferPtr out(static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(ow * oh * 4))), std::free);
    // Per output column: alpha-weighted linear red, green, blue, and alpha.
    MallocPtr<double> sums(static_cast<double*>(std::malloc(static_cast<std::size_t>(ow) * 4 * sizeof(double))));
    if (!out || !sums) return false;
    float linear[256];
    for (int v = 0; v < 256; ++v) linear[v] = srgb_to_linear(v);
    const uint8_t* in = img.pixels.get();
    for (int64_t oy = 0; oy < oh; ++oy) {
        std::fill(sums.get(), sums.get() + ow * 4, 0.0);
        const int64_t y1 = std::min(h, (oy + 1) * g);
        for (int64_t y = oy * g; y < y1; ++y) {
            const uint8_t* p = in + y * w * 4;
            double* acc = sums.get();
            for (int64_t x0 = 0; x0 < w; x0 += f, acc += 4) {
                const int64_t x1 = std::min(w, x0 + f);
                double r = 0, gr = 0, b = 0, a = 0;
                for (int64_t x = x0; x < x1; ++x, p += 4) {
                    const float alpha = static_cast<float>(p[3]);
                    r += linear[p[0]] * alpha;
                    gr += linear[p[1]] * alpha;
                    b += linear[p[2]] * alpha;
                    a += alpha;
                }
                acc[0] += r;
                acc[1] += gr;
                acc[2] += b;
                acc[3] += a;
            }
        }
        const int64_t rows = y1 - oy * g;
        uint8_t* dst = out.get() + oy * ow * 4;
        for (int64_t ox = 0; ox < ow; ++ox, dst += 4) {
            const double* acc = sums.get() + ox * 4;
            const int64_t count = rows * (std::min(w, (ox + 1) * f) - ox * f);
            const double alpha = acc[3];
            for (int ch = 0; ch < 3; ++ch) dst[ch] = alpha > 0.0 ? linear_to_srgb(acc[ch] / alpha) : 0;
            dst[3] = static_cast<uint8_t>(alpha / static_cast<double>(count) + 0.5);
        }
    }
    img.pixels = std::move(out);
    img.width = static_cast<int32_t>(ow);
    img.height = static_cast<int32_t>(oh);
    return true;
}

bool area_shrink(Image& img, Size to) noexcept {
    const int64_t w = img.width, h = img.height, tw = to.width, th = to.height;
    if (tw > w || th > h || tw < 1 || th < 1) return false;
    const double rx = static_cast<double>(w) / static_cast<double>(tw);
    const double ry = static_cast<double>(h) / static_cast<double>(th);
    BufferPtr out(static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(tw * th * 4))), std::free);
    if (!out) return false;
    float linear[256];
    for (int v = 0; v < 256; ++v) linear[v] = srgb_to_linear(v);
    // How much of input line i the span [lo, hi) covers.
    const auto cover = [](int64_t i, double lo, double hi) {
        return std::min(static_cast<double>(i + 1), hi) - std::max(static_cast<double>(i), lo);
    };
    const uint8_t* in = img.pixels.get();
    uint8_t* dst = out.get();
    for (int64_t oy = 0; oy < th; ++oy) {
        const double y0 = static_cast<double>(oy) * ry, y1 = oy + 1 == th ? static_cast<double>(h) : (oy + 1) * ry;
        const int64_t ya = static_cast<int64_t>(y0), yb = std::min<int64_t>(h, static_cast<int64_t>(std::ceil(y1)));
        for (int64_t ox = 0; ox < tw; ++ox, dst += 4) {
            const double x0 = static_cast<double>(ox) * rx, x1 = ox + 1 == tw ? static_cast<double>(w) : (ox + 1) * rx;
            const int64_t xa = static_cast<int64_t>(x0), xb = std::min<int64_t>(w, static_cast<int64_t>(std::ceil(x1)));
            double acc[4] = {0, 0, 0, 0};
            for (int64_t y = ya; y < yb; ++y) {
                const double wy = cover(y, y0, y1);
                const uint8_t* p = in + (y * w + xa) * 4;
                for (int64_t x = xa; x < xb; ++x, p += 4) {
                    const double alpha = p[3] * wy * cover(x, x0, x1);
                    acc[0] += linear[p[0]] * alpha;
                    acc[1] += linear[p[1]] * alpha;
                    acc[2] += linear[p[2]] * alpha;
                    acc[3] += alpha;
                }
            }
            for (int ch = 0; ch < 3; ++ch) dst[ch] = acc[3] > 0.0 ? linear_to_srgb(acc[ch] / acc[3]) : 0;
            dst[3] = static_cast<uint8_t>(std::clamp(acc[3] / (rx * ry), 0.0, 255.0) + 0.5);
        }
    }
    img.pixels = std::move(out);
    img.width = to.width;
    img.height = to.height;
    return true;
}

uint64_t resampler_cost(Size from) noexcept {
    return kResamplerBytesPerLine * (uint64_t{static_cast<uint32_t>(from.width)} + static_cast<uint32_t>(from.height));
}

bool resize_to(Image& img, Size to, bool shrink_first) noexcept {
    if (to.width == img.width && to.height == img.height) return true;
    // A whole factor per axis that leaves about twice the target.
    const auto factor = [](int32_t from, int32_t target) {
        const int64_t f = from / (int64_t{2} * target);
        return static_cast<int32_t>(f > 1 ? f : 1);
    };
    int32_t f = factor(img.width, to.width), g = factor(img.height, to.height);
    const uint64_t own = uint64_t{static_cast<uint32_t>(img.width)} * static_cast<uint32_t>(img.height) * 4;
    const bool thin = img.width / to.width > kMaxResampleRatio || img.height / to.height > kMaxResampleRatio ||
                      resampler_cost({img.width, img.height}) > std::max<uint64_t>(own, kResamplerBudgetMin);
    if (!thin) {
        // Asked to, where it pays: a box of three or more, leaving the
        // resampler three times the target so that its filter still shapes
        // the result, costs less than the taps it saves.
        const auto paying = [&](int32_t from, int32_t target) {
            const int64_t k = from / (int64_t{3} * target);
            return shrink_first && k >= kBoxPays ? static_cast<int32_t>(k) : 1;
        };
        f = paying(img.width, to.width);
        g = paying(img.height, to.height);
    }
    if (!box_shrink(img, f, g)) return false;
    // What is left may still be thin and shrink by less than four times,
    // where no box helps: its area is averaged instead, which costs nothing
    // beyond the output.
    const uint64_t left = uint64_t{static_cast<uint32_t>(img.width)} * static_cast<uint32_t>(img.height) * 4;
    if (thin && resampler_cost({img.width, img.height}) > std::max<uint64_t>(left, kResamplerBudgetMin)) {
        return area_shrink(img, to);
    }
    return resample(img, to);
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

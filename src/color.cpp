// Colour: converting an input's ICC profile to sRGB with Little CMS, and
// checking a profile before it is embedded in an output.
#include <lcms2.h>
#include <lcms2_plugin.h>

#include <algorithm>
#include <cstring>

#include "internal.h"

namespace rastra {

namespace {

// No allocation of Little CMS's may exceed this: a profile of at most
// kMaxProfileBytes and the 8-bit tables of its transform need far less, so a
// profile that asks for more is hostile and fails to open.
constexpr cmsUInt32Number kMaxAllocation = 64u << 20;

void* capped_malloc(cmsContext, cmsUInt32Number size) {
    return size <= kMaxAllocation ? std::malloc(size) : nullptr;
}
void capped_free(cmsContext, void* p) { std::free(p); }
void* capped_realloc(cmsContext, void* p, cmsUInt32Number size) {
    return size <= kMaxAllocation ? std::realloc(p, size) : nullptr;
}

// A constant: every context copies the handler when it is created.
constexpr cmsPluginMemHandler kMemory = {
    {cmsPluginMagicNumber, 2000, cmsPluginMemHandlerSig, nullptr},
    capped_malloc,
    capped_free,
    capped_realloc,
    nullptr,
    nullptr,
    nullptr};

// A context of its own for each conversion: nothing is shared between threads
// and errors are not logged anywhere.
cmsContext new_context() noexcept {
    cmsContext c = cmsCreateContext(const_cast<cmsPluginMemHandler*>(&kMemory), nullptr);
    if (c != nullptr) cmsSetLogErrorHandlerTHR(c, nullptr);
    return c;
}

struct ContextDeleter {
    void operator()(void* c) const noexcept { cmsDeleteContext(static_cast<cmsContext>(c)); }
};
using ContextPtr = std::unique_ptr<void, ContextDeleter>;

struct ProfileCloser {
    void operator()(void* p) const noexcept { cmsCloseProfile(static_cast<cmsHPROFILE>(p)); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
    void operator()(void* t) const noexcept { cmsDeleteTransform(static_cast<cmsHTRANSFORM>(t)); }
};
using TransformPtr = std::unique_ptr<void, TransformDeleter>;

// Opens a profile an image's pixels can be converted from: a device profile
// (not a link, an abstract or a named-colour profile) with a PCS.
ProfilePtr open_profile(cmsContext c, Span icc) noexcept {
    if (icc.size < 128 || icc.size > kMaxProfileBytes) return nullptr;
    // The header's own size: a profile cut short is damaged.
    const uint32_t declared = uint32_t{icc.data[0]} << 24 | uint32_t{icc.data[1]} << 16 | uint32_t{icc.data[2]} << 8 |
                              icc.data[3];
    if (declared < 128 || declared > icc.size) return nullptr;
    ProfilePtr p(cmsOpenProfileFromMemTHR(c, icc.data, static_cast<cmsUInt32Number>(icc.size)));
    if (!p) return nullptr;
    const cmsProfileClassSignature cls = cmsGetDeviceClass(p.get());
    const cmsColorSpaceSignature pcs = cmsGetPCS(p.get());
    if (cls == cmsSigLinkClass || cls == cmsSigAbstractClass || cls == cmsSigNamedColorClass) return nullptr;
    if (pcs != cmsSigXYZData && pcs != cmsSigLabData) return nullptr;
    return p;
}

constexpr cmsUInt32Number kIntent = INTENT_PERCEPTUAL;
constexpr int kGrid = 17;  // sample points per channel for the identity check

// True when the transform moves no sample colour by more than one unit.
bool rgb_identity(cmsHTRANSFORM t) noexcept {
    static constexpr int kSamples = kGrid * kGrid * kGrid + 256;
    uint8_t in[kSamples * 4], out[kSamples * 4];
    int k = 0;
    auto level = [](int i) { return static_cast<uint8_t>(i * 255 / (kGrid - 1)); };
    for (int r = 0; r < kGrid; ++r)
        for (int g = 0; g < kGrid; ++g)
            for (int b = 0; b < kGrid; ++b, ++k) {
                in[4 * k] = level(r);
                in[4 * k + 1] = level(g);
                in[4 * k + 2] = level(b);
                in[4 * k + 3] = 255;
            }
    for (int v = 0; v < 256; ++v, ++k) {
        std::memset(in + 4 * k, v, 3);
        in[4 * k + 3] = 255;
    }
    std::memcpy(out, in, sizeof in);
    cmsDoTransform(t, in, out, kSamples);
    for (std::size_t i = 0; i < sizeof in; ++i) {
        if (in[i] > out[i] + 1 || out[i] > in[i] + 1) return false;
    }
    return true;
}

}  // namespace

ColorTransform::~ColorTransform() { release(); }

void ColorTransform::release() noexcept {
    if (transform_ != nullptr) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
    if (context_ != nullptr) cmsDeleteContext(static_cast<cmsContext>(context_));
    transform_ = nullptr;
    context_ = nullptr;
    grey_.reset();
}

bool ColorTransform::prepare(Span icc, int32_t channels) noexcept {
    release();
    ContextPtr context(new_context());
    if (!context) return false;
    const auto c = static_cast<cmsContext>(context.get());
    const ProfilePtr source = open_profile(c, icc);
    if (!source) return false;
    const ProfilePtr srgb(cmsCreate_sRGBProfileTHR(c));
    if (!srgb) return false;
    const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());

    if (space == cmsSigRgbData && channels >= 3) {
        // Alpha is an extra channel Little CMS leaves where it is; the
        // transform runs in place, so it stays.
        TransformPtr t(cmsCreateTransformTHR(c, source.get(), TYPE_RGBA_8, srgb.get(), TYPE_RGBA_8, kIntent, 0));
        if (!t || rgb_identity(static_cast<cmsHTRANSFORM>(t.get()))) return false;
        transform_ = t.release();
        context_ = context.release();
        return true;
    }
    if (space == cmsSigGrayData && channels <= 2) {
        // A grey image decodes to R = G = B: one table of the 256 greys,
        // computed in double precision.
        TransformPtr t(cmsCreateTransformTHR(c, source.get(), TYPE_GRAY_DBL, srgb.get(), TYPE_RGB_DBL, kIntent,
                                             cmsFLAGS_NOOPTIMIZE));
        if (!t) return false;
        MallocPtr<uint8_t> table(static_cast<uint8_t*>(std::malloc(256 * 3)));
        if (!table) return false;
        bool identity = true;
        for (int v = 0; v < 256; ++v) {
            const double grey = v / 255.0;
            double rgb[3];
            cmsDoTransform(static_cast<cmsHTRANSFORM>(t.get()), &grey, rgb, 1);
            for (int ch = 0; ch < 3; ++ch) {
                const double x = std::clamp(rgb[ch], 0.0, 1.0) * 255.0 + 0.5;
                const auto u = static_cast<uint8_t>(x);
                table.get()[3 * v + ch] = u;
                if (u > v + 1 || v > u + 1) identity = false;
            }
        }
        if (identity) return false;
        grey_ = std::move(table);
        context_ = context.release();
        return true;
    }
    return false;
}

void ColorTransform::apply(uint8_t* rgba, std::size_t pixels) const noexcept {
    if (grey_) {
        const uint8_t* table = grey_.get();
        for (std::size_t i = 0; i < pixels; ++i, rgba += 4) {
            const uint8_t* rgb = table + 3 * rgba[0];
            rgba[0] = rgb[0];
            rgba[1] = rgb[1];
            rgba[2] = rgb[2];
        }
        return;
    }
    if (transform_ == nullptr) return;
    // cmsDoTransform counts pixels in 32 bits.
    constexpr std::size_t kStep = std::size_t{1} << 30;
    for (std::size_t done = 0; done < pixels; done += kStep) {
        const std::size_t n = std::min(kStep, pixels - done);
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), rgba + 4 * done, rgba + 4 * done,
                       static_cast<cmsUInt32Number>(n));
    }
}

bool rgb_profile(Span icc) noexcept {
    const ContextPtr context(new_context());
    if (!context) return false;
    const auto c = static_cast<cmsContext>(context.get());
    const ProfilePtr p = open_profile(c, icc);
    if (!p || cmsGetColorSpace(p.get()) != cmsSigRgbData) return false;
    // Readable through and through: a viewer can turn it into sRGB.
    const ProfilePtr srgb(cmsCreate_sRGBProfileTHR(c));
    return srgb && TransformPtr(cmsCreateTransformTHR(c, p.get(), TYPE_RGB_8, srgb.get(), TYPE_RGB_8, kIntent,
                                                      cmsFLAGS_NOCACHE | cmsFLAGS_NOOPTIMIZE)) != nullptr;
}

}  // namespace rastra

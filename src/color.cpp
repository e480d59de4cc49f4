// Colour: converting an input's ICC profile to sRGB with Little CMS, and
// checking a profile before it is embedded in an output.
#include <lcms2.h>
#include <lcms2_plugin.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "internal.h"

namespace rastra {

// What one context has spent.
struct Budget {
    std::size_t spent = 0;
};

void ColorTransform::BudgetDeleter::operator()(Budget* b) const noexcept { delete b; }

namespace {

// What Little CMS may spend on one conversion: no single allocation over
// kMaxAllocation, and no more than kBudget in all over the context's life
// (counted as allocated, not as held, so a profile that makes it build and
// discard tables again and again runs out too). A profile of at most
// kMaxProfileBytes within the structural limits below, and the 8-bit tables
// of its transform, need a few megabytes.
constexpr std::size_t kMaxAllocation = 64u << 20;
constexpr std::size_t kBudget = RASTRA_COLOR_BUDGET;

// Each block carries its size and whether it was counted, ahead of the
// caller's bytes (kept at 16-byte alignment).
constexpr std::size_t kHeader = 16;

void* budgeted_malloc(cmsContext c, cmsUInt32Number size) {
    if (size > kMaxAllocation) return nullptr;
    auto* budget = c != nullptr ? static_cast<Budget*>(cmsGetContextUserData(c)) : nullptr;
    if (budget != nullptr) {
        if (size > kBudget - budget->spent) return nullptr;
        budget->spent += size;
    }
    auto* block = static_cast<uint8_t*>(std::malloc(kHeader + size));
    if (block == nullptr) return nullptr;
    const std::size_t n = size;
    std::memcpy(block, &n, sizeof n);
    return block + kHeader;
}
void budgeted_free(cmsContext, void* p) {
    if (p != nullptr) std::free(static_cast<uint8_t*>(p) - kHeader);
}
void* budgeted_realloc(cmsContext c, void* p, cmsUInt32Number size) {
    void* q = budgeted_malloc(c, size);
    if (q == nullptr || p == nullptr) return q;
    std::size_t old = 0;
    std::memcpy(&old, static_cast<uint8_t*>(p) - kHeader, sizeof old);
    std::memcpy(q, p, std::min<std::size_t>(old, size));
    budgeted_free(c, p);
    return q;
}

// A constant: every context copies the handler when it is created.
constexpr cmsPluginMemHandler kMemory = {
    {cmsPluginMagicNumber, 2000, cmsPluginMemHandlerSig, nullptr},
    budgeted_malloc,
    budgeted_free,
    budgeted_realloc,
    nullptr,
    nullptr,
    nullptr};

// A context of its own for each conversion, spending from `budget` (which
// outlives it): nothing is shared between threads and errors are not logged
// anywhere.
cmsContext new_context(Budget* budget) noexcept {
    cmsContext c = cmsCreateContext(const_cast<cmsPluginMemHandler*>(&kMemory), budget);
    if (c != nullptr) cmsSetLogErrorHandlerTHR(c, nullptr);
    return c;
}

uint32_t be32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t be16(const uint8_t* p) noexcept { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The entries of a colour lookup table of `inputs` channels with the given
// grid points per channel and `outputs` channels; SIZE_MAX past the limit.
std::size_t clut_entries(const uint8_t* grid, std::size_t inputs, std::size_t outputs) noexcept {
    if (inputs == 0 || inputs > 15) return SIZE_MAX;
    std::size_t n = outputs;
    for (std::size_t i = 0; i < inputs; ++i) {
        n *= grid[i];
        if (n > kMaxProfileClutEntries) return SIZE_MAX;
    }
    return n;
}

}  // namespace

bool profile_within_limits(Span icc) noexcept {
    if (icc.size < 132 || icc.size > kMaxProfileBytes) return false;
    const uint8_t* p = icc.data;
    const std::size_t size = icc.size;
    const uint32_t declared = be32(p);
    if (declared < 132 || declared > size) return false;
    const uint32_t tags = be32(p + 128);
    if (tags > kMaxProfileTags || 132 + std::size_t{tags} * 12 > declared) return false;
    // Whether `n` bytes at `at` lie within the profile.
    const auto inside = [declared](std::size_t at, std::size_t n) { return at <= declared && n <= declared - at; };
    for (uint32_t t = 0; t < tags; ++t) {
        const uint8_t* entry = p + 132 + std::size_t{t} * 12;
        const std::size_t at = be32(entry + 4), length = be32(entry + 8);
        if (!inside(at, length)) return false;
        if (length < 12) continue;
        const uint8_t* tag = p + at;
        if (std::memcmp(tag, "mft1", 4) == 0 || std::memcmp(tag, "mft2", 4) == 0) {
            const uint8_t grid[15] = {tag[10], tag[10], tag[10], tag[10], tag[10], tag[10], tag[10], tag[10],
                                      tag[10], tag[10], tag[10], tag[10], tag[10], tag[10], tag[10]};
            if (clut_entries(grid, tag[8], tag[9]) == SIZE_MAX) return false;
        } else if ((std::memcmp(tag, "mAB ", 4) == 0 || std::memcmp(tag, "mBA ", 4) == 0) && length >= 32) {
            const std::size_t clut = be32(tag + 24);
            if (clut != 0) {
                if (!inside(at + clut, 16)) return false;
                if (clut_entries(tag + clut, tag[8], tag[9]) == SIZE_MAX) return false;
            }
        } else if (std::memcmp(tag, "mpet", 4) == 0) {
            // A multi-process-element pipeline: its elements may share bytes,
            // so its cost is counted by elements, not by size.
            if (length < 16) return false;
            const uint32_t elements = be32(tag + 12);
            if (elements > kMaxProfilePipelineElements || !inside(at + 16, std::size_t{elements} * 8)) return false;
            for (uint32_t e = 0; e < elements; ++e) {
                const std::size_t el = at + be32(tag + 16 + 8 * std::size_t{e});
                if (!inside(el, 12)) return false;
                if (std::memcmp(p + el, "clut", 4) == 0) {
                    if (!inside(el, 28)) return false;
                    if (clut_entries(p + el + 12, be16(p + el + 8), be16(p + el + 10)) == SIZE_MAX) return false;
                }
            }
        }
    }
    return true;
}

namespace {

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
    // Checked before Little CMS reads anything: the header's own size (a
    // profile cut short is damaged) and the structural limits.
    if (!profile_within_limits(icc)) return nullptr;
    ProfilePtr p(cmsOpenProfileFromMemTHR(c, icc.data, static_cast<cmsUInt32Number>(icc.size)));
    if (!p) return nullptr;
    // Read from the header as numbers: a profile may hold any value there,
    // and Little CMS's enumerations name only the known ones.
    const uint32_t cls = be32(icc.data + 12), pcs = be32(icc.data + 20);
    if (cls == cmsSigLinkClass || cls == cmsSigAbstractClass || cls == cmsSigNamedColorClass) return nullptr;
    if (pcs != cmsSigXYZData && pcs != cmsSigLabData) return nullptr;
    return p;
}

// The colour space a profile's header names.
uint32_t colour_space(Span icc) noexcept { return be32(icc.data + 16); }

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
    budget_.reset();
}

bool ColorTransform::prepare(Span icc, int32_t channels) noexcept {
    release();
    // Outlives the context, whose every block it counts.
    std::unique_ptr<Budget, BudgetDeleter> budget(new (std::nothrow) Budget);
    if (!budget) return false;
    ContextPtr context(new_context(budget.get()));
    if (!context) return false;
    const auto c = static_cast<cmsContext>(context.get());
    const ProfilePtr source = open_profile(c, icc);
    if (!source) return false;
    const ProfilePtr srgb(cmsCreate_sRGBProfileTHR(c));
    if (!srgb) return false;
    const uint32_t space = colour_space(icc);

    if (space == cmsSigRgbData && channels >= 3) {
        // Alpha is an extra channel Little CMS leaves where it is; the
        // transform runs in place, so it stays.
        TransformPtr t(cmsCreateTransformTHR(c, source.get(), TYPE_RGBA_8, srgb.get(), TYPE_RGBA_8, kIntent, 0));
        if (!t || rgb_identity(static_cast<cmsHTRANSFORM>(t.get()))) return false;
        transform_ = t.release();
        context_ = context.release();
        budget_ = std::move(budget);
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
        budget_ = std::move(budget);
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
    // Kept, not converted: the header and the tag directory say enough, and
    // nothing is built from the profile.
    Budget budget;
    const ContextPtr context(new_context(&budget));
    if (!context) return false;
    const ProfilePtr p = open_profile(static_cast<cmsContext>(context.get()), icc);
    return p && colour_space(icc) == cmsSigRgbData;
}

}  // namespace rastra

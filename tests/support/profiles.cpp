#include "profiles.h"

#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace fixtures {

namespace {

struct ProfileCloser {
    void operator()(void* p) const { cmsCloseProfile(p); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
    void operator()(void* t) const { cmsDeleteTransform(t); }
};
using TransformPtr = std::unique_ptr<void, TransformDeleter>;

struct CurveDeleter {
    void operator()(cmsToneCurve* c) const { cmsFreeToneCurve(c); }
};
using CurvePtr = std::unique_ptr<cmsToneCurve, CurveDeleter>;

ProfilePtr rgb_profile(cmsCIExyY red, cmsCIExyY green, cmsCIExyY blue, cmsToneCurve* curve) {
    const cmsCIExyY d65{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{red, green, blue};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    return ProfilePtr(cmsCreateRGBProfile(&d65, &primaries, curves));
}

void describe(cmsHPROFILE p, const char* text) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(mlu, "en", "US", text);
    cmsWriteTag(p, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
}

ProfilePtr open(const Bytes& icc) {
    ProfilePtr p(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    if (!p) throw std::runtime_error("cannot open profile");
    return p;
}

}  // namespace

Bytes make_profile(Profile which, size_t pad) {
    const double srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    ProfilePtr p;
    const char* name = "";
    switch (which) {
        case Profile::kDisplayP3: {
            const CurvePtr curve(cmsBuildParametricToneCurve(nullptr, 4, srgb_curve));
            p = rgb_profile({0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}, curve.get());
            name = "Display P3 (test)";
            break;
        }
        case Profile::kAdobeRgb: {
            const CurvePtr curve(cmsBuildGamma(nullptr, 563.0 / 256.0));
            p = rgb_profile({0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}, curve.get());
            name = "Adobe RGB (test)";
            break;
        }
        case Profile::kSrgb:
        case Profile::kCmyk:
            p.reset(cmsCreate_sRGBProfile());
            name = which == Profile::kSrgb ? "sRGB (test)" : "not CMYK (test)";
            break;
        case Profile::kGrey: {
            const CurvePtr curve(cmsBuildGamma(nullptr, 1.0));
            p.reset(cmsCreateGrayProfile(cmsD50_xyY(), curve.get()));
            name = "Linear grey (test)";
            break;
        }
    }
    if (!p) throw std::runtime_error("cannot build profile");
    describe(p.get(), name);
    if (pad != 0) {
        const std::string text(pad, 'x');
        cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
        cmsMLUsetASCII(mlu, "en", "US", text.c_str());
        cmsWriteTag(p.get(), cmsSigCharTargetTag, mlu);
        cmsMLUfree(mlu);
    }
    cmsUInt32Number n = 0;
    if (!cmsSaveProfileToMem(p.get(), nullptr, &n)) throw std::runtime_error("cannot save profile");
    Bytes out(n);
    if (!cmsSaveProfileToMem(p.get(), out.data(), &n)) throw std::runtime_error("cannot save profile");
    if (which == Profile::kCmyk) std::memcpy(out.data() + 16, "CMYK", 4);  // the header's colour space
    return out;
}

Rgba reference_to_srgb(const Rgba& rgba, const Bytes& profile) {
    const ProfilePtr source = open(profile);
    const ProfilePtr srgb(cmsCreate_sRGBProfile());
    const bool grey = cmsGetColorSpace(source.get()) == cmsSigGrayData;
    const TransformPtr t(cmsCreateTransform(source.get(), grey ? TYPE_GRAY_DBL : TYPE_RGB_DBL, srgb.get(),
                                            TYPE_RGB_DBL, INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE));
    if (!t) throw std::runtime_error("cannot build the reference transform");
    Rgba out = rgba;
    for (size_t i = 0; i < rgba.px.size(); i += 4) {
        double in[3] = {rgba.px[i] / 255.0, rgba.px[i + 1] / 255.0, rgba.px[i + 2] / 255.0};
        double res[3];
        cmsDoTransform(t.get(), in, res, 1);
        for (int c = 0; c < 3; ++c) {
            out.px[i + static_cast<size_t>(c)] = static_cast<uint8_t>(std::lround(std::fmin(std::fmax(res[c], 0.0), 1.0) * 255.0));
        }
    }
    return out;
}

double delta_e(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b) {
    const ProfilePtr srgb(cmsCreate_sRGBProfile());
    const ProfilePtr lab(cmsCreateLab4Profile(nullptr));
    const TransformPtr t(cmsCreateTransform(srgb.get(), TYPE_RGB_8, lab.get(), TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC,
                                            cmsFLAGS_NOOPTIMIZE));
    cmsCIELab la, lb;
    cmsDoTransform(t.get(), a.data(), &la, 1);
    cmsDoTransform(t.get(), b.data(), &lb, 1);
    return cmsDeltaE(&la, &lb);
}

}  // namespace fixtures

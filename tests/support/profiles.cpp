#include "profiles.h"

#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>
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

namespace {

void be(Bytes& b, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void be_float(Bytes& b, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    be(b, u, 4);
}
void append(Bytes& b, const char* text, size_t n) { b.insert(b.end(), text, text + n); }

}  // namespace

Bytes mpe_chain_profile(int pairs) {
    const auto s15 = [](Bytes& b, double v) { be(b, static_cast<uint32_t>(static_cast<int32_t>(v * 65536 + 0.5)), 4); };
    Bytes wtpt;
    append(wtpt, "XYZ \0\0\0\0", 8);
    s15(wtpt, 0.9642), s15(wtpt, 1.0), s15(wtpt, 0.8249);
    Bytes desc;
    append(desc, "mluc\0\0\0\0", 8);
    be(desc, 1, 4), be(desc, 12, 4);
    append(desc, "enUS", 4);
    be(desc, 8, 4), be(desc, 28, 4);
    append(desc, "\0b\0o\0m\0b", 8);
    Bytes matf;
    append(matf, "matf\0\0\0\0", 8);
    be(matf, 3, 2), be(matf, 3, 2);
    for (float v : {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f}) be_float(matf, v);
    Bytes curf;  // one formula segment: y = (1 * x + 0)^1 + 0
    append(curf, "curf\0\0\0\0", 8);
    be(curf, 1, 2), be(curf, 0, 2);
    append(curf, "parf\0\0\0\0", 8);
    be(curf, 0, 2), be(curf, 0, 2);
    for (float v : {1.f, 1.f, 0.f, 0.f}) be_float(curf, v);
    Bytes cvst;
    append(cvst, "cvst\0\0\0\0", 8);
    be(cvst, 3, 2), be(cvst, 3, 2);
    for (int c = 0; c < 3; ++c) be(cvst, 36, 4), be(cvst, curf.size(), 4);
    cvst.insert(cvst.end(), curf.begin(), curf.end());
    const uint32_t elements = 2 * static_cast<uint32_t>(pairs);
    Bytes d2b0;
    append(d2b0, "mpet\0\0\0\0", 8);
    be(d2b0, 3, 2), be(d2b0, 3, 2), be(d2b0, elements, 4);
    const size_t matf_at = 16 + size_t{elements} * 8, cvst_at = matf_at + matf.size();
    for (uint32_t e = 0; e < elements; ++e) {
        be(d2b0, e % 2 == 0 ? matf_at : cvst_at, 4);
        be(d2b0, e % 2 == 0 ? matf.size() : cvst.size(), 4);
    }
    d2b0.insert(d2b0.end(), matf.begin(), matf.end());
    d2b0.insert(d2b0.end(), cvst.begin(), cvst.end());

    const std::pair<const char*, const Bytes*> tags[] = {{"desc", &desc}, {"wtpt", &wtpt}, {"D2B0", &d2b0}};
    Bytes directory, body;
    const size_t first = 128 + 4 + 12 * std::size(tags);
    for (const auto& [sig, data] : tags) {
        while ((first + body.size()) % 4 != 0) body.push_back(0);
        append(directory, sig, 4);
        be(directory, first + body.size(), 4), be(directory, data->size(), 4);
        body.insert(body.end(), data->begin(), data->end());
    }
    Bytes profile;
    be(profile, first + body.size(), 4);
    be(profile, 0, 4);
    be(profile, 0x04300000, 4);
    append(profile, "mntrRGB XYZ ", 12);
    profile.resize(36, 0);
    append(profile, "acsp", 4);
    profile.resize(68, 0);
    s15(profile, 0.9642), s15(profile, 1.0), s15(profile, 0.8249);
    profile.resize(128, 0);
    be(profile, std::size(tags), 4);
    profile.insert(profile.end(), directory.begin(), directory.end());
    profile.insert(profile.end(), body.begin(), body.end());
    return profile;
}

}  // namespace fixtures

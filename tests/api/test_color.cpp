// Colour that survives conversion, and metadata kept when asked: embedded
// profiles converted to sRGB or kept, EXIF and XMP carried into each output
// format, and every default output exactly as it was.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixtures.h"
#include "memory_conversion.h"
#include "profiles.h"
#include "rastra.h"

namespace {

using fixtures::Bytes;
using fixtures::Profile;
using fixtures::Rgba;

using memory_conversion::convert_ok;
using memory_conversion::pixels;
using Settings = memory_conversion::SettingsPtr;

struct Options {
    int32_t color = RASTRA_COLOR_IGNORE;
    uint32_t keep = 0;
    int32_t format = RASTRA_FORMAT_PNG;
    bool orient = false;
};

Bytes convert(const Bytes& in, const Options& o) {
    const Settings s(rastra_settings_new());
    rastra_settings_set_color(s.get(), o.color);
    rastra_settings_set_keep_metadata(s.get(), o.keep);
    rastra_settings_set_format(s.get(), o.format);
    rastra_settings_set_auto_orient(s.get(), o.orient ? 1 : 0);
    return convert_ok(s.get(), in);
}

// The largest difference between two images' channels (alpha separately).
struct Diff {
    int colour = 0;
    int alpha = 0;
};
Diff diff(const Rgba& a, const Rgba& b) {
    Diff d;
    EXPECT_EQ(a.px.size(), b.px.size());
    for (size_t i = 0; i < a.px.size() && i < b.px.size(); ++i) {
        const int v = std::abs(a.px[i] - b.px[i]);
        int& m = i % 4 == 3 ? d.alpha : d.colour;
        m = std::max(m, v);
    }
    return d;
}

// Saturated and everyday colours, with alpha, so a wide-gamut profile moves
// them visibly.
Rgba swatches() {
    Rgba img = fixtures::make_pattern(40, 24);
    const std::array<std::array<uint8_t, 3>, 6> kColours = {
        {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 128, 0}, {200, 60, 160}, {255, 255, 255}}};
    for (int i = 0; i < 6; ++i) {
        for (int y = 0; y < 4; ++y) {
            uint8_t* p = &img.px[(static_cast<size_t>(y) * img.width + i * 4) * 4];
            p[0] = kColours[i][0], p[1] = kColours[i][1], p[2] = kColours[i][2];
        }
    }
    return img;
}

// One carrier of each kind: a JPEG with its profile over three APP2
// segments (or as many as it needs), a PNG iCCP, a lossless WebP ICCP.
struct Carrier {
    const char* name;
    Bytes plain;
    Bytes tagged;
};
std::vector<Carrier> carriers(const Bytes& icc) {
    const Rgba img = swatches();
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, img, 95);
    const Bytes png = fixtures::encode(fixtures::kPng, img);
    const Bytes webp = fixtures::encode(fixtures::kWebp, img, -1);
    const int segments = std::max<int>(3, static_cast<int>((icc.size() + 65518) / 65519));
    return {{"jpeg", jpg, fixtures::with_icc(jpg, icc, segments)},
            {"png", png, fixtures::with_icc(png, icc)},
            {"webp", webp, fixtures::with_icc(webp, icc)}};
}

}  // namespace

TEST(Color, TheDefaultDropsProfilesAndWritesWhatItAlwaysWrote) {
    for (const Carrier& c : carriers(fixtures::make_profile(Profile::kDisplayP3))) {
        SCOPED_TRACE(c.name);
        for (int32_t format : {RASTRA_FORMAT_PNG, RASTRA_FORMAT_JPEG, RASTRA_FORMAT_WEBP, RASTRA_FORMAT_BMP}) {
            const Bytes out = convert(c.tagged, {.format = format});
            EXPECT_EQ(out, convert(c.plain, {.format = format})) << format;
            const fixtures::Found found = fixtures::find_metadata(out);
            EXPECT_TRUE(found.icc.empty() && found.exif.empty() && found.xmp.empty());
        }
    }
}

TEST(Color, SrgbMatchesTheReferenceTransformOfTheDecodedPixels) {
    for (Profile profile : {Profile::kDisplayP3, Profile::kAdobeRgb}) {
        const Bytes icc = fixtures::make_profile(profile);
        for (const Carrier& c : carriers(icc)) {
            SCOPED_TRACE(std::string(c.name) + (profile == Profile::kDisplayP3 ? " P3" : " Adobe RGB"));
            const Rgba decoded = pixels(c.plain);
            const Rgba want = fixtures::reference_to_srgb(decoded, icc);
            const Bytes out = convert(c.tagged, {.color = RASTRA_COLOR_SRGB});
            const Diff d = diff(pixels(out), want);
            EXPECT_LE(d.colour, 1);
            EXPECT_EQ(d.alpha, 0);
            EXPECT_GE(diff(decoded, want).colour, 40);  // the profile does move colours
            EXPECT_TRUE(fixtures::find_metadata(out).icc.empty());  // sRGB needs no tag
        }
    }
}

TEST(Color, SrgbLeavesUntaggedAndSrgbInputsByteForByte) {
    const Rgba img = swatches();
    const Bytes png = fixtures::encode(fixtures::kPng, img);
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, img, 90);
    const Bytes srgb = fixtures::make_profile(Profile::kSrgb);
    const Bytes p3 = fixtures::make_profile(Profile::kDisplayP3);
    const std::pair<const char*, Bytes> inputs[] = {
        {"untagged png", png},
        {"untagged jpeg", jpg},
        {"sRGB profile", fixtures::with_icc(png, srgb)},
        {"sRGB profile in jpeg", fixtures::with_icc(jpg, srgb)},
        // An sRGB chunk says what the pixels are, whatever iCCP says.
        {"sRGB chunk", fixtures::with_srgb_chunk(fixtures::with_icc(png, p3))},
    };
    for (const auto& [name, file] : inputs) {
        SCOPED_TRACE(name);
        EXPECT_EQ(convert(file, {.color = RASTRA_COLOR_SRGB}), convert(file, {}));
    }
}

TEST(Color, ProfilesThatCannotDescribeThePixelsAreIgnoredNeverFatal) {
    const Rgba img = swatches();
    const Bytes png = fixtures::encode(fixtures::kPng, img);
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, img, 90);
    const Bytes p3 = fixtures::make_profile(Profile::kDisplayP3);
    Bytes cut(p3.begin(), p3.begin() + static_cast<std::ptrdiff_t>(p3.size() / 2));
    Bytes scrambled = p3;
    for (size_t i = 128; i < scrambled.size(); ++i) scrambled[i] = static_cast<uint8_t>(i * 131);
    // A deflate bomb: 64 MiB of zeros behind 50 kB of iCCP.
    const Bytes bomb_data = [] {
        Bytes d{'b', 0, 0};
        const Bytes z = fixtures::zlib_zeros(64u << 20);
        d.insert(d.end(), z.begin(), z.end());
        return d;
    }();
    const std::pair<const char*, Bytes> inputs[] = {
        {"grey profile on colour", fixtures::with_icc(png, fixtures::make_profile(Profile::kGrey))},
        {"CMYK profile", fixtures::with_icc(png, fixtures::make_profile(Profile::kCmyk))},
        {"cut short", fixtures::with_icc(png, cut)},
        {"scrambled", fixtures::with_icc(jpg, scrambled)},
        {"no profile at all", fixtures::with_icc(png, Bytes(200, 7))},
        {"over 4 MiB", fixtures::with_icc(png, fixtures::make_profile(Profile::kDisplayP3, 5u << 20))},
        {"deflate bomb", fixtures::with_png_chunk(png, "iCCP", bomb_data)},
        {"broken zlib", fixtures::with_png_chunk(png, "iCCP", Bytes{'b', 0, 0, 0x78, 0x9C, 1, 2, 3})},
        {"segment missing", fixtures::with_icc(jpg, p3, 3, {1, 3, 3})},
        // Header values no enumeration of Little CMS names.
        {"unknown connection space", [&] {
             Bytes odd = p3;
             odd[20] = 0x88;
             return fixtures::with_icc(png, odd);
         }()},
        {"unknown class and colour space", [&] {
             Bytes odd = p3;
             odd[12] = odd[16] = 0xF0;
             return fixtures::with_icc(png, odd);
         }()},
        {"segment twice", fixtures::with_icc(jpg, p3, 2, {1, 1})},
        {"segment number 0", fixtures::with_icc(jpg, p3, 2, {0, 1})},
        {"segment past the count", fixtures::with_icc(jpg, p3, 2, {1, 3})},
        {"counts disagree", [&] {
             Bytes b = fixtures::with_icc(jpg, p3, 2);
             b[2 + 4 + 13] = 3;  // the first segment's count
             return b;
         }()},
    };
    for (const auto& [name, file] : inputs) {
        SCOPED_TRACE(name);
        for (int32_t mode : {RASTRA_COLOR_SRGB, RASTRA_COLOR_KEEP}) {
            const Bytes out = convert(file, {.color = mode});
            EXPECT_EQ(pixels(out).px, pixels(convert(file, {})).px);
            EXPECT_TRUE(fixtures::find_metadata(out).icc.empty());
        }
    }
}

TEST(Color, ProfilesPastTheStructuralLimitsCostNothing) {
    // A tiny profile whose pipeline repeats two shared elements: Little CMS
    // would spend seconds and hundreds of megabytes building it. Past the
    // element limit it is damaged (untagged pixels, nothing kept) at once, in
    // every container, codec set and colour mode; at the limit it is an
    // ordinary (identity) profile.
    const Bytes over = fixtures::mpe_chain_profile(RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS / 2 + 1);
    const Bytes huge = fixtures::mpe_chain_profile(200000);
    const Bytes within = fixtures::mpe_chain_profile(RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS / 2);
    EXPECT_LT(over.size(), 1000u);
    const auto start = std::chrono::steady_clock::now();
    for (const Bytes* icc : {&over, &huge}) {
        for (const Carrier& c : carriers(*icc)) {
            for (const int32_t codecs : {RASTRA_CODECS_REFERENCE, RASTRA_CODECS_FAST}) {
                for (const int32_t mode : {RASTRA_COLOR_IGNORE, RASTRA_COLOR_SRGB, RASTRA_COLOR_KEEP}) {
                    SCOPED_TRACE(std::string(c.name) + " codecs " + std::to_string(codecs) + " mode " +
                                 std::to_string(mode) + " profile " + std::to_string(icc->size()));
                    const Settings s(rastra_settings_new());
                    rastra_settings_set_codecs(s.get(), codecs);
                    rastra_settings_set_color(s.get(), mode);
                    const Bytes out = convert_ok(s.get(), c.tagged);
                    rastra_settings_set_color(s.get(), RASTRA_COLOR_IGNORE);
                    EXPECT_EQ(pixels(out).px, pixels(convert_ok(s.get(), c.plain)).px);
                    EXPECT_TRUE(fixtures::find_metadata(out).icc.empty());
                }
            }
        }
    }
    // 72 conversions: seconds even under the sanitizers, where the profile
    // with 400,000 elements alone would take hours.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    const Bytes kept = convert(carriers(within)[1].tagged, {.color = RASTRA_COLOR_KEEP});
    EXPECT_EQ(fixtures::find_metadata(kept).icc, within);
}

TEST(Color, AGreyProfileConvertsAGreyImage) {
    // A grey ramp stored in linear light: sRGB shows it much brighter.
    Bytes rows;
    for (int y = 0; y < 4; ++y) {
        rows.push_back(0);
        for (int x = 0; x < 256; ++x) rows.push_back(static_cast<uint8_t>(x));
    }
    const Bytes grey = fixtures::png_from_scanlines(256, 4, 8, 0, rows);
    const Bytes icc = fixtures::make_profile(Profile::kGrey);
    const Rgba want = fixtures::reference_to_srgb(pixels(grey), icc);
    const Rgba got = pixels(convert(fixtures::with_icc(grey, icc), {.color = RASTRA_COLOR_SRGB}));
    EXPECT_LE(diff(got, want).colour, 1);
    EXPECT_GT(got.px[4 * 64], 64 + 60);  // linear 64 is sRGB ~137
}

TEST(Color, KeepEmbedsTheProfileInEveryFormatThatCarriesOne) {
    // 200 kB: more than three JPEG segments' worth.
    const Bytes big = fixtures::make_profile(Profile::kDisplayP3, 200000);
    for (const Bytes& icc : {fixtures::make_profile(Profile::kAdobeRgb), big}) {
        const Carrier c = carriers(icc)[0];
        for (int32_t format : {RASTRA_FORMAT_JPEG, RASTRA_FORMAT_PNG, RASTRA_FORMAT_WEBP}) {
            SCOPED_TRACE(std::to_string(icc.size()) + " bytes, format " + std::to_string(format));
            const Bytes out = convert(c.tagged, {.color = RASTRA_COLOR_KEEP, .format = format});
            const fixtures::Found found = fixtures::find_metadata(out);
            EXPECT_TRUE(found.valid);
            EXPECT_EQ(found.icc, icc);
            if (format == RASTRA_FORMAT_JPEG) {
                EXPECT_EQ(found.icc_segments, icc.size() > 65519 ? 4 : 1);
            }
            // The pixels are as decoded.
            EXPECT_EQ(pixels(out).px, pixels(convert(c.tagged, {.format = format})).px);
            // The same through RASTRA_KEEP_ICC, whatever the colour setting.
            EXPECT_EQ(convert(c.tagged, {.color = RASTRA_COLOR_SRGB, .keep = RASTRA_KEEP_ICC, .format = format}), out);
        }
        // BMP carries nothing: written as without the setting.
        EXPECT_EQ(convert(c.tagged, {.color = RASTRA_COLOR_KEEP, .format = RASTRA_FORMAT_BMP}),
                  convert(c.tagged, {.format = RASTRA_FORMAT_BMP}));
    }
}

TEST(Metadata, KeptPartsTravelIntoEachFormatAndSayUpright) {
    const std::string xmp =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" "
        "tiff:Orientation=\"6\"><dc:creator>A. Photographer</dc:creator>"
        "</rdf:Description></rdf:RDF></x:xmpmeta>";
    // Turned upright, the XMP says so as the EXIF block does.
    std::string upright_xmp = xmp;
    upright_xmp[upright_xmp.find("Orientation=\"6") + 13] = '1';
    const Bytes p3 = fixtures::make_profile(Profile::kDisplayP3);
    const Rgba img = fixtures::make_pattern(30, 20, true);
    for (fixtures::Kind in_kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kWebp}) {
        const Bytes exif = fixtures::exif_block(6, in_kind == fixtures::kPng);
        const Bytes in = fixtures::with_icc(
            fixtures::with_xmp(fixtures::with_exif(fixtures::encode(in_kind, img, 90), exif), xmp), p3);
        for (int32_t format : {RASTRA_FORMAT_JPEG, RASTRA_FORMAT_PNG, RASTRA_FORMAT_WEBP}) {
            SCOPED_TRACE("input " + std::to_string(in_kind) + ", format " + std::to_string(format));
            // Turned upright: the kept EXIF says so.
            const Bytes upright = convert(in, {.keep = RASTRA_KEEP_ALL, .format = format, .orient = true});
            fixtures::Found found = fixtures::find_metadata(upright);
            EXPECT_TRUE(found.valid);
            EXPECT_EQ(found.xmp, Bytes(upright_xmp.begin(), upright_xmp.end()));
            EXPECT_EQ(found.icc, p3);
            Bytes want = exif;
            want[8 + 2 + 8 + (in_kind == fixtures::kPng ? 1 : 0)] = 1;  // the value, in the block's byte order
            EXPECT_EQ(found.exif, want);
            rastra_image_info info{};
            ASSERT_EQ(rastra_probe(upright.data(), upright.size(), &info), 1);
            EXPECT_EQ(info.orientation, 1);
            EXPECT_EQ(info.width, 20);  // turned a quarter

            // As stored: the block and the packet as they were.
            const Bytes stored = convert(in, {.keep = RASTRA_KEEP_EXIF, .format = format});
            found = fixtures::find_metadata(stored);
            EXPECT_EQ(found.exif, exif);
            EXPECT_TRUE(found.xmp.empty() && found.icc.empty());
            found = fixtures::find_metadata(convert(in, {.keep = RASTRA_KEEP_XMP, .format = format}));
            EXPECT_EQ(found.xmp, Bytes(xmp.begin(), xmp.end()));
            ASSERT_EQ(rastra_probe(stored.data(), stored.size(), &info), 1);
            EXPECT_EQ(info.orientation, 6);
        }
    }
}

TEST(Metadata, APartTooLargeForAJpegSegmentIsLeftOut) {
    Bytes exif = fixtures::exif_block(1);
    exif.resize(65528, 0);  // one byte more than an APP1 segment holds
    const Bytes in = fixtures::with_exif(fixtures::encode(fixtures::kPng, fixtures::make_pattern(8, 8)), exif);
    const Bytes jpg = convert(in, {.keep = RASTRA_KEEP_EXIF, .format = RASTRA_FORMAT_JPEG});
    EXPECT_TRUE(fixtures::find_metadata(jpg).exif.empty());
    EXPECT_EQ(fixtures::find_metadata(convert(in, {.keep = RASTRA_KEEP_EXIF})).exif, exif);  // PNG holds it
    exif.resize(65527);
    const Bytes fits = fixtures::with_exif(fixtures::encode(fixtures::kPng, fixtures::make_pattern(8, 8)), exif);
    EXPECT_EQ(fixtures::find_metadata(convert(fits, {.keep = RASTRA_KEEP_EXIF, .format = RASTRA_FORMAT_JPEG})).exif,
              exif);
}

TEST(Metadata, TheProcessWideSettingsTakeTheSameValuesAndResetToNothing) {
    rastra_init();
    fixtures::TempDir dir;
    const Bytes p3 = fixtures::make_profile(Profile::kDisplayP3);
    const Bytes in = fixtures::with_icc(
        fixtures::with_exif(fixtures::encode(fixtures::kPng, swatches()), fixtures::exif_block(3)), p3);
    fixtures::write_file(dir / "in.png", in);
    const auto run = [&] {
        EXPECT_EQ(rastra_process_file((dir / "in.png").c_str(), (dir / "out.png").c_str()), 1) << rastra_last_error();
        return fixtures::read_file(dir / "out.png");
    };
    const Bytes plain = run();
    rastra_set_color(RASTRA_COLOR_SRGB);
    rastra_set_color(3);   // out of range: changes nothing
    rastra_set_color(-1);
    EXPECT_EQ(run(), convert(in, {.color = RASTRA_COLOR_SRGB}));
    rastra_set_keep_metadata(RASTRA_KEEP_EXIF | RASTRA_KEEP_ICC);
    rastra_set_keep_metadata(8);  // unknown bit: changes nothing
    EXPECT_EQ(run(), convert(in, {.keep = RASTRA_KEEP_EXIF | RASTRA_KEEP_ICC}));
    rastra_reset();
    EXPECT_EQ(run(), plain);
    const Settings s(rastra_settings_new());
    rastra_settings_set_color(s.get(), 7);
    rastra_settings_set_keep_metadata(s.get(), 0x100);
    rastra_settings_set_color(nullptr, 1);  // a NULL object is refused quietly
    rastra_settings_set_keep_metadata(nullptr, 1);
    void* out = nullptr;
    size_t size = 0;
    ASSERT_EQ(rastra_convert(s.get(), in.data(), in.size(), &out, &size, nullptr, 0), 1);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size), convert(in, {.format = RASTRA_FORMAT_AUTO}));
    rastra_free(out);
}

#if !defined(_WIN32)
// ImageMagick's -profile conversion (through Little CMS as well) is an
// independent opinion of where each colour lands.
TEST(Color, SaturatedP3ColoursLandWhereImageMagickPutsThem) {
    if (std::system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick's convert is not installed";
    fixtures::TempDir dir;
    const Rgba img = fixtures::make_solid(6, 1, 0, 0, 0, 255);
    Rgba colours = img;
    const std::array<std::array<uint8_t, 3>, 6> kColours = {
        {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 128, 0}, {255, 0, 255}, {40, 200, 120}}};
    for (int i = 0; i < 6; ++i) std::copy(kColours[i].begin(), kColours[i].end(), colours.px.begin() + 4 * i);
    const Bytes in = fixtures::with_icc(fixtures::encode(fixtures::kPng, colours), fixtures::make_profile(Profile::kDisplayP3));
    fixtures::write_file(dir / "in.png", in);
    fixtures::write_file(dir / "srgb.icc", fixtures::make_profile(Profile::kSrgb));
    const std::string command = "convert '" + (dir / "in.png") + "' -profile '" + (dir / "srgb.icc") + "' '" +
                                (dir / "magick.png") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Rgba theirs = pixels(fixtures::read_file(dir / "magick.png"));
    const Rgba ours = pixels(convert(in, {.color = RASTRA_COLOR_SRGB}));
    double worst = 0;
    for (int i = 0; i < 6; ++i) {
        const uint8_t* a = &ours.px[4 * i];
        const uint8_t* b = &theirs.px[4 * i];
        const double de = fixtures::delta_e({a[0], a[1], a[2]}, {b[0], b[1], b[2]});
        worst = std::max(worst, de);
        RecordProperty("deltaE_" + std::to_string(i), std::to_string(de));
    }
    std::printf("largest CIE76 difference from ImageMagick: %.3f\n", worst);
    EXPECT_LT(worst, 1.0);
}
#endif

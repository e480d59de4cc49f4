// The fast codec set beside the reference one: the same sizes and nearly the
// same pixels for every input and output format and box, opaque PNGs written
// as RGB, the zlib level, lossless WebP, and kept metadata in its outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "fixtures.h"
#include "memory_conversion.h"
#include "profiles.h"
#include "rastra.h"

namespace {

using fixtures::Bytes;
using fixtures::Rgba;

using memory_conversion::convert_ok;
using memory_conversion::pixels;
using Settings = memory_conversion::SettingsPtr;

struct Way {
    int32_t codecs = RASTRA_CODECS_REFERENCE;
    int32_t format = RASTRA_FORMAT_PNG;
    int32_t box_w = 0, box_h = 0;
    int32_t png_level = RASTRA_PNG_LEVEL_DEFAULT;
    int32_t lossless = 0;
    uint32_t keep = 0;
    int32_t quality = 90;
};

Bytes convert(const Bytes& in, const Way& w) {
    const Settings s(rastra_settings_new());
    rastra_settings_set_codecs(s.get(), w.codecs);
    rastra_settings_set_format(s.get(), w.format);
    rastra_settings_set_resize(s.get(), w.box_w, w.box_h);
    rastra_settings_set_png_level(s.get(), w.png_level);
    rastra_settings_set_webp_lossless(s.get(), w.lossless);
    rastra_settings_set_keep_metadata(s.get(), w.keep);
    rastra_settings_set_quality(s.get(), w.quality);
    return convert_ok(s.get(), in);
}

// A photograph-like image: smooth gradients, texture and hard edges.
Rgba photo(int w, int h, bool opaque) {
    Rgba img = fixtures::make_pattern(w, h, opaque);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &img.px[(static_cast<size_t>(y) * w + x) * 4];
            const double v = 0.5 + 0.5 * std::sin(x * 0.07) * std::cos(y * 0.05);
            p[2] = static_cast<uint8_t>(v * 255);
            if ((x / 40 + y / 40) % 2 == 0) p[0] = static_cast<uint8_t>(255 - p[0]);
        }
    }
    return img;
}

double mean_difference(const Rgba& a, const Rgba& b) {
    double sum = 0;
    for (size_t i = 0; i < a.px.size(); ++i) sum += std::abs(a.px[i] - b.px[i]);
    return a.px.empty() ? 0 : sum / static_cast<double>(a.px.size());
}

}  // namespace

TEST(FastCodecs, TheSameSizesAndNearlyTheSamePixelsAsTheReference) {
    const Rgba opaque = photo(640, 480, true);
    const Rgba clear = photo(301, 207, false);
    const std::pair<const char*, Bytes> inputs[] = {
        {"jpeg", fixtures::encode(fixtures::kJpeg, opaque, 92)},
        {"png", fixtures::encode(fixtures::kPng, clear)},
        {"webp", fixtures::encode(fixtures::kWebp, clear, 90)},
        {"bmp", fixtures::encode(fixtures::kBmp, clear)},
        {"progressive jpeg", fixtures::progressive_jpeg(96, 64, 3, 2)},
    };
    // No box, a box that halves or more (JPEG and WebP decode reduced), and
    // awkward ones.
    // A box of a ninth or less: the fast set box-shrinks first.
    const std::pair<int, int> boxes[] = {{0, 0}, {320, 240}, {100, 0}, {37, 29}, {600, 600}, {30, 20}};
    for (const auto& [name, in] : inputs) {
        for (const auto& [bw, bh] : boxes) {
            for (int32_t format : {RASTRA_FORMAT_PNG, RASTRA_FORMAT_JPEG}) {
                SCOPED_TRACE(std::string(name) + " box " + std::to_string(bw) + "x" + std::to_string(bh) +
                             " format " + std::to_string(format));
                const Bytes ref = convert(in, {.format = format, .box_w = bw, .box_h = bh});
                const Bytes fast = convert(in, {.codecs = RASTRA_CODECS_FAST, .format = format, .box_w = bw, .box_h = bh});
                const Rgba a = pixels(ref), b = pixels(fast);
                ASSERT_EQ(a.width, b.width);
                ASSERT_EQ(a.height, b.height);
                // Lossless paths agree closely; reduced decoding and another
                // JPEG encoder move pixels a little.
                const bool exact = format == RASTRA_FORMAT_PNG && std::string(name) != "jpeg" &&
                                   std::string(name) != "progressive jpeg" && (bw == 0 || std::string(name) != "webp") &&
                                   bw != 30;
                EXPECT_LE(mean_difference(a, b), exact ? 0.0 : 4.0);
            }
        }
    }
}

TEST(FastCodecs, OpaquePngsAreRgbAndTheLevelTradesSizeForTime) {
    const Bytes opaque = fixtures::encode(fixtures::kPng, photo(400, 300, true));
    const Bytes clear = fixtures::encode(fixtures::kPng, photo(400, 300, false));
    const Bytes rgb = convert(opaque, {.codecs = RASTRA_CODECS_FAST});
    EXPECT_EQ(rgb[25], 2);  // IHDR's colour type: truecolour
    EXPECT_EQ(convert(clear, {.codecs = RASTRA_CODECS_FAST})[25], 6);
    EXPECT_EQ(convert(opaque, {})[25], 6);  // the reference set writes RGBA always
    EXPECT_EQ(pixels(rgb).px, pixels(opaque).px);
    const Bytes fastest = convert(clear, {.codecs = RASTRA_CODECS_FAST, .png_level = 1});
    const Bytes smallest = convert(clear, {.codecs = RASTRA_CODECS_FAST, .png_level = 9});
    EXPECT_LT(smallest.size(), fastest.size());
    EXPECT_EQ(pixels(fastest).px, pixels(smallest).px);
    EXPECT_LT(convert(clear, {.codecs = RASTRA_CODECS_FAST}).size(), convert(clear, {}).size());
}

TEST(FastCodecs, LosslessWebpKeepsEveryPixelInEitherSet) {
    Rgba img = photo(120, 80, false);
    for (size_t i = 0; i < img.px.size(); i += 4 * 7) img.px[i + 3] = 0;  // colour under full transparency too
    const Bytes png = fixtures::encode(fixtures::kPng, img);
    for (int32_t codecs : {RASTRA_CODECS_REFERENCE, RASTRA_CODECS_FAST}) {
        const Bytes lossless = convert(png, {.codecs = codecs, .format = RASTRA_FORMAT_WEBP, .lossless = 1});
        EXPECT_EQ(pixels(lossless).px, img.px);
        EXPECT_NE(pixels(convert(png, {.codecs = codecs, .format = RASTRA_FORMAT_WEBP})).px, img.px);
    }
}

TEST(FastCodecs, JpegsAreSmallerAndCarryKeptMetadata) {
    const Bytes png = fixtures::encode(fixtures::kPng, photo(640, 480, true));
    for (int quality : {50, 90, 95}) {
        const Bytes ref = convert(png, {.format = RASTRA_FORMAT_JPEG, .quality = quality});
        const Bytes fast = convert(png, {.codecs = RASTRA_CODECS_FAST, .format = RASTRA_FORMAT_JPEG, .quality = quality});
        EXPECT_LT(fast.size(), ref.size()) << quality;  // optimised Huffman tables
    }
    const Bytes exif = fixtures::exif_block(1);
    const Bytes tagged = fixtures::with_xmp(fixtures::with_exif(png, exif), "<x:xmpmeta/>");
    for (int32_t format : {RASTRA_FORMAT_JPEG, RASTRA_FORMAT_PNG}) {
        const fixtures::Found found = fixtures::find_metadata(
            convert(tagged, {.codecs = RASTRA_CODECS_FAST, .format = format, .keep = RASTRA_KEEP_ALL}));
        EXPECT_TRUE(found.valid);
        EXPECT_EQ(found.exif, exif) << format;
        EXPECT_EQ(found.xmp, Bytes({'<', 'x', ':', 'x', 'm', 'p', 'm', 'e', 't', 'a', '/', '>'})) << format;
    }
}

TEST(FastCodecs, SmallPngsWithTextDecodeInBothSets) {
    // libspng keeps a record of every text chunk: a tiny file with text must
    // still decode.
    const Bytes tiny = fixtures::encode(fixtures::kPng, fixtures::make_pattern(2, 2));
    const Bytes text = fixtures::with_png_chunk(
        fixtures::with_png_chunk(tiny, "tEXt", Bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'}), "iTXt",
        Bytes{'T', 'i', 't', 'l', 'e', 0, 0, 0, 0, 0, 'x'});
    EXPECT_EQ(pixels(convert(text, {.codecs = RASTRA_CODECS_FAST})).px, pixels(convert(text, {})).px);
}

TEST(FastCodecs, EveryPngTheReferenceSetConvertsTheFastSetConverts) {
    // Ancillary chunks the decoder does not need never stop it: profiles
    // that inflate past the file's size, a large compressed XMP packet, a
    // raw profile in zTXt, more text chunks than libspng keeps records of,
    // and chunks libspng itself calls malformed (a duplicate gAMA, an eXIf
    // that is no TIFF block, a pHYs after the image data).
    const Bytes base = fixtures::encode(fixtures::kPng, photo(100, 100, false));
    const auto bytes_of = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
    std::vector<std::pair<std::string, Bytes>> cases;
    for (const auto which : {fixtures::Profile::kDisplayP3, fixtures::Profile::kAdobeRgb, fixtures::Profile::kGrey}) {
        cases.emplace_back("built profile", fixtures::with_icc(base, fixtures::make_profile(which, 60000)));
    }
    // Every profile installed on the machine (the colour packages the tests install).
    std::error_code ec;
    for (const auto& e : fixtures::fs::recursive_directory_iterator("/usr/share/color/icc", ec)) {
        const std::string ext = e.path().extension().string();
        if (ext == ".icc" || ext == ".icm" || ext == ".ICM" || ext == ".ICC") {
            cases.emplace_back(e.path().string(), fixtures::with_icc(base, fixtures::read_file(e.path())));
        }
    }
    std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>";
    while (xmp.size() < 20000) xmp += "<rdf:Description about='' xmlns:dc='http://purl.org/dc/elements/1.1/'/>";
    xmp += "</x:xmpmeta>";
    Bytes itxt = bytes_of(std::string("XML:com.adobe.xmp") + '\0' + '\1' + '\0' + '\0' + '\0');
    const Bytes packed = fixtures::zlib(bytes_of(xmp));
    itxt.insert(itxt.end(), packed.begin(), packed.end());
    cases.emplace_back("compressed XMP", fixtures::with_png_chunk(base, "iTXt", itxt));
    Bytes ztxt = bytes_of(std::string("Raw profile type exif") + '\0' + '\0');
    const Bytes raw = fixtures::zlib(bytes_of("\nexif\n  200000\n" + std::string(400000, '0')));
    ztxt.insert(ztxt.end(), raw.begin(), raw.end());
    cases.emplace_back("raw profile", fixtures::with_png_chunk(base, "zTXt", ztxt));
    Bytes texts = base;
    for (int i = 0; i < 1200; ++i) texts = fixtures::with_png_chunk(texts, "tEXt", bytes_of("Comment\0" + std::to_string(i)));
    cases.emplace_back("1200 text chunks", texts);
    const Bytes gama{0, 0, 0xB1, 0x8F};
    cases.emplace_back("two gAMA", fixtures::with_png_chunk(fixtures::with_png_chunk(base, "gAMA", gama), "gAMA", gama));
    cases.emplace_back("bad eXIf", fixtures::with_png_chunk(base, "eXIf", bytes_of("not a TIFF block")));
    Bytes late = base;
    const Bytes phys{0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1};
    {
        Bytes chunk = fixtures::with_png_chunk(Bytes(base.begin(), base.begin() + 33), "pHYs", phys);
        late.insert(late.end() - 12, chunk.begin() + 33, chunk.end());
    }
    cases.emplace_back("pHYs after IDAT", late);

    for (const auto& [name, png] : cases) {
        for (const int32_t color : {RASTRA_COLOR_IGNORE, RASTRA_COLOR_SRGB}) {
            const Settings s(rastra_settings_new());
            rastra_settings_set_format(s.get(), RASTRA_FORMAT_BMP);
            rastra_settings_set_color(s.get(), color);
            const Bytes reference = convert_ok(s.get(), png);
            rastra_settings_set_codecs(s.get(), RASTRA_CODECS_FAST);
            void* out = nullptr;
            size_t size = 0;
            char error[RASTRA_ERROR_CAPACITY];
            ASSERT_EQ(rastra_convert(s.get(), png.data(), png.size(), &out, &size, error, sizeof error), 1)
                << name << ": " << error;
            // The same decoded pixels: BMP is written alike by both sets.
            EXPECT_EQ(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size), reference) << name;
            rastra_free(out);
        }
    }
    EXPECT_GT(cases.size(), 9u);
}

TEST(FastCodecs, TheSettersKeepTheirRanges) {
    const Bytes png = fixtures::encode(fixtures::kPng, photo(64, 48, true));
    const Settings s(rastra_settings_new());
    rastra_settings_set_codecs(s.get(), 2);
    rastra_settings_set_codecs(s.get(), -1);
    rastra_settings_set_png_level(s.get(), 0);
    rastra_settings_set_png_level(s.get(), 10);
    void* out = nullptr;
    size_t size = 0;
    ASSERT_EQ(rastra_convert(s.get(), png.data(), png.size(), &out, &size, nullptr, 0), 1);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + size), convert(png, {}));
    rastra_free(out);
    // The process-wide setters, and the reset.
    rastra_init();
    fixtures::TempDir dir;
    fixtures::write_file(dir / "in.png", png);
    rastra_set_codecs(RASTRA_CODECS_FAST);
    rastra_set_png_level(9);
    ASSERT_EQ(rastra_process_file((dir / "in.png").c_str(), (dir / "fast.png").c_str()), 1);
    EXPECT_EQ(fixtures::read_file(dir / "fast.png"), convert(png, {.codecs = RASTRA_CODECS_FAST, .png_level = 9}));
    rastra_reset();
    ASSERT_EQ(rastra_process_file((dir / "in.png").c_str(), (dir / "ref.png").c_str()), 1);
    EXPECT_EQ(fixtures::read_file(dir / "ref.png"), convert(png, {}));
}

// Reading metadata from hostile containers, and writing it back: lengths
// past the end, inconsistent segments, inflation bombs, the EXIF orientation
// rewrite and the JPEG segment limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <stb_image.h>

#include "fixtures.h"
#include "internal.h"
#include "profiles.h"

namespace {

using fixtures::Bytes;

rastra::InputMetadata read_all(const Bytes& b) {
    return rastra::read_metadata(fixtures::sniff(b), b.data(), b.size(),
                                 rastra::kPartExif | rastra::kPartXmp | rastra::kPartIcc);
}

Bytes as_bytes(rastra::Span s) { return Bytes(s.data, s.data + s.size); }

}  // namespace

TEST(MetadataRead, FindsEveryPartInEveryContainer) {
    const Bytes icc = fixtures::make_profile(fixtures::Profile::kDisplayP3);
    const Bytes exif = fixtures::exif_block(5, true);
    const std::string xmp = "<x:xmpmeta/>";
    for (fixtures::Kind kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kWebp}) {
        SCOPED_TRACE(kind);
        const Bytes file = fixtures::with_icc(
            fixtures::with_xmp(fixtures::with_exif(fixtures::encode(kind, fixtures::make_pattern(9, 7)), exif), xmp),
            icc, kind == fixtures::kJpeg ? 4 : 1);
        const rastra::InputMetadata m = read_all(file);
        EXPECT_EQ(as_bytes(m.exif), exif);
        EXPECT_EQ(as_bytes(m.xmp), Bytes(xmp.begin(), xmp.end()));
        EXPECT_EQ(as_bytes(m.icc), icc);
        // Only what is asked for is looked at.
        const rastra::InputMetadata exif_only = rastra::read_metadata(kind, file.data(), file.size(), rastra::kPartExif);
        EXPECT_TRUE(exif_only.xmp.empty() && exif_only.icc.empty());
        EXPECT_EQ(rastra::read_orientation(kind, file.data(), file.size()), 5);
    }
}

TEST(MetadataRead, CompressedPngTextAndOutOfOrderSegmentsAreReadBack) {
    const std::string xmp(5000, 'x');
    Bytes itxt{'X', 'M', 'L', ':', 'c', 'o', 'm', '.', 'a', 'd', 'o', 'b', 'e', '.', 'x', 'm', 'p', 0, 1, 0, 'e', 'n', 0, 0};
    const Bytes z = fixtures::zlib(Bytes(xmp.begin(), xmp.end()));
    itxt.insert(itxt.end(), z.begin(), z.end());
    const Bytes png = fixtures::with_png_chunk(fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)), "iTXt", itxt);
    EXPECT_EQ(as_bytes(read_all(png).xmp), Bytes(xmp.begin(), xmp.end()));

    const Bytes icc = fixtures::make_profile(fixtures::Profile::kAdobeRgb);
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(4, 4));
    EXPECT_EQ(as_bytes(read_all(fixtures::with_icc(jpg, icc, 3, {3, 1, 2})).icc), icc);
}

TEST(MetadataRead, HostileContainersGiveNothingAndStayInBounds) {
    const Bytes jpg = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(8, 8));
    const Bytes png = fixtures::encode(fixtures::kPng, fixtures::make_pattern(8, 8));
    const Bytes webp = fixtures::encode(fixtures::kWebp, fixtures::make_pattern(8, 8));
    const Bytes icc = fixtures::make_profile(fixtures::Profile::kDisplayP3);
    std::vector<std::pair<std::string, Bytes>> cases;
    // A JPEG APP2 segment whose length runs past the end of the file.
    Bytes long_app2(jpg.begin(), jpg.begin() + 2);
    long_app2.insert(long_app2.end(), {0xFF, 0xE2, 0xFF, 0xF0, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1});
    cases.emplace_back("APP2 past the end", long_app2);
    // An APP2 segment too short for its numbers.
    Bytes short_app2(jpg.begin(), jpg.begin() + 2);
    short_app2.insert(short_app2.end(), {0xFF, 0xE2, 0x00, 0x0F, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1});
    short_app2.insert(short_app2.end(), jpg.begin() + 2, jpg.end());
    cases.emplace_back("APP2 too short", short_app2);
    // 255 segments of nothing at all.
    cases.emplace_back("empty segments", fixtures::with_icc(jpg, Bytes{}, 255));
    // Every JPEG cut at every length.
    const Bytes tagged_jpg = fixtures::with_icc(jpg, icc, 3);
    for (size_t n = 0; n < 3 * (icc.size() / 3 + 20); n += 7) cases.emplace_back("cut jpeg", Bytes(tagged_jpg.begin(), tagged_jpg.begin() + static_cast<std::ptrdiff_t>(n)));
    // A PNG chunk claiming 4 GiB.
    Bytes huge = fixtures::with_png_chunk(png, "iCCP", Bytes{'a', 0, 0});
    huge[33] = huge[34] = huge[35] = huge[36] = 0xFF;
    cases.emplace_back("chunk of 4 GiB", huge);
    // iCCP without a name, without a method, with an unknown method.
    cases.emplace_back("iCCP no name", fixtures::with_png_chunk(png, "iCCP", Bytes{0, 0, 0x78, 0x9C}));
    cases.emplace_back("iCCP no NUL", fixtures::with_png_chunk(png, "iCCP", Bytes(90, 'n')));
    cases.emplace_back("iCCP method 1", fixtures::with_png_chunk(png, "iCCP", Bytes{'a', 0, 1, 0x78, 0x9C}));
    // A WebP ICCP chunk without its flag in VP8X, and one longer than the file.
    Bytes unflagged = fixtures::with_icc(webp, icc);
    unflagged[20] &= static_cast<uint8_t>(~0x20);
    cases.emplace_back("ICCP unflagged", unflagged);
    Bytes long_chunk = fixtures::with_icc(webp, icc);
    const char kIccp[] = "ICCP";
    const auto at = std::search(long_chunk.begin(), long_chunk.end(), kIccp, kIccp + 4);
    ASSERT_NE(at, long_chunk.end());
    at[7] = 0x7F;  // the length's top byte
    cases.emplace_back("ICCP past the end", long_chunk);
    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        // Copied to an exact buffer so AddressSanitizer sees any read past it.
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() + 1]);
        if (!file.empty()) std::memcpy(exact.get(), file.data(), file.size());
        const int32_t kind = file.empty() ? int32_t{rastra::kJpeg} : int32_t{fixtures::sniff(file)};
        const rastra::InputMetadata m = rastra::read_metadata(kind, exact.get(), file.size(),
                                                              rastra::kPartExif | rastra::kPartXmp | rastra::kPartIcc);
        if (name != "cut jpeg") {
            EXPECT_TRUE(m.icc.empty());
        } else if (!m.icc.empty()) {
            EXPECT_EQ(as_bytes(m.icc), icc);  // all there, or nothing
        }
    }
}

TEST(MetadataRead, AnInflationBombStopsAtTheCap) {
    // 64 MiB of zeros behind 50 kB of iCCP: read in bounded memory, then dropped.
    Bytes data{'b', 0, 0};
    const Bytes z = fixtures::zlib_zeros(64u << 20);
    data.insert(data.end(), z.begin(), z.end());
    const Bytes png = fixtures::with_png_chunk(fixtures::encode(fixtures::kPng, fixtures::make_pattern(4, 4)), "iCCP", data);
    const rastra::InputMetadata m = read_all(png);
    EXPECT_TRUE(m.icc.empty());
    EXPECT_FALSE(m.icc_storage);
    // The same stream inflates whole where it fits: the bomb is real.
    const Bytes small = fixtures::zlib_zeros(1u << 20);
    int n = 0;
    char* out = stbi_zlib_decode_malloc(reinterpret_cast<const char*>(small.data()), static_cast<int>(small.size()), &n);
    EXPECT_EQ(n, 1 + ((1 << 20) - 1) / 258 * 258);
    std::free(out);
}

TEST(MetadataWrite, OrientationIsRewrittenInEitherByteOrder) {
    for (bool big : {false, true}) {
        Bytes exif = fixtures::exif_block(8, big);
        rastra::set_exif_orientation(exif.data(), exif.size(), 1);
        EXPECT_EQ(rastra::exif_orientation(exif.data(), exif.size()), 1);
        Bytes rest = fixtures::exif_block(1, big);
        EXPECT_EQ(exif, rest);
        // A block without the tag, or a damaged one, is left alone.
        Bytes cut(exif.begin(), exif.begin() + 12);
        const Bytes before = cut;
        rastra::set_exif_orientation(cut.data(), cut.size(), 1);
        EXPECT_EQ(cut, before);
    }
}

TEST(MetadataWrite, JpegSegmentsRespectTheSegmentLimit) {
    Bytes icc(200000);
    for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i * 7);
    const Bytes exif_fits(65527, 'e'), exif_over(65528, 'e');
    const Bytes xmp_fits(65504, 'x'), xmp_over(65505, 'x');
    const std::vector<uint8_t> over = rastra::jpeg_metadata_segments(
        {{exif_over.data(), exif_over.size()}, {xmp_over.data(), xmp_over.size()}, {icc.data(), icc.size()}});
    const std::vector<uint8_t> fits = rastra::jpeg_metadata_segments(
        {{exif_fits.data(), exif_fits.size()}, {xmp_fits.data(), xmp_fits.size()}, {icc.data(), icc.size()}});
    // Walk the segments: every length within 16 bits, the profile in 4 parts.
    const auto walk = [](const std::vector<uint8_t>& s) {
        int app1 = 0, app2 = 0;
        for (size_t i = 0; i + 4 <= s.size();) {
            EXPECT_EQ(s[i], 0xFF);
            const size_t length = size_t{s[i + 2]} << 8 | s[i + 3];
            EXPECT_GE(length, 2u);
            (s[i + 1] == 0xE1 ? app1 : app2) += 1;
            i += 2 + length;
            EXPECT_LE(i, s.size());
        }
        return std::make_pair(app1, app2);
    };
    EXPECT_EQ(walk(over), std::make_pair(0, 4));
    EXPECT_EQ(walk(fits), std::make_pair(2, 4));
    Bytes jpg = fixtures::encode(fixtures::kJpeg, fixtures::make_pattern(4, 4));
    jpg.insert(jpg.begin() + 2, fits.begin(), fits.end());
    const rastra::InputMetadata m = read_all(jpg);
    EXPECT_EQ(as_bytes(m.icc), icc);
    EXPECT_EQ(m.exif.size, exif_fits.size());
    EXPECT_EQ(m.xmp.size, xmp_fits.size());
}

TEST(ProfileLimits, RealProfilesPassAndCostlyStructuresDoNot) {
    using fixtures::Bytes;
    const auto ok = [](const Bytes& icc) { return rastra::profile_within_limits({icc.data(), icc.size()}); };
    for (const auto which : {fixtures::Profile::kDisplayP3, fixtures::Profile::kAdobeRgb, fixtures::Profile::kGrey,
                             fixtures::Profile::kSrgb}) {
        EXPECT_TRUE(ok(fixtures::make_profile(which)));
    }
    // Every profile the colour packages install.
    std::error_code ec;
    int real = 0;
    for (const auto& e : fixtures::fs::recursive_directory_iterator("/usr/share/color/icc", ec)) {
        std::string ext = e.path().extension().string();
        for (char& ch : ext) ch = static_cast<char>(ch | 0x20);
        if (ext != ".icc" && ext != ".icm") continue;
        ++real;
        EXPECT_TRUE(ok(fixtures::read_file(e.path()))) << e.path();
    }
    EXPECT_TRUE(ok(fixtures::mpe_chain_profile(RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS / 2)));
    EXPECT_FALSE(ok(fixtures::mpe_chain_profile(RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS / 2 + 1)));

    Bytes p3 = fixtures::make_profile(fixtures::Profile::kDisplayP3);
    // Cut short of its declared size, or a tag that points past the end.
    EXPECT_FALSE(ok(Bytes(p3.begin(), p3.end() - 1)));
    Bytes stray = p3;
    stray[132 + 4] = 0x7F;  // the first tag's offset
    EXPECT_FALSE(ok(stray));
    // A lookup table of 255^3 x 3 entries behind a 60-byte mft2 header, as
    // an extra tag.
    const auto be32_at = [](Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    const auto get32 = [](const Bytes& b, size_t at) {
        return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
    };
    Bytes big = p3;
    const uint32_t tags = get32(big, 128);
    for (uint32_t t = 0; t < tags; ++t) be32_at(big, 132 + 12 * t + 4, get32(big, 132 + 12 * t + 4) + 12);
    const uint8_t entry[] = {'A', '2', 'B', '0', 0, 0, 0, 0, 0, 0, 0, 60};
    big.insert(big.begin() + 132 + 12 * tags, entry, entry + sizeof entry);
    be32_at(big, 128, tags + 1);
    const size_t at = big.size();
    be32_at(big, 132 + 12 * tags + 4, static_cast<uint32_t>(at));
    const uint8_t mft2[] = {'m', 'f', 't', '2', 0, 0, 0, 0, 3, 3, 255, 0};
    big.insert(big.end(), mft2, mft2 + sizeof mft2);
    big.resize(at + 60, 0);
    be32_at(big, 0, static_cast<uint32_t>(big.size()));
    EXPECT_FALSE(ok(big));
    big[at + 10] = 33;  // 33^3 x 3: an ordinary table
    EXPECT_TRUE(ok(big));
}

TEST(XmpOrientation, EveryWayOfWritingItIsRewrittenAndNothingElse) {
    struct Case {
        std::string in, want;
    };
    const Case cases[] = {
        {R"(<rdf:Description xmlns:tiff="http://ns.adobe.com/tiff/1.0/" tiff:Orientation="6"/>)",
         R"(<rdf:Description xmlns:tiff="http://ns.adobe.com/tiff/1.0/" tiff:Orientation="1"/>)"},
        {"<rdf:Description>\n <tiff:Orientation> 8 </tiff:Orientation>\n</rdf:Description>",
         "<rdf:Description>\n <tiff:Orientation> 1 </tiff:Orientation>\n</rdf:Description>"},
        // Another prefix bound to the namespace.
        {R"(<d xmlns:t = 'http://ns.adobe.com/tiff/1.0/' t:Orientation = '3'><t:Orientation>5</t:Orientation></d>)",
         R"(<d xmlns:t = 'http://ns.adobe.com/tiff/1.0/' t:Orientation = '1'><t:Orientation>1</t:Orientation></d>)"},
        // Not the property, or no value it could hold: left alone.
        {R"(<d exif:Orientation="6" xtiff:Orientation="6" tiff:OrientationX="6" tiff:Orientation="60"/>)",
         R"(<d exif:Orientation="6" xtiff:Orientation="6" tiff:OrientationX="6" tiff:Orientation="60"/>)"},
        {"<tiff:Orientation>6", "<tiff:Orientation>6"},
        {"tiff:Orientation=\"", "tiff:Orientation=\""},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b(c.in.begin(), c.in.end());
        rastra::set_xmp_orientation(b.data(), b.size(), 1);
        EXPECT_EQ(std::string(b.begin(), b.end()), c.want);
    }
}

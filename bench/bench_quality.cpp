// How close outputs come to a full-precision rendering: the mean CIE76
// colour difference of each image in one or more output directories against
// a 16-bit reference (binary PPM, maxval 65535, the same size). On demand
// (bench/quality.sh); never part of the tests.
//
//   rastra_bench_quality REFERENCE_DIR OUTPUT_DIR...
//
// For every REFERENCE_DIR/<stem>.ppm (or grey P5), each OUTPUT_DIR/<stem>.* is decoded (JPEG,
// PNG, WebP, BMP) and compared pixel by pixel in CIELAB (D50, through Little
// CMS's sRGB profile). Prints a Markdown row per output directory: the mean
// over all pixels of all images, the worst image's mean, and any image whose
// size differs.
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures.h"

namespace fs = std::filesystem;

namespace {

struct Ppm16 {
    int width = 0, height = 0;
    std::vector<uint16_t> rgb;  // host order
};

bool read_ppm16(const fs::path& p, Ppm16& out) {
    std::ifstream f(p, std::ios::binary);
    // The header's four fields, with any "#" comment line between them.
    std::string fields[4];
    for (std::string& field : fields) {
        while (f >> std::ws && f.peek() == '#') {
            std::string comment;
            std::getline(f, comment);
        }
        f >> field;
    }
    f.get();
    const std::string& magic = fields[0];
    out.width = std::atoi(fields[1].c_str());
    out.height = std::atoi(fields[2].c_str());
    const int maxval = std::atoi(fields[3].c_str());
    // ImageMagick writes a grey image as P5 whatever the name says.
    const int channels = magic == "P6" ? 3 : magic == "P5" ? 1 : 0;
    if (channels == 0 || maxval != 65535 || out.width <= 0 || out.height <= 0) return false;
    const size_t n = static_cast<size_t>(out.width) * out.height;
    std::vector<uint8_t> raw(n * channels * 2);
    f.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (!f) return false;
    out.rgb.resize(n * 3);
    for (size_t i = 0; i < n * 3; ++i) {
        const size_t at = channels == 3 ? i : i / 3;
        out.rgb[i] = static_cast<uint16_t>(raw[2 * at] << 8 | raw[2 * at + 1]);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rastra_bench_quality REFERENCE_DIR OUTPUT_DIR...\n");
        return 2;
    }
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM from16 = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_FLT, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHTRANSFORM from8 = cmsCreateTransform(srgb, TYPE_RGBA_8, lab, TYPE_Lab_FLT, INTENT_RELATIVE_COLORIMETRIC, 0);

    std::vector<fs::path> refs;
    for (const auto& e : fs::directory_iterator(argv[1])) {
        if (e.path().extension() == ".ppm") refs.push_back(e.path());
    }
    std::sort(refs.begin(), refs.end());
    std::printf("| outputs | images | mean CIE76 dE | worst image's mean dE | size mismatches |\n|---|---|---|---|---|\n");
    for (int d = 2; d < argc; ++d) {
        double sum = 0, worst = 0;
        size_t pixels = 0, images = 0, mismatched = 0;
        for (const fs::path& ref_path : refs) {
            fs::path found;
            for (const auto& e : fs::directory_iterator(argv[d])) {
                if (e.path().stem() == ref_path.stem()) found = e.path();
            }
            Ppm16 ref;
            fixtures::Rgba out;
            if (found.empty() || !read_ppm16(ref_path, ref) || !fixtures::decode(fixtures::read_file(found), out)) continue;
            if (out.width != ref.width || out.height != ref.height) {
                ++mismatched;
                continue;
            }
            const size_t n = static_cast<size_t>(ref.width) * ref.height;
            std::vector<float> a(n * 3), b(n * 3);
            cmsDoTransform(from16, ref.rgb.data(), a.data(), static_cast<cmsUInt32Number>(n));
            cmsDoTransform(from8, out.px.data(), b.data(), static_cast<cmsUInt32Number>(n));
            double image = 0;
            for (size_t i = 0; i < n; ++i) {
                const double dl = a[3 * i] - b[3 * i], da = a[3 * i + 1] - b[3 * i + 1], db = a[3 * i + 2] - b[3 * i + 2];
                image += std::sqrt(dl * dl + da * da + db * db);
            }
            sum += image;
            pixels += n;
            worst = std::max(worst, image / static_cast<double>(n));
            ++images;
        }
        std::printf("| %s | %zu | %.3f | %.3f | %zu |\n", fs::path(argv[d]).filename().c_str(), images,
                    pixels ? sum / static_cast<double>(pixels) : 0.0, worst, mismatched);
    }
    cmsDeleteTransform(from16);
    cmsDeleteTransform(from8);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    return 0;
}

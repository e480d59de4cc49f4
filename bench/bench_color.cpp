// What converting embedded profiles to sRGB costs, on real photographs. On
// demand (bench/color.sh); never part of the tests.
//
//   rastra_bench_color [--reps N] [--box WxH] CORPUS_JPEG_DIR
//
// Every photograph is read into memory once and tagged with a Display P3
// profile (three APP2 segments, as a phone writes it). Then, per repetition
// and photo, in turn:
//  1. the whole conversion (fit the box, JPEG quality 90) in memory through
//     rastra_convert(), once with RASTRA_COLOR_IGNORE and once with
//     RASTRA_COLOR_SRGB: the difference is what the setting costs;
//  2. where the transform runs: the transform alone on the decoded
//     photograph (before the box) and on the fitted one (after it, where the
//     library runs it), and how far the two orders' results lie apart.
// Medians over the repetitions, summed over the photographs, are printed as
// a Markdown table. Asserts nothing about timings.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures.h"
#include "internal.h"
#include "profiles.h"
#include "rastra.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double convert_ms(rastra_settings* s, const fixtures::Bytes& in) {
    void* out = nullptr;
    size_t size = 0;
    const auto t0 = Clock::now();
    if (rastra_convert(s, in.data(), in.size(), &out, &size, nullptr, 0) != 1) {
        std::fprintf(stderr, "conversion failed\n");
        std::exit(1);
    }
    const double ms = ms_since(t0);
    rastra_free(out);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5, box_w = 1920, box_h = 1080;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (a == "--box" && i + 1 < argc) {
            std::sscanf(argv[++i], "%dx%d", &box_w, &box_h);
        } else {
            dir = a;
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: rastra_bench_color [--reps N] [--box WxH] CORPUS_JPEG_DIR\n");
        return 2;
    }
    std::vector<std::filesystem::path> paths;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() == ".jpg") paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    const fixtures::Bytes p3 = fixtures::make_profile(fixtures::Profile::kDisplayP3);
    std::vector<fixtures::Bytes> inputs;
    double megapixels = 0;
    for (const auto& p : paths) {
        inputs.push_back(fixtures::with_icc(fixtures::read_file(p), p3, 3));
        rastra_image_info info;
        rastra_probe(inputs.back().data(), inputs.back().size(), &info);
        megapixels += info.width * static_cast<double>(info.height) / 1e6;
    }

    rastra_settings* ignore = rastra_settings_new();
    rastra_settings* srgb = rastra_settings_new();
    for (rastra_settings* s : {ignore, srgb}) {
        rastra_settings_set_resize(s, box_w, box_h);
        rastra_settings_set_format(s, RASTRA_FORMAT_JPEG);
        rastra_settings_set_quality(s, 90);
    }
    rastra_settings_set_color(srgb, RASTRA_COLOR_SRGB);

    std::vector<double> t_ignore, t_srgb, t_before, t_after, t_prepare;
    int worst = 0;
    double mean_sum = 0;
    size_t mean_count = 0;
    for (int r = 0; r < reps; ++r) {
        double ignore_ms = 0, srgb_ms = 0, before_ms = 0, after_ms = 0, prepare_ms = 0;
        for (const auto& in : inputs) {
            ignore_ms += convert_ms(ignore, in);
            srgb_ms += convert_ms(srgb, in);

            // The transform alone, before and after the box.
            rastra::ImageHeader header;
            rastra::read_header(rastra::kJpeg, in.data(), in.size(), header);
            rastra::Image full;
            rastra::decode(rastra::kJpeg, in.data(), in.size(), header, full);
            auto t0 = Clock::now();
            rastra::ColorTransform t;
            t.prepare({p3.data(), p3.size()}, header.channels);
            prepare_ms += ms_since(t0);
            rastra::Image fitted;
            const size_t bytes = static_cast<size_t>(full.width) * full.height * 4;
            fitted.pixels.reset(static_cast<uint8_t*>(std::malloc(bytes)));
            std::memcpy(fitted.pixels.get(), full.pixels.get(), bytes);
            fitted.width = full.width;
            fitted.height = full.height;
            rastra::resize_to_fit(fitted, box_w, box_h);  // what the library converts
            t0 = Clock::now();
            t.apply(full.pixels.get(), static_cast<size_t>(full.width) * full.height);
            before_ms += ms_since(t0);
            t0 = Clock::now();
            t.apply(fitted.pixels.get(), static_cast<size_t>(fitted.width) * fitted.height);
            after_ms += ms_since(t0);
            if (r == 0) {
                // The other order: convert, then fit.
                rastra::resize_to_fit(full, box_w, box_h);
                const uint8_t* a = full.pixels.get();
                const uint8_t* b = fitted.pixels.get();
                for (size_t i = 0; i < static_cast<size_t>(full.width) * full.height * 4; ++i) {
                    if (i % 4 == 3) continue;
                    const int d = std::abs(a[i] - b[i]);
                    worst = std::max(worst, d);
                    mean_sum += d;
                    ++mean_count;
                }
            }
        }
        t_ignore.push_back(ignore_ms);
        t_srgb.push_back(srgb_ms);
        t_before.push_back(before_ms);
        t_after.push_back(after_ms);
        t_prepare.push_back(prepare_ms);
    }
    const double n = static_cast<double>(inputs.size());
    std::printf("%zu photographs, %.1f megapixels in all, box %dx%d, JPEG q90, %d repetitions (medians)\n\n",
                inputs.size(), megapixels, box_w, box_h, reps);
    std::printf("| measure | ms per image |\n|---|---|\n");
    std::printf("| whole conversion, RASTRA_COLOR_IGNORE | %.1f |\n", median(t_ignore) / n);
    std::printf("| whole conversion, RASTRA_COLOR_SRGB | %.1f |\n", median(t_srgb) / n);
    std::printf("| difference (the setting's cost) | %.1f |\n", (median(t_srgb) - median(t_ignore)) / n);
    std::printf("| preparing the transform (profile read, tables built) | %.2f |\n", median(t_prepare) / n);
    std::printf("| transform before the box (decoded size) | %.1f |\n", median(t_before) / n);
    std::printf("| transform after the box (fitted size; the library's order) | %.1f |\n", median(t_after) / n);
    std::printf("\nThe two orders' results differ by at most %d and on average %.3f per channel.\n", worst,
                mean_count ? mean_sum / static_cast<double>(mean_count) : 0.0);
    rastra_settings_free(ignore);
    rastra_settings_free(srgb);
    return 0;
}

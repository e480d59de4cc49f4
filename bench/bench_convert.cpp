// Throughput of the conversion pipeline and the watermark renderer.
//
//   cmake -B build -DRASTRA_BUILD_BENCHMARKS=ON && cmake --build build --target rastra_bench
//   build/bench/rastra_bench
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "internal.h"
#include "rastra.h"

namespace {

// One 1920 x 1080 source image per input format, written once.
const fixtures::TempDir& inputs() {
    static const fixtures::TempDir dir;
    static const bool written = [] {
        const fixtures::Rgba img = fixtures::make_pattern(1920, 1080, true);
        fixtures::write_file(dir / "in.jpg", fixtures::encode(fixtures::kJpeg, img, 90));
        fixtures::write_file(dir / "in.png", fixtures::encode(fixtures::kPng, img));
        fixtures::write_file(dir / "in.bmp", fixtures::encode(fixtures::kBmp, img));
        fixtures::write_file(dir / "in.webp", fixtures::encode(fixtures::kWebp, img, 80));
        return true;
    }();
    (void)written;
    return dir;
}

void convert(benchmark::State& state, const char* in, const char* out, int box_w, int box_h, bool watermark) {
    const std::string src = inputs() / in;
    const std::string dst = inputs() / out;
    rastra_init();
    if (box_w > 0 || box_h > 0) rastra_set_resize(box_w, box_h);
    if (watermark) rastra_set_watermark("rastra 2026", 32, 0.6f);
    for (auto _ : state) {
        if (rastra_process_file(src.c_str(), dst.c_str()) != 1) state.SkipWithError(rastra_last_error());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Watermark(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    std::vector<uint8_t> px(1920u * 1080u * 4u, 40);
    rastra::Settings settings;
    rastra::set_watermark(settings, "rastra demo (c) 2026", size, 0.6f);
    for (auto _ : state) {
        rastra::draw_watermark(settings.watermark, px.data(), 1920, 1080);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_CAPTURE(convert, jpeg_to_jpeg, "in.jpg", "out.jpg", 0, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, jpeg_to_jpeg_fit_1280x720, "in.jpg", "out.jpg", 1280, 720, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, jpeg_to_webp_fit_1280x720_watermark, "in.jpg", "out.webp", 1280, 720, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, png_to_png, "in.png", "out.png", 0, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, bmp_to_bmp, "in.bmp", "out.bmp", 0, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, webp_to_jpeg_fit_640x0, "in.webp", "out.jpg", 640, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Watermark)->Arg(13)->Arg(48)->Arg(512)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

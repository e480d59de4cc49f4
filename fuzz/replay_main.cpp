// Stand-alone driver for the fuzz target: replays the files and directories
// given on the command line, or, with no arguments, a corpus built in code
// (--write-corpus DIR saves that corpus as files, to seed libFuzzer):
// valid images of every format (progressive JPEG included) and deterministic
// mutations of them (truncations, byte flips, lying dimensions), each under
// several settings.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "fixtures.h"
#include "rastra.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

size_t s_runs = 0;
std::filesystem::path s_write_to;  // --write-corpus: save the inputs instead of running them

void run(std::vector<uint8_t> bytes, const std::vector<uint8_t>& knobs) {
    bytes.insert(bytes.end(), knobs.begin(), knobs.end());
    if (s_write_to.empty()) {
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    } else {
        std::ofstream(s_write_to / ("seed-" + std::to_string(s_runs)), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ++s_runs;
}

void run_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++s_runs;
}

void generated_corpus() {
    using fixtures::Kind;
    const std::vector<std::vector<uint8_t>> settings = {
        {0, 0, 0, 0},        // automatic, no box, no watermark, as stored
        {1, 0x21, 5, 255},   // PNG, box, watermark, upright
        {2, 0x03, 200, 128}, // JPEG, tiny box, large watermark
        {3, 0x10, 1, 1},     // WebP, upright
    };
    std::mt19937 rng(12345);
    // kNone stands for a progressive JPEG, which the fixtures' encoder cannot
    // write; images with an orientation block are mutated like the rest.
    for (Kind kind : {fixtures::kJpeg, fixtures::kPng, fixtures::kBmp, fixtures::kWebp, fixtures::kNone}) {
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{17, 5}, std::pair{64, 48}}) {
            std::vector<uint8_t> good = kind == fixtures::kNone ? fixtures::progressive_jpeg(w, h, 3, 2)
                                                                : fixtures::encode(kind, fixtures::make_pattern(w, h, true), 80);
            if (kind != fixtures::kBmp && w == 17) good = fixtures::with_exif(good, fixtures::exif_block(6 + (w * h) % 3));
            for (const auto& knobs : settings) run(good, knobs);
            // Every truncation of small files, a spread of them for larger ones.
            const size_t step = good.size() < 256 ? 1 : good.size() / 97;
            for (size_t n = 0; n < good.size(); n += step) run({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)}, settings[n % 4]);
            // Random byte flips, more often in the header.
            for (int i = 0; i < 150; ++i) {
                std::vector<uint8_t> bad = good;
                const int flips = 1 + static_cast<int>(rng() % 4);
                for (int k = 0; k < flips; ++k) {
                    const size_t limit = (rng() % 2) ? std::min<size_t>(bad.size(), 64) : bad.size();
                    bad[rng() % limit] ^= static_cast<uint8_t>(1u << (rng() % 8));
                }
                run(bad, settings[static_cast<size_t>(i) % 4]);
            }
            // Dimensions that lie: every 16/32-bit field in the header set to extremes.
            for (size_t off = 0; off + 4 <= std::min<size_t>(good.size(), 40); ++off) {
                for (uint32_t v : {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x00010000u}) {
                    std::vector<uint8_t> bad = good;
                    std::memcpy(&bad[off], &v, 4);
                    run(bad, settings[off % 4]);
                }
            }
        }
    }
    // Top-down BMPs (negative height), 24- and 32-bit, whole and cut short.
    for (const int bits : {24, 32}) {
        const std::vector<uint8_t> good = fixtures::top_down_bmp(fixtures::make_pattern(17, 5), bits);
        for (const auto& knobs : settings) run(good, knobs);
        for (size_t n = 0; n < good.size(); n += 5) {
            run({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)}, settings[n % 4]);
        }
    }
    // Found by fuzzing: a BMP header of 2^24 x 1 pixels written as PNG, wider
    // than the PNG writer's row arithmetic holds.
    {
        std::vector<uint8_t> wide = fixtures::top_down_bmp(fixtures::make_pattern(1, 1), 32);
        const uint32_t width = 1u << 24;
        std::memcpy(&wide[18], &width, 4);
        run(wide, {0x10, 0x28, 0x01, 0x01});
    }
    // Bombs, once under every setting: more scans than allowed, and a PNG
    // that inflates far past its one pixel.
    const std::vector<std::vector<uint8_t>> bombs = {
        fixtures::progressive_jpeg(256, 256, 3, RASTRA_MAX_JPEG_SCANS + 1, true),
        fixtures::png_from_scanlines(1, 1, 8, 6, std::vector<uint8_t>(1u << 20, 0)),
    };
    for (const auto& bomb : bombs) {
        for (const auto& knobs : settings) run(bomb, knobs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-corpus") == 0) {
        s_write_to = argv[2];
        std::filesystem::create_directories(s_write_to);
        generated_corpus();
        std::printf("wrote %zu inputs to %s\n", s_runs, argv[2]);
        return 0;
    }
    if (argc == 1) {
        generated_corpus();
    } else {
        for (int i = 1; i < argc; ++i) {
            const std::filesystem::path p = argv[i];
            if (std::filesystem::is_directory(p)) {
                for (const auto& e : std::filesystem::directory_iterator(p)) run_file(e.path());
            } else {
                run_file(p);
            }
        }
    }
    std::printf("replayed %zu inputs\n", s_runs);
    return 0;
}

// Fuzz target: one conversion of arbitrary bytes through rastra_process_file.
// The last four input bytes choose the settings (output format, box, watermark
// size and opacity, turning upright); the rest is the file. The library's own pixel limit,
// lowered to 4096 x 4096, keeps the fuzzer hunting bugs rather than memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rastra.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

const std::string& scratch(const char* name) {
    static std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr ? tmp : "/tmp") + "/rastra-fuzz-" + std::to_string(getpid()) + "-";
    }();
    static std::string path;
    path = dir + name;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t* knobs = data + size - 4;
    size -= 4;

    const std::string in = scratch("in");
    FILE* f = std::fopen(in.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    static const char* const kOutputs[] = {"out.jpg", "out.png", "out.bmp", "out.webp"};
    rastra_init();
    rastra_set_max_pixels(4096 * 4096);
    rastra_set_format(static_cast<int32_t>(knobs[0] % 5) - 1);
    rastra_set_quality(knobs[0] / 5 % 101);
    if (knobs[1] & 1) rastra_set_resize(knobs[1] >> 1, knobs[1] >> 4);
    rastra_set_auto_orient(knobs[2] & 1);
    if (knobs[2] != 0) {
        const char text[] = {'A', 'g', static_cast<char>(knobs[3]), ' ', '?', '\0'};
        rastra_set_watermark(text, 3 + knobs[2] * 2, static_cast<float>(knobs[3]) / 255.0f);
    }
    const std::string out = scratch(kOutputs[knobs[1] % 4]);
    const int32_t ok = rastra_process_file(in.c_str(), out.c_str());
    const char* err = rastra_last_error();
    if (ok == 1 ? err[0] != '\0'
                : std::strncmp(err, "process_file: ", 14) != 0 && std::strncmp(err, "resize: ", 8) != 0) {
        std::fprintf(stderr, "unexpected outcome %d: '%s'\n", ok, err);
        std::abort();
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    return 0;
}

// Fuzz target: one in-memory conversion of arbitrary bytes through
// rastra_convert, with no file in between. The last five input bytes choose
// the settings (output format, box, watermark size and opacity, turning
// upright, colour mode, kept metadata, codec set, lossless WebP); the rest is
// the image. The library's own pixel limit, lowered to
// 4096 x 4096, keeps the fuzzer hunting bugs rather than memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rastra.h"

namespace {

struct SettingsOwner {
    rastra_settings* s = rastra_settings_new();
    ~SettingsOwner() { rastra_settings_free(s); }
};

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint8_t* knobs = data + size - 5;
    size -= 5;

    const SettingsOwner owner;
    rastra_settings* s = owner.s;
    if (s == nullptr) return 0;
    rastra_settings_set_max_pixels(s, 4096 * 4096);
    rastra_settings_set_format(s, static_cast<int32_t>(knobs[0] % 5) - 1);  // automatic, PNG, JPEG, WebP, BMP
    rastra_settings_set_quality(s, knobs[0] / 5 % 101);
    if (knobs[1] & 1) rastra_settings_set_resize(s, knobs[1] >> 1, knobs[1] >> 4);
    rastra_settings_set_auto_orient(s, knobs[2] & 1);
    rastra_settings_set_color(s, knobs[4] % 3);
    rastra_settings_set_keep_metadata(s, (knobs[4] >> 2) & RASTRA_KEEP_ALL);
    // RASTRA_FUZZ_CODECS=fast (or reference) holds a campaign to one set.
    static const int32_t forced = [] {
        const char* v = std::getenv("RASTRA_FUZZ_CODECS");
        if (v == nullptr) return -1;
        return std::strcmp(v, "fast") == 0 ? RASTRA_CODECS_FAST : RASTRA_CODECS_REFERENCE;
    }();
    rastra_settings_set_codecs(s, forced >= 0 ? forced : (knobs[4] >> 5) & 1);
    rastra_settings_set_webp_lossless(s, (knobs[4] >> 6) & 1);
    if (knobs[2] != 0) {
        const char text[] = {'A', 'g', static_cast<char>(knobs[3]), ' ', '?', '\0'};
        rastra_settings_set_watermark(s, text, 3 + knobs[2] * 2, static_cast<float>(knobs[3]) / 255.0f);
    }

    void* out = nullptr;
    size_t out_size = 0;
    char err[RASTRA_ERROR_CAPACITY];
    const int32_t ok = rastra_convert(s, data, size, &out, &out_size, err, sizeof err);
    // A success hands out a whole file of a known format and no message; a
    // failure hands out nothing and says why, in the library's own words.
    rastra_image_info info;
    const bool sound = ok == 1 ? out != nullptr && out_size > 0 && err[0] == '\0' &&
                                     rastra_probe(out, out_size, &info) == 1
                               : out == nullptr && out_size == 0 &&
                                     (starts_with(err, "convert: ") || starts_with(err, "resize: "));
    if (!sound) {
        std::fprintf(stderr, "unexpected outcome %d (%zu bytes): '%s'\n", ok, out_size, err);
        std::abort();
    }
    rastra_free(out);
    return 0;
}

// rastra: command-line host for the rastra library.
//
//   rastra [options] INPUT_DIR OUTPUT_DIR
//   rastra [options] INPUT_FILE OUTPUT_FILE
//
// A plain consumer of the public C interface: it validates its arguments,
// configures the library, converts, and reports.
#include <rastra.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: rastra [options] INPUT_DIR OUTPUT_DIR\n"
    "       rastra [options] INPUT_FILE OUTPUT_FILE\n"
    "\n"
    "Converts JPEG, PNG, BMP and WebP images. A directory converts every image in\n"
    "it (not recursing) into OUTPUT_DIR, created when missing; outputs are named\n"
    "after their input with the extension of the format written.\n"
    "\n"
    "options:\n"
    "  --max WxH                  shrink to fit W x H pixels (0 = no limit on that side)\n"
    "  --format auto|png|jpeg|webp\n"
    "                             output format (auto: from the output file's extension,\n"
    "                             or keep the input's format in a directory run)\n"
    "  --quality N                JPEG/WebP quality 0..100 (default 90)\n"
    "  --watermark TEXT           stamp TEXT in white in the bottom-right corner\n"
    "  --watermark-size N         watermark line height in pixels, 3..512 (default 16)\n"
    "  --watermark-opacity F      watermark opacity 0..1 (default 0.6)\n"
    "  --max-pixels N             refuse inputs of more than N pixels (default 104857600,\n"
    "                             10240 x 10240; at most 268402689)\n"
    "  --keep-metadata            clear the strip-metadata flag (outputs never carry\n"
    "                             metadata; the flag is only stored)\n"
    "  --help                     show this help\n"
    "  --version                  show the version\n"
    "\n"
    "Prints the library's statistics as JSON on success. Exit status: 0 when every\n"
    "file converted, 1 when a conversion failed, 2 on a usage error.\n";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::optional<std::pair<int32_t, int32_t>> max;
    std::optional<int32_t> format;
    std::optional<int32_t> quality;
    std::optional<std::string> watermark;
    std::optional<int32_t> watermark_size;
    std::optional<float> watermark_opacity;
    std::optional<int64_t> max_pixels;
    bool keep_metadata = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> positional;
};

struct UsageError {
    std::string message;
};

std::optional<int64_t> parse_int64(std::string_view s, int64_t lo, int64_t hi) {
    if (s.empty() || s.size() > 18) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::optional<int32_t> parse_int(std::string_view s, int32_t lo, int32_t hi) {
    const auto v = parse_int64(s, lo, hi);
    return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
}

std::optional<float> parse_unit_float(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    const float v = std::strtof(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v) || v < 0.0f || v > 1.0f) return std::nullopt;
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            o.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        const auto take_value = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) throw UsageError{name + " needs a value"};
            return argv[++i];
        };
        const auto no_value = [&] {
            if (has_value) throw UsageError{name + " takes no value"};
        };
        if (name == "--help" || name == "--version") {
            no_value();
            (name == "--help" ? o.help : o.version) = true;
            return o;
        } else if (name == "--max") {
            const std::string v = take_value();
            const auto x = v.find_first_of("xX");
            const auto w = x == std::string::npos ? std::nullopt : parse_int(std::string_view(v).substr(0, x), 0, INT32_MAX);
            const auto h = x == std::string::npos ? std::nullopt : parse_int(std::string_view(v).substr(x + 1), 0, INT32_MAX);
            if (!w || !h) throw UsageError{"--max expects WxH with whole numbers of pixels, e.g. 1920x1080 or 800x0, not '" + v + "'"};
            o.max = std::make_pair(*w, *h);
        } else if (name == "--format") {
            const std::string v = take_value();
            if (v == "auto") o.format = RASTRA_FORMAT_AUTO;
            else if (v == "png") o.format = RASTRA_FORMAT_PNG;
            else if (v == "jpeg" || v == "jpg") o.format = RASTRA_FORMAT_JPEG;
            else if (v == "webp") o.format = RASTRA_FORMAT_WEBP;
            else throw UsageError{"--format expects auto, png, jpeg or webp, not '" + v + "'"};
        } else if (name == "--quality") {
            const std::string v = take_value();
            o.quality = parse_int(v, RASTRA_QUALITY_MIN, RASTRA_QUALITY_MAX);
            if (!o.quality) throw UsageError{"--quality expects a whole number from 0 to 100, not '" + v + "'"};
        } else if (name == "--watermark") {
            std::string v = take_value();
            if (v.empty()) throw UsageError{"--watermark expects a non-empty text"};
            if (v.size() > RASTRA_WATERMARK_TEXT_MAX) {
                throw UsageError{"--watermark text is longer than " + std::to_string(RASTRA_WATERMARK_TEXT_MAX) + " bytes"};
            }
            o.watermark = std::move(v);
        } else if (name == "--watermark-size") {
            const std::string v = take_value();
            o.watermark_size = parse_int(v, RASTRA_WATERMARK_SIZE_MIN, RASTRA_WATERMARK_SIZE_MAX);
            if (!o.watermark_size) throw UsageError{"--watermark-size expects a whole number from 3 to 512, not '" + v + "'"};
        } else if (name == "--watermark-opacity") {
            const std::string v = take_value();
            o.watermark_opacity = parse_unit_float(v);
            if (!o.watermark_opacity) throw UsageError{"--watermark-opacity expects a number from 0 to 1, not '" + v + "'"};
        } else if (name == "--max-pixels") {
            const std::string v = take_value();
            o.max_pixels = parse_int64(v, 1, RASTRA_MAX_PIXELS_CEILING);
            if (!o.max_pixels) {
                throw UsageError{"--max-pixels expects a whole number from 1 to " +
                                 std::to_string(RASTRA_MAX_PIXELS_CEILING) + ", not '" + v + "'"};
            }
        } else if (name == "--keep-metadata") {
            no_value();
            o.keep_metadata = true;
        } else {
            throw UsageError{"unknown option " + name};
        }
    }
    if ((o.watermark_size || o.watermark_opacity) && !o.watermark) {
        throw UsageError{"--watermark-size and --watermark-opacity need --watermark TEXT"};
    }
    if (o.positional.size() != 2) throw UsageError{"expected an input and an output path"};
    return o;
}

void configure(const Options& o) {
    rastra_init();
    if (o.max) rastra_set_resize(o.max->first, o.max->second);
    if (o.format) rastra_set_format(*o.format);
    if (o.quality) rastra_set_quality(*o.quality);
    if (o.watermark) rastra_set_watermark(o.watermark->c_str(), o.watermark_size.value_or(16), o.watermark_opacity.value_or(0.6f));
    if (o.max_pixels) rastra_set_max_pixels(*o.max_pixels);
    if (o.keep_metadata) rastra_set_strip_metadata(0);
}

// Reads one unsigned number after "\"key\":" in the statistics text.
unsigned long long stat_value(const char* json, const char* key) {
    const std::string needle = std::string("\"") + key + "\":";
    const char* p = std::strstr(json, needle.c_str());
    return p != nullptr ? std::strtoull(p + needle.size(), nullptr, 10) : 0;
}

std::string human_bytes(unsigned long long n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(n);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "rastra: %s\nTry 'rastra --help'.\n", e.message.c_str());
        return kExitUsage;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (o.version) {
        std::printf("rastra %d.%d.%d\n", RASTRA_VERSION_MAJOR, RASTRA_VERSION_MINOR, RASTRA_VERSION_PATCH);
        return kExitOk;
    }

    configure(o);
    const std::string& input = o.positional[0];
    const std::string& output = o.positional[1];
    std::error_code ec;
    const bool directory = std::filesystem::is_directory(input, ec);

    const auto start = std::chrono::steady_clock::now();
    const int32_t ok = directory ? rastra_run(input.c_str(), output.c_str())
                                 : rastra_process_file(input.c_str(), output.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const char* stats = rastra_stats();
    const unsigned long long failed = stat_value(stats, "failed");
    if (!ok) {
        std::fprintf(stderr, "rastra: %s\n", rastra_last_error());
        if (!directory) return kExitFailed;
    }
    std::printf("%s\n", stats);
    if (directory) {
        const unsigned long long in = stat_value(stats, "total_input_bytes");
        const unsigned long long out = stat_value(stats, "total_output_bytes");
        std::printf("converted %llu file%s, %llu failed, %s -> %s (%.1f%%), in %.2f s\n",
                    stat_value(stats, "processed"), stat_value(stats, "processed") == 1 ? "" : "s", failed,
                    human_bytes(in).c_str(), human_bytes(out).c_str(),
                    in > 0 ? 100.0 * static_cast<double>(out) / static_cast<double>(in) : 0.0, seconds);
        if (ok && failed > 0) {
            std::fprintf(stderr, "rastra: %llu file%s failed; last error: %s\n", failed, failed == 1 ? "" : "s",
                         *rastra_last_error() ? rastra_last_error() : "(the last file converted)");
        }
    }
    return ok && failed == 0 ? kExitOk : kExitFailed;
}

#include "options.h"

#include <rastra.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace cli {

const char* const kUsage =
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
    "  --no-auto-orient           keep each image as stored; by default photos are\n"
    "                             turned upright by their EXIF orientation\n"
    "  --color srgb|keep|ignore   an embedded colour profile: convert the pixels to\n"
    "                             sRGB (the default), keep it in the output, or drop it\n"
    "                             and write the pixels as decoded\n"
    "  --keep-metadata            keep EXIF, XMP and the colour profile (--keep all)\n"
    "  --keep exif,xmp,icc|all|none\n"
    "                             keep these parts of each input's metadata (default:\n"
    "                             none); a kept profile leaves the pixels as decoded,\n"
    "                             whatever --color says; kept EXIF says orientation 1\n"
    "                             once a photo has been turned upright\n"
    "  --codecs fast|reference    fast (the default): libjpeg-turbo with JPEG decoding\n"
    "                             at reduced scale, libspng and zlib for PNG; reference:\n"
    "                             the library's default codecs, stb_image and libwebp\n"
    "  --png-level N              zlib level 1..9 for PNG outputs of the fast codecs\n"
    "                             (default 7)\n"
    "  --lossless                 write WebP outputs losslessly\n"
    "  --in-place                 let outputs replace their inputs (refused otherwise)\n"
    "  --skip-existing            leave outputs that already exist untouched\n"
    "  --timeout SECONDS          a worker that takes longer on one file is stopped and\n"
    "                             the file fails, in a directory run or for one file\n"
    "                             (default: 6 s per megapixel of --max-pixels, at least\n"
    "                             60 s; 0 = no limit)\n"
    "  --jobs N                   convert a directory in N worker processes at once\n"
    "                             (default: the CPUs this process may use)\n"
    "  --progress, --no-progress  show or hide the progress line (default: shown when\n"
    "                             standard error is a terminal)\n"
    "  -h, --help                 show this help\n"
    "  --version                  show the versions of rastra and its libraries\n"
    "\n"
    "Standard output carries only the library's statistics, as one line of JSON;\n"
    "progress, each failed file, warnings and the summary go to standard error.\n"
    "In single-file mode with --format auto, OUTPUT_FILE must end in .jpg, .jpeg,\n"
    ".png, .bmp or .webp; an existing directory receives the file under its\n"
    "input's name, with the extension of the format written.\n"
    "Two inputs that write the same output (a.jpg and a.png with --format webp)\n"
    "are converted in listing order: the later one wins.\n"
    "A worker that crashes or runs out of time is named with its file and replaced;\n"
    "the run goes on. A second Ctrl-C (or SIGTERM) stops at once.\n"
    "Ctrl-C stops handing out files, lets those being converted finish and exits\n"
    "with 130. Exit status: 0 when every file converted, 1 when a conversion\n"
    "failed, 2 on a usage error (a missing input, an output directory that is a\n"
    "file, an output name without a known extension, an output that would replace\n"
    "an input without --in-place).\n";

namespace {

std::optional<int64_t> parse_int(std::string_view s, int64_t lo, int64_t hi) {
    if (s.empty() || s.size() > 18) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

// "exif,xmp,icc" in any order and combination, "all" or "none".
std::optional<uint32_t> parse_keep(std::string_view s) {
    if (s == "all") return RASTRA_KEEP_ALL;
    if (s == "none") return 0u;
    uint32_t mask = 0;
    while (true) {
        const auto comma = s.find(',');
        const std::string_view part = s.substr(0, comma);
        if (part == "exif") mask |= RASTRA_KEEP_EXIF;
        else if (part == "xmp") mask |= RASTRA_KEEP_XMP;
        else if (part == "icc") mask |= RASTRA_KEEP_ICC;
        else return std::nullopt;
        if (comma == std::string_view::npos) return mask;
        s.remove_prefix(comma + 1);
    }
}

std::optional<int32_t> parse_int32(std::string_view s, int32_t lo, int32_t hi) {
    const auto v = parse_int(s, lo, hi);
    return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
}

std::optional<float> parse_unit_float(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    const float v = std::strtof(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v) || v < 0.0f || v > 1.0f) return std::nullopt;
    return v;
}

}  // namespace

Options parse(const std::vector<std::string>& args) {
    Options o;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || (arg != "-h" && (arg.size() < 2 || arg.compare(0, 2, "--") != 0))) {
            o.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h") {
            o.help = true;
            return o;
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
            if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
            return args[++i];
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
            const auto w = x == std::string::npos ? std::nullopt : parse_int32(std::string_view(v).substr(0, x), 0, INT32_MAX);
            const auto h = x == std::string::npos ? std::nullopt : parse_int32(std::string_view(v).substr(x + 1), 0, INT32_MAX);
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
            o.quality = parse_int32(v, RASTRA_QUALITY_MIN, RASTRA_QUALITY_MAX);
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
            o.watermark_size = parse_int32(v, RASTRA_WATERMARK_SIZE_MIN, RASTRA_WATERMARK_SIZE_MAX);
            if (!o.watermark_size) throw UsageError{"--watermark-size expects a whole number from 3 to 512, not '" + v + "'"};
        } else if (name == "--watermark-opacity") {
            const std::string v = take_value();
            o.watermark_opacity = parse_unit_float(v);
            if (!o.watermark_opacity) throw UsageError{"--watermark-opacity expects a number from 0 to 1, not '" + v + "'"};
        } else if (name == "--max-pixels") {
            const std::string v = take_value();
            o.max_pixels = parse_int(v, 1, RASTRA_MAX_PIXELS_CEILING);
            if (!o.max_pixels) {
                throw UsageError{"--max-pixels expects a whole number from 1 to " +
                                 std::to_string(RASTRA_MAX_PIXELS_CEILING) + ", not '" + v + "'"};
            }
        } else if (name == "--keep-metadata") {
            no_value();
            o.keep = RASTRA_KEEP_ALL;
        } else if (name == "--keep") {
            const std::string v = take_value();
            o.keep = parse_keep(v);
            if (!o.keep) throw UsageError{"--keep expects exif, xmp, icc (joined with commas), all or none, not '" + v + "'"};
        } else if (name == "--codecs") {
            const std::string v = take_value();
            if (v == "fast") o.codecs = RASTRA_CODECS_FAST;
            else if (v == "reference") o.codecs = RASTRA_CODECS_REFERENCE;
            else throw UsageError{"--codecs expects fast or reference, not '" + v + "'"};
        } else if (name == "--png-level") {
            const std::string v = take_value();
            o.png_level = parse_int32(v, 1, 9);
            if (!o.png_level) throw UsageError{"--png-level expects a whole number from 1 to 9, not '" + v + "'"};
        } else if (name == "--lossless") {
            no_value();
            o.lossless = true;
        } else if (name == "--color") {
            const std::string v = take_value();
            if (v == "srgb") o.color = RASTRA_COLOR_SRGB;
            else if (v == "keep") o.color = RASTRA_COLOR_KEEP;
            else if (v == "ignore") o.color = RASTRA_COLOR_IGNORE;
            else throw UsageError{"--color expects srgb, keep or ignore, not '" + v + "'"};
        } else if (name == "--in-place" || name == "--skip-existing") {
            no_value();
            (name == "--in-place" ? o.in_place : o.skip_existing) = true;
        } else if (name == "--no-auto-orient") {
            no_value();
            o.no_auto_orient = true;
        } else if (name == "--timeout") {
            const std::string v = take_value();
            o.timeout = parse_int(v, 0, 31536000);
            if (!o.timeout) throw UsageError{"--timeout expects a whole number of seconds (0 for none), not '" + v + "'"};
        } else if (name == "--jobs") {
            const std::string v = take_value();
            const auto jobs = parse_int32(v, 1, 1024);
            if (!jobs) throw UsageError{"--jobs expects a whole number from 1 to 1024, not '" + v + "'"};
            o.jobs = *jobs;
        } else if (name == "--progress" || name == "--no-progress") {
            no_value();
            o.progress = name == "--progress";
        } else if (name == "--worker") {
            no_value();
            o.worker = true;
        } else {
            throw UsageError{"unknown option " + name};
        }
    }
    if ((o.watermark_size || o.watermark_opacity) && !o.watermark) {
        throw UsageError{"--watermark-size and --watermark-opacity need --watermark TEXT"};
    }
    if (!o.worker && o.positional.size() != 2) throw UsageError{"expected an input and an output path"};
    return o;
}

Settings make_settings(const Options& o) {
    Settings s(rastra_settings_new());
    if (!s) return s;
    if (o.max) rastra_settings_set_resize(s.get(), o.max->first, o.max->second);
    if (o.format) rastra_settings_set_format(s.get(), *o.format);
    if (o.quality) rastra_settings_set_quality(s.get(), *o.quality);
    if (o.watermark) {
        rastra_settings_set_watermark(s.get(), o.watermark->c_str(), o.watermark_size.value_or(16),
                                      o.watermark_opacity.value_or(0.6f));
    }
    if (o.max_pixels) rastra_settings_set_max_pixels(s.get(), *o.max_pixels);
    rastra_settings_set_auto_orient(s.get(), o.no_auto_orient ? 0 : 1);
    rastra_settings_set_color(s.get(), o.color);
    rastra_settings_set_keep_metadata(s.get(), o.keep.value_or(0));
    rastra_settings_set_codecs(s.get(), o.codecs);
    if (o.png_level) rastra_settings_set_png_level(s.get(), *o.png_level);
    rastra_settings_set_webp_lossless(s.get(), o.lossless ? 1 : 0);
    return s;
}

int64_t timeout_seconds(const Options& o) {
    if (o.timeout) return *o.timeout;
    const int64_t pixels = o.max_pixels.value_or(RASTRA_MAX_PIXELS_DEFAULT);
    return std::max<int64_t>(60, pixels * 6 / 1000000);
}

std::vector<std::string> settings_arguments(const Options& o) {
    std::vector<std::string> args;
    if (o.max) args.push_back("--max=" + std::to_string(o.max->first) + "x" + std::to_string(o.max->second));
    if (o.format) {
        static const char* const kNames[] = {"auto", "png", "jpeg", "webp"};
        args.push_back(std::string("--format=") + kNames[*o.format + 1]);
    }
    if (o.quality) args.push_back("--quality=" + std::to_string(*o.quality));
    if (o.watermark) args.push_back("--watermark=" + *o.watermark);
    if (o.watermark_size) args.push_back("--watermark-size=" + std::to_string(*o.watermark_size));
    if (o.watermark_opacity) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(*o.watermark_opacity));  // exact for a float
        args.push_back(std::string("--watermark-opacity=") + buf);
    }
    if (o.max_pixels) args.push_back("--max-pixels=" + std::to_string(*o.max_pixels));
    args.push_back(o.codecs == RASTRA_CODECS_FAST ? "--codecs=fast" : "--codecs=reference");
    if (o.png_level) args.push_back("--png-level=" + std::to_string(*o.png_level));
    if (o.lossless) args.push_back("--lossless");
    static const char* const kColors[] = {"ignore", "srgb", "keep"};
    args.push_back(std::string("--color=") + kColors[o.color]);
    if (o.keep) {
        std::string parts;
        static const char* const kParts[] = {"exif", "xmp", "icc"};
        for (int i = 0; i < 3; ++i) {
            if ((*o.keep & (1u << i)) == 0) continue;
            if (!parts.empty()) parts += ',';
            parts += kParts[i];
        }
        args.push_back("--keep=" + (parts.empty() ? std::string("none") : parts));
    }
    if (o.no_auto_orient) args.push_back("--no-auto-orient");
    return args;
}

}  // namespace cli

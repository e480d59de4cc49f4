// Command-line options of the rastra host, and the library settings they make.
#pragma once

#include <rastra.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

extern const char* const kUsage;

struct Options {
    // Library settings.
    std::optional<std::pair<int32_t, int32_t>> max;
    std::optional<int32_t> format;
    std::optional<int32_t> quality;
    std::optional<std::string> watermark;
    std::optional<int32_t> watermark_size;
    std::optional<float> watermark_opacity;
    std::optional<int64_t> max_pixels;
    int32_t color = RASTRA_COLOR_SRGB;  // the library's default is RASTRA_COLOR_IGNORE
    std::optional<uint32_t> keep;        // RASTRA_KEEP_* bits
    int32_t codecs = RASTRA_CODECS_FAST;  // the library's default is RASTRA_CODECS_REFERENCE
    std::optional<int32_t> png_level;
    bool lossless = false;
    bool no_auto_orient = false;
    // How the host runs.
    bool in_place = false;       // outputs may replace the run's inputs
    bool skip_existing = false;  // leave outputs that already exist untouched
    std::optional<int64_t> timeout;  // seconds per file; 0: none
    std::optional<int> jobs;
    std::optional<bool> progress;
    bool worker = false;  // internal: serve conversions over standard input and output
    bool help = false;
    bool version = false;
    std::vector<std::string> positional;
};

struct UsageError {
    std::string message;
};

// Parses the arguments after the program name. Throws UsageError.
Options parse(const std::vector<std::string>& args);

struct SettingsDeleter {
    void operator()(rastra_settings* s) const { rastra_settings_free(s); }
};
using Settings = std::unique_ptr<rastra_settings, SettingsDeleter>;

// A settings object holding o's library settings, with the command line's
// defaults where they differ from the library's (photos upright, colours
// converted to sRGB, the fast codecs). Null when
// memory runs out.
Settings make_settings(const Options& o);

// The time a worker may take on one file: --timeout, else 6 s per megapixel
// the pixel limit allows (at least 60 s; 629 s at the default limit). The
// slowest file measured, 100 MP of noise from BMP to PNG, takes 42 s of CPU
// on the 2-CPU build machine: this leaves a slow or busy machine 15 times as
// long. 0: no limit.
int64_t timeout_seconds(const Options& o);

// The options that reproduce o's library settings in another process.
std::vector<std::string> settings_arguments(const Options& o);

}  // namespace cli

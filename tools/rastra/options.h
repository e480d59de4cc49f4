// Command-line options of the rastra host, and the library settings they make.
#pragma once

#include <cstdint>
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
    bool keep_metadata = false;
    bool no_auto_orient = false;
    // How the host runs.
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

// Resets the library and applies the settings.
void configure(const Options& o);

// The options that reproduce o's library settings in another process.
std::vector<std::string> settings_arguments(const Options& o);

}  // namespace cli

#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace cli {

namespace {

std::string human_bytes(uint64_t n) {
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

std::string base_name(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ldh%02ldm", s / 3600, s / 60 % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

}  // namespace

std::string describe(const rastra_result& r, const std::string& input, const std::string& output) {
    const auto system = [&](const char* what) {
        return r.system_error != 0 ? std::string(what) + ": " + std::strerror(r.system_error) : std::string(what);
    };
    switch (r.reason) {
        case RASTRA_REASON_NO_SUCH_FILE: return "cannot read: no such file";
        case RASTRA_REASON_PERMISSION_DENIED: return "cannot read: permission denied";
        case RASTRA_REASON_NOT_REGULAR_FILE: {
            std::error_code ec;
            return std::filesystem::is_directory(input, ec) ? "cannot read: a directory"
                                                            : "cannot read: not a regular file";
        }
        case RASTRA_REASON_EMPTY_FILE: return "cannot read: the file is empty";
        case RASTRA_REASON_CANNOT_READ: return system("cannot read");
        case RASTRA_REASON_TOO_LARGE: return "image too large: over the pixel, side or file-size limit (--max-pixels)";
        case RASTRA_REASON_UNSUPPORTED_FORMAT: return "not a JPEG, PNG, BMP or WebP image";
        case RASTRA_REASON_CANNOT_DECODE: return "cannot decode: the image data is damaged or incomplete";
        case RASTRA_REASON_NO_OUTPUT_FORMAT: return "cannot tell the output format from " + output;
        case RASTRA_REASON_CANNOT_WRITE: {
            std::error_code ec;
            return std::filesystem::is_directory(output, ec) ? "cannot write: a directory is in the way"
                                                             : system(("cannot write " + output).c_str());
        }
        case RASTRA_REASON_OUT_OF_MEMORY: return "out of memory";
        case RASTRA_REASON_PATH_TOO_LONG: return "path too long";
        default: {
            // The library's own words, without its operation's name.
            const std::string message = r.message;
            const auto colon = message.find(": ");
            return colon != std::string::npos && message.compare(0, 14, "process_file: ") == 0
                       ? message.substr(colon + 2)
                       : message;
        }
    }
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char c) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
            escape(c);
            escape(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string stats_json(const Totals& t) {
    char buf[192];
    std::snprintf(buf, sizeof buf,
                  "{\"processed\":%llu,\"failed\":%llu,\"total_input_bytes\":%llu,\"total_output_bytes\":%llu}",
                  static_cast<unsigned long long>(t.processed), static_cast<unsigned long long>(t.failed),
                  static_cast<unsigned long long>(t.input_bytes), static_cast<unsigned long long>(t.output_bytes));
    return buf;
}

void add(Totals& t, const rastra_result& r) {
    if (r.converted != 0) {
        t.processed += 1;
        t.input_bytes += r.input_bytes;
        t.output_bytes += r.output_bytes;
    } else {
        t.failed += 1;
    }
}

void warn_collisions(const std::vector<Candidate>& plan) {
    // The library's plan links each writer of an output to the one before.
    std::vector<std::size_t> first(plan.size());
    std::map<std::size_t, std::vector<std::string>> writers;  // by the output's first writer
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        first[i] = plan[i].follows >= 0 ? first[static_cast<std::size_t>(plan[i].follows)] : i;
        if (plan[i].follows < 0) continue;
        auto& inputs = writers[first[i]];
        if (inputs.empty()) {
            order.push_back(first[i]);
            inputs.push_back(base_name(plan[first[i]].input));
        }
        inputs.push_back(base_name(plan[i].input));
    }
    for (const std::size_t f : order) {
        const std::string& output = plan[f].output;
        const auto& inputs = writers[f];
        std::string names;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            names += (i == 0 ? "" : i + 1 == inputs.size() ? " and " : ", ") + inputs[i];
        }
        std::fprintf(stderr, "rastra: %s %s write %s; the %s one wins\n", printable(names).c_str(),
                     inputs.size() == 2 ? "both" : "all", printable(base_name(output)).c_str(), inputs.size() == 2 ? "later" : "last");
    }
}

Report::Report(std::size_t total, bool progress) : total_(total), progress_(progress) {}

void Report::file_done(const std::string& input, bool converted, const std::string& why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (!converted) {
        erase();
        std::fprintf(stderr, "rastra: %s: %s\n", printable(input).c_str(), printable(why).c_str());
    }
    draw(std::chrono::steady_clock::now());
}

void Report::tick() {
    const std::lock_guard<std::mutex> lock(mutex_);
    draw(std::chrono::steady_clock::now());
}

void Report::draw(std::chrono::steady_clock::time_point now) {
    // A few times a second at most, and always for the last file.
    if (!progress_ || (now - last_draw_ < std::chrono::milliseconds(250) && done_ < total_)) return;
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
    char line[160];
    int n = std::snprintf(line, sizeof line, "%zu/%zu files, %.1f images/s", done_, total_, rate);
    if (rate > 0 && done_ < total_) {
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %s left",
                           duration(static_cast<double>(total_ - done_) / rate).c_str());
    }
    const std::size_t width = static_cast<std::size_t>(n);
    std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(drawn_width_ > width ? drawn_width_ - width : 0), "");
    std::fflush(stderr);
    drawn_width_ = width;
}

void Report::erase() {
    if (drawn_width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_width_), "");
    drawn_width_ = 0;
}

void Report::finish(const Totals& t, std::size_t skipped) {
    const std::lock_guard<std::mutex> lock(mutex_);
    erase();
    std::fflush(stderr);
    std::printf("%s\n", stats_json(t).c_str());
    std::fflush(stdout);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char skipped_text[64] = "";
    if (skipped > 0) std::snprintf(skipped_text, sizeof skipped_text, ", %zu skipped (output exists)", skipped);
    std::fprintf(stderr, "converted %llu file%s, %llu failed%s, %s -> %s (%.1f%%), in %.2f s\n",
                 static_cast<unsigned long long>(t.processed), t.processed == 1 ? "" : "s",
                 static_cast<unsigned long long>(t.failed), skipped_text, human_bytes(t.input_bytes).c_str(),
                 human_bytes(t.output_bytes).c_str(),
                 t.input_bytes > 0 ? 100.0 * static_cast<double>(t.output_bytes) / static_cast<double>(t.input_bytes) : 0.0,
                 seconds);
}

}  // namespace cli

// What the host tells the user: each failed file, outputs that several inputs
// write, a progress line on a terminal, the statistics and the summary.
#pragma once

#include <rastra.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

// One candidate of a directory run, as the library plans it.
struct Candidate {
    std::string input;
    std::string output;   // empty when it cannot be named
    std::string message;  // why it cannot be named
    std::ptrdiff_t follows = -1;  // the previous candidate writing the same output
};

// The statistics of a run, with the keys of rastra_stats().
struct Totals {
    uint64_t processed = 0;
    uint64_t failed = 0;
    uint64_t input_bytes = 0;
    uint64_t output_bytes = 0;
};

std::string stats_json(const Totals& t);

// Why a file failed, in words a user acts on ("cannot read: the file is
// empty"), from its reason code; the library's message where none is better.
std::string describe(const rastra_result& r, const std::string& input, const std::string& output);

// Text for the terminal: control characters (C0, DEL and UTF-8's C1) shown as
// \xHH, so a file name cannot move the cursor or rewrite the screen.
std::string printable(const std::string& text);

// Adds one file's outcome.
void add(Totals& t, const rastra_result& r);

// Warns once per output name that several inputs write; the later one wins.
void warn_collisions(const std::vector<Candidate>& plan);

// Thread-safe: files may finish on several threads at once.
class Report {
public:
    Report(std::size_t total, bool progress);
    // A file is done; a failure is named at once: "rastra: FILE: why".
    void file_done(const std::string& input, bool converted, const std::string& why);
    // Redraws the progress line when it is due.
    void tick();
    // Clears the progress line, prints the statistics on standard output and
    // the summary on standard error (with the files skipped, when any).
    void finish(const Totals& t, std::size_t skipped = 0);

private:
    void draw(std::chrono::steady_clock::time_point now);  // with mutex_ held
    void erase();                                          // with mutex_ held

    std::mutex mutex_;
    const std::size_t total_;
    const bool progress_;
    std::size_t done_ = 0;
    std::size_t drawn_width_ = 0;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace cli

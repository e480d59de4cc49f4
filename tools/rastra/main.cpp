// rastra: command-line host for the rastra library.
//
//   rastra [options] INPUT_DIR OUTPUT_DIR
//   rastra [options] INPUT_FILE OUTPUT_FILE
//
// A plain consumer of the public C interface, through settings objects. A
// directory is planned once by the library; its files, or the one file named,
// are converted by worker processes, copies of this program, one file at a
// time each, so that the time limit holds and a crash costs one file. Only
// when no worker can start are they converted in this process.
#include <rastra.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "pool.h"
#include "process.h"
#include "report.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

void collect(void* user, const rastra_candidate* c) {
    static_cast<std::vector<cli::Candidate>*>(user)->push_back(
        {c->input, c->output != nullptr ? c->output : "", c->message != nullptr ? c->message : "", c->follows});
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "rastra: %s\nTry 'rastra --help'.\n", cli::printable(message).c_str());
    return kExitUsage;
}

// The extension the library writes for a name in automatic mode ("jpg" for
// .jpeg too), or "" when the name has none it knows.
std::string known_extension(const std::string& path) {
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) return "";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(c | 0x20);
    if (ext == "jpeg") return "jpg";
    return ext == "jpg" || ext == "png" || ext == "bmp" || ext == "webp" ? ext : "";
}

// Where a single file goes when its output names a directory: into it, under
// the input's stem, with the extension of the format written (as a run names
// it). "" when the format cannot be told.
std::string output_in(const std::string& directory, const std::string& input, std::optional<int32_t> format) {
    static const char* const kExt[] = {"png", "jpg", "webp", "bmp"};
    const std::string ext = format && *format >= 0 ? kExt[*format] : known_extension(input);
    if (ext.empty()) return "";
    return (std::filesystem::path(directory) / std::filesystem::path(input).stem()).string() + "." + ext;
}

// The first candidate whose output would replace an input of the run, or
// null. The library tells whether two names lead to one file (hard and
// symbolic links included); only outputs that exist can, and only inputs of
// the same size need asking about.
const cli::Candidate* replaces_an_input(const std::vector<cli::Candidate>& plan) {
    std::multimap<std::uintmax_t, const std::string*> inputs;  // by size
    for (const cli::Candidate& c : plan) {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(c.input, ec);
        if (!c.output.empty() && !ec) inputs.emplace(size, &c.input);
    }
    for (const cli::Candidate& c : plan) {
        if (c.output.empty()) continue;
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(c.output, ec);
        if (ec) continue;
        const auto [first, last] = inputs.equal_range(size);
        for (auto it = first; it != last; ++it) {
            if (rastra_same_file(it->second->c_str(), c.output.c_str()) == 1) return &c;
        }
    }
    return nullptr;
}

// Whether an output exists already and --skip-existing leaves it alone. A
// directory in its place is no output: converting fails there, and says so.
bool output_exists(const std::string& output) {
    std::error_code ec;
    const auto status = std::filesystem::status(output, ec);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// The plan without the candidates whose output exists already; they share
// their output with whole chains, so the links stay within what is kept.
std::vector<cli::Candidate> without_existing(const std::vector<cli::Candidate>& plan, std::size_t& skipped) {
    std::vector<cli::Candidate> kept;
    std::vector<std::ptrdiff_t> moved(plan.size(), -1);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (!plan[i].output.empty() && output_exists(plan[i].output)) {
            ++skipped;
            continue;
        }
        moved[i] = static_cast<std::ptrdiff_t>(kept.size());
        kept.push_back(plan[i]);
        if (kept.back().follows >= 0) kept.back().follows = moved[static_cast<std::size_t>(kept.back().follows)];
    }
    return kept;
}

// Converts the plan here, in order, until interrupted.
void convert_here(const rastra_settings* settings, const std::vector<cli::Candidate>& plan, cli::Report& report,
                  cli::Totals& totals) {
    for (const cli::Candidate& c : plan) {
        if (cli::interrupted()) return;
        if (c.output.empty()) {
            totals.failed += 1;
            report.file_done(c.input, false, c.message);
            continue;
        }
        rastra_result r;
        rastra_convert_file_result(settings, c.input.c_str(), c.output.c_str(), &r);
        cli::add(totals, r);
        report.file_done(c.input, r.converted != 0, cli::describe(r, c.input, c.output));
    }
}

// Converts the plan on up to `jobs` worker processes, each file within the
// time limit; here, where no limit can hold, only when no worker starts.
void convert_plan(const cli::Options& o, const rastra_settings* settings, const std::vector<cli::Candidate>& plan,
                  int jobs, const char* argv0, cli::Report& report, cli::Totals& totals) {
    const int64_t timeout = cli::timeout_seconds(o);
    if (cli::run_pool(plan, jobs, cli::program_path(argv0), cli::settings_arguments(o), std::chrono::seconds(timeout),
                      report, totals)) {
        return;
    }
    if (timeout > 0) {
        std::fprintf(stderr, "rastra: no worker process could start; converting in this process, where the time "
                             "limit of %lld s per file cannot hold\n", static_cast<long long>(timeout));
    } else {
        std::fprintf(stderr, "rastra: no worker process could start; converting in this process\n");
    }
    cli::exit_on_stop();
    convert_here(settings, plan, report, totals);
}

// One file, as a run of one: a failure is named with its file, and the
// statistics are printed only when it converted.
int convert_file(const cli::Options& o, const rastra_settings* settings, const std::string& input,
                 const std::string& output, const char* argv0) {
    cli::catch_interrupts();
    const std::vector<cli::Candidate> plan{{input, output, "", -1}};
    cli::Report report(plan.size(), false);
    cli::Totals totals;
    convert_plan(o, settings, plan, 1, argv0, report, totals);
    if (totals.processed == 1) std::printf("%s\n", cli::stats_json(totals).c_str());
    if (cli::interrupted()) return kExitInterrupted;
    return totals.processed == 1 ? kExitOk : kExitFailed;
}

int convert_directory(const cli::Options& o, const rastra_settings* settings, const char* argv0) {
    const std::string& input = o.positional[0];
    const std::string& output = o.positional[1];
    cli::catch_interrupts();
    std::vector<cli::Candidate> plan;
    char error[RASTRA_ERROR_CAPACITY];
    if (rastra_plan(settings, input.c_str(), output.c_str(), collect, &plan, error, sizeof error) == 0) {
        std::fprintf(stderr, "rastra: %s\n", cli::printable(error).c_str());
        std::printf("%s\n", cli::stats_json({}).c_str());
        return kExitFailed;
    }
    if (!o.in_place) {
        if (const cli::Candidate* c = replaces_an_input(plan)) {
            return usage_error(c->output + " would replace an input of this run; give --in-place to allow it");
        }
    }
    std::size_t skipped = 0;
    if (o.skip_existing) plan = without_existing(plan, skipped);
    cli::warn_collisions(plan);

    std::size_t named = 0;
    for (const cli::Candidate& c : plan) named += !c.output.empty();
    const int jobs = std::min<int>(o.jobs.value_or(cli::available_cpus()), static_cast<int>(named));
    cli::Report report(plan.size(), o.progress.value_or(cli::stderr_is_terminal()));
    cli::Totals totals;
    if (named == 0) {
        convert_here(settings, plan, report, totals);  // only failures to report
    } else {
        convert_plan(o, settings, plan, std::max(jobs, 1), argv0, report, totals);
    }
    report.finish(totals, skipped);
    if (cli::interrupted()) {
        std::fprintf(stderr, "rastra: interrupted; the files above were done, the rest were not started\n");
        return kExitInterrupted;
    }
    return (totals.processed > 0 || skipped > 0) && totals.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Options o;
    try {
        o = cli::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const cli::UsageError& e) {
        return usage_error(e.message);
    }
    if (o.worker) return cli::worker_main();
    if (o.help) {
        std::fputs(cli::kUsage, stdout);
        return kExitOk;
    }
    if (o.version) {
        std::printf("rastra %d.%d.%d\n%s\n", RASTRA_VERSION_MAJOR, RASTRA_VERSION_MINOR, RASTRA_VERSION_PATCH,
                    RASTRA_DEPENDENCY_VERSIONS);
        return kExitOk;
    }
    const std::string& input = o.positional[0];
    std::string output = o.positional[1];
    std::error_code ec;
    const auto in_status = std::filesystem::status(input, ec);
    if (!std::filesystem::exists(in_status)) return usage_error("no such file or directory: " + input);
    const bool directory = std::filesystem::is_directory(in_status);
    if (directory && std::filesystem::exists(output, ec) && !std::filesystem::is_directory(output, ec)) {
        return usage_error("the output must be a directory, and " + output + " is a file");
    }
    if (!directory && std::filesystem::is_directory(output, ec)) {
        output = output_in(output, input, o.format);
        if (output.empty()) {
            return usage_error("cannot tell the output format from " + input + ": give --format");
        }
    }
    if (!directory && o.format.value_or(RASTRA_FORMAT_AUTO) == RASTRA_FORMAT_AUTO && known_extension(output).empty()) {
        return usage_error("cannot tell the output format from " + output +
                           ": name it .jpg, .jpeg, .png, .bmp or .webp, or give --format");
    }
    if (!directory && std::filesystem::exists(output, ec)) {
        if (!o.in_place && rastra_same_file(input.c_str(), output.c_str()) == 1) {
            return usage_error(output + " would replace its input; give --in-place to allow it");
        }
        if (o.skip_existing && output_exists(output)) {
            std::fprintf(stderr, "rastra: %s exists; skipped\n", cli::printable(output).c_str());
            std::printf("%s\n", cli::stats_json({}).c_str());
            return kExitOk;
        }
    }
    const cli::Settings settings = cli::make_settings(o);
    if (!settings) {
        std::fprintf(stderr, "rastra: out of memory\n");
        return kExitFailed;
    }
    return directory ? convert_directory(o, settings.get(), argv[0])
                     : convert_file(o, settings.get(), input, output, argv[0]);
}

// Converting every recognised image of one directory into another.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "internal.h"

namespace rastra {

namespace {

constexpr std::size_t kPathCapacity = RASTRA_PATH_MAX + 1;  // longer paths are refused
constexpr std::size_t kStemMax = 2048;

// Windows takes both separators. Elsewhere a backslash is an ordinary name
// character: splitting there would create directories other than the one the
// outputs are written to.
constexpr bool is_separator(char c) noexcept { return c == '/' || (kSep == '\\' && c == '\\'); }

}  // namespace

std::size_t root_length(const char* path, bool windows) noexcept {
    if (!windows) return 0;
    const auto sep = [](char c) { return c == '/' || c == '\\'; };
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (letter(path[0]) && path[1] == ':') return sep(path[2]) ? 3 : 2;
    if (sep(path[0]) && sep(path[1])) {
        std::size_t i = 2;
        while (path[i] != '\0' && !sep(path[i])) ++i;  // the server
        if (path[i] == '\0') return i;
        ++i;
        while (path[i] != '\0' && !sep(path[i])) ++i;  // the share
        return i;
    }
    return 0;
}

int32_t ensure_dir(const char* path) noexcept {
    char buf[kPathCapacity];
    const int n = std::snprintf(buf, sizeof buf, "%s", path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return -1;  // empty, or would be cut
    std::size_t len = static_cast<std::size_t>(n);
    if (is_separator(buf[len - 1])) buf[--len] = '\0';
    // Like mkdir -p: a drive or a share root is never made. From the second
    // character at least, so a leading separator never makes an empty prefix.
    const std::size_t root = root_length(buf, kSep == '\\');
    if (len <= root) return is_directory(buf) ? 0 : -1;
    for (std::size_t i = root > 1 ? root + 1 : 1; i < len; ++i) {
        if (!is_separator(buf[i])) continue;
        buf[i] = '\0';
        if (make_dir(buf) == MkdirResult::kFailed) return -1;
        buf[i] = '/';
    }
    return make_dir(buf) == MkdirResult::kFailed ? -1 : 0;
}

namespace {

// snprintf into a path buffer; false when the result would not fit.
template <class... Args>
bool format_path(char (&buf)[kPathCapacity], const char* fmt, Args... args) noexcept {
    const int n = std::snprintf(buf, sizeof buf, fmt, args...);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof buf;
}

// Links each candidate to the previous one that writes the same output: the
// same name as the platform compares names, or another name of a file that
// exists already (a hard link, a symbolic link), since a write through either
// name changes it. The one rule every executor follows.
void link_shared_outputs(std::vector<Candidate>& plan) {
    std::unordered_map<std::string, std::ptrdiff_t> by_name;
    std::map<FileId, std::ptrdiff_t> by_file;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].output.empty()) continue;
        const auto self = static_cast<std::ptrdiff_t>(i);
        std::ptrdiff_t previous = -1;
        auto [name, first] = by_name.try_emplace(output_key(plan[i].output), self);
        if (!first) {
            previous = name->second;
            name->second = self;
        }
        FileId id;
        if (file_id(plan[i].output.c_str(), id)) {
            auto [file, first_of_file] = by_file.try_emplace(id, self);
            if (!first_of_file) {
                previous = std::max(previous, file->second);
                file->second = self;
            }
        }
        plan[i].follows = previous;
    }
}

}  // namespace

bool plan_run(const Settings& s, const char* input_dir, const char* output_dir, std::vector<Candidate>& plan,
              Message& error) {
    if (input_dir == nullptr || output_dir == nullptr) {
        error.set("run: NULL input_dir/output_dir");
        return false;
    }
    if (!is_directory(output_dir) && ensure_dir(output_dir) != 0) {
        error.set("run: cannot create output dir %s", output_dir);
        return false;
    }
    // The whole listing is read before converting, so files a run writes
    // into the directory it lists are never taken as inputs.
    std::vector<std::string> names;
    if (std::strlen(input_dir) + 2 >= kPathCapacity || !list_dir(input_dir, names)) {
        error.set("run: cannot open directory %s", input_dir);
        return false;
    }
    char in_path[kPathCapacity];
    char out_path[kPathCapacity];
    for (const std::string& entry : names) {
        const char* name = entry.c_str();
        if (name[0] == '.') continue;  // ".", ".." and hidden files
        const int32_t in_kind = fmt_from_ext(name);
        if (in_kind == kNone) continue;

        const std::size_t stem = static_cast<std::size_t>(std::strrchr(name, '.') - name);
        // Automatic keeps the input's family; conversion itself reports a bad setting.
        const int32_t out_kind = choose_output_kind(s.format, nullptr, nullptr, in_kind);
        if (stem > kStemMax || !format_path(in_path, "%s%c%s", input_dir, kSep, name) ||
            !format_path(out_path, "%s%c%.*s.%s", output_dir, kSep, static_cast<int>(stem), name,
                         kind_ext(out_kind != kNone ? out_kind : in_kind))) {
            char msg[kErrCapacity];
            std::snprintf(msg, sizeof msg, "run: path too long: %s", name);
            plan.push_back({entry, {}, msg});
            continue;
        }
        plan.push_back({in_path, out_path, {}});
    }
    if (plan.empty()) {
        error.set("run: no images found in %s", input_dir);
        return false;
    }
    link_shared_outputs(plan);
    return true;
}

void Stats::add(const Outcome& o) noexcept {
    processed += 1;
    total_input_bytes += o.input_bytes;
    total_output_bytes += o.output_bytes;
}

int32_t run_plan(const Settings& s, const std::vector<Candidate>& plan, Stats& stats, Message& last_error,
                 const RunObserver& observer) noexcept {
    const int32_t processed_before = stats.processed;
    std::size_t done = 0;
    for (const Candidate& c : plan) {
        ++done;
        const bool named = !c.output.empty();
        Outcome o;
        if (named) {
            o = convert_file(s, c.input.c_str(), c.output.c_str());
        } else {
            o.fail(Reason::kPathTooLong, "%s", c.message.c_str());
        }
        if (o.ok()) {
            stats.add(o);
            last_error.clear();
        } else {
            stats.failed += 1;
            // The first failure since the statistics were zeroed says it came from a run.
            if (stats.failed == 1 && named) {
                last_error.set("run: %s", o.message.text);
            } else {
                last_error = o.message;
            }
        }
        if (observer.fn != nullptr &&
            observer.fn(observer.user, c.input.c_str(), named ? c.output.c_str() : nullptr, o.ok() ? 1 : 0,
                        o.ok() ? nullptr : o.message.text) != 0 &&
            done < plan.size()) {
            last_error.set("run: stopped by the observer after %zu of %zu files", done, plan.size());
            break;
        }
    }
    return stats.processed > processed_before ? 1 : 0;
}

}  // namespace rastra

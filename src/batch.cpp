// Converting every recognised image of one directory into another.
#include <cstring>
#include <new>

#include "internal.h"
#include "rastra.h"

namespace rastra {

namespace {

constexpr std::size_t kPathCapacity = RASTRA_PATH_MAX + 1;  // longer paths are refused
constexpr std::size_t kStemMax = 2048;

// Windows takes both separators. Elsewhere a backslash is an ordinary name
// character: splitting there would create directories other than the one the
// outputs are written to.
constexpr bool is_separator(char c) noexcept { return c == '/' || (kSep == '\\' && c == '\\'); }

}  // namespace

int32_t ensure_dir(const char* path) noexcept {
    char buf[kPathCapacity];
    const int n = std::snprintf(buf, sizeof buf, "%s", path);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return -1;  // empty, or would be cut
    std::size_t len = static_cast<std::size_t>(n);
    if (is_separator(buf[len - 1])) buf[--len] = '\0';
    // From the second character, so a leading separator never makes an empty prefix.
    for (std::size_t i = 1; i < len; ++i) {
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

// Counts a failed candidate; the first failure since the last reset gets the
// "run: " prefix unless the message already comes from the run.
void count_failure(bool message_from_run) noexcept {
    s_ctx.failed += 1;
    if (s_ctx.failed == 1 && !message_from_run) {
        char msg[kErrCapacity];
        std::memcpy(msg, s_err, sizeof msg);
        set_err("run: %s", msg);
    }
}

rastra_run_observer s_observer = nullptr;
void* s_observer_user = nullptr;

// The checks both a run and its plan begin with: arguments, then the output
// directory, created when missing. Empties the last error when they pass.
bool check_run_arguments(const char* input_dir, const char* output_dir) noexcept {
    if (input_dir == nullptr || output_dir == nullptr) {
        set_err("run: NULL input_dir/output_dir");
        return false;
    }
    if (!is_directory(output_dir) && ensure_dir(output_dir) != 0) {
        set_err("run: cannot create output dir %s", output_dir);
        return false;
    }
    clear_err();
    return true;
}

}  // namespace

bool plan_run(const char* input_dir, const char* output_dir, std::vector<Candidate>& plan) {
    // The whole listing is read before converting, so files a run writes
    // into the directory it lists are never taken as inputs.
    std::vector<std::string> names;
    if (std::strlen(input_dir) + 2 >= kPathCapacity || !list_dir(input_dir, names)) {
        set_err("run: cannot open directory %s", input_dir);
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
        const int32_t out_kind = s_ctx.format >= 0 && s_ctx.format <= 2 ? kKindForFormat[s_ctx.format] : in_kind;
        if (stem > kStemMax || !format_path(in_path, "%s%c%s", input_dir, kSep, name) ||
            !format_path(out_path, "%s%c%.*s.%s", output_dir, kSep, static_cast<int>(stem), name,
                         kind_ext(out_kind))) {
            char msg[kErrCapacity];
            std::snprintf(msg, sizeof msg, "run: path too long: %s", name);
            plan.push_back({entry, {}, msg});
            continue;
        }
        plan.push_back({in_path, out_path, {}});
    }
    if (plan.empty()) {
        set_err("run: no images found in %s", input_dir);
        return false;
    }
    return true;
}

int32_t batch_run_impl(const char* input_dir, const char* output_dir) {
    std::vector<Candidate> plan;
    if (!plan_run(input_dir, output_dir, plan)) return 0;

    const int32_t processed_before = s_ctx.processed;
    // The observer in force when the run starts sees the whole run.
    const rastra_run_observer observer = s_observer;
    void* const user = s_observer_user;
    std::size_t done = 0;
    for (const Candidate& c : plan) {
        ++done;
        const bool named = !c.output.empty();
        int32_t converted = 0;
        char msg[kErrCapacity];
        if (named) {
            converted = convert_file(c.input.c_str(), c.output.c_str());
            std::memcpy(msg, s_err, sizeof msg);
            if (converted == 0) count_failure(false);
        } else {
            set_err("%s", c.message.c_str());
            std::memcpy(msg, s_err, sizeof msg);
            count_failure(true);
        }
        if (observer != nullptr &&
            observer(user, c.input.c_str(), named ? c.output.c_str() : nullptr, converted,
                     converted != 0 ? nullptr : msg) != 0 &&
            done < plan.size()) {
            set_err("run: stopped by the observer after %zu of %zu files", done, plan.size());
            break;
        }
    }
    return s_ctx.processed > processed_before ? 1 : 0;
}

void clear_run_observer() noexcept {
    s_observer = nullptr;
    s_observer_user = nullptr;
}

}  // namespace rastra

extern "C" {

RASTRA_API int32_t rastra_run(const char* input_dir, const char* output_dir) noexcept {
    using namespace rastra;
    if (!check_run_arguments(input_dir, output_dir)) return 0;
    try {
        return batch_run_impl(input_dir, output_dir);
    } catch (const std::bad_alloc&) {
        set_err("run: out of memory");
        return 0;
    } catch (...) {
        set_err("run: internal error");
        return 0;
    }
}

RASTRA_API int32_t rastra_plan_run(const char* input_dir, const char* output_dir, rastra_plan_callback callback,
                                   void* user) noexcept {
    using namespace rastra;
    if (!check_run_arguments(input_dir, output_dir)) return 0;
    try {
        std::vector<Candidate> plan;
        if (!plan_run(input_dir, output_dir, plan)) return 0;
        if (plan.size() > static_cast<std::size_t>(INT32_MAX)) {
            set_err("run: out of memory");
            return 0;
        }
        if (callback != nullptr) {
            for (const Candidate& c : plan) {
                const bool named = !c.output.empty();
                callback(user, c.input.c_str(), named ? c.output.c_str() : nullptr,
                         named ? nullptr : c.message.c_str());
            }
        }
        return static_cast<int32_t>(plan.size());
    } catch (const std::bad_alloc&) {
        set_err("run: out of memory");
        return 0;
    }
}

RASTRA_API void rastra_set_run_observer(rastra_run_observer observer, void* user) noexcept {
    rastra::s_observer = observer;
    rastra::s_observer_user = user;
}

}  // extern "C"

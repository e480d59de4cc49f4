// The process-wide interface: the one context (settings, statistics, run
// observer), the last error and the statistics text, and the frames of the
// exports that use them. Every conversion below these frames gets its
// settings as an argument and returns an Outcome; only this file turns
// outcomes into statistics and the last error.
#include <cstdarg>
#include <cstring>
#include <new>

#include "internal.h"

namespace rastra {

// One name per limit: the header's numbers are these.
static_assert(kDefaultMaxPixels == RASTRA_MAX_PIXELS_DEFAULT);
static_assert(kMaxPixelsCeiling == RASTRA_MAX_PIXELS_CEILING);
static_assert(kMaxJpegScans == RASTRA_MAX_JPEG_SCANS);
static_assert(kJpegMaxSide == RASTRA_JPEG_MAX_SIDE && kWebpMaxSide == RASTRA_WEBP_MAX_SIDE &&
              kPngMaxWidth == RASTRA_PNG_MAX_WIDTH);
static_assert(max_input_bytes(1000) == RASTRA_MAX_INPUT_BYTES(1000) &&
              max_input_bytes(kMaxPixelsCeiling) == RASTRA_MAX_INPUT_BYTES(RASTRA_MAX_PIXELS_CEILING));
// The ceiling keeps the encoders' int arithmetic in range: stb's BMP and JPEG
// writers index w * h * 4 bytes, its PNG writer filters (w * 4 + 1) * h bytes
// and grows its deflate output (at most 9/8 of that) by doubling an int
// capacity, which holds up to 3 * 2^29 - 1 bytes.
static_assert(kMaxPixelsCeiling * 4 + 122 <= INT32_MAX);
static_assert(kMaxPixelsCeiling * 5 / 8 * 9 < 3 * (int64_t{1} << 29) - 1);

namespace {

struct Context {
    Settings settings;
    Stats stats;
    RunObserver observer;
};

// Nothing is allocated at load time: the context holds the zeros of load time
// (format PNG, quality 0) until the first reset call.
Context s_ctx{kLoadTimeSettings, {}, {}};
Message s_err;
char out[kStatsCapacity];

void reset_context() noexcept { s_ctx = Context{}; }

// printf into the last error, cut to 511 bytes.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_err(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(s_err.text, sizeof s_err.text, fmt, args);
    va_end(args);
}

}  // namespace

}  // namespace rastra

using namespace rastra;

extern "C" {

RASTRA_API int32_t rastra_init(void) noexcept {
    reset_context();
    s_err.clear();
    return 1;
}

RASTRA_API void rastra_cleanup(void) noexcept {
    reset_context();
    s_err.clear();
}

RASTRA_API void rastra_reset(void) noexcept { reset_context(); }

RASTRA_API void rastra_set_resize(int32_t max_width, int32_t max_height) noexcept {
    set_resize(s_ctx.settings, max_width, max_height);
}

RASTRA_API void rastra_set_format(int32_t format) noexcept {
    set_format(s_ctx.settings, format, RASTRA_FORMAT_WEBP);  // BMP only by extension here
}

RASTRA_API void rastra_set_quality(int32_t quality) noexcept { set_quality(s_ctx.settings, quality); }

RASTRA_API void rastra_set_watermark(const char* text, int32_t size, float opacity) noexcept {
    set_watermark(s_ctx.settings, text, size, opacity);
}

RASTRA_API void rastra_set_strip_metadata(int32_t strip_metadata) noexcept {
    s_ctx.settings.strip_metadata = strip_metadata != 0 ? 1 : 0;
}

RASTRA_API void rastra_set_max_pixels(int64_t max_pixels) noexcept { set_max_pixels(s_ctx.settings, max_pixels); }

RASTRA_API void rastra_set_auto_orient(int32_t enabled) noexcept { set_auto_orient(s_ctx.settings, enabled); }

RASTRA_API void rastra_set_color(int32_t mode) noexcept { set_color(s_ctx.settings, mode); }

RASTRA_API void rastra_set_keep_metadata(uint32_t mask) noexcept { set_keep_metadata(s_ctx.settings, mask); }

RASTRA_API void rastra_set_codecs(int32_t codecs) noexcept { set_codecs(s_ctx.settings, codecs); }

RASTRA_API void rastra_set_png_level(int32_t level) noexcept { set_png_level(s_ctx.settings, level); }

RASTRA_API const char* rastra_stats(void) noexcept {
    const Stats& st = s_ctx.stats;
    std::snprintf(out, sizeof out,
                  "{\"processed\":%d,\"failed\":%d,\"total_input_bytes\":%llu,\"total_output_bytes\":%llu}",
                  static_cast<int>(st.processed), static_cast<int>(st.failed),
                  static_cast<unsigned long long>(st.total_input_bytes),
                  static_cast<unsigned long long>(st.total_output_bytes));
    return out;
}

RASTRA_API const char* rastra_last_error(void) noexcept { return s_err.text; }

RASTRA_API int32_t rastra_process_file(const char* input, const char* output) noexcept {
    const Outcome o = convert_file(s_ctx.settings, input, output);
    if (!o.ok()) {
        s_err = o.message;
        return 0;
    }
    s_ctx.stats.add(o);
    s_err.clear();
    return 1;
}

RASTRA_API int32_t rastra_run(const char* input_dir, const char* output_dir) noexcept {
    try {
        std::vector<Candidate> plan;
        if (!plan_run(s_ctx.settings, input_dir, output_dir, plan, s_err)) return 0;
        // The observer in force when the run starts sees the whole run.
        const RunObserver observer = s_ctx.observer;
        s_err.clear();
        return run_plan(s_ctx.settings, plan, s_ctx.stats, s_err, observer);
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
    try {
        std::vector<Candidate> plan;
        if (!plan_run(s_ctx.settings, input_dir, output_dir, plan, s_err)) return 0;
        s_err.clear();
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
    } catch (...) {
        set_err("run: internal error");
        return 0;
    }
}

RASTRA_API void rastra_set_run_observer(rastra_run_observer observer, void* user) noexcept {
    s_ctx.observer = RunObserver{observer, user};
}

}  // extern "C"

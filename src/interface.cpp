// The settings interface: settings objects owned by the caller, and
// conversions that return their own outcome, and the file identity test.
// Nothing here touches the process-wide context, so any number of threads may
// call these at once.
#include <cstring>
#include <new>

#include "internal.h"

struct rastra_settings {
    rastra::Settings value;
};

using namespace rastra;

namespace {

const Settings kDefaults{};

const Settings& settings_or_defaults(const rastra_settings* s) noexcept { return s != nullptr ? s->value : kDefaults; }

void fill_result(const Outcome& o, rastra_result& r) noexcept {
    r.converted = o.ok() ? 1 : 0;
    r.reason = static_cast<int32_t>(o.reason);
    r.system_error = o.system_error;
    r.input_format = format_of_kind(o.input_kind);
    r.output_format = format_of_kind(o.output_kind);
    r.width = o.width;
    r.height = o.height;
    r.orientation = o.orientation;
    r.input_bytes = o.ok() ? o.input_bytes : 0;
    r.output_bytes = o.ok() ? o.output_bytes : 0;
    std::memcpy(r.message, o.message.text, sizeof r.message);
}

}  // namespace

extern "C" {

RASTRA_API rastra_settings* rastra_settings_new(void) noexcept { return new (std::nothrow) rastra_settings{}; }

RASTRA_API void rastra_settings_free(rastra_settings* settings) noexcept { delete settings; }

RASTRA_API void rastra_settings_set_resize(rastra_settings* s, int32_t max_width, int32_t max_height) noexcept {
    if (s != nullptr) set_resize(s->value, max_width, max_height);
}

RASTRA_API void rastra_settings_set_format(rastra_settings* s, int32_t format) noexcept {
    if (s != nullptr) set_format(s->value, format, RASTRA_FORMAT_BMP);
}

RASTRA_API void rastra_settings_set_quality(rastra_settings* s, int32_t quality) noexcept {
    if (s != nullptr) set_quality(s->value, quality);
}

RASTRA_API void rastra_settings_set_watermark(rastra_settings* s, const char* text, int32_t size,
                                              float opacity) noexcept {
    if (s != nullptr) set_watermark(s->value, text, size, opacity);
}

RASTRA_API void rastra_settings_set_auto_orient(rastra_settings* s, int32_t enabled) noexcept {
    if (s != nullptr) set_auto_orient(s->value, enabled);
}

RASTRA_API void rastra_settings_set_max_pixels(rastra_settings* s, int64_t max_pixels) noexcept {
    if (s != nullptr) set_max_pixels(s->value, max_pixels);
}

RASTRA_API void rastra_settings_set_color(rastra_settings* s, int32_t mode) noexcept {
    if (s != nullptr) set_color(s->value, mode);
}

RASTRA_API void rastra_settings_set_keep_metadata(rastra_settings* s, uint32_t mask) noexcept {
    if (s != nullptr) set_keep_metadata(s->value, mask);
}

RASTRA_API void rastra_settings_set_codecs(rastra_settings* s, int32_t codecs) noexcept {
    if (s != nullptr) set_codecs(s->value, codecs);
}

RASTRA_API void rastra_settings_set_png_level(rastra_settings* s, int32_t level) noexcept {
    if (s != nullptr) set_png_level(s->value, level);
}

RASTRA_API void rastra_settings_set_webp_lossless(rastra_settings* s, int32_t enabled) noexcept {
    if (s != nullptr) set_webp_lossless(s->value, enabled);
}

RASTRA_API int32_t rastra_convert_result(const rastra_settings* settings, const void* input, size_t input_size,
                                         void** output, size_t* output_size, rastra_result* result) noexcept {
    if (result == nullptr) return 0;
    if (output != nullptr) *output = nullptr;
    if (output_size != nullptr) *output_size = 0;
    Outcome o;
    if ((input == nullptr && input_size != 0) || output == nullptr || output_size == nullptr) {
        o.fail(Reason::kBadArgument, "convert: NULL input/output");
    } else {
        o = convert_image(settings_or_defaults(settings), static_cast<const uint8_t*>(input), input_size,
                          Names{"convert", "input", "output", false});
    }
    fill_result(o, *result);
    if (o.ok()) {
        *output_size = o.encoded.size;
        *output = o.encoded.data.release();
    }
    return result->converted;
}

RASTRA_API int32_t rastra_convert(const rastra_settings* settings, const void* input, size_t input_size,
                                  void** output, size_t* output_size, char* error, size_t error_capacity) noexcept {
    rastra_result r;
    rastra_convert_result(settings, input, input_size, output, output_size, &r);
    copy_message(r.message, error, error_capacity);
    return r.converted;
}

RASTRA_API int32_t rastra_convert_file(const rastra_settings* settings, const char* input, const char* output,
                                       char* error, size_t error_capacity) noexcept {
    const Outcome o = convert_file(settings_or_defaults(settings), input, output);
    copy_message(o.message.text, error, error_capacity);
    return o.ok() ? 1 : 0;
}

RASTRA_API int32_t rastra_convert_file_result(const rastra_settings* settings, const char* input, const char* output,
                                              rastra_result* result) noexcept {
    if (result == nullptr) return 0;
    fill_result(convert_file(settings_or_defaults(settings), input, output), *result);
    return result->converted;
}

RASTRA_API void rastra_free(void* buffer) noexcept { std::free(buffer); }

RASTRA_API int32_t rastra_probe(const void* input, size_t input_size, rastra_image_info* info) noexcept {
    if (input == nullptr || info == nullptr) return 0;
    const auto* bytes = static_cast<const uint8_t*>(input);
    const int32_t kind = detect_format(bytes, input_size);
    ImageHeader header;
    if (kind == kNone || !read_header(kind, bytes, input_size, header)) return 0;
    info->format = format_of_kind(kind);
    info->width = header.width;
    info->height = header.height;
    info->orientation = read_orientation(kind, bytes, input_size);
    return 1;
}

RASTRA_API int32_t rastra_same_file(const char* a, const char* b) noexcept {
    try {
        if (a == nullptr || b == nullptr) return 0;
        FileId ia, ib;
        return file_id(a, ia) && file_id(b, ib) && ia == ib ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

RASTRA_API int32_t rastra_plan(const rastra_settings* settings, const char* input_dir, const char* output_dir,
                               rastra_candidate_callback callback, void* user, char* error,
                               size_t error_capacity) noexcept {
    Message message;
    try {
        std::vector<Candidate> plan;
        if (!plan_run(settings_or_defaults(settings), input_dir, output_dir, plan, message)) {
            copy_message(message.text, error, error_capacity);
            return 0;
        }
        if (plan.size() > static_cast<std::size_t>(INT32_MAX)) throw std::bad_alloc();
        if (callback != nullptr) {
            for (std::size_t i = 0; i < plan.size(); ++i) {
                const Candidate& c = plan[i];
                const bool named = !c.output.empty();
                const rastra_candidate candidate{c.input.c_str(), named ? c.output.c_str() : nullptr,
                                                 named ? nullptr : c.message.c_str(), static_cast<int32_t>(i),
                                                 static_cast<int32_t>(c.follows)};
                callback(user, &candidate);
            }
        }
        copy_message("", error, error_capacity);
        return static_cast<int32_t>(plan.size());
    } catch (const std::bad_alloc&) {
        copy_message("run: out of memory", error, error_capacity);
        return 0;
    } catch (...) {
        copy_message("run: internal error", error, error_capacity);
        return 0;
    }
}

}  // extern "C"

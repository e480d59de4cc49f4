// The conversion core: recognise, check the header against the limits,
// decode, fit the bounding box, turn upright, watermark, encode. A function of
// its arguments; every caller (the process-wide exports, the settings
// interface, the directory run) goes through it.
#include <cstdarg>
#include <cstring>

#include "internal.h"

namespace rastra {

void Message::set(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
}

void copy_message(const char* text, char* error, std::size_t capacity) noexcept {
    if (error == nullptr || capacity == 0) return;
    std::size_t n = std::strlen(text);
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(error, text, n);
    error[n] = '\0';
}

Outcome& Outcome::fail(Reason why, const char* fmt, ...) noexcept {
    reason = why;
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message.text, sizeof message.text, fmt, args);
    va_end(args);
    return *this;
}

namespace {

enum class HeaderCheck { kOk, kTooLarge, kCorrupt };

// Everything decided from the header before decoding: the pixel limit, and for
// a JPEG its scans (each a pass over the whole image) and whether the decoder
// would finish it (a progressive JPEG that stops before its end marker comes
// back "decoded" without its coefficients ever applied).
HeaderCheck check_header(int32_t kind, const uint8_t* bytes, uint64_t size, int64_t max_pixels,
                         ImageHeader& header) noexcept {
    if (!read_header(kind, bytes, size, header)) return HeaderCheck::kCorrupt;
    if (static_cast<int64_t>(header.width) * header.height > max_pixels) return HeaderCheck::kTooLarge;
    if (kind == kJpeg) {
        const JpegLayout jpeg = jpeg_layout(bytes, size, kMaxJpegScans);
        if (jpeg.scans == 0 || jpeg.scans > kMaxJpegScans || (jpeg.progressive && !jpeg.complete)) {
            return HeaderCheck::kCorrupt;
        }
    }
    return HeaderCheck::kOk;
}

const char* format_name(int32_t kind) noexcept {
    return kind == kJpeg ? "JPEG" : kind == kPng ? "PNG" : "WebP";
}

}  // namespace

Outcome convert_image(const Settings& s, const uint8_t* bytes, uint64_t size, const Names& names,
                      MallocPtr<uint8_t>* release) noexcept {
    Outcome o;
    o.input_bytes = size;
    // Only memory holds nothing: a file is refused empty when read.
    if (size == 0) return std::move(o.fail(Reason::kEmptyFile, "%s: cannot read %s", names.op, names.input));
    o.input_kind = detect_format(bytes, size);
    if (o.input_kind == kNone) {
        return std::move(o.fail(Reason::kUnsupportedFormat, "%s: unsupported image format: %s", names.op,
                                names.input));
    }

    ImageHeader header;
    switch (check_header(o.input_kind, bytes, size, s.max_pixels, header)) {
        case HeaderCheck::kOk: break;
        case HeaderCheck::kTooLarge:
            return std::move(o.fail(Reason::kTooLarge, "%s: image too large: %s", names.op, names.input));
        case HeaderCheck::kCorrupt:
            return std::move(o.fail(Reason::kCannotDecode, "%s: cannot decode %s", names.op, names.input));
    }

    const int32_t orientation = s.auto_orient == 1 ? read_orientation(o.input_kind, bytes, size) : 1;
    o.orientation = orientation;
    Image img;
    if (!decode(o.input_kind, bytes, size, header, img)) {
        return std::move(o.fail(Reason::kCannotDecode, "%s: cannot decode %s", names.op, names.input));
    }
    if (release != nullptr) release->reset();  // only the pixels from here on

    // The box holds the upright image: a stored image that turns a quarter
    // round is fitted to the box with its sides exchanged, then turned.
    const bool quarter = orientation >= 5;
    if (s.resize_enabled == 1 &&
        !resize_to_fit(img, quarter ? s.max_height : s.max_width, quarter ? s.max_width : s.max_height)) {
        return std::move(o.fail(Reason::kOutOfMemory, "resize: out of memory"));
    }
    if (!turn_upright(img, orientation)) {
        return std::move(o.fail(Reason::kOutOfMemory, "%s: out of memory", names.op));
    }
    o.width = img.width;
    o.height = img.height;

    if (s.watermark.enabled == 1) draw_watermark(s.watermark, img.pixels.get(), img.width, img.height);

    if (s.format < RASTRA_FORMAT_AUTO || s.format > RASTRA_FORMAT_BMP) {
        return std::move(o.fail(Reason::kBadArgument, "%s: bad configured format %d", names.op,
                                static_cast<int>(s.format)));
    }
    o.output_kind = choose_output_kind(s.format, names.files ? names.output : nullptr,
                                       names.files ? names.input : nullptr, names.files ? kNone : o.input_kind);
    if (o.output_kind == kNone) {
        return std::move(o.fail(Reason::kNoOutputFormat, "%s: cannot determine output format from %s", names.op,
                                names.output));
    }

    switch (encode(o.output_kind, img, s.quality, o.encoded)) {
        case EncodeResult::kOk: break;
        case EncodeResult::kTooLarge:
            return std::move(o.fail(Reason::kTooLargeForFormat, "%s: image too large for %s: %s", names.op,
                                    format_name(o.output_kind), names.output));
        case EncodeResult::kOutOfMemory:
            return std::move(o.fail(Reason::kOutOfMemory, "%s: out of memory", names.op));
        case EncodeResult::kFailed:
            return std::move(o.fail(Reason::kCannotWrite, "%s: cannot write %s", names.op, names.output));
    }
    o.output_bytes = o.encoded.size;
    return o;
}

Outcome convert_file(const Settings& s, const char* input, const char* output) noexcept {
    Outcome o;
    if (input == nullptr || output == nullptr) {
        return std::move(o.fail(Reason::kBadArgument, "process_file: NULL input/output"));
    }
    Input in;
    switch (const Reason why = read_input(input, max_input_bytes(s.max_pixels), in, o.system_error)) {
        case Reason::kNone: break;
        case Reason::kTooLarge: return std::move(o.fail(why, "process_file: image too large: %s", input));
        default: return std::move(o.fail(why, "process_file: cannot read %s", input));
    }

    o = convert_image(s, in.bytes.get(), in.size, Names{"process_file", input, output, true}, &in.bytes);
    if (!o.ok()) return o;

    clear_system_error();
    if (const int32_t error = write_output(output, o.encoded.data.get(), o.encoded.size); error != 0) {
        o.system_error = error;
        o.encoded = Encoded{};
        return std::move(o.fail(Reason::kCannotWrite, "process_file: cannot write %s", output));
    }
    o.encoded = Encoded{};
    return o;
}

}  // namespace rastra

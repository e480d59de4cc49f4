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

// Everything decided from the header before decoding: the pixel and side limits, and for
// a JPEG its scans (each a pass over the whole image) and whether the decoder
// would finish it (a progressive JPEG that stops before its end marker comes
// back "decoded" without its coefficients ever applied).
HeaderCheck check_header(int32_t kind, const uint8_t* bytes, uint64_t size, int64_t max_pixels,
                         ImageHeader& header) noexcept {
    if (!read_header(kind, bytes, size, header)) return HeaderCheck::kCorrupt;
    if (static_cast<int64_t>(header.width) * header.height > max_pixels) return HeaderCheck::kTooLarge;
    if (header.width > kMaxSide || header.height > kMaxSide) return HeaderCheck::kTooLarge;
    if (kind == kBmp && !bmp_indices_in_palette(bytes, size, header.width, header.height)) return HeaderCheck::kCorrupt;
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
    // Memory is held to the limit of a file, which also keeps every size
    // within the decoders' int lengths.
    if (size > static_cast<uint64_t>(max_input_bytes(s.max_pixels))) {
        return std::move(o.fail(Reason::kTooLarge, "%s: image too large: %s", names.op, names.input));
    }
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

    // What the settings need beside the pixels: the orientation, the kept
    // parts, the profile.
    const int32_t color = effective_color(s);
    const uint32_t keep = s.keep_metadata & (RASTRA_KEEP_EXIF | RASTRA_KEEP_XMP);
    uint32_t parts = (keep & RASTRA_KEEP_EXIF) ? uint32_t{kPartExif} : 0;
    if (s.auto_orient == 1) parts |= kPartExif;
    if (keep & RASTRA_KEEP_XMP) parts |= kPartXmp;
    if (color != RASTRA_COLOR_IGNORE) parts |= kPartIcc;
    const InputMetadata meta = read_metadata(o.input_kind, bytes, size, parts);

    const int32_t orientation = s.auto_orient == 1 ? exif_orientation(meta.exif.data, meta.exif.size) : 1;
    o.orientation = orientation;

    // The box holds the upright image: a stored image that turns a quarter
    // round is fitted to the box with its sides exchanged, then turned.
    const bool quarter = orientation >= 5;
    const Size target = s.resize_enabled == 1 ? fit_size(header.width, header.height,
                                                         quarter ? s.max_height : s.max_width,
                                                         quarter ? s.max_width : s.max_height)
                                              : Size{header.width, header.height};
    Image img;
    if (!decode_for(o.input_kind, bytes, size, header, DecodeWish{s.codecs, target}, img)) {
        return std::move(o.fail(Reason::kCannotDecode, "%s: cannot decode %s", names.op, names.input));
    }
    // Built once the image has decoded, so a file that fails costs nothing
    // more; the transform keeps its own copy of the profile.
    ColorTransform to_srgb;
    if (color == RASTRA_COLOR_SRGB && !meta.icc.empty()) to_srgb.prepare(meta.icc, header.channels);
    // Only the pixels from here on, unless kept parts still point into the input.
    const bool kept_in_input = ((keep & RASTRA_KEEP_EXIF) && !meta.exif.empty()) ||
                               ((keep & RASTRA_KEEP_XMP) && !meta.xmp.empty() && !meta.xmp_storage) ||
                               (color == RASTRA_COLOR_KEEP && !meta.icc.empty() && !meta.icc_storage);
    if (release != nullptr && !kept_in_input) release->reset();

    // A decoder of the fast set may have delivered a reduced image already.
    if (!resize_to(img, target, s.codecs == RASTRA_CODECS_FAST)) {
        return std::move(o.fail(Reason::kOutOfMemory, "resize: out of memory"));
    }
    if (!turn_upright(img, orientation)) {
        return std::move(o.fail(Reason::kOutOfMemory, "%s: out of memory", names.op));
    }
    // On the fitted image: fewer pixels, and the resampler has already
    // weighed them in linear light.
    to_srgb.apply(img.pixels.get(), static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height));
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

    // The pixels stand upright now, and the kept EXIF block and XMP packet
    // say so (a viewer that reads either must not turn them again): each
    // rewritten in a copy, since it points into the input.
    OutputMetadata kept;
    MallocPtr<uint8_t> exif_copy, xmp_copy;
    const auto say_upright = [orientation](Span& part, MallocPtr<uint8_t>& copy,
                                           void (*rewrite)(uint8_t*, std::size_t, int32_t)) {
        if (orientation == 1 || part.empty()) return true;
        copy.reset(static_cast<uint8_t*>(std::malloc(part.size)));
        if (!copy) return false;
        std::memcpy(copy.get(), part.data, part.size);
        rewrite(copy.get(), part.size, 1);
        part.data = copy.get();
        return true;
    };
    if ((keep & RASTRA_KEEP_EXIF) && valid_exif(meta.exif)) kept.exif = meta.exif;
    if (keep & RASTRA_KEEP_XMP) kept.xmp = meta.xmp;
    if (!say_upright(kept.exif, exif_copy, set_exif_orientation) ||
        !say_upright(kept.xmp, xmp_copy, set_xmp_orientation)) {
        return std::move(o.fail(Reason::kOutOfMemory, "%s: out of memory", names.op));
    }
    if (color == RASTRA_COLOR_KEEP && rgb_profile(meta.icc)) kept.icc = meta.icc;

    const EncodeWish wish{s.codecs, s.png_level, s.webp_lossless == 1};
    switch (encode_with(o.output_kind, img, s.quality, wish, kept, o.encoded)) {
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

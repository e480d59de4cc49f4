// Internal interface shared by the library's source files. Nothing here is
// exported; tests reach it through the rastra_internal object library.
//
// One conversion core serves every caller: a Settings value and the input
// bytes go in, an Outcome comes out. Below the export frames nothing reads or
// writes process-wide state; the frames of the process-wide interface
// (context.cpp) keep the one context and turn outcomes into its statistics
// and last error.
#pragma once

#include <climits>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "rastra.h"

namespace rastra {

// ---- limits ---------------------------------------------------------------------

inline constexpr std::size_t kErrCapacity = RASTRA_ERROR_CAPACITY;
inline constexpr std::size_t kStatsCapacity = RASTRA_STATS_CAPACITY;
inline constexpr int64_t kDefaultMaxPixels = 10240LL * 10240LL;
inline constexpr int64_t kMaxPixelsCeiling = 16383LL * 16383LL;
inline constexpr uint32_t kMaxJpegScans = RASTRA_MAX_JPEG_SCANS;
inline constexpr int32_t kMaxSide = RASTRA_MAX_SIDE;
inline constexpr std::size_t kResamplerBudgetMin = RASTRA_RESAMPLER_BUDGET_MIN;
inline constexpr int32_t kJpegMaxSide = 65535;  // 16-bit sides in the frame header
inline constexpr int32_t kWebpMaxSide = 16383;
// stb's PNG writer sums up to 128 per byte of a row in an int while choosing
// each row's filter: a wider RGBA row overflows it.
inline constexpr int32_t kPngMaxWidth = INT32_MAX / (4 * 128);
inline constexpr std::size_t kWatermarkTextMax = RASTRA_WATERMARK_TEXT_MAX;

// The largest input file read for a pixel limit: raw 16-bit RGBA, plus room
// for metadata, below 2 GiB (the decoders take an int length).
constexpr int64_t max_input_bytes(int64_t max_pixels) noexcept {
    const int64_t n = max_pixels * 8 + (int64_t{64} << 20);
    return n < INT32_MAX ? n : INT32_MAX;
}

// ---- RAII owners for C resources ---------------------------------------------

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// ---- settings -------------------------------------------------------------------

struct Watermark {
    int32_t enabled = 0;  // 1 once a watermark has been set
    char text[kWatermarkTextMax + 1] = {};
    int32_t size = 0;  // line height in pixels, 3..512
    float opacity = 0.0f;
};

// Everything that shapes a conversion. The member initialisers are the
// defaults of rastra_init() and rastra_settings_new(); kLoadTimeSettings is
// what the process-wide context holds before its first reset.
struct Settings {
    int32_t resize_enabled = 0;  // 1 while the box below applies
    int32_t max_width = 0;       // 0: that side unlimited
    int32_t max_height = 0;
    int32_t format = RASTRA_FORMAT_AUTO;  // at load time: RASTRA_FORMAT_PNG
    int32_t quality = 90;                 // at load time: 0
    Watermark watermark;
    int32_t strip_metadata = 1;  // stored only; at load time: 0
    int64_t max_pixels = kDefaultMaxPixels;
    int32_t auto_orient = 0;  // 1: turn outputs upright by their EXIF orientation
    int32_t color = RASTRA_COLOR_IGNORE;
    uint32_t keep_metadata = 0;  // RASTRA_KEEP_* bits
    int32_t codecs = RASTRA_CODECS_REFERENCE;
    int32_t png_level = RASTRA_PNG_LEVEL_DEFAULT;  // the fast set's zlib level
    int32_t webp_lossless = 0;
};

inline constexpr Settings kLoadTimeSettings = [] {
    Settings s;
    s.format = RASTRA_FORMAT_PNG;
    s.quality = 0;
    s.strip_metadata = 0;
    return s;
}();

// The setter rules, shared by the process-wide setters and the settings
// objects: a value out of range changes nothing. max_format is
// RASTRA_FORMAT_WEBP for the process-wide setter, RASTRA_FORMAT_BMP for
// settings objects.
void set_resize(Settings& s, int32_t max_width, int32_t max_height) noexcept;
void set_format(Settings& s, int32_t format, int32_t max_format) noexcept;
void set_quality(Settings& s, int32_t quality) noexcept;
void set_watermark(Settings& s, const char* text, int32_t size, float opacity) noexcept;
void set_max_pixels(Settings& s, int64_t max_pixels) noexcept;
void set_auto_orient(Settings& s, int32_t enabled) noexcept;
void set_color(Settings& s, int32_t mode) noexcept;
void set_keep_metadata(Settings& s, uint32_t mask) noexcept;
void set_codecs(Settings& s, int32_t codecs) noexcept;
void set_png_level(Settings& s, int32_t level) noexcept;
void set_webp_lossless(Settings& s, int32_t enabled) noexcept;

// The colour mode a conversion follows: keeping the profile (RASTRA_KEEP_ICC)
// means leaving the pixels as they are, whatever the colour setting says.
constexpr int32_t effective_color(const Settings& s) noexcept {
    return (s.keep_metadata & RASTRA_KEEP_ICC) != 0 ? RASTRA_COLOR_KEEP : s.color;
}

// ---- messages and outcomes ------------------------------------------------------

// printf-style checks of our messages. MinGW's C++ runtime formats with its
// own C99 printf (%zu included), not msvcrt's, so its checks are GNU ones.
#if defined(__MINGW32__)
#define RASTRA_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define RASTRA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define RASTRA_PRINTF(f, a)
#endif

// A message of at most kErrCapacity - 1 bytes, always terminated.
struct Message {
    char text[kErrCapacity] = {};

    RASTRA_PRINTF(2, 3)
    void set(const char* fmt, ...) noexcept;
    void clear() noexcept { text[0] = '\0'; }
    bool empty() const noexcept { return text[0] == '\0'; }
};

// Copies text into a caller's buffer of capacity bytes, cut and terminated;
// nothing when error is null or capacity 0.
void copy_message(const char* text, char* error, std::size_t capacity) noexcept;

enum class Reason : int32_t {
    kNone = RASTRA_REASON_NONE,
    kBadArgument = RASTRA_REASON_BAD_ARGUMENT,
    kNoSuchFile = RASTRA_REASON_NO_SUCH_FILE,
    kPermissionDenied = RASTRA_REASON_PERMISSION_DENIED,
    kNotRegularFile = RASTRA_REASON_NOT_REGULAR_FILE,
    kEmptyFile = RASTRA_REASON_EMPTY_FILE,
    kCannotRead = RASTRA_REASON_CANNOT_READ,
    kTooLarge = RASTRA_REASON_TOO_LARGE,
    kUnsupportedFormat = RASTRA_REASON_UNSUPPORTED_FORMAT,
    kCannotDecode = RASTRA_REASON_CANNOT_DECODE,
    kNoOutputFormat = RASTRA_REASON_NO_OUTPUT_FORMAT,
    kTooLargeForFormat = RASTRA_REASON_TOO_LARGE_FOR_FORMAT,
    kCannotWrite = RASTRA_REASON_CANNOT_WRITE,
    kOutOfMemory = RASTRA_REASON_OUT_OF_MEMORY,
    kPathTooLong = RASTRA_REASON_PATH_TOO_LONG,
};

// Decoded pixels or encoded bytes, released by whichever allocator produced
// them (stbi_image_free, WebPFree or free).
using BufferPtr = std::unique_ptr<uint8_t, void (*)(void*)>;

// An encoded output. Every encoder allocates it with malloc (libwebp's
// WebPFree is free), so rastra_free() releases what a caller is handed.
struct Encoded {
    BufferPtr data{nullptr, std::free};
    std::size_t size = 0;
};

// What one conversion did, or why it failed.
struct Outcome {
    Reason reason = Reason::kNone;
    int32_t system_error = 0;  // errno where the failure has one
    Message message;           // empty when converted
    int32_t input_kind = 0;    // Kind; kNone until recognised
    int32_t output_kind = 0;   // Kind; kNone until chosen
    int32_t width = 0;         // of the output image
    int32_t height = 0;
    int32_t orientation = 1;    // the EXIF orientation the image was turned upright from
    uint64_t input_bytes = 0;   // the input as read
    uint64_t output_bytes = 0;  // the encoded output
    Encoded encoded;            // the output, until written (files) or handed out (memory)

    bool ok() const noexcept { return reason == Reason::kNone; }
    RASTRA_PRINTF(3, 4)
    Outcome& fail(Reason why, const char* fmt, ...) noexcept;
};

// ---- format identification ----------------------------------------------------

enum Kind : int32_t { kNone = 0, kJpeg = 1, kPng = 2, kBmp = 3, kWebp = 4 };

int32_t detect_format(const uint8_t* bytes, uint64_t length) noexcept;
int32_t fmt_from_ext(const char* path) noexcept;

// Image kind written for an output format setting of 0..3.
inline constexpr int32_t kKindForFormat[4] = {kPng, kJpeg, kWebp, kBmp};
// The RASTRA_FORMAT_* value of an image kind (RASTRA_FORMAT_UNKNOWN for kNone).
int32_t format_of_kind(int32_t kind) noexcept;
// Output extension text of an image kind 1..4 ("" for kNone).
const char* kind_ext(int32_t kind) noexcept;

// The kind an output takes: a fixed format's kind; in automatic mode the kind
// the output name's extension names, else the input name's, else input_kind
// (kNone for files, whose names decide; the detected kind in memory). kNone
// when none applies or the format is out of range. Names may be null.
int32_t choose_output_kind(int32_t format, const char* output_name, const char* input_name,
                           int32_t input_kind) noexcept;

// What an image's header declares, read without decoding.
struct ImageHeader {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;          // as stored in the file
    int32_t bytes_per_sample = 1;  // 2 for 16-bit PNG
};

// Reads the header of an image of a known kind; false when it cannot be read.
bool read_header(int32_t kind, const uint8_t* bytes, uint64_t size, ImageHeader& header) noexcept;

// Whether every pixel of a 1-, 4- or 8-bit BMP names an entry its palette
// holds. stb_image keeps the palette in a table of 256 entries that it fills
// only as far as the file's palette goes: a pixel naming an entry past it
// would copy bytes nobody wrote. True for every other BMP. Pure.
bool bmp_indices_in_palette(const uint8_t* bytes, uint64_t size, int32_t width, int32_t height) noexcept;

// The marker structure of a JPEG as the decoder walks it.
struct JpegLayout {
    uint32_t scans = 0;        // start-of-scan markers, counted up to max_scans + 1
    bool progressive = false;  // the frame is progressive (SOF2)
    bool complete = false;     // the end-of-image marker is reached through
                               // markers the decoder accepts
};

// Walks the markers of a JPEG (bytes start with SOI), skipping segments and
// entropy-coded data. Stops counting once more than max_scans scans are seen.
JpegLayout jpeg_layout(const uint8_t* bytes, uint64_t size, uint32_t max_scans) noexcept;

// ---- metadata ----------------------------------------------------------------------

// Bytes that belong to someone else (the input, or an owner beside the span).
struct Span {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    bool empty() const noexcept { return size == 0; }
};

// The largest ICC profile read from an input; a larger one is ignored.
inline constexpr std::size_t kMaxProfileBytes = std::size_t{4} << 20;
// The largest XMP packet inflated from a compressed PNG iTXt chunk.
inline constexpr std::size_t kMaxXmpBytes = std::size_t{4} << 20;

// What an input carries beside its pixels. exif and xmp point into the input;
// icc points into the input or, when it had to be put together (JPEG APP2
// segments, a compressed PNG iCCP), into icc_storage.
struct InputMetadata {
    Span exif;            // a TIFF block, without JPEG's "Exif\0\0"
    Span xmp;             // an XMP packet
    Span icc;             // an ICC profile of at most kMaxProfileBytes
    bool srgb = false;    // a PNG sRGB chunk: the pixels are sRGB
    MallocPtr<uint8_t> icc_storage;
    MallocPtr<uint8_t> xmp_storage;  // a compressed iTXt's packet, inflated
};

enum MetadataPart : uint32_t { kPartExif = 1, kPartXmp = 2, kPartIcc = 4 };

// Finds the parts asked for (kPart* bits) in an input of a known kind: a
// JPEG's APP1 "Exif" and XMP segments and its APP2 "ICC_PROFILE" segments
// (used only when every one of them is present and consistent); a PNG's eXIf,
// iTXt "XML:com.adobe.xmp", iCCP (inflated within kMaxProfileBytes) and sRGB
// chunks; an extended WebP's EXIF, "XMP " and ICCP chunks. Anything missing,
// damaged or too large is left empty. Never fails; bounded by the input's
// size and the caps above.
InputMetadata read_metadata(int32_t kind, const uint8_t* bytes, uint64_t size, uint32_t parts) noexcept;

// A TIFF block (optionally after "Exif\0\0") that starts with a valid header.
bool valid_exif(Span tiff) noexcept;

// Sets the EXIF orientation tag of IFD 0 to `orientation` in place, when the
// block has one; what exif_orientation() reads is what this writes.
void set_exif_orientation(uint8_t* tiff, std::size_t size, int32_t orientation) noexcept;

// Sets the tiff:Orientation property of an XMP packet to `orientation`
// (1..8) in place, written as an attribute (tiff:Orientation="6") or an
// element (<tiff:Orientation>6</tiff:Orientation>), under whatever prefix the
// packet binds to the TIFF namespace. A value that is not one digit from 1
// to 8 is left alone; nothing else changes, so the packet keeps its size.
void set_xmp_orientation(uint8_t* xmp, std::size_t size, int32_t orientation) noexcept;

// The metadata an output carries: each part is written in the output format's
// own container (JPEG APP1/APP2, PNG eXIf/iTXt/iCCP, WebP EXIF/XMP /ICCP); BMP
// carries none. A part too large for its container is left out.
struct OutputMetadata {
    Span exif;  // a TIFF block
    Span xmp;
    Span icc;
    bool any() const noexcept { return !exif.empty() || !xmp.empty() || !icc.empty(); }
};

// The JPEG segments for meta (APP1 Exif, APP1 XMP, APP2 ICC_PROFILE split as
// needed), to follow the encoder's APP0. Empty when there is nothing to write.
// May throw std::bad_alloc.
std::vector<uint8_t> jpeg_metadata_segments(const OutputMetadata& meta);

// Adds meta's chunks to a whole PNG in out, after IHDR. False when memory
// runs out (out unchanged).
bool png_add_metadata(Encoded& out, const OutputMetadata& meta) noexcept;

// Adds meta's chunks to a whole WebP in out through libwebp's mux library
// (which turns it into an extended file). False when that fails (out
// unchanged).
bool webp_add_metadata(Encoded& out, const OutputMetadata& meta) noexcept;

// zlib-compresses data for a PNG chunk with stb_image_write's deflate; null
// when memory runs out.
uint8_t* zlib_compress(const uint8_t* data, std::size_t size, std::size_t& out_size) noexcept;
// The PNG/zlib CRC-32 of a chunk's type and data.
uint32_t png_crc(const uint8_t* data, std::size_t size) noexcept;

// ---- colour ----------------------------------------------------------------------

// A transform from an input's ICC profile to sRGB, prepared before decoding
// (it keeps its own copy of the profile) and applied to the decoded pixels.
// Everything lives in a Little CMS context of its own, created per
// conversion, so nothing is shared between threads.
struct Budget;

class ColorTransform {
public:
    ColorTransform() noexcept = default;
    ~ColorTransform();
    ColorTransform(const ColorTransform&) = delete;
    ColorTransform& operator=(const ColorTransform&) = delete;

    // Prepares the transform for a profile describing pixels with
    // `channels` channels as stored (1 or 2: grey; 3 or 4: RGB). Returns
    // false, leaving nothing prepared, when the profile is damaged, does not
    // describe such pixels, or maps every colour to itself within one unit
    // (sRGB under any name): those images convert as if untagged.
    bool prepare(Span icc, int32_t channels) noexcept;
    bool ready() const noexcept { return context_ != nullptr; }

    // Converts RGBA pixels to sRGB in place (nothing when not ready); alpha
    // is kept. Allocates nothing.
    void apply(uint8_t* rgba, std::size_t pixels) const noexcept;

private:
    void release() noexcept;
    struct BudgetDeleter {
        void operator()(Budget* b) const noexcept;
    };
    void* context_ = nullptr;    // cmsContext
    void* transform_ = nullptr;  // cmsHTRANSFORM, for RGB profiles
    MallocPtr<uint8_t> grey_;    // 256 x RGB, for grey profiles
    std::unique_ptr<Budget, BudgetDeleter> budget_;  // what the context spends
};

// The structural limits a profile must keep before Little CMS reads it: at
// most kMaxProfileTags tags, each within the profile; colour lookup tables
// of at most kMaxProfileClutEntries entries; multi-process-element pipelines
// of at most kMaxProfilePipelineElements elements. Reads only the header
// and the tag directory, and each table's own header.
inline constexpr uint32_t kMaxProfileTags = RASTRA_PROFILE_MAX_TAGS;
inline constexpr std::size_t kMaxProfileClutEntries = RASTRA_PROFILE_MAX_CLUT_ENTRIES;
inline constexpr uint32_t kMaxProfilePipelineElements = RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS;
bool profile_within_limits(Span icc) noexcept;

// True when icc is an RGB device profile within the limits whose header and
// tag directory Little CMS reads, so that it may be embedded in an output's
// colour pixels. Builds nothing from it.
bool rgb_profile(Span icc) noexcept;

// The EXIF orientation (1..8) of a TIFF block (optionally after "Exif\0\0"),
// read from IFD 0 with every offset and count checked; 1 ("as stored") for
// anything missing, damaged or out of range.
int32_t exif_orientation(const uint8_t* tiff, uint64_t size) noexcept;

// The orientation an image file declares: a JPEG's APP1 "Exif" segment, a
// PNG's eXIf chunk, an extended WebP's EXIF chunk; 1 when there is none.
int32_t read_orientation(int32_t kind, const uint8_t* bytes, uint64_t size) noexcept;

// ---- geometry --------------------------------------------------------------------

struct Size {
    int32_t width;
    int32_t height;
};

// The bounding-box rule: the size an image of w x h takes under the limits
// mw/mh (0 = unlimited). Equal to the input when no resampling is needed.
Size fit_size(int32_t w, int32_t h, int32_t mw, int32_t mh) noexcept;

// Turns an RGBA image of w x h stored with EXIF orientation o (1..8) upright.
// Orientations 2 to 4 work in place and return pixels; 5 to 8 exchange width
// and height and write into `turned` (h x w x 4 bytes), returned. Pure.
uint8_t* orient_pixels(uint8_t* pixels, int32_t w, int32_t h, int32_t o, uint8_t* turned) noexcept;

// An RGBA image in memory.
struct Image {
    BufferPtr pixels{nullptr, std::free};
    int32_t width = 0;
    int32_t height = 0;
};

// Shrinks img to fit the box mw x mh (sRGB-correct, alpha not premultiplied).
// False only when memory runs out or the resampler fails.
bool resize_to_fit(Image& img, int32_t mw, int32_t mh) noexcept;

// Resamples img to exactly `to` (nothing when it has that size already).
// The resampler's tables may cost the larger of the image's own bytes and
// kResamplerBudgetMin; when they would cost more (a thin image), the image
// is first box-shrunk by whole factors to about twice the target, and one
// that is still too costly (shrunk by less than four times) is area-averaged
// to the target instead. With shrink_first (the fast set), any axis shrunk by
// nine times or more is box-shrunk first too, to about three times the
// target, which is faster.
bool resize_to(Image& img, Size to, bool shrink_first = false) noexcept;

// What stb_image_resize2's tables may cost for an input of `from`: per row
// and per column it keeps at most kResamplerBytesPerLine bytes of filter
// contributors and taps when it shrinks by a large ratio (measured: up to 88
// for 1 x 1,000,000 to 1 x 2, 44 for 1,000,000 x 1 to 640 x 1); squares cost
// far less than their pixels. Pure.
inline constexpr uint64_t kResamplerBytesPerLine = 96;
uint64_t resampler_cost(Size from) noexcept;

// Averages the area of img each pixel of `to` covers (fractional at its
// edges) in linear light, weighted by alpha. Shrinks only: false when `to`
// is larger on either side, or memory runs out. Pure.
bool area_shrink(Image& img, Size to) noexcept;

// Averages f x g blocks of an RGBA image in linear light, weighted by alpha,
// into an image of ceil(w / f) x ceil(h / g) (blocks at the right and bottom
// edges may be partial). False when memory runs out. Pure.
bool box_shrink(Image& img, int32_t f, int32_t g) noexcept;

// Turns img upright for EXIF orientation o. False when memory runs out.
bool turn_upright(Image& img, int32_t o) noexcept;

// ---- codecs ---------------------------------------------------------------------

// Decodes an image of a known kind whose header has been checked, into RGBA.
// The decoder's buffers are capped by what the header declares.
bool decode(int32_t kind, const uint8_t* bytes, uint64_t size, const ImageHeader& header, Image& img) noexcept;

// How a conversion wants its pixels: the codec set, and the size the box
// will shrink the stored image to (its own size when it is not shrunk).
struct DecodeWish {
    int32_t codecs = RASTRA_CODECS_REFERENCE;
    Size target{0, 0};
};

// decode() with the codec set's decoders. The fast set may deliver a smaller
// image, never smaller than wish.target on either side: a JPEG decoded at a
// DCT scale of 1/2, 1/4 or 1/8, a WebP scaled by libwebp to at least twice
// the target. Other kinds, and the reference set, decode as decode() does.
bool decode_for(int32_t kind, const uint8_t* bytes, uint64_t size, const ImageHeader& header,
                const DecodeWish& wish, Image& img) noexcept;

// The DCT scale denominator (1, 2, 4 or 8) for a JPEG of w x h shrunk to
// target: the largest that keeps both sides, rounded up as libjpeg rounds,
// at least as large as the target. Pure.
int32_t jpeg_scale_for(int32_t w, int32_t h, Size target) noexcept;

// The fast set's decoders; false when the data cannot be decoded (a JPEG in
// a colour space libjpeg cannot turn into RGBA is left to stb: kUnsupported).
enum class FastDecode { kOk, kFailed, kUnsupported };
FastDecode decode_jpeg_fast(const uint8_t* bytes, uint64_t size, int32_t denom, Image& img) noexcept;
bool decode_png_fast(const uint8_t* bytes, uint64_t size, const ImageHeader& header, Image& img) noexcept;
bool decode_webp_scaled(const uint8_t* bytes, uint64_t size, Size to, Image& img) noexcept;

enum class EncodeResult { kOk, kTooLarge, kOutOfMemory, kFailed };

// Encodes the whole output in memory: JPEG (quality clamped to 1..100, alpha
// dropped), RGBA PNG, 32-bit BMP or lossy WebP (quality 0..100), carrying
// meta in the format's own container (BMP: none).
EncodeResult encode(int32_t kind, const Image& img, int32_t quality, const OutputMetadata& meta,
                    Encoded& out) noexcept;

// What an encoder is asked for beyond the quality.
struct EncodeWish {
    int32_t codecs = RASTRA_CODECS_REFERENCE;
    int32_t png_level = RASTRA_PNG_LEVEL_DEFAULT;
    bool webp_lossless = false;
};

// encode() with the codec set's encoders: the fast set writes JPEG with
// libjpeg-turbo (optimised Huffman tables, 4:2:0 up to quality 90 and 4:4:4
// above, as stb_image_write chooses) and PNG with libspng and zlib at
// png_level (RGB when every pixel is opaque); BMP and WebP as the reference
// set does. Lossless WebP in either set when asked.
EncodeResult encode_with(int32_t kind, const Image& img, int32_t quality, const EncodeWish& wish,
                         const OutputMetadata& meta, Encoded& out) noexcept;
EncodeResult encode_jpeg_fast(const Image& img, int32_t quality, const std::vector<uint8_t>& segments,
                              Encoded& out) noexcept;
EncodeResult encode_png_fast(const Image& img, int32_t level, Encoded& out) noexcept;
// Lossless WebP that keeps every byte, the colour of fully transparent pixels
// too; quality sets the effort.
EncodeResult encode_webp_lossless(const Image& img, int32_t quality, Encoded& out) noexcept;

// An RGBA image as a PNG (compression level 8, no forced filter), built in
// one malloc'd buffer; null when memory runs out.
uint8_t* encode_png(const uint8_t* rgba, int32_t width, int32_t height, std::size_t& size) noexcept;

// While alive, every allocation of stb_image on this thread larger than
// `bytes` fails as if memory had run out, so a compressed stream that
// inflates far beyond what its header declares stops early. stb_image's
// memory always comes zeroed.
class DecoderAllocLimit {
public:
    explicit DecoderAllocLimit(std::size_t bytes) noexcept;
    ~DecoderAllocLimit();
    DecoderAllocLimit(const DecoderAllocLimit&) = delete;
    DecoderAllocLimit& operator=(const DecoderAllocLimit&) = delete;

private:
    std::size_t saved_;
};

// ---- watermark ----------------------------------------------------------------

// Draws the watermark into an RGBA buffer of w x h, in place.
void draw_watermark(const Watermark& mark, uint8_t* pixels, int32_t w, int32_t h) noexcept;

// ---- the conversion core --------------------------------------------------------

// How a conversion names its input and output in messages, and whether the
// names are file names that choose the output format in automatic mode.
struct Names {
    const char* op;      // the messages' prefix: "process_file", "convert"
    const char* input;   // the input in messages
    const char* output;  // the output in messages
    bool files;          // automatic format by the names' extensions (else keep the input's kind)
};

// Converts one image held in memory into the encoded output (in
// outcome.encoded). A function of its arguments only. When release is given
// (it owns bytes), the input is released as soon as it is decoded.
Outcome convert_image(const Settings& s, const uint8_t* bytes, uint64_t size, const Names& names,
                      MallocPtr<uint8_t>* release = nullptr) noexcept;

// Reads input (a regular file, within the size limit), converts it and writes
// output safely. outcome.encoded is released once written.
Outcome convert_file(const Settings& s, const char* input, const char* output) noexcept;

// ---- directory run ------------------------------------------------------------

// One candidate of a directory run, in the run's order: the input and output
// paths it converts between, or, when they cannot be formed, the entry's name
// in `input` and the reason in `message`.
struct Candidate {
    std::string input;
    std::string output;  // empty when the candidate cannot be named
    std::string message;
    std::ptrdiff_t follows = -1;  // the previous candidate writing the same output
};

// Checks a run's arguments, creates output_dir when missing, lists input_dir
// once and names every candidate with the settings' format. False, with the
// run's message, when any of that fails or no candidate is found. May throw
// std::bad_alloc.
bool plan_run(const Settings& s, const char* input_dir, const char* output_dir, std::vector<Candidate>& plan,
              Message& error);

// The frame-side state a sequential run updates.
struct Stats {
    int32_t processed = 0;
    int32_t failed = 0;
    uint64_t total_input_bytes = 0;
    uint64_t total_output_bytes = 0;

    // Adds a converted file's sizes.
    void add(const Outcome& o) noexcept;
};

struct RunObserver {
    rastra_run_observer fn = nullptr;
    void* user = nullptr;
};

// Converts a plan in order, as rastra_run() does: counts into stats, leaves
// the last candidate's outcome in last_error ("run: " before the first failure
// since stats were zeroed) and tells the observer. 1 when a file converted.
int32_t run_plan(const Settings& s, const std::vector<Candidate>& plan, Stats& stats, Message& last_error,
                 const RunObserver& observer) noexcept;

// Creates a directory and its missing parents; 0 or -1.
int32_t ensure_dir(const char* path) noexcept;

// The length of the root that starts path and that ensure_dir never creates:
// on Windows a drive ("C:", "C:\") or a share ("\\server\share"); elsewhere 0.
std::size_t root_length(const char* path, bool windows) noexcept;

// ---- reading inputs ---------------------------------------------------------------

struct Input {
    MallocPtr<uint8_t> bytes;
    uint64_t size = 0;
};

// The whole file in one allocation and one read request, once it is known to
// be a regular file within max_bytes. Reason::kNone, or why not (with
// system_error the errno where there is one).
Reason read_input(const char* path, int64_t max_bytes, Input& in, int32_t& system_error) noexcept;

// ---- platform layer ---------------------------------------------------------

// Path separator used to join directory and file names.
#if defined(_WIN32)
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// Seeks f to its end and returns the position (64-bit), or -1.
int64_t seek_end(std::FILE* f) noexcept;

// Opens a regular file for reading in binary mode, without blocking on
// anything else (FIFOs, devices, sockets and directories are refused). On
// failure error is the errno, or kNotRegular for something that is not a
// regular file.
inline constexpr int32_t kNotRegular = -1;
FilePtr open_read(const char* path, int32_t& error) noexcept;

// True when path names an existing directory.
bool is_directory(const char* path) noexcept;

enum class MkdirResult { kCreated, kExists, kFailed };
// Creates one directory level.
MkdirResult make_dir(const char* path) noexcept;

// Appends the bare name of every entry of dir to names, in the platform's
// order. Returns false when the listing cannot be started. May throw
// std::bad_alloc.
bool list_dir(const char* dir, std::vector<std::string>& names);

// What tells one file from another on this machine: its volume (device) and
// its number there. Every name of a file, hard links and the names symbolic
// links lead to included, gives the same identity.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    auto operator<=>(const FileId&) const = default;
};

// The identity of the file (or directory) path names, following symbolic
// links. False when it does not exist or cannot be examined.
bool file_id(const char* path, FileId& id) noexcept;

// An output path as the platform compares names (ASCII case folded and one
// separator on Windows): equal keys name the same file.
std::string output_key(const std::string& path);

// ---- writing outputs ----------------------------------------------------------------

// Writes a complete encoded output to target without ever damaging an existing
// file: a new file or a single-named regular file is replaced whole through a
// temporary file; a symbolic link is followed to the file it names; a file with
// other names, or one where no temporary file can be made, is overwritten in
// place once its new size is reserved; a FIFO or device is written as
// addressed, opened without blocking. 0 when every byte arrived, else the
// system's error number (EIO when it gave none).
int32_t write_output(const char* target, const uint8_t* data, std::size_t size) noexcept;

// Platform calls behind write_output.

enum class TargetKind {
    kNew,           // nothing there yet
    kReplace,       // a regular file with one name that we may write
    kInPlace,       // a regular file with other names, or one we may not write
    kDanglingLink,  // a symbolic link to nothing: writing creates its target
    kSpecial,       // FIFO, device, socket
    kUnusable,      // a directory, or a path that cannot be examined
};

struct Target {
    TargetKind kind = TargetKind::kUnusable;
    MallocPtr<char> resolved;  // what a symbolic link points to, else null
    const char* path(const char* target) const noexcept { return resolved ? resolved.get() : target; }
};

// Examines target, following a symbolic link to the file it names.
Target inspect_target(const char* target) noexcept;

enum class TempResult { kWritten, kFailed, kNoTemp };
// Writes data to a new temporary file beside path and moves it over path.
// kNoTemp when no temporary file can be made there; kFailed leaves path as it
// was. A replaced file's permissions or attributes are kept.
TempResult write_via_temp(const char* path, const uint8_t* data, std::size_t size) noexcept;

// Overwrites path in place (creating it when `create`), keeping its other
// names: reserves the space for size bytes first and fails, changing nothing,
// when it cannot.
bool write_in_place(const char* path, bool create, const uint8_t* data, std::size_t size) noexcept;

// Writes to a FIFO or device, opened without blocking.
bool write_special(const char* path, const uint8_t* data, std::size_t size) noexcept;

// The largest file this process may write (RLIMIT_FSIZE), or UINT64_MAX.
uint64_t max_file_size() noexcept;

// The error number of the platform call that failed last on this thread
// (errno; Windows' own codes mapped to it), or 0.
int32_t last_system_error() noexcept;
// Forgets it, before a sequence of calls whose failure it should describe.
void clear_system_error() noexcept;

}  // namespace rastra

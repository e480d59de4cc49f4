// Internal interface shared by the library's source files. Nothing here is
// exported; tests reach it through the rastra_internal object library.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace rastra {

// ---- context and reporting -------------------------------------------------

struct Context {
    int32_t resize_enabled;
    int32_t max_width;
    int32_t max_height;
    int32_t format;
    int32_t quality;
    int32_t watermark_enabled;
    char watermark_text[256];
    int32_t watermark_size;
    float watermark_opacity;
    int32_t strip_metadata;
    int32_t processed;
    int32_t failed;
    uint64_t total_input_bytes;
    uint64_t total_output_bytes;
    int64_t max_pixels;  // 0 (before the first reset) means kDefaultMaxPixels
    int32_t auto_orient;  // 1: turn outputs upright by their EXIF orientation
};

inline constexpr std::size_t kErrCapacity = 512;
inline constexpr std::size_t kStatsCapacity = 192;

extern Context s_ctx;
extern char s_err[kErrCapacity];

// printf into s_err, cut to 511 bytes; returns s_err.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
char* set_err(const char* fmt, ...) noexcept;

inline void clear_err() noexcept { s_err[0] = '\0'; }

// ---- limits ---------------------------------------------------------------------

inline constexpr int64_t kDefaultMaxPixels = 10240LL * 10240LL;
inline constexpr int64_t kMaxPixelsCeiling = 16383LL * 16383LL;
inline constexpr uint32_t kMaxJpegScans = 100;
inline constexpr int32_t kJpegMaxSide = 65535;  // 16-bit sides in the frame header
inline constexpr int32_t kWebpMaxSide = 16383;

// The largest input file read for a pixel limit: raw 16-bit RGBA, plus room
// for metadata, below 2 GiB (the decoders take an int length).
constexpr int64_t max_input_bytes(int64_t max_pixels) noexcept {
    const int64_t n = max_pixels * 8 + (int64_t{64} << 20);
    return n < INT32_MAX ? n : INT32_MAX;
}

inline int64_t effective_max_pixels() noexcept {
    return s_ctx.max_pixels > 0 ? s_ctx.max_pixels : kDefaultMaxPixels;
}

// ---- format identification ----------------------------------------------------

enum Kind : int32_t { kNone = 0, kJpeg = 1, kPng = 2, kBmp = 3, kWebp = 4 };

int32_t detect_format(const uint8_t* bytes, uint64_t length) noexcept;
int32_t fmt_from_ext(const char* path) noexcept;

// Image kind written for an output format setting of 0, 1 or 2.
inline constexpr int32_t kKindForFormat[3] = {kPng, kJpeg, kWebp};
// Output extension text of an image kind 1..4 ("" for kNone).
const char* kind_ext(int32_t kind) noexcept;

// What an image's header declares, read without decoding.
struct ImageHeader {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;          // as stored in the file
    int32_t bytes_per_sample = 1;  // 2 for 16-bit PNG
};

// Reads the header of an image of a known kind; false when it cannot be read.
bool read_header(int32_t kind, const uint8_t* bytes, uint64_t size, ImageHeader& header) noexcept;

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

// The EXIF orientation (1..8) of a TIFF block (optionally after "Exif\0\0"),
// read from IFD 0 with every offset and count checked; 1 ("as stored") for
// anything missing, damaged or out of range.
int32_t exif_orientation(const uint8_t* tiff, uint64_t size) noexcept;

// The orientation an image file declares: a JPEG's APP1 "Exif" segment, a
// PNG's eXIf chunk, an extended WebP's EXIF chunk; 1 when there is none.
int32_t read_orientation(int32_t kind, const uint8_t* bytes, uint64_t size) noexcept;

// ---- the image decoder's allocations ------------------------------------------

// While alive, every allocation of stb_image larger than `bytes` fails as if
// memory had run out, so a compressed stream that inflates far beyond what its
// header declares stops early. stb_image's memory always comes zeroed.
class DecoderAllocLimit {
public:
    explicit DecoderAllocLimit(std::size_t bytes) noexcept;
    ~DecoderAllocLimit();
    DecoderAllocLimit(const DecoderAllocLimit&) = delete;
    DecoderAllocLimit& operator=(const DecoderAllocLimit&) = delete;

private:
    std::size_t saved_;
};

// ---- single-file conversion --------------------------------------------------

struct Size {
    int32_t width;
    int32_t height;
};

// The bounding-box rule: the size an image of w x h takes under the limits
// mw/mh (0 = unlimited). Equal to the input when no resampling is needed.
Size fit_size(int32_t w, int32_t h, int32_t mw, int32_t mh) noexcept;

// Converts one file: rastra_process_file without the export's frame.
int32_t convert_file(const char* input, const char* output) noexcept;

// Turns an RGBA image of w x h stored with EXIF orientation o (1..8) upright.
// Orientations 2 to 4 work in place and return pixels; 5 to 8 exchange width
// and height and write into `turned` (h x w x 4 bytes), returned. Pure.
uint8_t* orient_pixels(uint8_t* pixels, int32_t w, int32_t h, int32_t o, uint8_t* turned) noexcept;

// An RGBA image as a PNG (compression level 8, no forced filter), built in
// one malloc'd buffer; null when memory runs out.
uint8_t* encode_png(const uint8_t* rgba, int32_t width, int32_t height, std::size_t& size) noexcept;

// ---- directory run ------------------------------------------------------------

// One candidate of a directory run, in the run's order: the input and output
// paths it converts between, or, when they cannot be formed, the entry's name
// in `input` and the reason in `message`.
struct Candidate {
    std::string input;
    std::string output;  // empty when the candidate cannot be named
    std::string message;
};

// Lists input_dir once and names every candidate of a run into output_dir.
// False, with the run's message in s_err, when the directory cannot be listed
// or holds no candidate. May throw std::bad_alloc.
bool plan_run(const char* input_dir, const char* output_dir, std::vector<Candidate>& plan);

// Forgets the run observer (the reset functions).
void clear_run_observer() noexcept;

// ---- watermark ----------------------------------------------------------------

// Draws s_ctx's watermark into an RGBA buffer of w x h, in place.
void draw_watermark(uint8_t* pixels, int32_t w, int32_t h) noexcept;

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

// ---- platform layer ---------------------------------------------------------

// Path separator used to join directory and file names.
#if defined(_WIN32)
inline constexpr char kSep = '\\';
#else
inline constexpr char kSep = '/';
#endif

// Size of a file in bytes, or -1 when it cannot be opened or measured.
int64_t file_size(const char* path) noexcept;

// Seeks f to its end and returns the position (64-bit), or -1.
int64_t seek_end(std::FILE* f) noexcept;

// Opens a regular file for reading in binary mode, without blocking on
// anything else (FIFOs, devices, sockets and directories are refused).
FilePtr open_read(const char* path) noexcept;

// True when path names an existing directory.
bool is_directory(const char* path) noexcept;

enum class MkdirResult { kCreated, kExists, kFailed };
// Creates one directory level.
MkdirResult make_dir(const char* path) noexcept;

// Appends the bare name of every entry of dir to names, in the platform's
// order. Returns false when the listing cannot be started. May throw
// std::bad_alloc.
bool list_dir(const char* dir, std::vector<std::string>& names);

// ---- writing outputs ----------------------------------------------------------------

// Writes a complete encoded output to target without ever damaging an existing
// file: a new file or a single-named regular file is replaced whole through a
// temporary file; a symbolic link is followed to the file it names; a file with
// other names, or one where no temporary file can be made, is overwritten in
// place once its new size is reserved; a FIFO or device is written as
// addressed, opened without blocking. True when every byte arrived.
bool write_output(const char* target, const uint8_t* data, std::size_t size) noexcept;

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

}  // namespace rastra

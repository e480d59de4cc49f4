// Internal interface shared by the library's source files. Nothing here is
// exported; tests reach it through the rastra_internal object library.
#pragma once

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

// ---- format identification ----------------------------------------------------

enum Kind : int32_t { kNone = 0, kJpeg = 1, kPng = 2, kBmp = 3, kWebp = 4 };

int32_t detect_format(const uint8_t* bytes, uint64_t length) noexcept;
int32_t fmt_from_ext(const char* path) noexcept;

// Image kind written for an output format setting of 0, 1 or 2.
inline constexpr int32_t kKindForFormat[3] = {kPng, kJpeg, kWebp};
// Output extension text of an image kind 1..4 ("" for kNone).
const char* kind_ext(int32_t kind) noexcept;

// ---- single-file conversion --------------------------------------------------

struct Size {
    int32_t width;
    int32_t height;
};

// The bounding-box rule: the size an image of w x h takes under the limits
// mw/mh (0 = unlimited). Equal to the input when no resampling is needed.
Size fit_size(int32_t w, int32_t h, int32_t mw, int32_t mh) noexcept;

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

// Opens path for reading in binary mode; a directory is refused.
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

// True when target may be replaced by a new file moved over it: nothing is
// there yet, or a plain regular file we may write that has no other names.
bool is_replaceable(const char* target) noexcept;

// Creates path exclusively (errno EEXIST when it exists) for writing in binary
// mode, with the permissions of `like` when that exists.
std::FILE* create_exclusive(const char* path, const char* like) noexcept;

// The calling process's id, to tell temporary names of processes apart.
long process_id() noexcept;

// Moves from over to, replacing it.
bool replace_file(const char* from, const char* to) noexcept;

// An output being written: a temporary file beside the target that replaces
// it on commit(), or, when the target is not replaceable or no temporary file
// can be made beside it, the target itself. An uncommitted temporary file is
// removed, so a failed write never touches an existing target.
class OutputFile {
public:
    explicit OutputFile(const char* target) noexcept;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool is_open() const noexcept { return file_ != nullptr; }
    // Appends bytes; a failure is remembered and reported by commit().
    void write(const void* data, std::size_t size) noexcept;
    // Flushes, closes and moves the file into place. True on success.
    bool commit() noexcept;

private:
    void discard() noexcept;

    const char* target_;
    std::FILE* file_ = nullptr;
    char* temp_ = nullptr;  // malloc'd path of the temporary file, or null
    bool ok_ = true;
};

}  // namespace rastra

/*
 * rastra: batch image conversion behind a flat C interface.
 *
 * Reads JPEG, PNG, BMP and WebP; shrinks to fit a bounding box; stamps a white
 * bitmap-font watermark in the bottom-right corner; writes JPEG, PNG, BMP or
 * lossy WebP.
 *
 * Conventions shared by every function below:
 *  - One process-wide context holds the settings and the statistics. Calls
 *    must not overlap: the host serialises them (no function is thread-safe).
 *  - Results are 1 for success and 0 for failure; the reason for a failure is
 *    the text returned by rastra_last_error(). No function throws, aborts or
 *    logs.
 *  - Setters never fail: a value outside its documented range is ignored
 *    silently and leaves every setting as it was.
 *  - Paths are NUL-terminated narrow byte strings passed to the platform
 *    unchanged (on Windows, the active code page).
 *  - Returned text points into static buffers owned by the library; it stays
 *    valid until the next call into the library may rewrite it. Never free it.
 */
#ifndef RASTRA_H
#define RASTRA_H

#include <stdint.h>

#ifndef RASTRA_API
#  if defined(_WIN32) || defined(__CYGWIN__)
#    if defined(RASTRA_BUILD)
#      define RASTRA_API __declspec(dllexport)
#    else
#      define RASTRA_API __declspec(dllimport)
#    endif
#  elif defined(__GNUC__)
#    define RASTRA_API __attribute__((visibility("default")))
#  else
#    define RASTRA_API
#  endif
#endif

#if defined(__cplusplus) && __cplusplus >= 201103L
#  define RASTRA_NOEXCEPT noexcept
#else
#  define RASTRA_NOEXCEPT
#endif

#define RASTRA_VERSION_MAJOR 0
#define RASTRA_VERSION_MINOR 1
#define RASTRA_VERSION_PATCH 0

/* Output format settings for rastra_set_format(). */
#define RASTRA_FORMAT_AUTO (-1) /* from the output (else input) file's extension */
#define RASTRA_FORMAT_PNG 0
#define RASTRA_FORMAT_JPEG 1
#define RASTRA_FORMAT_WEBP 2

/* Accepted ranges of the setters. */
#define RASTRA_QUALITY_MIN 0
#define RASTRA_QUALITY_MAX 100
#define RASTRA_WATERMARK_SIZE_MIN 3
#define RASTRA_WATERMARK_SIZE_MAX 512
#define RASTRA_WATERMARK_TEXT_MAX 255 /* bytes kept of a longer text */

/* Capacity of the buffers behind rastra_last_error() and rastra_stats(),
 * terminating NUL included. */
#define RASTRA_ERROR_CAPACITY 512
#define RASTRA_STATS_CAPACITY 192

/* Input limits, checked before anything is decoded, so that a hostile file
 * fails fast and in bounded memory (see rastra_process_file()).
 *
 * RASTRA_MAX_PIXELS_DEFAULT: the most pixels (width x height) an input may
 *   declare, unless rastra_set_max_pixels() says otherwise. 10240 x 10240: a
 *   100-megapixel camera photo converts. One conversion at this limit peaks
 *   at about 1.2 GiB for a baseline JPEG or an 8-bit PNG, BMP or WebP; the
 *   decoder's wider buffers take a progressive JPEG with full-resolution
 *   colour to about 1.4 GiB and a 16-bit PNG to about 1.6 GiB plus twice its
 *   file size. Memory grows with the limit in proportion.
 * RASTRA_MAX_PIXELS_CEILING: the most rastra_set_max_pixels() accepts,
 *   16383 x 16383, the most every decoder and encoder holds without its size
 *   arithmetic overflowing.
 * RASTRA_MAX_INPUT_BYTES(max_pixels): the largest input file read, 8 bytes per
 *   allowed pixel (raw 16-bit RGBA) plus 64 MiB for metadata, and never 2 GiB
 *   or more. No valid image within the pixel limit needs a larger file.
 * RASTRA_MAX_JPEG_SCANS: the most scans a JPEG may hold. Each scan of a
 *   progressive JPEG costs a pass over the whole image; real files have about
 *   ten. */
#define RASTRA_MAX_PIXELS_DEFAULT 104857600
#define RASTRA_MAX_PIXELS_CEILING 268402689
#define RASTRA_MAX_INPUT_BYTES(max_pixels)                          \
    ((int64_t)(max_pixels) * 8 + 67108864 < 2147483647              \
         ? (int64_t)(max_pixels) * 8 + 67108864 : (int64_t)2147483647)
#define RASTRA_MAX_JPEG_SCANS 100

/* Output limits of the formats themselves: a side longer than this fails with
 * "process_file: image too large for JPEG|WebP: <output>". */
#define RASTRA_JPEG_MAX_SIDE 65535
#define RASTRA_WEBP_MAX_SIDE 16383

/* The longest input or output path a directory run builds, in bytes. */
#define RASTRA_PATH_MAX 4095

#ifdef __cplusplus
extern "C" {
#endif

/* Reset every setting to its default and zero the statistics; empty the last
 * error. Defaults: no resize, format RASTRA_FORMAT_AUTO, quality 90, no
 * watermark, strip_metadata 1. Always returns 1. Before the first call of
 * rastra_init/rastra_cleanup/rastra_reset every field is zero, so the format
 * is RASTRA_FORMAT_PNG and the quality 0. */
RASTRA_API int32_t rastra_init(void) RASTRA_NOEXCEPT;

/* Same as rastra_init(), without a result. Nothing is held between calls, so
 * there is nothing to release; the library can be used again at once. */
RASTRA_API void rastra_cleanup(void) RASTRA_NOEXCEPT;

/* Reset settings and statistics like rastra_init(), but leave the last error
 * readable. */
RASTRA_API void rastra_reset(void) RASTRA_NOEXCEPT;

/* Bounding box for every later conversion. Images are shrunk to fit, keeping
 * their aspect ratio, and never enlarged. A side of 0 leaves that side
 * unlimited; (0, 0) turns resizing off. A negative value on either side
 * changes nothing. */
RASTRA_API void rastra_set_resize(int32_t max_width, int32_t max_height) RASTRA_NOEXCEPT;

/* Output format: RASTRA_FORMAT_AUTO (-1), PNG (0), JPEG (1) or WebP (2). In
 * automatic mode the output path's extension decides (.jpg/.jpeg, .png, .bmp,
 * .webp), else the input path's. A fixed format is written whatever the
 * output path's extension says. Other values change nothing. */
RASTRA_API void rastra_set_format(int32_t format) RASTRA_NOEXCEPT;

/* Encoder quality 0..100 for JPEG and WebP (JPEG uses at least 1). PNG and
 * BMP are lossless and ignore it. Other values change nothing. */
RASTRA_API void rastra_set_quality(int32_t quality) RASTRA_NOEXCEPT;

/* Watermark drawn in white in the bottom-right corner of every later output.
 * text: NUL-terminated bytes; the first RASTRA_WATERMARK_TEXT_MAX are kept
 *       (the string is copied, the caller keeps ownership). Bytes the built-in
 *       font lacks, and every byte >= 128, are drawn as '?'.
 * size: line height in pixels, 3..512. opacity: 0.0 (invisible) .. 1.0.
 * Changes nothing when text is NULL, size or opacity is out of range, or text
 * is empty (an earlier watermark then stays in force; only the reset
 * functions remove a watermark). */
RASTRA_API void rastra_set_watermark(const char *text, int32_t size, float opacity) RASTRA_NOEXCEPT;

/* Stored only: outputs are always encoded from decoded pixels alone and never
 * carry the input's metadata, whatever this flag holds. Non-zero stores 1. */
RASTRA_API void rastra_set_strip_metadata(int32_t strip_metadata) RASTRA_NOEXCEPT;

/* Turn outputs upright: with a non-zero value, every later conversion reads
 * the input's EXIF orientation (a JPEG's APP1 "Exif" segment, a PNG's eXIf
 * chunk, an extended WebP's EXIF chunk) and turns or mirrors the image so it
 * stands as the photographer saw it. The bounding box applies to the upright
 * image, and the watermark goes in its bottom-right corner. A missing,
 * damaged or out-of-range tag (anything but 1..8) means "as stored", never a
 * failure. 0, the default after the reset functions, converts every image as
 * stored. */
RASTRA_API void rastra_set_auto_orient(int32_t enabled) RASTRA_NOEXCEPT;

/* The most pixels (width x height, read from the file's header before
 * decoding) an input may have; larger images fail with "process_file: image
 * too large: <input>", as do input files larger than
 * RASTRA_MAX_INPUT_BYTES(max_pixels). Accepts 1..RASTRA_MAX_PIXELS_CEILING;
 * other values change nothing. The reset functions restore
 * RASTRA_MAX_PIXELS_DEFAULT, which also holds before the first of them. */
RASTRA_API void rastra_set_max_pixels(int64_t max_pixels) RASTRA_NOEXCEPT;

/* Cumulative statistics since the last reset, as one line of JSON:
 *   {"processed":N,"failed":N,"total_input_bytes":N,"total_output_bytes":N}
 * processed counts successful conversions (direct and in runs); failed counts
 * files that failed inside rastra_run; the byte totals sum the input and
 * output file sizes of the successful conversions. Returns a static buffer,
 * the same pointer on every call, rewritten by the next rastra_stats(). */
RASTRA_API const char *rastra_stats(void) RASTRA_NOEXCEPT;

/* Text of the last failure ("process_file: ...", "run: ...", "resize: ..."),
 * at most RASTRA_ERROR_CAPACITY - 1 bytes, or "" when rastra_init/
 * rastra_cleanup, a successful rastra_process_file or a rastra_run that got
 * past its argument checks came after it. Returns a static buffer, the same
 * pointer on every call, rewritten by later calls. Never NULL. */
RASTRA_API const char *rastra_last_error(void) RASTRA_NOEXCEPT;

/* Convert one file. input is read whole and recognised by its leading bytes
 * (JPEG, PNG, BMP or WebP; the name does not matter); output is created or
 * replaced. input and output may be the same path.
 *
 * Inputs: only regular files are read; a FIFO, socket or device fails at once
 * with "cannot read", without blocking. Before decoding, the file's size and
 * the pixel count in its header are checked against the limits above, and a
 * JPEG's scans are counted. A JPEG or BMP cut short converts, its missing part
 * drawn as the decoder fills it (grey, black); a PNG or WebP cut short, a
 * progressive JPEG that does not reach its end marker and a JPEG without
 * image data fail with "cannot decode". No output ever holds memory the
 * decoder did not write.
 *
 * Outputs: the whole output is encoded in memory before the target is
 * touched, and a failed write never damages an existing file:
 *  - a new file, or an existing regular file with a single name, is written
 *    to a temporary file in the same directory (without a name while it is
 *    written, where the platform allows it) and moved over the target only
 *    when complete; a replaced file keeps its permissions (attributes on
 *    Windows);
 *  - a symbolic link is followed: the file it points to is replaced that way,
 *    and the link stays a link;
 *  - a file with other names (hard links), or one in a directory where no
 *    temporary file can be made, is overwritten in place, keeping every name,
 *    but only once the space for the new content is reserved; when it cannot
 *    be, the call fails and the file is left as it was;
 *  - a FIFO or device is written as addressed, without blocking to open it
 *    (a FIFO without a reader fails with "cannot write");
 *  - an output larger than the process may write (RLIMIT_FSIZE) fails before
 *    anything is written.
 *
 * Returns 1 on success (adds 1 to processed and both file sizes to the byte
 * totals, empties the last error) or 0 with one of these messages:
 *   "process_file: NULL input/output"
 *   "process_file: cannot read <input>"     (missing, empty, unreadable, not
 *                                            a regular file)
 *   "process_file: image too large: <input>" (over the pixel or size limit)
 *   "process_file: unsupported image format: <input>"
 *   "process_file: cannot decode <input>"   (corrupt data, more than
 *                                            RASTRA_MAX_JPEG_SCANS scans)
 *   "resize: out of memory"
 *   "process_file: cannot determine output format from <output>"
 *   "process_file: image too large for JPEG: <output>" (a side over
 *                                            RASTRA_JPEG_MAX_SIDE)
 *   "process_file: image too large for WebP: <output>" (a side over
 *                                            RASTRA_WEBP_MAX_SIDE)
 *   "process_file: cannot write <output>"
 *   "process_file: out of memory"           (any other allocation)
 * Direct calls never change the failed count. */
RASTRA_API int32_t rastra_process_file(const char *input, const char *output) RASTRA_NOEXCEPT;

/* Convert every recognised image of input_dir (by extension: .jpg, .jpeg,
 * .png, .bmp, .webp, any case; dot-files skipped; no recursion) into
 * output_dir, which is created level by level when missing. Each output is
 * named after its input's stem with the extension of the written format
 * ("jpg", "png", "bmp", "webp"); in automatic mode an input keeps its format.
 * Outputs are written as rastra_process_file() writes them: symbolic links
 * in output_dir are followed, and existing files are never damaged.
 * A failing file never stops the run: it adds 1 to failed and leaves its
 * message (prefixed with "run: " for the first failure since the last reset),
 * and the run goes on with the next file.
 * rastra_plan_run() lists the same candidates in the same order, and an
 * observer (rastra_set_run_observer()) sees each as it is done.
 * Returns 1 when this run converted at least one file, else 0 with:
 *   "run: NULL input_dir/output_dir"
 *   "run: cannot create output dir <output_dir>"
 *   "run: cannot open directory <input_dir>"   (also for an empty input_dir)
 *   "run: no images found in <input_dir>"
 *   "run: out of memory"                           (listing the directory)
 *   or the message of the run's last failed file. A candidate whose input or
 *   output path would exceed RASTRA_PATH_MAX bytes is not converted and fails
 *   with "run: path too long: <name>". The whole listing is read before the
 *   first conversion, so outputs written into input_dir are never taken as
 *   inputs. */
RASTRA_API int32_t rastra_run(const char *input_dir, const char *output_dir) RASTRA_NOEXCEPT;

/* ---- Opening a directory run to the host ------------------------------------
 *
 * Callbacks are plain C functions: they receive the user pointer given with
 * them, and every path or message they receive is valid during the call only
 * (copy what you keep). A callback must return normally: it must not throw, and
 * must not longjmp out of the library. It may read rastra_stats() and
 * rastra_last_error(), but must not call any other function of this library. */

/* Receives one candidate of a planned run. input is the input path and output
 * the output path rastra_run() would convert between; message is NULL. For a
 * candidate that cannot be named (a path over RASTRA_PATH_MAX bytes), input is
 * the entry's bare name, output is NULL and message is the failure
 * rastra_run() would report ("run: path too long: <name>"). */
typedef void (*rastra_plan_callback)(void *user, const char *input, const char *output, const char *message);

/* Plans a directory run without converting anything: checks the arguments,
 * creates output_dir when missing and lists input_dir once, exactly as
 * rastra_run() does with the current settings, then calls callback (which may
 * be NULL) once per candidate, in the order rastra_run() converts them, with
 * the paths it would use. Returns the number of candidates (1 or more), or 0
 * with rastra_run()'s message: "run: NULL input_dir/output_dir", "run: cannot
 * create output dir <output_dir>", "run: cannot open directory <input_dir>",
 * "run: no images found in <input_dir>", "run: out of memory". Empties the last
 * error once the arguments are checked. Changes no statistics. */
RASTRA_API int32_t rastra_plan_run(const char *input_dir, const char *output_dir, rastra_plan_callback callback,
                                   void *user) RASTRA_NOEXCEPT;

/* Called by rastra_run() after each candidate, in order: input and output as
 * rastra_plan_run() passes them, converted 1 or 0, and message NULL when it
 * converted, else the file's own message (without the "run: " prefix the
 * last error may give the first failure). Return 0 to go on; any other value
 * stops the run before its next candidate: rastra_run() then returns as usual
 * for what it did, with the last error "run: stopped by the observer after
 * <done> of <total> files". */
typedef int32_t (*rastra_run_observer)(void *user, const char *input, const char *output, int32_t converted,
                                       const char *message);

/* Sets the observer of every later rastra_run() (NULL: none, as after the
 * reset functions, which also clear it). The library keeps the two pointers,
 * never what they point to. Without an observer, rastra_run() behaves as if
 * this function did not exist. */
RASTRA_API void rastra_set_run_observer(rastra_run_observer observer, void *user) RASTRA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* RASTRA_H */

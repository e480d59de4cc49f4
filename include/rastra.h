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
 * replaced. An existing regular output file is replaced only once the new
 * file has been written completely; on failure it is left untouched. input
 * and output may be the same path.
 * Returns 1 on success (adds 1 to processed and both file sizes to the byte
 * totals, empties the last error) or 0 with one of these messages:
 *   "process_file: NULL input/output"
 *   "process_file: cannot read <input>"            (missing, empty, unreadable)
 *   "process_file: unsupported image format: <input>"
 *   "process_file: cannot decode <input>"          (corrupt or truncated data)
 *   "resize: out of memory"
 *   "process_file: cannot determine output format from <output>"
 *   "process_file: cannot write <output>"
 *   "process_file: out of memory"                  (any other allocation)
 * Direct calls never change the failed count. */
RASTRA_API int32_t rastra_process_file(const char *input, const char *output) RASTRA_NOEXCEPT;

/* Convert every recognised image of input_dir (by extension: .jpg, .jpeg,
 * .png, .bmp, .webp, any case; dot-files skipped; no recursion) into
 * output_dir, which is created level by level when missing. Each output is
 * named after its input's stem with the extension of the written format
 * ("jpg", "png", "bmp", "webp"); in automatic mode an input keeps its format.
 * A failing file never stops the run: it adds 1 to failed and leaves its
 * message (prefixed with "run: " for the first failure since the last reset).
 * Returns 1 when this run converted at least one file, else 0 with:
 *   "run: NULL input_dir/output_dir"
 *   "run: cannot create output dir <output_dir>"
 *   "run: cannot open directory <input_dir>"
 *   "run: no images found in <input_dir>"
 *   "run: out of memory"                           (listing the directory)
 *   or the message of the run's last failed file. A candidate whose input or
 *   output path would exceed 4095 bytes is not converted and fails with
 *   "run: path too long: <name>". The whole listing is read before the first
 *   conversion, so outputs written into input_dir are never taken as inputs. */
RASTRA_API int32_t rastra_run(const char *input_dir, const char *output_dir) RASTRA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* RASTRA_H */

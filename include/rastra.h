/*
 * rastra: batch image conversion behind a flat C interface.
 *
 * Reads JPEG, PNG, BMP and WebP; shrinks to fit a bounding box; stamps a white
 * bitmap-font watermark in the bottom-right corner; writes JPEG, PNG, BMP or
 * lossy WebP.
 *
 * Two interfaces share one conversion core:
 *  - The process-wide interface (rastra_init ... rastra_set_run_observer):
 *    one context holds the settings, the statistics and the last error. Its
 *    calls must not overlap: the host serialises them.
 *  - The settings interface (rastra_settings_new ... rastra_plan, below):
 *    settings live in objects the caller owns, results and messages come back
 *    with each call, and nothing is shared. Any number of threads may use it
 *    at once, beside a thread that uses the process-wide interface.
 *  - rastra_same_file() tells whether two paths name one file, sharing
 *    nothing either.
 *
 * Conventions shared by every function below:
 *  - Results are 1 for success and 0 for failure; the reason for a failure is
 *    the text returned by rastra_last_error() (process-wide interface) or
 *    written into the caller's buffer (settings interface). No function
 *    throws, aborts or logs.
 *  - Setters never fail: a value outside its documented range is ignored
 *    silently and leaves every setting as it was.
 *  - Paths are NUL-terminated narrow byte strings passed to the platform
 *    unchanged. On Windows they are in the process's active code page: a name
 *    that code page cannot spell cannot be opened. A host that needs every
 *    name gives its program a manifest selecting UTF-8 as the active code
 *    page (activeCodePage, Windows 10 1903 and later; rastra.exe has one) and
 *    passes UTF-8.
 *  - Text returned by the process-wide interface points into static buffers
 *    owned by the library; it stays valid until the next call into the
 *    library may rewrite it. Never free it.
 */
#ifndef RASTRA_H
#define RASTRA_H

#include <stddef.h>
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
/* BMP: accepted by rastra_settings_set_format() only (rastra_set_format()
 * ignores it), and the format rastra_probe() reports for a BMP input. */
#define RASTRA_FORMAT_BMP 3
/* No format: an input not (yet) recognised, in rastra_result. */
#define RASTRA_FORMAT_UNKNOWN (-2)

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
 * RASTRA_MAX_INPUT_BYTES(max_pixels): the largest input read, from a file or
 *   from memory, 8 bytes per allowed pixel (raw 16-bit RGBA) plus 64 MiB for
 *   metadata, and never 2 GiB or more. No valid image within the pixel limit
 *   needs a larger file.
 * RASTRA_MAX_JPEG_SCANS: the most scans a JPEG may hold. Each scan of a
 *   progressive JPEG costs a pass over the whole image; real files have about
 *   ten.
 * RASTRA_MAX_SIDE: the longest side an input may declare, whatever its pixel
 *   count; a longer one fails with "image too large", in every format and
 *   codec set. The resampler's precision runs out near 2^24 pixels on one
 *   axis; ten million stays well below it.
 * RASTRA_RESAMPLER_BUDGET_MIN: what shrinking an image to the box may spend
 *   on the resampler's tables, or the decoded image's own size (its width x
 *   height x 4 bytes) when that is larger. The tables cost up to 96 bytes per
 *   row and column of the input, so only a thin image passes the budget
 *   (1 x 10,000,000 would need about 900 MiB): it is first shrunk by a whole
 *   factor on its long axis, averaging blocks of pixels in linear light
 *   weighted by alpha, to about twice the box, and then resampled as any
 *   image is; one shrunk by less than four times (where no box helps) has
 *   the area each output pixel covers averaged instead, in the same way.
 *   Every other image is resampled in one pass, as before. Any input within
 *   the limits peaks within twice the memory of a square image of its
 *   pixels. */
#define RASTRA_MAX_PIXELS_DEFAULT 104857600
#define RASTRA_MAX_PIXELS_CEILING 268402689
#define RASTRA_MAX_INPUT_BYTES(max_pixels)                          \
    ((int64_t)(max_pixels) * 8 + 67108864 < 2147483647              \
         ? (int64_t)(max_pixels) * 8 + 67108864 : (int64_t)2147483647)
#define RASTRA_MAX_JPEG_SCANS 100
#define RASTRA_MAX_SIDE 10000000
#define RASTRA_RESAMPLER_BUDGET_MIN 16777216

/* What an embedded ICC profile may cost. Before Little CMS reads a profile,
 * its structure is checked: at most RASTRA_PROFILE_MAX_TAGS tags, each within
 * the profile; colour lookup tables of at most RASTRA_PROFILE_MAX_CLUT_ENTRIES
 * entries (grid points to the power of the inputs, times the outputs: real
 * profiles hold up to 33^4 x 3); multi-process-element pipelines of at most
 * RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS elements (real ones hold a handful;
 * their elements may share bytes, so a tiny profile could otherwise ask for
 * hundreds of thousands). A profile outside these limits is treated as
 * damaged: the image converts as if untagged (RASTRA_COLOR_SRGB) and the
 * profile is not kept (RASTRA_COLOR_KEEP). Building one conversion's
 * transform may then allocate at most RASTRA_COLOR_BUDGET bytes in all (real
 * profiles need a few megabytes); past it, the profile counts as damaged
 * too. The transform is built only once the image has decoded. */
#define RASTRA_PROFILE_MAX_TAGS 100
#define RASTRA_PROFILE_MAX_CLUT_ENTRIES 4194304
#define RASTRA_PROFILE_MAX_PIPELINE_ELEMENTS 32
#define RASTRA_COLOR_BUDGET 134217728

/* Output limits of the formats themselves: a side longer than this fails with
 * "process_file: image too large for JPEG|WebP|PNG: <output>". A PNG may be
 * at most RASTRA_PNG_MAX_WIDTH pixels wide (its encoder's row arithmetic). */
#define RASTRA_JPEG_MAX_SIDE 65535
#define RASTRA_WEBP_MAX_SIDE 16383
#define RASTRA_PNG_MAX_WIDTH 4194303

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

/* Stored only: nothing reads this flag. Outputs carry none of the input's
 * metadata unless rastra_set_keep_metadata() or RASTRA_COLOR_KEEP asks for
 * it, whatever this flag holds. Non-zero stores 1. */
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

/* Colour modes for rastra_set_color(). */
#define RASTRA_COLOR_IGNORE 0 /* pixels as decoded, outputs untagged (default) */
#define RASTRA_COLOR_SRGB 1   /* convert from the embedded profile to sRGB */
#define RASTRA_COLOR_KEEP 2   /* pixels as decoded, the profile embedded */

/* What happens to an input's embedded ICC profile (a JPEG's APP2
 * "ICC_PROFILE" segments, a PNG's iCCP chunk, an extended WebP's ICCP chunk):
 *  - RASTRA_COLOR_IGNORE (0, the default after the reset functions and before
 *    them): the profile is dropped and the pixels written as decoded, so
 *    viewers read them as sRGB; every output is what it was before this
 *    setting existed.
 *  - RASTRA_COLOR_SRGB (1): the pixels are converted from the profile to sRGB
 *    with Little CMS, perceptual intent (for the matrix profiles of phones
 *    and cameras, Display P3 and Adobe RGB, the same as relative
 *    colorimetric), alpha kept; the output is untagged. The conversion runs
 *    after the bounding box has shrunk the image (on fewer pixels; the
 *    resampler weighs pixels in linear light through the sRGB curve, which
 *    P3 shares) and before the watermark is drawn. Untagged inputs, PNGs
 *    with an sRGB chunk and profiles that map every colour to itself within
 *    one unit (sRGB under any name) are left byte for byte as with 0.
 *  - RASTRA_COLOR_KEEP (2): the pixels are written as decoded and an RGB
 *    profile is embedded in the output (JPEG APP2, PNG iCCP, WebP ICCP). BMP
 *    carries none and is written as with 0; a grey profile cannot describe
 *    the colour pixels rastra writes and is left out.
 * A profile that is missing, damaged, larger than 4 MiB, or that does not
 * describe the decoded pixels (a CMYK profile, a grey profile on a colour
 * image) is ignored: the image converts as if untagged, never fails for it.
 * RASTRA_KEEP_ICC in rastra_set_keep_metadata() means RASTRA_COLOR_KEEP,
 * whatever this setting holds. Other values change nothing. */
RASTRA_API void rastra_set_color(int32_t mode) RASTRA_NOEXCEPT;

/* Metadata parts for rastra_set_keep_metadata(), combined with |. */
#define RASTRA_KEEP_EXIF 1u /* camera data, copyright, orientation */
#define RASTRA_KEEP_XMP 2u  /* the XMP packet */
#define RASTRA_KEEP_ICC 4u  /* the ICC profile: as RASTRA_COLOR_KEEP */
#define RASTRA_KEEP_ALL 7u

/* Copies the input's metadata parts named in mask into every later output,
 * in the output format's own container: EXIF as a JPEG APP1 "Exif" segment,
 * a PNG eXIf chunk or a WebP EXIF chunk; XMP as a JPEG APP1 XMP segment, a
 * PNG iTXt "XML:com.adobe.xmp" chunk or a WebP "XMP " chunk; the profile as
 * RASTRA_COLOR_KEEP writes it. BMP carries none. When the pixels were turned
 * upright (rastra_set_auto_orient), a kept EXIF block says orientation 1. A
 * part too large for its container (a JPEG segment holds 65533 bytes: EXIF
 * blocks up to 65527 bytes, XMP packets up to 65504; a profile is split over
 * as many APP2 segments as it needs) or damaged (EXIF without a TIFF header)
 * is left out, never failing the file. 0, the default after the reset
 * functions and before them, keeps nothing. A mask with bits other than
 * RASTRA_KEEP_ALL changes nothing. */
RASTRA_API void rastra_set_keep_metadata(uint32_t mask) RASTRA_NOEXCEPT;

/* Codec sets for rastra_set_codecs(). */
#define RASTRA_CODECS_REFERENCE 0 /* stb_image, stb_image_write, libwebp (default) */
#define RASTRA_CODECS_FAST 1      /* libjpeg-turbo, libspng with zlib, libwebp */

/* The codecs every later conversion uses.
 *  - RASTRA_CODECS_REFERENCE (0, the default after the reset functions and
 *    before them): stb_image decodes JPEG, PNG and BMP; stb_image_write
 *    encodes JPEG (4:2:0 up to quality 90, 4:4:4 above), PNG (RGBA, its
 *    deflate at level 8) and BMP; libwebp decodes and encodes WebP. Every
 *    output is what it was before this setting existed.
 *  - RASTRA_CODECS_FAST (1): libjpeg-turbo decodes JPEG and, when the box
 *    shrinks an image to half its size or less, decodes it straight at 1/2,
 *    1/4 or 1/8 scale (the smallest that still leaves both sides at least as
 *    large as the box needs) before the resampler finishes the job;
 *    libjpeg-turbo encodes JPEG with optimised Huffman tables and the same
 *    chroma subsampling as the reference set at each quality (so files are
 *    smaller, pixels nearly the same); libspng decodes PNG and encodes it
 *    with zlib at rastra_set_png_level()'s level, as RGB when every pixel is
 *    opaque; libwebp scales a WebP it decodes to an intermediate size of at
 *    least twice the box on each side. BMP and WebP encoding are those of
 *    the reference set. Output sizes are the same in both sets; the limits,
 *    orientation, colour, watermark, metadata and messages hold alike.
 * What counts as decoded: a JPEG whose data libjpeg-turbo reports missing
 * or corrupt (premature end of the file or of a data segment, a bad Huffman
 * or arithmetic code, a lost restart marker, an inconsistent progression)
 * fails with "cannot decode" in the fast set and never counts as processed;
 * its harmless warnings (extraneous bytes before a marker, an unknown JFIF
 * revision or Adobe transform, a bad ICC marker) do not. stb_image decides
 * for itself: it fills a baseline JPEG cut short when the missing data
 * decodes as valid codes, and fails it otherwise. In either set a PNG is
 * decoded from its critical chunks and tRNS alone: any other ancillary chunk
 * is skipped, however large, malformed or numerous.
 * Other values change nothing. */
RASTRA_API void rastra_set_codecs(int32_t codecs) RASTRA_NOEXCEPT;

/* zlib's compression level (1 fastest .. 9 smallest) for PNG outputs of the
 * fast codec set; the reference set ignores it. Default
 * RASTRA_PNG_LEVEL_DEFAULT, 7, chosen by measurement on RGBA photographs
 * fitted to 800 x 600: files a third smaller than the reference set's and as
 * small as ImageMagick's defaults write (within 0.2 %); level 6 is 1 % larger
 * and a quarter faster to write, level 8 1.4 % smaller and over twice as slow.
 * Other values change nothing. */
#define RASTRA_PNG_LEVEL_DEFAULT 7
RASTRA_API void rastra_set_png_level(int32_t level) RASTRA_NOEXCEPT;

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
 * Returns 1 on success (adds 1 to processed, the input's size as read and the
 * output's as written to the byte totals, empties the last error) or 0 with
 * one of these messages:
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
 *   "process_file: image too large for PNG: <output>" (wider than
 *                                            RASTRA_PNG_MAX_WIDTH)
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

/* ---- The settings interface: no shared state, any number of threads ---------
 *
 * Settings live in objects the caller creates and frees; every conversion
 * takes one and returns its own result and message. These functions never
 * read or change the process-wide context: not its settings, statistics,
 * last error or observer.
 *
 * Threads: any number of threads may call the functions below at once, with
 * separate or shared settings objects, provided no thread changes a settings
 * object (a rastra_settings_set_* call or rastra_settings_free) while another
 * converts with it. They may run beside one thread that uses the
 * process-wide interface above. A conversion's memory is its own: about the
 * peak of one rastra_process_file() per thread converting at once.
 *
 * For the same settings, rastra_convert_file() writes exactly the bytes
 * rastra_process_file() writes, and rastra_convert() returns them. */

/* An opaque set of conversion settings, owned by the caller. */
typedef struct rastra_settings rastra_settings;

/* A new settings object holding the defaults of rastra_init(): no resize,
 * RASTRA_FORMAT_AUTO, quality 90, no watermark, no turning upright,
 * RASTRA_MAX_PIXELS_DEFAULT, RASTRA_COLOR_IGNORE, no metadata kept. NULL when memory runs out. Free it with
 * rastra_settings_free(). */
RASTRA_API rastra_settings *rastra_settings_new(void) RASTRA_NOEXCEPT;

/* Frees a settings object; NULL is fine. */
RASTRA_API void rastra_settings_free(rastra_settings *settings) RASTRA_NOEXCEPT;

/* The setters take the ranges of the process-wide setters of the same name
 * and, like them, change nothing for a value out of range or a NULL
 * settings object:
 *  - resize: as rastra_set_resize();
 *  - format: RASTRA_FORMAT_AUTO, PNG, JPEG, WEBP, and RASTRA_FORMAT_BMP (a
 *    32-bit BMP with alpha). In memory (rastra_convert) automatic keeps the
 *    input's format; for files it follows the extensions as
 *    rastra_process_file() does;
 *  - quality: 0..100, as rastra_set_quality();
 *  - watermark: as rastra_set_watermark() (the text is copied; an empty text
 *    keeps an earlier watermark);
 *  - auto_orient: non-zero turns outputs upright, as rastra_set_auto_orient();
 *  - max_pixels: 1..RASTRA_MAX_PIXELS_CEILING, as rastra_set_max_pixels();
 *  - color: RASTRA_COLOR_IGNORE, SRGB or KEEP, as rastra_set_color();
 *  - keep_metadata: RASTRA_KEEP_* bits, as rastra_set_keep_metadata();
 *  - codecs: RASTRA_CODECS_REFERENCE or RASTRA_CODECS_FAST, as
 *    rastra_set_codecs();
 *  - png_level: 1..9, as rastra_set_png_level();
 *  - webp_lossless: non-zero writes WebP outputs losslessly (the quality
 *    then sets the effort), in either codec set; 0, the default, lossy. */
RASTRA_API void rastra_settings_set_resize(rastra_settings *settings, int32_t max_width,
                                           int32_t max_height) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_format(rastra_settings *settings, int32_t format) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_quality(rastra_settings *settings, int32_t quality) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_watermark(rastra_settings *settings, const char *text, int32_t size,
                                              float opacity) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_auto_orient(rastra_settings *settings, int32_t enabled) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_max_pixels(rastra_settings *settings, int64_t max_pixels) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_color(rastra_settings *settings, int32_t mode) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_keep_metadata(rastra_settings *settings, uint32_t mask) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_codecs(rastra_settings *settings, int32_t codecs) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_png_level(rastra_settings *settings, int32_t level) RASTRA_NOEXCEPT;
RASTRA_API void rastra_settings_set_webp_lossless(rastra_settings *settings, int32_t enabled) RASTRA_NOEXCEPT;

/* Converts an image held in memory. settings: NULL means the defaults of
 * rastra_settings_new(). input/input_size: the file's bytes (any of the four
 * formats, recognised by its leading bytes); read only, never kept. Memory is
 * held to the limit of a file: more than RASTRA_MAX_INPUT_BYTES(max_pixels)
 * bytes (never 2 GiB or more) fail with "convert: image too large: input"
 * (RASTRA_REASON_TOO_LARGE) before any byte is read.
 * On success returns 1, with *output pointing to the encoded file (free it
 * with rastra_free()) and *output_size its length. On failure returns 0,
 * sets *output to NULL and *output_size to 0, and writes the message into
 * error: the texts of rastra_process_file() with "convert: " for
 * "process_file: " and "input"/"output" for the paths (for example
 * "convert: cannot decode input", "convert: image too large: input",
 * "convert: cannot read input" for 0 bytes), plus "convert: NULL
 * input/output" for a NULL input (with a non-zero size), output or
 * output_size. The message is cut to error_capacity - 1 bytes and
 * always NUL-terminated; error may be NULL (or error_capacity 0) when the
 * message is not wanted. */
RASTRA_API int32_t rastra_convert(const rastra_settings *settings, const void *input, size_t input_size,
                                  void **output, size_t *output_size, char *error,
                                  size_t error_capacity) RASTRA_NOEXCEPT;

/* Converts one file, as rastra_process_file() does (the same limits, output
 * safety and messages), with these settings. Returns 1 or 0 with the message
 * in error (cut and terminated as for rastra_convert(); NULL is fine). */
RASTRA_API int32_t rastra_convert_file(const rastra_settings *settings, const char *input, const char *output,
                                       char *error, size_t error_capacity) RASTRA_NOEXCEPT;

/* Frees a buffer returned by rastra_convert(); NULL is fine. */
RASTRA_API void rastra_free(void *buffer) RASTRA_NOEXCEPT;

/* Why a conversion failed, for hosts that act on it (rastra_result.reason).
 * The message stays the text to show; these never change meaning. */
#define RASTRA_REASON_NONE 0              /* converted */
#define RASTRA_REASON_BAD_ARGUMENT 1      /* a NULL path or buffer */
#define RASTRA_REASON_NO_SUCH_FILE 2      /* the input does not exist */
#define RASTRA_REASON_PERMISSION_DENIED 3 /* the input may not be read */
#define RASTRA_REASON_NOT_REGULAR_FILE 4  /* a directory, FIFO, device or socket */
#define RASTRA_REASON_EMPTY_FILE 5        /* the input holds no bytes */
#define RASTRA_REASON_CANNOT_READ 6       /* any other read failure */
#define RASTRA_REASON_TOO_LARGE 7         /* over the pixel or file-size limit */
#define RASTRA_REASON_UNSUPPORTED_FORMAT 8
#define RASTRA_REASON_CANNOT_DECODE 9     /* corrupt or cut-short data */
#define RASTRA_REASON_NO_OUTPUT_FORMAT 10 /* automatic format, no known extension */
#define RASTRA_REASON_TOO_LARGE_FOR_FORMAT 11 /* a side over the output format's limit */
#define RASTRA_REASON_CANNOT_WRITE 12
#define RASTRA_REASON_OUT_OF_MEMORY 13
#define RASTRA_REASON_PATH_TOO_LONG 14    /* a run's candidate that cannot be named */

/* The outcome of one file conversion, filled by rastra_convert_file_result(). */
typedef struct rastra_result {
    int32_t converted;     /* 1 or 0 */
    int32_t reason;        /* RASTRA_REASON_*; RASTRA_REASON_NONE when converted */
    int32_t system_error;  /* the system's error number (errno: ENOENT, EACCES,
                              ENOSPC, ...) where the failure has one, else 0 */
    int32_t input_format;  /* the input's RASTRA_FORMAT_* (BMP: RASTRA_FORMAT_BMP),
                              RASTRA_FORMAT_UNKNOWN until recognised */
    int32_t output_format; /* the format written, RASTRA_FORMAT_UNKNOWN until chosen */
    int32_t width;         /* the output image's size, 0 until decoded */
    int32_t height;
    int32_t orientation;   /* the input's EXIF orientation 1..8 when it was
                              turned upright (auto_orient), else 1 */
    uint64_t input_bytes;  /* the input file's size as read, when converted */
    uint64_t output_bytes; /* the bytes written, when converted */
    char message[RASTRA_ERROR_CAPACITY]; /* "" when converted, else the
                              message rastra_process_file() would give */
} rastra_result;

/* rastra_convert_file() with its whole outcome: what it converted, the byte
 * counts the statistics of rastra_process_file() would gain, or why it
 * failed. result must not be NULL (returns 0 and changes nothing then).
 * Returns result->converted. */
RASTRA_API int32_t rastra_convert_file_result(const rastra_settings *settings, const char *input,
                                              const char *output, rastra_result *result) RASTRA_NOEXCEPT;

/* rastra_convert() with its whole outcome in result (formats, size,
 * orientation, byte counts, or the reason and message of a failure; a NULL
 * input, output or output_size gives RASTRA_REASON_BAD_ARGUMENT). result must
 * not be NULL (returns 0 and changes nothing then). Returns
 * result->converted; the output is handed out as by rastra_convert(). */
RASTRA_API int32_t rastra_convert_result(const rastra_settings *settings, const void *input, size_t input_size,
                                         void **output, size_t *output_size, rastra_result *result) RASTRA_NOEXCEPT;

/* What an image's header says, read without decoding. */
typedef struct rastra_image_info {
    int32_t format;      /* RASTRA_FORMAT_JPEG, PNG, WEBP or BMP */
    int32_t width;       /* as stored, before turning upright */
    int32_t height;
    int32_t orientation; /* EXIF orientation 1..8; 1 when there is none */
} rastra_image_info;

/* Reads the format, size and EXIF orientation of an image in memory from its
 * header, without decoding (the bytes may be cut short after the header).
 * Returns 1 and fills info, or 0 (info untouched) when input or info is NULL
 * or the bytes are not a JPEG, PNG, BMP or WebP header it can read. Limits
 * are not applied: compare width * height with your own. */
RASTRA_API int32_t rastra_probe(const void *input, size_t input_size, rastra_image_info *info) RASTRA_NOEXCEPT;

/* One candidate of a directory run, as rastra_plan() lists it. */
typedef struct rastra_candidate {
    const char *input;   /* the input path (the bare name when output is NULL) */
    const char *output;  /* the output path, or NULL when it cannot be named */
    const char *message; /* NULL, or why it cannot be named
                            ("run: path too long: <name>") */
    int32_t index;       /* 0, 1, 2 ...: the run's order */
    int32_t follows;     /* the index of the previous candidate that writes
                            the same output (its name, or another name of a
                            file that exists when the run is planned: a hard
                            or symbolic link), or -1. Convert a candidate only
                            after the one it follows is done, and the run's
                            rule holds however many threads convert: of inputs
                            sharing an output, the later one wins. */
} rastra_candidate;

/* Receives one candidate; every pointer in it is valid during the call only. */
typedef void (*rastra_candidate_callback)(void *user, const rastra_candidate *candidate);

/* Plans a directory run with these settings (their format names the
 * outputs), as rastra_plan_run() does: checks the arguments, creates
 * output_dir when missing, lists input_dir once and calls callback (which may
 * be NULL) once per candidate in order. Returns the number of candidates, or
 * 0 with rastra_plan_run()'s message in error (cut and terminated as for
 * rastra_convert()). The callback must return normally and must not free the
 * settings. */
RASTRA_API int32_t rastra_plan(const rastra_settings *settings, const char *input_dir, const char *output_dir,
                               rastra_candidate_callback callback, void *user, char *error,
                               size_t error_capacity) RASTRA_NOEXCEPT;

/* ---- Files --------------------------------------------------------------- */

/* 1 when a and b name the same existing file (or directory) as the file
 * system sees it: one path spelt two ways, two hard links of one file, or a
 * symbolic link and the file it leads to (links are followed to the end, as
 * opening the path would). 0 when they name different files, when either is
 * NULL, does not exist (a dangling link included) or cannot be examined (a
 * directory on the way that may not be searched). Compares the device and
 * inode number on POSIX systems, the volume serial number and file index on
 * Windows; opens nothing for reading and changes nothing. Outputs are written
 * through links and into every name of a file, so a host that must not let an
 * output replace an input asks this about each output that exists.
 * Shares no state: any number of threads may call it at any time. */
RASTRA_API int32_t rastra_same_file(const char *a, const char *b) RASTRA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* RASTRA_H */

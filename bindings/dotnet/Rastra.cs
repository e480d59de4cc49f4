// C# bindings for the rastra library: every function, structure and constant
// of include/rastra.h, plus a safe layer on top of them.
//
// Add this file to a project (any .NET Framework 4.5+, .NET Core / .NET 5+ or
// Mono; no unsafe code). The library is loaded by the name "rastra": rastra.dll
// on Windows, librastra.so on Linux (the build's librastra.so.0 under that
// name, on LD_LIBRARY_PATH or beside the program).
//
//   using RastraInterop;
//
//   using (var settings = new RastraSettings())
//   {
//       settings.SetResize(1920, 1080).SetFormat(Rastra.RASTRA_FORMAT_WEBP).SetQuality(85)
//               .SetColor(RastraColor.Srgb).SetKeepMetadata(RastraMetadata.Exif)
//               .SetCodecs(RastraCodecs.Fast);
//       byte[] webp = Rastra.Convert(File.ReadAllBytes("photo.jpg"), settings);
//       RastraResult r = Rastra.ConvertFileResult("in.png", "out.webp", settings);
//       if (!r.Converted) Console.Error.WriteLine(r.Message);
//   }
//
// Strings: paths, watermark texts and messages are narrow strings. They are
// marshaled as "Ansi": the active code page on Windows (with best-fit mapping
// off, so a name the code page cannot hold fails instead of naming another
// file), UTF-8 on Linux under Mono and .NET.
//
// Threads: the settings interface (rastra_settings_* ... rastra_plan) may be
// called from any number of threads at once, with separate or shared
// settings, provided no thread changes a settings object while another
// converts with it (RastraSettings enforces this for the safe layer). The
// process-wide interface (rastra_init ... rastra_set_run_observer) keeps one
// context for the process: its calls must be serialised (Rastra.ProcessWideLock).
//
// Layout: the raw declarations keep the C names (rastra_convert,
// rastra_result, RASTRA_FORMAT_PNG, ...) in the static class Rastra; the safe
// layer is RastraSettings (owns a rastra_settings*; RastraColor,
// RastraMetadata and RastraCodecs name its colour, metadata and codec
// settings), the helpers Rastra.Convert, ConvertFile, ConvertFileResult,
// Probe and Plan, which throw RastraException with the library's message,
// and Rastra.Run, LastError and Stats for the process-wide interface.
using System;
using System.Collections.Generic;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace RastraInterop
{
    /// <summary>A conversion, probe or plan failed; Message is the library's own text.</summary>
    [Serializable]
    public class RastraException : Exception
    {
        public RastraException(string message) : base(message) { }
    }

    /// <summary>
    /// What happens to an input's embedded ICC profile (RASTRA_COLOR_*). The
    /// library's default, and a new RastraSettings', is <see cref="Ignore"/>;
    /// the rastra command line uses <see cref="Srgb"/>.
    /// </summary>
    public enum RastraColor
    {
        /// <summary>The profile is dropped and the pixels written as decoded.</summary>
        Ignore = 0,
        /// <summary>The pixels are converted from the profile to sRGB; the output is untagged.</summary>
        Srgb = 1,
        /// <summary>The pixels are written as decoded and the RGB profile embedded (BMP carries none).</summary>
        Keep = 2,
    }

    /// <summary>
    /// The parts of an input's metadata copied into its output (RASTRA_KEEP_*),
    /// combined with |. The library's default, and a new RastraSettings', is
    /// <see cref="None"/>. BMP outputs carry none.
    /// </summary>
    [Flags]
    public enum RastraMetadata : uint
    {
        None = 0,
        /// <summary>Camera data, copyright, orientation (1 when the image was turned upright).</summary>
        Exif = 1,
        /// <summary>The XMP packet.</summary>
        Xmp = 2,
        /// <summary>The ICC profile, as <see cref="RastraColor.Keep"/> whatever SetColor says.</summary>
        Icc = 4,
        All = Exif | Xmp | Icc,
    }

    /// <summary>
    /// The codecs a conversion decodes and encodes with (RASTRA_CODECS_*). The
    /// library's default, and a new RastraSettings', is <see cref="Reference"/>;
    /// the rastra command line uses <see cref="Fast"/>. Both write images of
    /// the same size, and WebP and BMP outputs alike.
    /// </summary>
    public enum RastraCodecs
    {
        /// <summary>stb_image and stb_image_write, whose outputs never change (PNG always RGBA).</summary>
        Reference = 0,
        /// <summary>
        /// libjpeg-turbo (a JPEG the box shrinks by half or more is decoded at 1/2, 1/4 or 1/8 scale;
        /// optimised Huffman tables) and libspng with zlib at the PNG level, RGB when every pixel is opaque.
        /// </summary>
        Fast = 1,
    }

    /// <summary>
    /// Owns one native <c>rastra_settings*</c> and frees it with
    /// <c>rastra_settings_free</c> once nothing uses it any more: a conversion
    /// running on another thread keeps it alive until it returns, even when the
    /// owner disposes it meanwhile.
    /// </summary>
    public sealed class RastraSettingsHandle : SafeHandle
    {
        // The marshaller creates instances for rastra_settings_new's result.
        public RastraSettingsHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        protected override bool ReleaseHandle()
        {
            Rastra.rastra_settings_free(handle);
            return true;
        }
    }

    /// <summary>
    /// Conversion settings for the settings interface, holding the defaults of
    /// <c>rastra_init</c> when new: no resize, automatic format, quality 90, no
    /// watermark, no turning upright, RASTRA_MAX_PIXELS_DEFAULT,
    /// <see cref="RastraColor.Ignore"/>, no metadata kept,
    /// <see cref="RastraCodecs.Reference"/>, PNG level
    /// RASTRA_PNG_LEVEL_DEFAULT and lossy WebP. These are the library's
    /// defaults, not the rastra command line's, which turns photos upright,
    /// converts embedded profiles to sRGB and uses the fast codecs: call
    /// <c>SetAutoOrient(true).SetColor(RastraColor.Srgb).SetCodecs(RastraCodecs.Fast)</c>
    /// for those.
    /// </summary>
    /// <remarks>
    /// Threads: the settings interface may be called from any number of threads
    /// at once, with separate or shared settings, provided no thread changes a
    /// settings object while another converts with it. This class enforces that
    /// rule for its own users: conversions through Rastra.Convert, ConvertFile,
    /// ConvertFileResult and Plan share a read lock on the settings, and each
    /// setter takes the write lock, so it waits for the conversions in progress
    /// and the next ones wait for it. Code that passes <see cref="Handle"/> to
    /// the raw functions must keep the rule itself. Disposing while other
    /// threads convert is safe: the native object is freed when the last of
    /// them returns. The process-wide functions (rastra_init ...
    /// rastra_set_run_observer) are another matter: their calls must be
    /// serialised, see <see cref="Rastra.ProcessWideLock"/>.
    /// Setters never fail: a value out of range is ignored and changes nothing.
    /// </remarks>
    public sealed class RastraSettings : IDisposable
    {
        private readonly RastraSettingsHandle handle;
        // Not disposed with the settings: a conversion may still hold it then.
        private readonly ReaderWriterLockSlim gate = new ReaderWriterLockSlim(LockRecursionPolicy.NoRecursion);

        public RastraSettings()
        {
            handle = Rastra.rastra_settings_new();
            if (handle == null || handle.IsInvalid) throw new OutOfMemoryException("rastra_settings_new: out of memory");
        }

        /// <summary>The native object, for the raw rastra_settings_* and rastra_convert* declarations.</summary>
        public RastraSettingsHandle Handle
        {
            get { return handle; }
        }

        /// <summary>Bounding box; 0 leaves a side unlimited, (0, 0) turns resizing off.</summary>
        public RastraSettings SetResize(int maxWidth, int maxHeight)
        {
            Change(() => Rastra.rastra_settings_set_resize(handle, maxWidth, maxHeight));
            return this;
        }

        /// <summary>RASTRA_FORMAT_AUTO, _PNG, _JPEG, _WEBP or _BMP.</summary>
        public RastraSettings SetFormat(int format)
        {
            Change(() => Rastra.rastra_settings_set_format(handle, format));
            return this;
        }

        /// <summary>JPEG and WebP quality, 0..100.</summary>
        public RastraSettings SetQuality(int quality)
        {
            Change(() => Rastra.rastra_settings_set_quality(handle, quality));
            return this;
        }

        /// <summary>White text in the bottom-right corner: line height 3..512, opacity 0..1.</summary>
        public RastraSettings SetWatermark(string text, int size, float opacity)
        {
            if (text == null) throw new ArgumentNullException("text");
            Change(() => Rastra.rastra_settings_set_watermark(handle, text, size, opacity));
            return this;
        }

        /// <summary>Turn outputs upright by their EXIF orientation.</summary>
        public RastraSettings SetAutoOrient(bool enabled)
        {
            Change(() => Rastra.rastra_settings_set_auto_orient(handle, enabled ? 1 : 0));
            return this;
        }

        /// <summary>The most pixels an input may declare, 1..RASTRA_MAX_PIXELS_CEILING.</summary>
        public RastraSettings SetMaxPixels(long maxPixels)
        {
            Change(() => Rastra.rastra_settings_set_max_pixels(handle, maxPixels));
            return this;
        }

        /// <summary>What happens to an embedded ICC profile; <see cref="RastraColor.Ignore"/> when new.</summary>
        public RastraSettings SetColor(RastraColor mode)
        {
            Change(() => Rastra.rastra_settings_set_color(handle, (int)mode));
            return this;
        }

        /// <summary>The metadata parts copied into each output; <see cref="RastraMetadata.None"/> when new.</summary>
        public RastraSettings SetKeepMetadata(RastraMetadata parts)
        {
            Change(() => Rastra.rastra_settings_set_keep_metadata(handle, (uint)parts));
            return this;
        }

        /// <summary>The codecs; <see cref="RastraCodecs.Reference"/> when new.</summary>
        public RastraSettings SetCodecs(RastraCodecs codecs)
        {
            Change(() => Rastra.rastra_settings_set_codecs(handle, (int)codecs));
            return this;
        }

        /// <summary>
        /// zlib's level for PNG outputs of the fast codecs, 1 (fastest) to 9 (smallest);
        /// RASTRA_PNG_LEVEL_DEFAULT when new. The reference codecs ignore it.
        /// </summary>
        public RastraSettings SetPngLevel(int level)
        {
            Change(() => Rastra.rastra_settings_set_png_level(handle, level));
            return this;
        }

        /// <summary>Write WebP outputs losslessly (the quality then sets the effort); off when new.</summary>
        public RastraSettings SetWebpLossless(bool enabled)
        {
            Change(() => Rastra.rastra_settings_set_webp_lossless(handle, enabled ? 1 : 0));
            return this;
        }

        public void Dispose()
        {
            handle.Dispose();
        }

        private void Change(Action set)
        {
            gate.EnterWriteLock();
            try
            {
                set();
            }
            finally
            {
                gate.ExitWriteLock();
            }
        }

        internal void EnterUse()
        {
            gate.EnterReadLock();
        }

        internal void ExitUse()
        {
            gate.ExitReadLock();
        }
    }

    /// <summary>The outcome of one file conversion (rastra_result).</summary>
    public struct RastraResult
    {
        public bool Converted;
        /// <summary>RASTRA_REASON_*; RASTRA_REASON_NONE when converted.</summary>
        public int Reason;
        /// <summary>The system's error number (errno on Linux) where the failure has one, else 0.</summary>
        public int SystemError;
        public int InputFormat;
        public int OutputFormat;
        public int Width;
        public int Height;
        /// <summary>The EXIF orientation the image was turned upright from; 1 when it was not turned.</summary>
        public int Orientation;
        public ulong InputBytes;
        public ulong OutputBytes;
        /// <summary>"" when converted, else the library's message.</summary>
        public string Message;
    }

    /// <summary>What an image's header says (rastra_image_info).</summary>
    public struct RastraImageInfo
    {
        public int Format;
        public int Width;
        public int Height;
        /// <summary>EXIF orientation 1..8; 1 when there is none.</summary>
        public int Orientation;
    }

    /// <summary>One candidate of a planned directory run (rastra_candidate).</summary>
    public sealed class RastraCandidate
    {
        /// <summary>The input path; the bare name when Output is null.</summary>
        public string Input { get; internal set; }
        /// <summary>The output path, or null when it cannot be named.</summary>
        public string Output { get; internal set; }
        /// <summary>null, or why the output cannot be named.</summary>
        public string Message { get; internal set; }
        /// <summary>0, 1, 2 ...: the run's order.</summary>
        public int Index { get; internal set; }
        /// <summary>
        /// The index of the earlier candidate that writes the same output, or -1.
        /// Convert a candidate only after the one it follows is done.
        /// </summary>
        public int Follows { get; internal set; }
    }

    /// <summary>Receives each file of Rastra.Run once it is done; return false to stop the run.</summary>
    public delegate bool RastraRunObserver(string input, string output, bool converted, string message);

    public static class Rastra
    {
        private const string Library = "rastra";

        // ---- Constants ---------------------------------------------------------

        public const int RASTRA_VERSION_MAJOR = 0;
        public const int RASTRA_VERSION_MINOR = 1;
        public const int RASTRA_VERSION_PATCH = 0;

        public const int RASTRA_FORMAT_AUTO = -1;
        public const int RASTRA_FORMAT_PNG = 0;
        public const int RASTRA_FORMAT_JPEG = 1;
        public const int RASTRA_FORMAT_WEBP = 2;
        public const int RASTRA_FORMAT_BMP = 3;
        public const int RASTRA_FORMAT_UNKNOWN = -2;

        public const int RASTRA_QUALITY_MIN = 0;
        public const int RASTRA_QUALITY_MAX = 100;
        public const int RASTRA_WATERMARK_SIZE_MIN = 3;
        public const int RASTRA_WATERMARK_SIZE_MAX = 512;
        public const int RASTRA_WATERMARK_TEXT_MAX = 255;

        public const int RASTRA_ERROR_CAPACITY = 512;
        public const int RASTRA_STATS_CAPACITY = 192;

        public const long RASTRA_MAX_PIXELS_DEFAULT = 104857600;
        public const long RASTRA_MAX_PIXELS_CEILING = 268402689;
        public const int RASTRA_MAX_JPEG_SCANS = 100;
        public const int RASTRA_JPEG_MAX_SIDE = 65535;
        public const int RASTRA_WEBP_MAX_SIDE = 16383;
        public const int RASTRA_PATH_MAX = 4095;

        public const int RASTRA_COLOR_IGNORE = 0;
        public const int RASTRA_COLOR_SRGB = 1;
        public const int RASTRA_COLOR_KEEP = 2;

        public const uint RASTRA_KEEP_EXIF = 1;
        public const uint RASTRA_KEEP_XMP = 2;
        public const uint RASTRA_KEEP_ICC = 4;
        public const uint RASTRA_KEEP_ALL = 7;

        public const int RASTRA_CODECS_REFERENCE = 0;
        public const int RASTRA_CODECS_FAST = 1;
        public const int RASTRA_PNG_LEVEL_DEFAULT = 7;

        public const int RASTRA_REASON_NONE = 0;
        public const int RASTRA_REASON_BAD_ARGUMENT = 1;
        public const int RASTRA_REASON_NO_SUCH_FILE = 2;
        public const int RASTRA_REASON_PERMISSION_DENIED = 3;
        public const int RASTRA_REASON_NOT_REGULAR_FILE = 4;
        public const int RASTRA_REASON_EMPTY_FILE = 5;
        public const int RASTRA_REASON_CANNOT_READ = 6;
        public const int RASTRA_REASON_TOO_LARGE = 7;
        public const int RASTRA_REASON_UNSUPPORTED_FORMAT = 8;
        public const int RASTRA_REASON_CANNOT_DECODE = 9;
        public const int RASTRA_REASON_NO_OUTPUT_FORMAT = 10;
        public const int RASTRA_REASON_TOO_LARGE_FOR_FORMAT = 11;
        public const int RASTRA_REASON_CANNOT_WRITE = 12;
        public const int RASTRA_REASON_OUT_OF_MEMORY = 13;
        public const int RASTRA_REASON_PATH_TOO_LONG = 14;

        /// <summary>The largest input file read under a pixel limit (the header's macro).</summary>
        public static long RASTRA_MAX_INPUT_BYTES(long maxPixels)
        {
            long bytes = maxPixels * 8 + 67108864;
            return bytes < 2147483647 ? bytes : 2147483647;
        }

        // ---- Structures --------------------------------------------------------

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        public struct rastra_result
        {
            public int converted;
            public int reason;
            public int system_error;
            public int input_format;
            public int output_format;
            public int width;
            public int height;
            public int orientation;
            public ulong input_bytes;
            public ulong output_bytes;
            [MarshalAs(UnmanagedType.ByValTStr, SizeConst = RASTRA_ERROR_CAPACITY)]
            public string message;
        }

        [StructLayout(LayoutKind.Sequential)]
        public struct rastra_image_info
        {
            public int format;
            public int width;
            public int height;
            public int orientation;
        }

        /// <summary>Its strings are valid during the callback only: read them with Marshal.PtrToStringAnsi.</summary>
        [StructLayout(LayoutKind.Sequential)]
        public struct rastra_candidate
        {
            public IntPtr input;
            public IntPtr output;
            public IntPtr message;
            public int index;
            public int follows;
        }

        // ---- Callbacks ---------------------------------------------------------
        // Keep the delegate alive as long as the library may call it, and never
        // let an exception leave it: catch inside, act after the native call.

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void rastra_plan_callback(IntPtr user, IntPtr input, IntPtr output, IntPtr message);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate int rastra_run_observer(IntPtr user, IntPtr input, IntPtr output, int converted, IntPtr message);

        /// <summary>candidate points to a rastra_candidate: Marshal.PtrToStructure.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void rastra_candidate_callback(IntPtr user, IntPtr candidate);

        // ---- The process-wide interface: one thread at a time ------------------

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_init();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_cleanup();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_reset();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_resize(int max_width, int max_height);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_format(int format);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_quality(int quality);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern void rastra_set_watermark(string text, int size, float opacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_strip_metadata(int strip_metadata);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_auto_orient(int enabled);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_max_pixels(long max_pixels);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_color(int mode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_keep_metadata(uint mask);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_codecs(int codecs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_png_level(int level);

        /// <summary>A static buffer: Marshal.PtrToStringAnsi, never free.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr rastra_stats();

        /// <summary>A static buffer: Marshal.PtrToStringAnsi, never free.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr rastra_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_process_file(string input, string output);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_run(string input_dir, string output_dir);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_plan_run(string input_dir, string output_dir, rastra_plan_callback callback,
                                                 IntPtr user);

        /// <summary>The library keeps the pointer: keep the delegate alive until it is replaced or reset.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_set_run_observer(rastra_run_observer observer, IntPtr user);

        // ---- The settings interface: any number of threads ---------------------
        // The functions taking settings come twice: with the handle, and with an
        // IntPtr for IntPtr.Zero (the defaults of rastra_settings_new).

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern RastraSettingsHandle rastra_settings_new();

        /// <summary>Called by RastraSettingsHandle; do not free a handle's pointer yourself.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_free(IntPtr settings);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_resize(RastraSettingsHandle settings, int max_width, int max_height);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_format(RastraSettingsHandle settings, int format);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_quality(RastraSettingsHandle settings, int quality);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern void rastra_settings_set_watermark(RastraSettingsHandle settings, string text, int size,
                                                                float opacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_auto_orient(RastraSettingsHandle settings, int enabled);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_max_pixels(RastraSettingsHandle settings, long max_pixels);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_color(RastraSettingsHandle settings, int mode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_keep_metadata(RastraSettingsHandle settings, uint mask);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_codecs(RastraSettingsHandle settings, int codecs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_png_level(RastraSettingsHandle settings, int level);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_settings_set_webp_lossless(RastraSettingsHandle settings, int enabled);

        /// <summary>On success free output with rastra_free. error: a byte buffer of error_capacity bytes, or null.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_convert(RastraSettingsHandle settings, byte[] input, UIntPtr input_size,
                                                out IntPtr output, out UIntPtr output_size, [Out] byte[] error,
                                                UIntPtr error_capacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_convert(IntPtr settings, byte[] input, UIntPtr input_size, out IntPtr output,
                                                out UIntPtr output_size, [Out] byte[] error, UIntPtr error_capacity);

        /// <summary>rastra_convert with its whole outcome; on success free output with rastra_free.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_convert_result(RastraSettingsHandle settings, byte[] input, UIntPtr input_size,
                                                       out IntPtr output, out UIntPtr output_size,
                                                       out rastra_result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_convert_result(IntPtr settings, byte[] input, UIntPtr input_size,
                                                       out IntPtr output, out UIntPtr output_size,
                                                       out rastra_result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_convert_file(RastraSettingsHandle settings, string input, string output,
                                                     [Out] byte[] error, UIntPtr error_capacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_convert_file(IntPtr settings, string input, string output, [Out] byte[] error,
                                                     UIntPtr error_capacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void rastra_free(IntPtr buffer);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_convert_file_result(RastraSettingsHandle settings, string input, string output,
                                                            out rastra_result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_convert_file_result(IntPtr settings, string input, string output,
                                                            out rastra_result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int rastra_probe(byte[] input, UIntPtr input_size, out rastra_image_info info);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_plan(RastraSettingsHandle settings, string input_dir, string output_dir,
                                             rastra_candidate_callback callback, IntPtr user, [Out] byte[] error,
                                             UIntPtr error_capacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_plan(IntPtr settings, string input_dir, string output_dir,
                                             rastra_candidate_callback callback, IntPtr user, [Out] byte[] error,
                                             UIntPtr error_capacity);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int rastra_same_file(string a, string b);

        // ---- Safe layer: the settings interface --------------------------------
        // settings may be null everywhere: the defaults of a new RastraSettings.

        /// <summary>Converts an image held in memory; automatic format keeps the input's format.</summary>
        /// <exception cref="RastraException">"convert: ..." as documented in rastra.h.</exception>
        public static byte[] Convert(byte[] input, RastraSettings settings = null)
        {
            if (input == null) throw new ArgumentNullException("input");
            byte[] error = NewErrorBuffer();
            IntPtr output;
            UIntPtr outputSize;
            int ok;
            if (settings == null)
            {
                ok = rastra_convert(IntPtr.Zero, input, new UIntPtr((uint)input.Length), out output, out outputSize,
                                    error, new UIntPtr((uint)error.Length));
            }
            else
            {
                settings.EnterUse();
                try
                {
                    ok = rastra_convert(settings.Handle, input, new UIntPtr((uint)input.Length), out output,
                                        out outputSize, error, new UIntPtr((uint)error.Length));
                }
                finally
                {
                    settings.ExitUse();
                }
            }
            if (ok == 0) throw new RastraException(Text(error));
            try
            {
                ulong size = outputSize.ToUInt64();
                // A managed array holds at most 2^31 - 1 bytes.
                if (size > int.MaxValue) throw new RastraException("convert: output too large for a byte array");
                byte[] bytes = new byte[(int)size];
                if (size > 0) Marshal.Copy(output, bytes, 0, bytes.Length);
                return bytes;
            }
            finally
            {
                rastra_free(output);
            }
        }

        /// <summary>Converts one file; the output is replaced only when the new one is complete.</summary>
        /// <exception cref="RastraException">"process_file: ..." as documented in rastra.h.</exception>
        public static void ConvertFile(string input, string output, RastraSettings settings = null)
        {
            if (input == null) throw new ArgumentNullException("input");
            if (output == null) throw new ArgumentNullException("output");
            byte[] error = NewErrorBuffer();
            int ok;
            if (settings == null)
            {
                ok = rastra_convert_file(IntPtr.Zero, input, output, error, new UIntPtr((uint)error.Length));
            }
            else
            {
                settings.EnterUse();
                try
                {
                    ok = rastra_convert_file(settings.Handle, input, output, error, new UIntPtr((uint)error.Length));
                }
                finally
                {
                    settings.ExitUse();
                }
            }
            if (ok == 0) throw new RastraException(Text(error));
        }

        /// <summary>Converts one file and returns the whole outcome; never throws for a failed conversion.</summary>
        public static RastraResult ConvertFileResult(string input, string output, RastraSettings settings = null)
        {
            if (input == null) throw new ArgumentNullException("input");
            if (output == null) throw new ArgumentNullException("output");
            rastra_result r;
            if (settings == null)
            {
                rastra_convert_file_result(IntPtr.Zero, input, output, out r);
            }
            else
            {
                settings.EnterUse();
                try
                {
                    rastra_convert_file_result(settings.Handle, input, output, out r);
                }
                finally
                {
                    settings.ExitUse();
                }
            }
            return new RastraResult
            {
                Converted = r.converted != 0,
                Reason = r.reason,
                SystemError = r.system_error,
                InputFormat = r.input_format,
                OutputFormat = r.output_format,
                Width = r.width,
                Height = r.height,
                Orientation = r.orientation,
                InputBytes = r.input_bytes,
                OutputBytes = r.output_bytes,
                Message = r.message ?? "",
            };
        }

        /// <summary>Reads format, size and orientation from an image's header, or null when it is not one.</summary>
        public static RastraImageInfo? Probe(byte[] input)
        {
            if (input == null) throw new ArgumentNullException("input");
            rastra_image_info info;
            if (rastra_probe(input, new UIntPtr((uint)input.Length), out info) == 0) return null;
            return new RastraImageInfo
            {
                Format = info.format,
                Width = info.width,
                Height = info.height,
                Orientation = info.orientation,
            };
        }

        /// <summary>
        /// Lists a directory run's candidates in order (the settings' format names
        /// the outputs), creating outputDir when missing; converts nothing.
        /// </summary>
        /// <exception cref="RastraException">"run: ..." as documented in rastra.h.</exception>
        public static List<RastraCandidate> Plan(string inputDir, string outputDir, RastraSettings settings = null)
        {
            if (inputDir == null) throw new ArgumentNullException("inputDir");
            if (outputDir == null) throw new ArgumentNullException("outputDir");
            var candidates = new List<RastraCandidate>();
            Exception failure = null;
            rastra_candidate_callback callback = (user, pointer) =>
            {
                if (failure != null) return;
                try
                {
                    var c = (rastra_candidate)Marshal.PtrToStructure(pointer, typeof(rastra_candidate));
                    candidates.Add(new RastraCandidate
                    {
                        Input = Marshal.PtrToStringAnsi(c.input),
                        Output = c.output == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(c.output),
                        Message = c.message == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(c.message),
                        Index = c.index,
                        Follows = c.follows,
                    });
                }
                catch (Exception e)
                {
                    failure = e;
                }
            };
            byte[] error = NewErrorBuffer();
            int count;
            if (settings == null)
            {
                count = rastra_plan(IntPtr.Zero, inputDir, outputDir, callback, IntPtr.Zero, error,
                                    new UIntPtr((uint)error.Length));
            }
            else
            {
                settings.EnterUse();
                try
                {
                    count = rastra_plan(settings.Handle, inputDir, outputDir, callback, IntPtr.Zero, error,
                                        new UIntPtr((uint)error.Length));
                }
                finally
                {
                    settings.ExitUse();
                }
            }
            GC.KeepAlive(callback);
            if (failure != null) ExceptionDispatchInfo.Capture(failure).Throw();
            if (count == 0) throw new RastraException(Text(error));
            return candidates;
        }

        /// <summary>
        /// True when both paths name one existing file under any of its names
        /// (the same path spelt twice, hard links, symbolic links); false for
        /// different files and when either is null or does not exist.
        /// </summary>
        public static bool SameFile(string a, string b)
        {
            return rastra_same_file(a, b) == 1;
        }

        // ---- Safe layer: the process-wide interface ----------------------------

        /// <summary>
        /// The process-wide functions share one context, so their calls must not
        /// overlap. Run, LastError and Stats hold this lock; hold it around raw
        /// calls too (lock (Rastra.ProcessWideLock) { ... }) when several threads
        /// use that interface. The settings interface needs no lock.
        /// </summary>
        public static readonly object ProcessWideLock = new object();

        /// <summary>rastra_last_error(), copied.</summary>
        public static string LastError()
        {
            lock (ProcessWideLock) return Marshal.PtrToStringAnsi(rastra_last_error()) ?? "";
        }

        /// <summary>rastra_stats(), copied: one line of JSON.</summary>
        public static string Stats()
        {
            lock (ProcessWideLock) return Marshal.PtrToStringAnsi(rastra_stats()) ?? "";
        }

        /// <summary>
        /// rastra_run with the process-wide settings, calling observer (null: none)
        /// after each file. The observer is installed for this run only and
        /// removed afterwards, as is one set through rastra_set_run_observer. An exception thrown by the observer stops the
        /// run and is rethrown once rastra_run has returned. Returns rastra_run's
        /// result: true when at least one file converted; see LastError.
        /// </summary>
        public static bool Run(string inputDir, string outputDir, RastraRunObserver observer = null)
        {
            if (inputDir == null) throw new ArgumentNullException("inputDir");
            if (outputDir == null) throw new ArgumentNullException("outputDir");
            lock (ProcessWideLock)
            {
                if (observer == null)
                {
                    rastra_set_run_observer(null, IntPtr.Zero);
                    return rastra_run(inputDir, outputDir) != 0;
                }
                Exception failure = null;
                rastra_run_observer native = (user, input, output, converted, message) =>
                {
                    if (failure != null) return 1;
                    try
                    {
                        bool goOn = observer(Marshal.PtrToStringAnsi(input),
                                             output == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(output),
                                             converted != 0,
                                             message == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(message));
                        return goOn ? 0 : 1;
                    }
                    catch (Exception e)
                    {
                        failure = e;
                        return 1;
                    }
                };
                int ok;
                rastra_set_run_observer(native, IntPtr.Zero);
                try
                {
                    ok = rastra_run(inputDir, outputDir);
                }
                finally
                {
                    rastra_set_run_observer(null, IntPtr.Zero);
                    GC.KeepAlive(native);
                }
                if (failure != null) ExceptionDispatchInfo.Capture(failure).Throw();
                return ok != 0;
            }
        }

        // ---- Helpers -----------------------------------------------------------

        private static byte[] NewErrorBuffer()
        {
            return new byte[RASTRA_ERROR_CAPACITY];
        }

        // Decodes a NUL-terminated message the way the marshaller encodes strings.
        private static string Text(byte[] buffer)
        {
            buffer[buffer.Length - 1] = 0;
            GCHandle pin = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try
            {
                return Marshal.PtrToStringAnsi(pin.AddrOfPinnedObject()) ?? "";
            }
            finally
            {
                pin.Free();
            }
        }
    }
}

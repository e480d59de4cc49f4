"""Batch image conversion through the native rastra library.

Reads JPEG, PNG, BMP and WebP; shrinks to fit a box; stamps a white text
watermark in the bottom-right corner; writes JPEG, PNG, BMP or WebP::

    import rastra

    rastra.convert("photo.jpg", "photo.webp", max_size=(1920, 1080), quality=85)
    webp = rastra.convert_bytes(jpeg_bytes, format="webp", max_size=(800, 800))
    info = rastra.probe(jpeg_bytes)          # ImageInfo(format, width, height, orientation)
    stats = rastra.convert_dir("photos", "web", format="webp", watermark="(c) me",
                               jobs=4, progress=True)
    print(stats["processed"], "converted,", stats["failed"], "failed")

    with rastra.Converter(format="jpeg", quality=80) as c:   # settings made once, shared
        thumbs = [c.convert_bytes(b) for b in images]

Settings are keyword arguments (or a Settings object): ``max_size=(w, h)``
(0 leaves a side unlimited), ``format`` ("auto", "png", "jpeg", "webp", "bmp"
or a Format), ``quality`` (0..100), ``watermark`` (a text, or a Watermark with
its size and opacity), ``max_pixels``, ``auto_orient``, ``color`` ("srgb",
"keep", "ignore" or a Color), ``keep_metadata`` (a Keep mask, or names such as
"exif,xmp", "all", "none"), ``codecs`` ("fast", "reference" or a Codecs),
``png_level`` (1..9), ``webp_lossless`` and ``strip_metadata``. Every call
starts from the defaults, so settings never leak from one call to the next.

Defaults follow the rastra command line, not the C library:

- photos are turned upright by their EXIF orientation (``auto_orient=True``),
  where the library's own default converts every image as stored; pass
  ``auto_orient=False`` for the library's behaviour;
- an embedded ICC profile is applied: the pixels are converted to sRGB and
  the output is untagged (``color="srgb"``), where the library's own default
  (``color="ignore"``) drops the profile and writes the pixels as decoded;
  ``color="keep"`` writes them as decoded and embeds the profile;
- no metadata is kept (``keep_metadata="none"``, as in the library):
  ``keep_metadata=Keep.EXIF | Keep.XMP`` (or "exif,xmp", or "all") copies
  those parts of each input into its output. A kept EXIF block says
  orientation 1 when the image was turned upright. Keep.ICC keeps the
  profile, as ``color="keep"`` does, whatever ``color`` says;
- the fast codecs (``codecs="fast"``): libjpeg-turbo for JPEG, decoding a
  photo the box shrinks by half or more straight at 1/2, 1/4 or 1/8 of its
  size, and libspng with zlib at ``png_level`` (default 7) for PNG, written
  as RGB when every pixel is opaque; where the library's own default
  (``codecs="reference"``) decodes and encodes with stb_image and
  stb_image_write, whose outputs never change (PNG always RGBA). Both
  write images of the same size, and WebP and BMP outputs alike;
- WebP outputs are lossy (``webp_lossless=False``, as in the library);
  ``webp_lossless=True`` writes them losslessly, ``quality`` then setting
  the effort.

``strip_metadata`` is accepted for compatibility and changes nothing:
``keep_metadata`` decides what an output carries. Automatic format follows
the output name for files, keeps the input's format in memory (convert_bytes)
and in a directory run.

Paths may be str, bytes or os.PathLike. A failed conversion raises
RastraError with the library's message, its ``reason`` (a Reason) and its
``system_error`` (an errno value, or 0). In a directory run a failed file is
reported instead (in the result's "failures" and to ``progress``) and the run
goes on.

Threads: every function here, and one Converter shared by many threads, may
run in as many threads at once as you like. The native calls release the GIL
and share no state, so conversions in separate threads run in parallel.
``convert_dir(..., jobs=N)`` converts on N threads of its own; it starts no
process, so it needs no ``if __name__ == "__main__"`` guard. Ctrl-C during
convert_dir stops handing out files, lets the files being converted finish
(an output is never left half-written) and raises KeyboardInterrupt.

The library is found, in this order, at the path given to load(), at the
RASTRA_LIBRARY environment variable, next to this package, or by the system's
loader; when it is not found the error lists every place tried.
"""

import collections
import concurrent.futures
import contextlib
import ctypes
import ctypes.util
import dataclasses
import enum
import os
import sys
import threading
from typing import Callable, Iterable, List, NamedTuple, Optional, Tuple, Union

__all__ = [
    "Format", "Reason", "Color", "Keep", "Codecs", "Watermark", "Settings", "FileResult", "ImageInfo", "RastraError",
    "Converter", "convert", "convert_bytes", "convert_dir", "probe", "load", "library_path",
    "COLOR_IGNORE", "COLOR_SRGB", "COLOR_KEEP", "KEEP_EXIF", "KEEP_XMP", "KEEP_ICC", "KEEP_ALL",
    "CODECS_REFERENCE", "CODECS_FAST", "PNG_LEVEL_DEFAULT",
]
__version__ = "0.1.0"

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BytesLike = Union[bytes, bytearray, memoryview]


class Reason(enum.IntEnum):
    """Why a conversion failed (the library's RASTRA_REASON_* codes)."""

    NONE = 0
    BAD_ARGUMENT = 1
    NO_SUCH_FILE = 2
    PERMISSION_DENIED = 3
    NOT_REGULAR_FILE = 4
    EMPTY_FILE = 5
    CANNOT_READ = 6
    TOO_LARGE = 7
    UNSUPPORTED_FORMAT = 8
    CANNOT_DECODE = 9
    NO_OUTPUT_FORMAT = 10
    TOO_LARGE_FOR_FORMAT = 11
    CANNOT_WRITE = 12
    OUT_OF_MEMORY = 13
    PATH_TOO_LONG = 14


class RastraError(Exception):
    """A conversion failed.

    ``message`` is the library's own text. ``reason`` is a Reason for a
    failed conversion (convert, convert_bytes, probe), None when the failure
    is not one image's (a directory run that cannot start). ``system_error``
    is the system's error number behind a file conversion's failure (ENOENT,
    EACCES, ENOSPC, ...), else 0."""

    def __init__(self, message: str, reason: Optional[int] = None, system_error: int = 0):
        super().__init__(message)
        self.message = message
        self.reason = _enum(Reason, reason) if reason is not None else None
        self.system_error = system_error


class Format(enum.IntEnum):
    """Output formats; AUTO follows the output name (or keeps the input's format in memory and in a directory run)."""

    AUTO = -1
    PNG = 0
    JPEG = 1
    WEBP = 2
    BMP = 3


class Color(enum.IntEnum):
    """What happens to an input's embedded ICC profile (the library's RASTRA_COLOR_*).

    IGNORE drops it and writes the pixels as decoded (the C library's
    default); SRGB converts the pixels from it to sRGB and writes an untagged
    output (the default here, as on the command line); KEEP writes the pixels
    as decoded and embeds the profile (not in BMP, which carries none).
    Untagged inputs convert alike in every mode."""

    IGNORE = 0
    SRGB = 1
    KEEP = 2


class Keep(enum.IntFlag):
    """The parts of an input's metadata copied into its output (the library's RASTRA_KEEP_*), combined with |."""

    NONE = 0
    EXIF = 1  # camera data, copyright, orientation
    XMP = 2   # the XMP packet
    ICC = 4   # the colour profile: as Color.KEEP
    ALL = 7


class Codecs(enum.IntEnum):
    """The codecs a conversion decodes and encodes with (the library's RASTRA_CODECS_*).

    REFERENCE (the C library's default) is stb_image and stb_image_write,
    whose outputs never change: PNG always RGBA. FAST (the default here, as
    on the command line) is libjpeg-turbo, which decodes a JPEG the box
    shrinks by half or more straight at a reduced scale and writes optimised
    Huffman tables, and libspng with zlib at ``png_level``, which writes RGB
    when every pixel is opaque. Both write images of the same size, and WebP
    and BMP outputs alike."""

    REFERENCE = 0
    FAST = 1


COLOR_IGNORE, COLOR_SRGB, COLOR_KEEP = Color.IGNORE, Color.SRGB, Color.KEEP
KEEP_EXIF, KEEP_XMP, KEEP_ICC, KEEP_ALL = Keep.EXIF, Keep.XMP, Keep.ICC, Keep.ALL
CODECS_REFERENCE, CODECS_FAST = Codecs.REFERENCE, Codecs.FAST
PNG_LEVEL_DEFAULT = 7


@dataclasses.dataclass(frozen=True)
class Watermark:
    """White text in the bottom-right corner: line height 3..512 pixels, opacity 0..1."""

    text: str
    size: int = 16
    opacity: float = 0.6


@dataclasses.dataclass(frozen=True)
class Settings:
    """What a conversion does; every field has the rastra command line's default.

    auto_orient is on, color is Color.SRGB and codecs is Codecs.FAST, as on
    the command line (the C library's own defaults are off, Color.IGNORE and
    Codecs.REFERENCE). color takes a Color, its value or its name ("srgb",
    "keep", "ignore"). keep_metadata takes a Keep mask, its value, True (all)
    or False (none), names joined with commas ("exif,xmp", "all", "none") or
    an iterable of names or Keep values; it defaults to none, as in the
    library. codecs takes a Codecs, its value or its name ("fast",
    "reference"). png_level is zlib's level for PNG outputs of the fast
    codecs, 1 (fastest) to 9 (smallest), default 7 as in the library; the
    reference codecs ignore it. webp_lossless writes WebP outputs losslessly
    (quality then sets the effort); off by default, as in the library.
    strip_metadata is kept for compatibility only and changes nothing:
    keep_metadata decides what an output carries."""

    max_size: Optional[Tuple[int, int]] = None
    format: Union[Format, str] = Format.AUTO
    quality: int = 90
    watermark: Union[Watermark, str, None] = None
    max_pixels: Optional[int] = None
    strip_metadata: bool = True
    auto_orient: bool = True
    color: Union[Color, str, int] = Color.SRGB
    keep_metadata: Union[Keep, str, int, bool, Iterable[Union[str, int]]] = Keep.NONE
    codecs: Union[Codecs, str, int] = Codecs.FAST
    png_level: int = PNG_LEVEL_DEFAULT
    webp_lossless: bool = False


class FileResult(NamedTuple):
    """One file of a directory run: its paths, whether it converted, and why not."""

    input: str
    output: str
    converted: bool
    message: str


class ImageInfo(NamedTuple):
    """What an image's header says: its format, its size as stored, its EXIF orientation (1..8, 1 when none)."""

    format: Format
    width: int
    height: int
    orientation: int


_FORMAT_NAMES = {"auto": Format.AUTO, "png": Format.PNG, "jpeg": Format.JPEG, "jpg": Format.JPEG,
                 "webp": Format.WEBP, "bmp": Format.BMP}
_COLOR_NAMES = {"ignore": Color.IGNORE, "srgb": Color.SRGB, "keep": Color.KEEP}
_KEEP_NAMES = {"exif": Keep.EXIF, "xmp": Keep.XMP, "icc": Keep.ICC, "all": Keep.ALL, "none": Keep.NONE}
_CODECS_NAMES = {"reference": Codecs.REFERENCE, "fast": Codecs.FAST}
_MAX_PIXELS_CEILING = 16383 * 16383
_ERROR_CAPACITY = 512


def _color(value) -> Color:
    if isinstance(value, str):
        if value.lower() not in _COLOR_NAMES:
            raise ValueError("color must be one of srgb, keep, ignore, not %r" % value)
        return _COLOR_NAMES[value.lower()]
    # True would pass for 1 (SRGB): refuse it rather than guess.
    if isinstance(value, int) and not isinstance(value, bool):
        with contextlib.suppress(ValueError):
            return Color(value)
    raise ValueError("color must be srgb, keep, ignore or a Color, not %r" % (value,))


def _codecs(value) -> Codecs:
    if isinstance(value, str):
        if value.lower() not in _CODECS_NAMES:
            raise ValueError("codecs must be fast or reference, not %r" % value)
        return _CODECS_NAMES[value.lower()]
    if isinstance(value, int) and not isinstance(value, bool):
        with contextlib.suppress(ValueError):
            return Codecs(value)
    raise ValueError("codecs must be fast, reference or a Codecs, not %r" % (value,))


def _switch(name: str, value) -> bool:
    # A string such as "false" would be true: take booleans and 0/1 only.
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise ValueError("%s must be True or False, not %r" % (name, value))


def _keep(value) -> Keep:
    if isinstance(value, bool):  # before int: True is 1, which would mean EXIF alone
        return Keep.ALL if value else Keep.NONE
    if isinstance(value, int):
        if not 0 <= value <= Keep.ALL:
            raise ValueError("keep_metadata must be a mask of Keep.EXIF, XMP and ICC, not %r" % value)
        return Keep(value)
    parts = value.split(",") if isinstance(value, str) else value
    mask = Keep.NONE
    try:
        for part in parts:
            if isinstance(part, str):
                name = part.strip().lower()
                if name not in _KEEP_NAMES:
                    raise ValueError("keep_metadata names are exif, xmp, icc, all or none, not %r" % part)
                mask |= _KEEP_NAMES[name]
            else:
                mask |= _keep(part)
    except TypeError:
        raise ValueError("keep_metadata must be a Keep mask, names or True/False, not %r" % (value,)) from None
    return mask


def _enum(kind, value):
    try:
        return kind(value)
    except ValueError:  # a code newer than this package
        return int(value)


# ---- finding and declaring the library ----------------------------------------


class _CResult(ctypes.Structure):
    _fields_ = [
        ("converted", ctypes.c_int32),
        ("reason", ctypes.c_int32),
        ("system_error", ctypes.c_int32),
        ("input_format", ctypes.c_int32),
        ("output_format", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("orientation", ctypes.c_int32),
        ("input_bytes", ctypes.c_uint64),
        ("output_bytes", ctypes.c_uint64),
        ("message", ctypes.c_char * _ERROR_CAPACITY),
    ]


class _CImageInfo(ctypes.Structure):
    _fields_ = [
        ("format", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("orientation", ctypes.c_int32),
    ]


class _CCandidate(ctypes.Structure):
    _fields_ = [
        ("input", ctypes.c_char_p),
        ("output", ctypes.c_char_p),
        ("message", ctypes.c_char_p),
        ("index", ctypes.c_int32),
        ("follows", ctypes.c_int32),
    ]


_CANDIDATE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(_CCandidate))

_lock = threading.Lock()  # loading only; conversions take no lock of this module
_lib = None
_lib_path = None


def _declare(lib, where: str):
    i32, i64, u32 = ctypes.c_int32, ctypes.c_int64, ctypes.c_uint32
    cp, vp, sz = ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t
    signatures = {
        "rastra_settings_new": ([], vp),
        "rastra_settings_free": ([vp], None),
        "rastra_settings_set_resize": ([vp, i32, i32], None),
        "rastra_settings_set_format": ([vp, i32], None),
        "rastra_settings_set_quality": ([vp, i32], None),
        "rastra_settings_set_watermark": ([vp, cp, i32, ctypes.c_float], None),
        "rastra_settings_set_auto_orient": ([vp, i32], None),
        "rastra_settings_set_max_pixels": ([vp, i64], None),
        "rastra_settings_set_color": ([vp, i32], None),
        "rastra_settings_set_keep_metadata": ([vp, u32], None),
        "rastra_settings_set_codecs": ([vp, i32], None),
        "rastra_settings_set_png_level": ([vp, i32], None),
        "rastra_settings_set_webp_lossless": ([vp, i32], None),
        "rastra_convert_result": ([vp, vp, sz, ctypes.POINTER(vp), ctypes.POINTER(sz), ctypes.POINTER(_CResult)], i32),
        "rastra_convert_file_result": ([vp, cp, cp, ctypes.POINTER(_CResult)], i32),
        "rastra_free": ([vp], None),
        "rastra_probe": ([vp, sz, ctypes.POINTER(_CImageInfo)], i32),
        "rastra_plan": ([vp, cp, cp, _CANDIDATE_CALLBACK, vp, cp, sz], i32),
        "rastra_same_file": ([cp, cp], i32),
    }
    for name, (args, result) in signatures.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise OSError("the rastra library at %s is too old for this package: it lacks %s" % (where, name))
        fn.argtypes = args
        fn.restype = result
    return lib


def _candidates(path):
    if path is not None:
        yield "the path given", os.fspath(path)
        return
    env = os.environ.get("RASTRA_LIBRARY")
    if env:
        yield "RASTRA_LIBRARY", env
    here = os.path.dirname(os.path.abspath(__file__))
    names = ["rastra.dll"] if os.name == "nt" else ["librastra.so.0", "librastra.so", "librastra.dylib"]
    for name in names:
        yield "next to the package", os.path.join(here, name)
    found = ctypes.util.find_library("rastra")
    for name in ([found] if found else []) + names:
        yield "the system's loader", name


def load(path: Optional[PathArg] = None) -> str:
    """Loads the native library (once) and returns where it came from.

    Without a path: RASTRA_LIBRARY, then next to this package, then the
    system's loader. Raises OSError naming every place tried."""
    global _lib, _lib_path
    with _lock:
        if _lib is not None and path is None:
            return _lib_path
        tried = []
        for where, candidate in _candidates(path):
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as e:
                tried.append("%s: %s (%s)" % (where, candidate, e))
                continue
            _lib, _lib_path = _declare(lib, candidate), candidate
            return candidate
        raise OSError("cannot load the rastra library; tried:\n  " + "\n  ".join(tried))


def library_path() -> str:
    """Where the native library was loaded from (loading it if needed)."""
    return load()


def _library():
    if _lib is None:
        load()
    return _lib


# ---- settings, paths and buffers --------------------------------------------------


def _settings(settings: Optional[Settings], kwargs) -> Settings:
    if settings is not None and kwargs:
        raise TypeError("give a Settings object or keyword arguments, not both")
    s = settings if settings is not None else Settings(**kwargs)
    fmt = s.format
    if isinstance(fmt, str):
        if fmt.lower() not in _FORMAT_NAMES:
            raise ValueError("format must be one of auto, png, jpeg, webp, bmp, not %r" % fmt)
        fmt = _FORMAT_NAMES[fmt.lower()]
    fmt = Format(fmt)
    if s.max_size is not None:
        w, h = s.max_size
        if w < 0 or h < 0 or w > 2**31 - 1 or h > 2**31 - 1:
            raise ValueError("max_size sides must be 0 (unlimited) or positive, not %r" % (s.max_size,))
    if not 0 <= s.quality <= 100:
        raise ValueError("quality must be 0..100, not %r" % s.quality)
    wm = Watermark(s.watermark) if isinstance(s.watermark, str) else s.watermark
    if wm is not None:
        if not wm.text:
            raise ValueError("the watermark text is empty")
        if "\0" in wm.text:
            raise ValueError("the watermark text contains a NUL character")
        if len(wm.text.encode("utf-8")) > 255:
            raise ValueError("the watermark text is longer than 255 bytes")
        if not 3 <= wm.size <= 512 or not 0.0 <= wm.opacity <= 1.0:
            raise ValueError("watermark size must be 3..512 and opacity 0..1")
    if s.max_pixels is not None and not 1 <= s.max_pixels <= _MAX_PIXELS_CEILING:
        raise ValueError("max_pixels must be 1..%d" % _MAX_PIXELS_CEILING)
    if isinstance(s.png_level, bool) or not isinstance(s.png_level, int) or not 1 <= s.png_level <= 9:
        raise ValueError("png_level must be a whole number from 1 to 9, not %r" % (s.png_level,))
    return dataclasses.replace(s, format=fmt, watermark=wm, color=_color(s.color),
                               keep_metadata=_keep(s.keep_metadata), codecs=_codecs(s.codecs),
                               webp_lossless=_switch("webp_lossless", s.webp_lossless))


class _NativeSettings:
    """Owns one native settings object.

    Conversions borrow the pointer with use(); close() frees it at once when
    nothing borrows it, else when the last borrower is done, so closing a
    Converter that another thread still converts with never frees settings in
    use. The lock is held for the bookkeeping only, never during a conversion."""

    def __init__(self, lib, s: Settings):
        self._lib = lib
        self._guard = threading.Lock()
        self._users = 0
        self._closed = False
        self._ptr = None
        ptr = lib.rastra_settings_new()
        if not ptr:
            raise MemoryError("rastra: out of memory for a settings object")
        try:
            if s.max_size is not None:
                lib.rastra_settings_set_resize(ptr, s.max_size[0], s.max_size[1])
            lib.rastra_settings_set_format(ptr, int(s.format))
            lib.rastra_settings_set_quality(ptr, s.quality)
            if s.watermark is not None:
                wm = s.watermark
                lib.rastra_settings_set_watermark(ptr, wm.text.encode("utf-8"), wm.size, wm.opacity)
            if s.max_pixels is not None:
                lib.rastra_settings_set_max_pixels(ptr, s.max_pixels)
            lib.rastra_settings_set_auto_orient(ptr, 1 if s.auto_orient else 0)
            lib.rastra_settings_set_color(ptr, int(s.color))
            lib.rastra_settings_set_keep_metadata(ptr, int(s.keep_metadata))
            lib.rastra_settings_set_codecs(ptr, int(s.codecs))
            lib.rastra_settings_set_png_level(ptr, s.png_level)
            lib.rastra_settings_set_webp_lossless(ptr, 1 if s.webp_lossless else 0)
        except BaseException:
            lib.rastra_settings_free(ptr)
            raise
        self._ptr = ptr

    @contextlib.contextmanager
    def use(self):
        with self._guard:
            if self._closed:
                raise ValueError("this rastra Converter is closed")
            self._users += 1
        try:
            yield self._ptr
        finally:
            with self._guard:
                self._users -= 1
                ptr = self._take() if self._closed and self._users == 0 else None
            if ptr:
                self._lib.rastra_settings_free(ptr)

    def close(self):
        with self._guard:
            self._closed = True
            ptr = self._take() if self._users == 0 else None
        if ptr:
            self._lib.rastra_settings_free(ptr)

    def _take(self):
        ptr, self._ptr = self._ptr, None
        return ptr

    def __del__(self):
        # Nothing can borrow an object nobody refers to.
        ptr = getattr(self, "_ptr", None)
        if ptr:
            self._ptr = None
            self._lib.rastra_settings_free(ptr)


def _path(p: PathArg) -> bytes:
    p = os.fspath(p)
    if not isinstance(p, bytes):
        # Windows takes narrow paths in the active code page.
        try:
            p = p.encode("mbcs", "strict") if os.name == "nt" else os.fsencode(p)
        except UnicodeEncodeError:
            raise RastraError("%s cannot be named in this system's code page" % p) from None
    if b"\0" in p:
        raise ValueError("embedded null byte in path %r" % p)
    return p


def _text(b: Optional[bytes]) -> str:
    if b is None:
        return ""
    return b.decode("mbcs", "replace") if os.name == "nt" else os.fsdecode(b)


def _buffer(data: BytesLike):
    """(pointer argument, length) for bytes-like data, copying only what ctypes cannot point into."""
    if isinstance(data, bytes):
        return data, len(data)
    view = memoryview(data)  # TypeError for anything that is not bytes-like
    n = view.nbytes
    if n == 0:
        return b"", 0
    if view.readonly or not view.c_contiguous:
        return view.tobytes(), n
    return (ctypes.c_char * n).from_buffer(view.cast("B")), n


# ---- conversions --------------------------------------------------------------------


class Converter:
    """Conversions with one set of settings, made once and reused.

    Converter(settings=None, **keywords) takes what convert() takes. One
    Converter may be used by any number of threads at once. close() (or
    leaving a ``with`` block) frees its native settings; they are also freed
    when the Converter is garbage collected."""

    def __init__(self, settings: Optional[Settings] = None, **kwargs):
        self.settings = _settings(settings, kwargs)
        self._lib = _library()
        self._native = _NativeSettings(self._lib, self.settings)

    def close(self) -> None:
        """Frees the native settings (once no thread converts with them); later calls raise ValueError."""
        self._native.close()

    def __enter__(self) -> "Converter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return "rastra.Converter(%r)" % (self.settings,)

    def convert(self, src: PathArg, dst: PathArg) -> dict:
        """Converts one file; returns its statistics, raises RastraError on failure."""
        src_b, dst_b = _path(src), _path(dst)
        with self._native.use() as ptr:
            r = _convert_file(self._lib, ptr, src_b, dst_b)
        if not r.converted:
            raise RastraError(r.message, r.reason, r.system_error)
        return {"processed": 1, "failed": 0, "total_input_bytes": r.input_bytes,
                "total_output_bytes": r.output_bytes}

    def convert_bytes(self, data: BytesLike) -> bytes:
        """Converts an image held in memory and returns the encoded file.

        Automatic format keeps the input's format. Raises RastraError."""
        buf, n = _buffer(data)
        output, output_size = ctypes.c_void_p(), ctypes.c_size_t()
        r = _CResult()
        with self._native.use() as ptr:
            ok = self._lib.rastra_convert_result(ptr, buf, n, ctypes.byref(output), ctypes.byref(output_size),
                                                 ctypes.byref(r))
        try:
            if not ok:
                raise RastraError(_text(r.message), r.reason, r.system_error)
            return ctypes.string_at(output.value, output_size.value)
        finally:
            self._lib.rastra_free(output)

    def convert_dir(self, src_dir: PathArg, dst_dir: PathArg, *,
                    progress: Union[None, bool, Callable[[FileResult], None]] = None, jobs: int = 1,
                    in_place: bool = False) -> dict:
        """convert_dir() with these settings."""
        if jobs < 1:
            raise ValueError("jobs must be 1 or more")
        src, dst = _path(src_dir), _path(dst_dir)
        with self._native.use() as ptr:
            plan = _plan(self._lib, ptr, src, dst)
            if not in_place:
                _refuse_replacing_inputs(plan)
            report, close = _progress_reporter(progress, len(plan))
            try:
                stats = _run(self._lib, ptr, plan, jobs, report)
            finally:
                close()
        if stats["processed"] == 0:
            # Nothing converted: the run failed, with its last file's message, as rastra_run says.
            last = stats["failures"][-1]
            error = RastraError(last.message)
            error.stats = stats
            raise error
        return stats


def _refuse_replacing_inputs(plan) -> None:
    """Raises RastraError when an output of the plan would replace one of its inputs."""
    named = [c for c in plan if c.output is not None]
    replacing = _first_replacing(_library(), [c.input for c in named], [(c.output, c) for c in named])
    if replacing is not None:
        raise RastraError("%s would replace an input of this run; pass in_place=True to allow it"
                          % _text(replacing.output))


def _first_replacing(lib, inputs, outputs):
    """The tag of the first (output, tag) whose output is one of the inputs (native paths), else None.

    The library tells whether two names lead to one file, hard and symbolic
    links included. Only an output that exists can be an input, and only
    inputs of its size need asking about."""
    by_size = collections.defaultdict(list)
    for p in inputs:
        with contextlib.suppress(OSError, ValueError):
            by_size[os.stat(_text(p)).st_size].append(p)
    for output, tag in outputs:
        try:
            size = os.stat(_text(output)).st_size
        except (OSError, ValueError):
            continue
        if any(lib.rastra_same_file(p, output) == 1 for p in by_size.get(size, ())):
            return tag
    return None


def convert(src: PathArg, dst: PathArg, settings: Optional[Settings] = None, **kwargs) -> dict:
    """Converts one file; returns the statistics, raises RastraError on failure."""
    with Converter(settings, **kwargs) as c:
        return c.convert(src, dst)


def convert_bytes(data: BytesLike, settings: Optional[Settings] = None, **kwargs) -> bytes:
    """Converts an image held in memory (bytes, bytearray or memoryview) and returns the encoded file.

    Automatic format keeps the input's format. Raises RastraError."""
    with Converter(settings, **kwargs) as c:
        return c.convert_bytes(data)


def probe(data: BytesLike) -> ImageInfo:
    """Reads an image's format, size and EXIF orientation from its header, without decoding.

    The bytes may stop after the header. No limit is applied: compare
    width * height with your own. Raises RastraError when the header is not a
    readable JPEG, PNG, BMP or WebP one (reason CANNOT_DECODE, or EMPTY_FILE
    for no bytes at all)."""
    lib = _library()
    buf, n = _buffer(data)
    info = _CImageInfo()
    if not lib.rastra_probe(buf, n, ctypes.byref(info)):
        raise RastraError("probe: not a readable JPEG, PNG, BMP or WebP header",
                          Reason.EMPTY_FILE if n == 0 else Reason.CANNOT_DECODE)
    return ImageInfo(_enum(Format, info.format), info.width, info.height, info.orientation)


def convert_dir(src_dir: PathArg, dst_dir: PathArg, settings: Optional[Settings] = None, *,
                progress: Union[None, bool, Callable[[FileResult], None]] = None, jobs: int = 1,
                in_place: bool = False, **kwargs) -> dict:
    """Converts every image of src_dir into dst_dir (created when missing).

    Returns the statistics ({"processed", "failed", "total_input_bytes",
    "total_output_bytes"}) plus "failures", a list of FileResult in the run's
    order. A failed file does not stop the run; a run that cannot start (no
    such directory, no image in it) raises RastraError. ``progress`` is
    called with a FileResult after each file, always from the calling thread
    (True draws a bar with tqdm when installed); an exception it raises stops
    the run once the files being converted are done, and propagates.
    ``jobs`` > 1 converts on that many threads, with the same outputs and
    statistics as one: inputs that share an output are converted in the
    run's order, so the later one wins. Ctrl-C stops handing out files, waits
    for the files being converted and raises KeyboardInterrupt. A run whose
    outputs would replace its own inputs (converting a folder into itself in
    the same format) raises RastraError before converting anything, unless
    ``in_place=True``. A run in which no file converted raises RastraError
    with the last file's message; its ``stats`` attribute holds the result."""
    if jobs < 1:
        raise ValueError("jobs must be 1 or more")
    with Converter(settings, **kwargs) as c:
        return c.convert_dir(src_dir, dst_dir, progress=progress, jobs=jobs, in_place=in_place)


class _Outcome(NamedTuple):
    converted: bool
    reason: int
    system_error: int
    message: str
    input_bytes: int
    output_bytes: int


def _convert_file(lib, ptr, src: bytes, dst: bytes) -> _Outcome:
    r = _CResult()
    lib.rastra_convert_file_result(ptr, src, dst, ctypes.byref(r))
    return _Outcome(bool(r.converted), r.reason, r.system_error, _text(r.message), r.input_bytes, r.output_bytes)


# ---- directory runs -------------------------------------------------------------------


class _Candidate(NamedTuple):
    input: bytes
    output: Optional[bytes]
    message: Optional[bytes]
    index: int
    follows: int


def _plan(lib, ptr, src: bytes, dst: bytes) -> List[_Candidate]:
    plan: List[_Candidate] = []
    raised: List[BaseException] = []

    def collect(_user, c):
        # Nothing may propagate into the library: keep it and raise after.
        try:
            c = c.contents
            plan.append(_Candidate(c.input, c.output, c.message, c.index, c.follows))
        except BaseException as e:  # KeyboardInterrupt included
            raised.append(e)

    error = ctypes.create_string_buffer(_ERROR_CAPACITY)
    found = lib.rastra_plan(ptr, src, dst, _CANDIDATE_CALLBACK(collect), None, error, _ERROR_CAPACITY)
    if raised:
        raise raised[0]
    if found == 0:
        raise RastraError(_text(error.value))
    return plan


def _chains(plan: List[_Candidate]) -> List[List[_Candidate]]:
    """The plan in units of work: candidates that write one output form one chain, in the run's order."""
    chains: List[List[_Candidate]] = []
    chain_of = {}
    for c in plan:
        chain = chain_of.get(c.follows) if c.output is not None and c.follows >= 0 else None
        if chain is None:
            chain = []
            chains.append(chain)
        chain.append(c)
        chain_of[c.index] = chain
    return chains


class _Tally:
    """The run's statistics, kept and reported from the calling thread only."""

    def __init__(self, report):
        self.report = report
        self.stats = {"processed": 0, "failed": 0, "total_input_bytes": 0, "total_output_bytes": 0}
        self.failures: List[Tuple[int, FileResult]] = []

    def add(self, c: _Candidate, outcome: Optional[_Outcome]):
        if outcome is None:  # a candidate that cannot be named
            result = FileResult(_text(c.input), "", False, _text(c.message))
        else:
            result = FileResult(_text(c.input), _text(c.output), outcome.converted, outcome.message)
        if result.converted:
            self.stats["processed"] += 1
            self.stats["total_input_bytes"] += outcome.input_bytes
            self.stats["total_output_bytes"] += outcome.output_bytes
        else:
            self.stats["failed"] += 1
            self.failures.append((c.index, result))
        if self.report is not None:
            self.report(result)

    def result(self) -> dict:
        stats = dict(self.stats)
        stats["failures"] = [r for _, r in sorted(self.failures, key=lambda f: f[0])]
        return stats


# How often a thread waiting for workers wakes up, so that Ctrl-C is seen where
# a wait without a timeout cannot be interrupted (Windows).
_WAIT_SECONDS = 0.2


def _run(lib, ptr, plan: List[_Candidate], jobs: int, report) -> dict:
    tally = _Tally(report)
    chains = _chains(plan)
    if jobs == 1:
        # Ctrl-C surfaces between two files: the one in hand is always done.
        for chain in chains:
            for c in chain:
                tally.add(c, _convert_file(lib, ptr, c.input, c.output) if c.output is not None else None)
        return tally.result()

    stop = threading.Event()

    def convert_chain(chain):
        done = []
        for c in chain:
            if stop.is_set():
                break
            done.append((c, _convert_file(lib, ptr, c.input, c.output)))
        return done

    waiting = collections.deque(chains)
    running = set()
    # At most `jobs` chains are handed out at a time: when the run stops, the
    # files not yet handed out are never started.
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="rastra")
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                chain = waiting.popleft()
                if chain[0].output is None:
                    tally.add(chain[0], None)
                else:
                    running.add(pool.submit(convert_chain, chain))
            if not running:
                continue
            done, running = concurrent.futures.wait(running, timeout=_WAIT_SECONDS,
                                                    return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                for c, outcome in future.result():
                    tally.add(c, outcome)
    except BaseException:
        # Ctrl-C, or an error from the progress callback: finish the files in
        # hand (their outputs are written whole), start no other, re-raise.
        stop.set()
        raise
    finally:
        pool.shutdown(wait=True)
    return tally.result()


def _progress_reporter(progress, total: int):
    """A per-file callable from the progress argument, and a closer."""
    if progress is None or progress is False:
        return None, lambda: None
    if callable(progress):
        return progress, lambda: None
    try:
        from tqdm import tqdm  # optional
    except ImportError:
        tqdm = None
    if tqdm is not None:
        bar = tqdm(total=total, unit="image")
        return (lambda r: bar.update(1)), bar.close
    done = [0]

    def line(_result):
        done[0] += 1
        sys.stderr.write("\r%d/%d files" % (done[0], total))
        sys.stderr.flush()

    return line, lambda: sys.stderr.write("\n")

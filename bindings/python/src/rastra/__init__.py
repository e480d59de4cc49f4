"""Batch image conversion through the native rastra library.

Reads JPEG, PNG, BMP and WebP; shrinks to fit a box; stamps a white text
watermark in the bottom-right corner; writes JPEG, PNG, BMP or WebP::

    import rastra

    rastra.convert("photo.jpg", "photo.webp", max_size=(1920, 1080), quality=85)
    stats = rastra.convert_dir("photos", "web", format="webp", watermark="(c) me",
                               jobs=4, progress=True)
    print(stats["processed"], "converted,", stats["failed"], "failed")

Settings are keyword arguments (or a Settings object): ``max_size=(w, h)``
(0 leaves a side unlimited), ``format`` ("auto", "png", "jpeg", "webp" or a
Format), ``quality`` (0..100), ``watermark`` (a text, or a Watermark with its
size and opacity), ``max_pixels``, ``strip_metadata`` and ``auto_orient``
(turn photos upright by their EXIF orientation). Every call starts
from the library's defaults, so settings never leak from one call to the next.

Paths may be str, bytes or os.PathLike. A failed conversion raises
RastraError with the library's message; in a directory run a failed file is
reported instead (in the result's "failures" and to ``progress``) and the run
goes on.

Threads: the native library keeps one process-wide state and is not
thread-safe, so every call of this module holds one module-level lock: calls
from several threads are safe but run one at a time. For parallel work use
``convert_dir(..., jobs=N)``, which converts in N worker processes.

The library is found, in this order, at the path given to load(), at the
RASTRA_LIBRARY environment variable, next to this package, or by the system's
loader; when it is not found the error lists every place tried.
"""

import ctypes
import ctypes.util
import dataclasses
import enum
import json
import os
import sys
import threading
from typing import Callable, List, NamedTuple, Optional, Tuple, Union

__all__ = [
    "Format", "Watermark", "Settings", "FileResult", "RastraError",
    "convert", "convert_dir", "load", "library_path",
]
__version__ = "0.1.0"

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class RastraError(Exception):
    """A conversion failed; ``message`` is the library's own text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


class Format(enum.IntEnum):
    """Output formats; AUTO follows the output name (or keeps the input's format in a directory run)."""

    AUTO = -1
    PNG = 0
    JPEG = 1
    WEBP = 2


@dataclasses.dataclass(frozen=True)
class Watermark:
    """White text in the bottom-right corner: line height 3..512 pixels, opacity 0..1."""

    text: str
    size: int = 16
    opacity: float = 0.6


@dataclasses.dataclass(frozen=True)
class Settings:
    """What a conversion does; every field has the library's default."""

    max_size: Optional[Tuple[int, int]] = None
    format: Union[Format, str] = Format.AUTO
    quality: int = 90
    watermark: Union[Watermark, str, None] = None
    max_pixels: Optional[int] = None
    strip_metadata: bool = True
    auto_orient: bool = False


class FileResult(NamedTuple):
    """One file of a directory run: its paths, whether it converted, and why not."""

    input: str
    output: str
    converted: bool
    message: str


_FORMAT_NAMES = {"auto": Format.AUTO, "png": Format.PNG, "jpeg": Format.JPEG, "jpg": Format.JPEG,
                 "webp": Format.WEBP}
_MAX_PIXELS_CEILING = 16383 * 16383

# ---- finding and declaring the library ----------------------------------------

_PLAN_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p)
_RUN_OBSERVER = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                 ctypes.c_int32, ctypes.c_char_p)

_lock = threading.Lock()
_local = threading.local()
_lib = None
_lib_path = None


def _declare(lib):
    i32, cp, vp = ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p
    signatures = {
        "rastra_init": ([], i32),
        "rastra_cleanup": ([], None),
        "rastra_reset": ([], None),
        "rastra_set_resize": ([i32, i32], None),
        "rastra_set_format": ([i32], None),
        "rastra_set_quality": ([i32], None),
        "rastra_set_watermark": ([cp, i32, ctypes.c_float], None),
        "rastra_set_strip_metadata": ([i32], None),
        "rastra_set_max_pixels": ([ctypes.c_int64], None),
        "rastra_set_auto_orient": ([i32], None),
        "rastra_stats": ([], cp),
        "rastra_last_error": ([], cp),
        "rastra_process_file": ([cp, cp], i32),
        "rastra_run": ([cp, cp], i32),
        "rastra_plan_run": ([cp, cp, _PLAN_CALLBACK, vp], i32),
        "rastra_set_run_observer": ([_RUN_OBSERVER, vp], None),
    }
    for name, (args, result) in signatures.items():
        fn = getattr(lib, name)
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
            _lib, _lib_path = _declare(lib), candidate
            return candidate
        raise OSError("cannot load the rastra library; tried:\n  " + "\n  ".join(tried))


def library_path() -> str:
    """Where the native library was loaded from (loading it if needed)."""
    return load()


def _library():
    if _lib is None:
        load()
    return _lib


# ---- settings and paths -----------------------------------------------------------


def _settings(settings: Optional[Settings], kwargs) -> Settings:
    if settings is not None and kwargs:
        raise TypeError("give a Settings object or keyword arguments, not both")
    s = settings if settings is not None else Settings(**kwargs)
    fmt = s.format
    if isinstance(fmt, str):
        if fmt.lower() not in _FORMAT_NAMES:
            raise ValueError("format must be one of auto, png, jpeg, webp, not %r" % fmt)
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
        if len(wm.text.encode("utf-8")) > 255:
            raise ValueError("the watermark text is longer than 255 bytes")
        if not 3 <= wm.size <= 512 or not 0.0 <= wm.opacity <= 1.0:
            raise ValueError("watermark size must be 3..512 and opacity 0..1")
    if s.max_pixels is not None and not 1 <= s.max_pixels <= _MAX_PIXELS_CEILING:
        raise ValueError("max_pixels must be 1..%d" % _MAX_PIXELS_CEILING)
    return dataclasses.replace(s, format=fmt, watermark=wm)


def _apply(lib, s: Settings):
    lib.rastra_init()
    if s.max_size is not None:
        lib.rastra_set_resize(*s.max_size)
    lib.rastra_set_format(int(s.format))
    lib.rastra_set_quality(s.quality)
    if s.watermark is not None:
        lib.rastra_set_watermark(s.watermark.text.encode("utf-8"), s.watermark.size, s.watermark.opacity)
    if s.max_pixels is not None:
        lib.rastra_set_max_pixels(s.max_pixels)
    lib.rastra_set_strip_metadata(1 if s.strip_metadata else 0)
    lib.rastra_set_auto_orient(1 if s.auto_orient else 0)


def _path(p: PathArg) -> bytes:
    p = os.fspath(p)
    if isinstance(p, bytes):
        return p
    # Windows takes narrow paths in the active code page.
    return p.encode("mbcs") if os.name == "nt" else os.fsencode(p)


def _text(b: Optional[bytes]) -> str:
    if b is None:
        return ""
    return b.decode("mbcs", "replace") if os.name == "nt" else os.fsdecode(b)


def _stats(lib) -> dict:
    return json.loads(lib.rastra_stats().decode("ascii"))


class _Held:
    """The module lock, refusing calls from inside a progress callback."""

    def __enter__(self):
        if getattr(_local, "in_callback", False):
            raise RuntimeError("rastra cannot be called from its own progress callback")
        _lock.acquire()

    def __exit__(self, *exc):
        _lock.release()


# ---- conversions --------------------------------------------------------------------


def convert(src: PathArg, dst: PathArg, settings: Optional[Settings] = None, **kwargs) -> dict:
    """Converts one file; returns the statistics, raises RastraError on failure."""
    s = _settings(settings, kwargs)
    lib = _library()
    with _Held():
        _apply(lib, s)
        if lib.rastra_process_file(_path(src), _path(dst)) == 0:
            raise RastraError(_text(lib.rastra_last_error()))
        return _stats(lib)


def _plan(lib, src_dir: bytes, dst_dir: bytes) -> List[Tuple[bytes, Optional[bytes], Optional[bytes]]]:
    plan = []

    def collect(_user, input_path, output_path, message):
        plan.append((input_path, output_path, message))

    if lib.rastra_plan_run(src_dir, dst_dir, _PLAN_CALLBACK(collect), None) == 0:
        raise RastraError(_text(lib.rastra_last_error()))
    return plan


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


def convert_dir(src_dir: PathArg, dst_dir: PathArg, settings: Optional[Settings] = None, *,
                progress: Union[None, bool, Callable[[FileResult], None]] = None, jobs: int = 1,
                **kwargs) -> dict:
    """Converts every image of src_dir into dst_dir (created when missing).

    Returns the statistics ({"processed", "failed", "total_input_bytes",
    "total_output_bytes"}) plus "failures", a list of FileResult. A failed
    file does not stop the run; a run that cannot start (no such directory,
    no image in it) raises RastraError. ``progress`` is called with a
    FileResult after each file (True draws a bar with tqdm when installed).
    ``jobs`` > 1 converts in that many worker processes, with the same
    outputs and statistics as one."""
    s = _settings(settings, kwargs)
    if jobs < 1:
        raise ValueError("jobs must be 1 or more")
    lib = _library()
    src, dst = _path(src_dir), _path(dst_dir)
    with _Held():
        _apply(lib, s)
        plan = _plan(lib, src, dst)
    report, close = _progress_reporter(progress, len(plan))
    try:
        if jobs == 1:
            return _run_here(lib, s, src, dst, report)
        return _run_in_workers(s, plan, jobs, report)
    finally:
        close()


def _run_here(lib, s: Settings, src: bytes, dst: bytes, report) -> dict:
    failures: List[FileResult] = []
    raised: List[BaseException] = []

    def observe(_user, input_path, output_path, converted, message):
        # Nothing may propagate into the library: keep it, stop the run, raise after.
        try:
            result = FileResult(_text(input_path), _text(output_path), bool(converted), _text(message))
            if not converted:
                failures.append(result)
            if report is not None:
                _local.in_callback = True
                try:
                    report(result)
                finally:
                    _local.in_callback = False
            return 0
        except BaseException as e:  # KeyboardInterrupt included
            raised.append(e)
            return 1

    observer = _RUN_OBSERVER(observe)
    with _Held():
        _apply(lib, s)
        lib.rastra_set_run_observer(observer, None)
        try:
            lib.rastra_run(src, dst)
            stats = _stats(lib)
        finally:
            lib.rastra_set_run_observer(_RUN_OBSERVER(), None)
    if raised:
        raise raised[0]
    stats["failures"] = failures
    return stats


# ---- worker processes ---------------------------------------------------------------

_worker_lib = None


def _worker_start(library: str, s: Settings):
    global _worker_lib
    _worker_lib = _declare(ctypes.CDLL(library))  # once per worker
    _apply(_worker_lib, s)


def _worker_convert(pairs):
    """Converts (input, output) pairs in order: the files that share one output."""
    lib = _worker_lib
    results = []
    for input_path, output_path in pairs:
        before = _stats(lib)
        ok = lib.rastra_process_file(input_path, output_path) != 0
        after = _stats(lib)
        message = b"" if ok else lib.rastra_last_error()
        results.append((input_path, output_path, ok, message,
                        after["total_input_bytes"] - before["total_input_bytes"],
                        after["total_output_bytes"] - before["total_output_bytes"]))
    return results


def _run_in_workers(s: Settings, plan, jobs: int, report) -> dict:
    import concurrent.futures

    stats = {"processed": 0, "failed": 0, "total_input_bytes": 0, "total_output_bytes": 0}
    failures: List[FileResult] = []

    def record(result: FileResult, in_bytes=0, out_bytes=0):
        if result.converted:
            stats["processed"] += 1
            stats["total_input_bytes"] += in_bytes
            stats["total_output_bytes"] += out_bytes
        else:
            stats["failed"] += 1
            failures.append(result)
        if report is not None:
            report(result)

    # Files that write one output go to one worker, in listing order: the later wins.
    groups = {}
    for input_path, output_path, message in plan:
        if output_path is None:
            record(FileResult(_text(input_path), "", False, _text(message)))
        else:
            groups.setdefault(output_path, []).append((input_path, output_path))
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, initializer=_worker_start,
                                                initargs=(_lib_path, s)) as pool:
        futures = [pool.submit(_worker_convert, pairs) for pairs in groups.values()]
        for future in concurrent.futures.as_completed(futures):
            for input_path, output_path, ok, message, in_bytes, out_bytes in future.result():
                record(FileResult(_text(input_path), _text(output_path), ok, _text(message)), in_bytes, out_bytes)
    stats["failures"] = failures
    return stats

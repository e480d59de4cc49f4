"""Convert folders and buckets of any size on a Dask cluster.

    import rastra.dask
    result = rastra.dask.convert_many("s3://photos/2026", "s3://web/2026",
                                      client=client, max_size=(1920, 1080), format="webp")

``convert_many`` plans the run on the calling machine, exactly as the
library's own directory run names it: every entry of the source whose name
ends in .jpg, .jpeg, .png, .bmp or .webp (any case), dot-files skipped, no
descent into subdirectories unless ``recursive=True``, each output named
after its input's stem with the extension of the format written. Inputs that
write the same output are converted one after the other in listing order, in
one task, so the later one wins, as with ``rastra --jobs 1``.

The files are then handed to the cluster in tasks of ``files_per_task``
files. A task reads each input's bytes where it runs, converts them with the
library and writes the output whole: on a local or shared file system
through a short temporary dot-file beside it and a rename (an output that is
a symbolic link is written through, so the file it names is replaced and the
link stays), on an object store with one put. A task that is run again (Dask retries it, or re-runs it when a
worker dies) writes the same bytes again and is counted once. A file that
fails is a failure in the result; a task that raises is retried
(``retries``) and then reported as a failure of each of its inputs.

Memory: a task holds one input's bytes and its output at a time, so a
worker's peak is about one conversion's peak (the input, its decoded pixels
at 4 bytes per pixel, the output) above the worker process itself: about
60 MB for a 12 MP photograph, about 0.5 GB for a 100 MP JPEG, at most about
1.3 GB for the largest input the default pixel limit admits.

The settings are those of ``rastra.convert`` (``max_size``, ``format``,
``quality``, ``watermark``, ``max_pixels``, ``auto_orient``, ``color``,
``keep_metadata``, ``codecs``, ``png_level``, ``webp_lossless``), with its
defaults, which follow the rastra command line: photos turned upright,
colours converted to sRGB, the fast codecs.

``source`` is a directory path or URL (``file://``, ``s3://``, anything
fsspec opens with the back-ends you have installed), a glob ("photos/*.jpg",
"s3://bucket/2026/*/*.png"), or a list of paths or URLs; ``destination`` is a
directory path or URL, created when missing. Pass ``storage_options`` for
the back-end's credentials and settings; they reach the workers with the
tasks.

Run ``python3 -m rastra.dask --help`` for the command line.
"""

import dataclasses
import json
import os
import posixpath
import sys
import uuid
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import fsspec

import rastra

__all__ = ["convert_many", "RunPlan", "plan", "stats_json"]

# The library's limits and names, as its directory run applies them.
_EXTENSIONS = {"jpg": rastra.Format.JPEG, "jpeg": rastra.Format.JPEG, "png": rastra.Format.PNG,
               "bmp": rastra.Format.BMP, "webp": rastra.Format.WEBP}
_OUTPUT_EXTENSION = {rastra.Format.JPEG: "jpg", rastra.Format.PNG: "png", rastra.Format.BMP: "bmp",
                     rastra.Format.WEBP: "webp"}
_STEM_MAX = 2048
_PATH_MAX = 4095
_DEFAULT_MAX_PIXELS = 10240 * 10240
_GLOB_CHARACTERS = "*?["


def _max_input_bytes(max_pixels: Optional[int]) -> int:
    """The largest input read for a pixel limit (RASTRA_MAX_INPUT_BYTES)."""
    n = (max_pixels or _DEFAULT_MAX_PIXELS) * 8 + (64 << 20)
    return min(n, 2**31 - 1)


class Candidate(NamedTuple):
    """One input of a run, with its output, in the run's order."""

    index: int
    input: str   # path on the source's file system
    output: str  # path on the destination's file system ("" when it cannot be named)
    format: int  # the rastra.Format written
    message: str  # why it cannot be named, else ""


@dataclasses.dataclass
class RunPlan:
    """What convert_many converts: the candidates, grouped into chains of inputs sharing an output."""

    source_fs: "fsspec.AbstractFileSystem"
    destination_fs: "fsspec.AbstractFileSystem"
    destination: str
    candidates: List[Candidate]
    chains: List[List[Candidate]]


def _kind_of(name: str) -> Optional[rastra.Format]:
    dot = name.rfind(".")
    if dot < 0:
        return None
    return _EXTENSIONS.get(name[dot + 1:].lower())


def _output_key(fs, path: str) -> str:
    # On a local file system of Windows, names differ only in case name one file.
    if os.name == "nt" and "file" in _protocols(fs):
        return path.replace("\\", "/").lower()
    return path


def _protocols(fs) -> Tuple[str, ...]:
    p = fs.protocol
    return (p,) if isinstance(p, str) else tuple(p)


def _is_local(fs) -> bool:
    return "file" in _protocols(fs) or "local" in _protocols(fs)


def _entries(source, recursive: bool, storage_options: dict):
    """The source's file system and its entries as (path, path relative to the source root), in listing order."""
    if isinstance(source, (list, tuple)):
        if not source:
            raise rastra.RastraError("run: no images found in the list given")
        fs = None
        entries = []
        for item in source:
            item_fs, path = fsspec.core.url_to_fs(os.fspath(item), **storage_options)
            if fs is None:
                fs = item_fs
            elif item_fs.protocol != fs.protocol:
                raise ValueError("every input of a list must be on one file system")
            entries.append((path, posixpath.basename(path.rstrip("/"))))
        return fs, entries
    source = os.fspath(source)
    fs, root = fsspec.core.url_to_fs(source, **storage_options)
    if any(c in source for c in _GLOB_CHARACTERS):
        paths = fs.glob(root)
        return fs, [(p, posixpath.basename(p)) for p in paths]
    try:
        if not fs.isdir(root):
            raise rastra.RastraError("run: cannot open directory %s" % source)
    except OSError:
        raise rastra.RastraError("run: cannot open directory %s" % source)
    entries = []

    def walk(directory: str, prefix: str):
        try:
            listing = fs.ls(directory, detail=True)
        except OSError:
            if not prefix:
                raise rastra.RastraError("run: cannot open directory %s" % source)
            return
        for info in listing:
            path = info["name"]
            name = posixpath.basename(path.rstrip("/"))
            if recursive and not name.startswith(".") and info.get("type") == "directory":
                walk(path, prefix + name + "/")
            else:
                entries.append((path, prefix + name))

    walk(root, "")
    return fs, entries


def plan(source, destination, *, recursive: bool = False, format=rastra.Format.AUTO,
         storage_options: Optional[dict] = None) -> RunPlan:
    """Lists the source once and names every candidate, as convert_many will convert them.

    Creates the destination when missing. Raises RastraError when the source
    cannot be listed or holds no image."""
    storage_options = storage_options or {}
    settings = rastra._settings(None, {"format": format})
    src_fs, entries = _entries(source, recursive, storage_options)
    dst_fs, dst_root = fsspec.core.url_to_fs(os.fspath(destination), **storage_options)
    try:
        dst_fs.makedirs(dst_root, exist_ok=True)
    except OSError:
        raise rastra.RastraError("run: cannot create output dir %s" % os.fspath(destination))

    candidates: List[Candidate] = []
    for path, relative in entries:
        name = posixpath.basename(relative)
        if name.startswith("."):
            continue  # dot-files, and the directory's own entries
        kind = _kind_of(name)
        if kind is None:
            continue
        written = kind if settings.format == rastra.Format.AUTO else settings.format
        stem = name[: name.rfind(".")].encode("utf-8", "surrogateescape")[:_STEM_MAX].decode("utf-8", "ignore")
        sub = posixpath.dirname(relative)
        out = posixpath.join(dst_root, sub, stem + "." + _OUTPUT_EXTENSION[written]) if sub else \
            posixpath.join(dst_root, stem + "." + _OUTPUT_EXTENSION[written])
        index = len(candidates)
        if len(out.encode("utf-8", "surrogateescape")) > _PATH_MAX or len(path.encode("utf-8", "surrogateescape")) > _PATH_MAX:
            candidates.append(Candidate(index, path, "", int(written), "run: path too long: %s" % name))
        else:
            candidates.append(Candidate(index, path, out, int(written), ""))
    if not candidates:
        raise rastra.RastraError("run: no images found in %s" % os.fspath(source) if not isinstance(source, (list, tuple))
                                 else "run: no images found in the list given")
    return RunPlan(src_fs, dst_fs, dst_root, candidates, _chains(dst_fs, candidates))


def _chains(fs, candidates: List[Candidate]) -> List[List[Candidate]]:
    """Candidates that write one output form one chain, in the run's order."""
    chains: List[List[Candidate]] = []
    by_output: Dict[str, List[Candidate]] = {}
    for c in candidates:
        if not c.output:
            chains.append([c])
            continue
        key = _output_key(fs, c.output)
        chain = by_output.get(key)
        if chain is None:
            chain = by_output[key] = []
            chains.append(chain)
        chain.append(c)
    return chains


def _tasks(chains: List[List[Candidate]], files_per_task: int) -> List[List[Candidate]]:
    """Chains packed into tasks of at most files_per_task files; a chain is never split."""
    tasks: List[List[Candidate]] = []
    current: List[Candidate] = []
    for chain in chains:
        if current and len(current) + len(chain) > files_per_task:
            tasks.append(current)
            current = []
        current.extend(chain)
    if current:
        tasks.append(current)
    return tasks


# ---- what runs on the workers --------------------------------------------------------


class _Done(NamedTuple):
    index: int
    converted: bool
    reason: int
    message: str
    input_bytes: int
    output_bytes: int


def _file_message(message: str, src: str, dst: str) -> str:
    """A memory conversion's message as the file conversion of src into dst says it."""
    if not message.startswith("convert: "):
        return message
    body = message[len("convert: "):]
    if body.endswith("input"):
        body = body[: -len("input")] + src
    elif body.endswith("output"):
        body = body[: -len("output")] + dst
    return "process_file: " + body


def _temporary_name(run_id: str) -> str:
    # Short whatever the output's name, so that any name the file system
    # takes has room for its temporary file; a dot-file, so that no run takes
    # it for an input.
    return ".rastra-%s-%s.tmp" % (run_id, uuid.uuid4().hex[:12])


def _write_whole(fs, path: str, data: bytes, run_id: str) -> None:
    """Writes data so that path is never seen in part: a temporary dot-file and a rename, or one put.

    A symbolic link is written through, as the library writes: the file it
    names is replaced and the link stays a link."""
    if not _is_local(fs):
        fs.pipe_file(path, data)
        return
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    target = os.path.realpath(path) if os.path.islink(path) else path
    temporary = os.path.join(os.path.dirname(target), _temporary_name(run_id))
    try:
        with open(temporary, "wb") as f:
            f.write(data)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _convert_one(converters, settings, src_fs, dst_fs, c: Candidate, limit: int, run_id: str) -> _Done:
    def failed(reason, text):
        return _Done(c.index, False, int(reason), text, 0, 0)

    try:
        info = src_fs.info(c.input)
    except FileNotFoundError:
        return failed(rastra.Reason.NO_SUCH_FILE, "process_file: cannot read %s" % c.input)
    except OSError:
        return failed(rastra.Reason.CANNOT_READ, "process_file: cannot read %s" % c.input)
    kind = info.get("type")
    if kind is not None and kind != "file":
        if kind == "other" and _is_local(src_fs) and os.path.isfile(c.input):
            pass  # a symbolic link to a file
        else:
            return failed(rastra.Reason.NOT_REGULAR_FILE, "process_file: cannot read %s" % c.input)
    size = info.get("size") or 0
    if size > limit:
        return failed(rastra.Reason.TOO_LARGE, "process_file: image too large: %s" % c.input)
    try:
        data = src_fs.cat_file(c.input)
    except OSError:
        return failed(rastra.Reason.CANNOT_READ, "process_file: cannot read %s" % c.input)
    if len(data) > limit:
        return failed(rastra.Reason.TOO_LARGE, "process_file: image too large: %s" % c.input)

    converter = converters.get(c.format)
    if converter is None:
        converter = converters[c.format] = rastra.Converter(dataclasses.replace(settings, format=c.format))
    try:
        output = converter.convert_bytes(data)
    except rastra.RastraError as e:
        return failed(e.reason, _file_message(e.message, c.input, c.output))
    input_bytes = len(data)
    del data  # one input at a time
    try:
        _write_whole(dst_fs, c.output, output, run_id)
    except OSError:
        return failed(rastra.Reason.CANNOT_WRITE, "process_file: cannot write %s" % c.output)
    return _Done(c.index, True, 0, "", input_bytes, len(output))


def _run_task(items: List[Candidate], settings: rastra.Settings, src_fs, dst_fs, run_id: str) -> List[_Done]:
    """Converts a task's files one after the other, in order. Never raises for one file's failure."""
    limit = _max_input_bytes(settings.max_pixels)
    converters: Dict[int, rastra.Converter] = {}
    try:
        return [_convert_one(converters, settings, src_fs, dst_fs, c, limit, run_id) if c.output
                else _Done(c.index, False, int(rastra.Reason.PATH_TOO_LONG), c.message, 0, 0)
                for c in items]
    finally:
        for converter in converters.values():
            converter.close()


# ---- the client's side ----------------------------------------------------------------


def stats_json(result: dict) -> str:
    """The run's statistics as the library's one line of JSON."""
    return ('{"processed":%d,"failed":%d,"total_input_bytes":%d,"total_output_bytes":%d}'
            % (result["processed"], result["failed"], result["total_input_bytes"], result["total_output_bytes"]))


def _default_files_per_task(n_files: int, n_workers: int) -> int:
    # About four tasks per worker keeps every worker busy to the end; at most
    # 64 files per task keeps a million files within about 16 000 tasks.
    per = -(-n_files // max(1, 4 * n_workers))
    return max(1, min(64, per))


def _local_client():
    from distributed import Client, LocalCluster
    import logging
    cluster = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.ERROR)
    return Client(cluster), cluster


def _refuse_replacing_inputs(p: RunPlan) -> None:
    if type(p.source_fs) is not type(p.destination_fs):
        return
    outputs = [c for c in p.candidates if c.output]
    if _is_local(p.source_fs):
        # Names on a local disk may lead to one file (hard and symbolic links):
        # the library tells, as it does for its own hosts.
        replacing = rastra._first_replacing(rastra._library(), _native_paths(c.input for c in p.candidates),
                                            [(n, c) for c in outputs for n in _native_paths([c.output])])
    else:
        inputs = {_output_key(p.source_fs, c.input) for c in p.candidates}
        replacing = next((c for c in outputs if _output_key(p.destination_fs, c.output) in inputs), None)
    if replacing is not None:
        raise rastra.RastraError("%s would replace an input of this run; pass in_place=True to allow it"
                                 % replacing.output)


def _native_paths(paths) -> List[bytes]:
    """Local paths as the library takes them; a name it cannot take is left out."""
    native = []
    for path in paths:
        try:
            native.append(rastra._path(path))
        except (rastra.RastraError, ValueError):
            pass
    return native


def convert_many(source, destination, *, client=None, files_per_task: Optional[int] = None,
                 progress: Union[None, bool, Callable[[rastra.FileResult], None]] = None,
                 recursive: bool = False, in_place: bool = False, retries: int = 2,
                 storage_options: Optional[dict] = None, settings: Optional[rastra.Settings] = None,
                 **kwargs) -> dict:
    """Converts every image of source into destination on a Dask cluster.

    Returns the statistics ({"processed", "failed", "total_input_bytes",
    "total_output_bytes"}, as rastra_stats counts them) plus "failures", a
    list of rastra.FileResult in the run's order. ``client``: a
    distributed.Client; None starts a LocalCluster on this machine (one
    worker process per CPU, one thread each) and closes it afterwards.
    ``files_per_task``: files per task (default: about four tasks per worker,
    1 to 64 files each). ``progress``: a callable given a FileResult for
    every finished file (from the calling thread), True for Dask's progress
    bar, None for the bar on a terminal only. ``retries``: how often a task
    that raises is run again before its files count as failed. A run whose
    outputs would replace its inputs raises RastraError before converting
    anything, unless ``in_place=True``. Settings are rastra.convert's keyword
    arguments, or a rastra.Settings as ``settings``."""
    from distributed import as_completed

    s = rastra._settings(settings, kwargs)
    rastra._library()  # fail early, here, when the library cannot be loaded
    p = plan(source, destination, recursive=recursive, format=s.format, storage_options=storage_options)
    if not in_place:
        _refuse_replacing_inputs(p)

    own_cluster = None
    if client is None:
        client, own_cluster = _local_client()
    try:
        n_workers = len(client.scheduler_info().get("workers", {})) or 1
        per_task = files_per_task or _default_files_per_task(len(p.candidates), n_workers)
        if per_task < 1:
            raise ValueError("files_per_task must be 1 or more")
        run_id = uuid.uuid4().hex[:12]
        tasks = _tasks(p.chains, per_task)
        futures = {}
        for number, items in enumerate(tasks):
            future = client.submit(_run_task, items, s, p.source_fs, p.destination_fs, run_id,
                                   key="rastra-%s-%d" % (run_id, number), retries=retries, pure=False)
            futures[future] = items

        show_bar = progress is True or (progress is None and sys.stderr.isatty())
        if show_bar:
            from distributed import progress as dask_progress
            dask_progress(list(futures))
        report = progress if callable(progress) else None

        stats = {"processed": 0, "failed": 0, "total_input_bytes": 0, "total_output_bytes": 0}
        failures: List[Tuple[int, rastra.FileResult]] = []
        by_index = {c.index: c for c in p.candidates}

        def add(c: Candidate, done: _Done):
            result = rastra.FileResult(c.input, c.output, done.converted, done.message)
            if done.converted:
                stats["processed"] += 1
                stats["total_input_bytes"] += done.input_bytes
                stats["total_output_bytes"] += done.output_bytes
            else:
                stats["failed"] += 1
                failures.append((c.index, result))
            if report is not None:
                report(result)

        for future in as_completed(list(futures)):
            items = futures.pop(future)
            try:
                # Waits again when the worker holding the result died after
                # the task finished: the scheduler computes it once more.
                outcomes = future.result()
            except Exception as error:  # the task raised on every attempt, or its workers kept dying
                text = "%s: %s" % (type(error).__name__, error)
                outcomes = [_Done(c.index, False, int(rastra.Reason.CANNOT_READ),
                                  "task failed after %d retries: %s" % (retries, text), 0, 0) for c in items]
            for done in outcomes:
                add(by_index[done.index], done)
            future.release()
        if _is_local(p.destination_fs):
            _remove_leftovers(p, run_id)
    finally:
        if own_cluster is not None:
            client.close()
            own_cluster.close()
    result = dict(stats)
    result["failures"] = [r for _, r in sorted(failures, key=lambda f: f[0])]
    return result


def _remove_leftovers(p: RunPlan, run_id: str) -> None:
    """Temporary files of attempts cut short by a worker's death."""
    prefix = ".rastra-%s-" % run_id
    outputs = [c.output for c in p.candidates if c.output]
    # Beside each output, and beside the file a symbolic link among them names.
    directories = {os.path.dirname(o) for o in outputs}
    directories |= {os.path.dirname(os.path.realpath(o)) for o in outputs if os.path.islink(o)}
    for directory in directories:
        try:
            names = os.listdir(directory)
        except OSError:
            continue
        for name in names:
            if name.startswith(prefix) and name.endswith(".tmp"):
                try:
                    os.unlink(os.path.join(directory, name))
                except OSError:
                    pass

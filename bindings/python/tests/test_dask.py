"""rastra.dask on real Dask clusters: the same outputs, names and statistics
as ``rastra --jobs 1``, a worker killed in the middle of a run, a task that
keeps failing, object stores and the command line.

Needs Dask (Debian's python3-dask, python3-distributed, python3-fsspec), the
rastra command line (RASTRA_CLI) and ImageMagick's convert for photographs.
"""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading

import pytest

dask = pytest.importorskip("distributed")
import fsspec  # noqa: E402
from fsspec.implementations.local import LocalFileSystem  # noqa: E402

import rastra  # noqa: E402
import rastra.dask  # noqa: E402

CLI = os.environ.get("RASTRA_CLI")
SAMPLES = os.environ.get("RASTRA_MAKE_SAMPLES")


def _photo(path, seed, size):
    subprocess.run(["convert", "-seed", str(seed), "-size", size, "plasma:fractal", "-blur", "0x2",
                    "-quality", "92", path], check=True)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """About forty inputs: photographs, small images of every format, broken
    files, names that share an output, and entries the run skips."""
    if not SAMPLES or not CLI:
        pytest.skip("RASTRA_MAKE_SAMPLES and RASTRA_CLI name the programs this test compares with")
    root = tmp_path_factory.mktemp("dask")
    src = root / "in"
    subprocess.run([SAMPLES, str(src)], check=True, stdout=subprocess.DEVNULL)
    if shutil.which("convert"):
        for i, size in enumerate(["2400x1600", "1600x1200", "3000x2000", "1024x768"]):
            _photo(str(src / ("photo%d.jpg" % i)), 7 + i, size)
    base = (src / "hills.jpg").read_bytes()
    n = 0
    for fmt in ("png", "jpeg", "webp", "bmp"):
        for box in ((64, 48), (200, 0), (0, 90), (333, 222), (17, 17)):
            data = rastra.convert_bytes(base, format=fmt, max_size=box, quality=70 + n)
            ext = {"jpeg": "jpg"}.get(fmt, fmt)
            (src / ("small%02d.%s" % (n, ext))).write_bytes(data)
            n += 1
    (src / "pair.jpg").write_bytes(rastra.convert_bytes(base, format="jpeg", max_size=(50, 50)))
    (src / "pair.png").write_bytes(rastra.convert_bytes(base, format="png", max_size=(60, 60)))
    png = (src / "logo.png").read_bytes()
    (src / "cut.png").write_bytes(png[: len(png) // 3])
    (src / "empty.jpg").write_bytes(b"")
    (src / "text.png").write_bytes(b"not an image at all")
    (src / ".hidden.png").write_bytes(rastra.convert_bytes(base, format="png", max_size=(8, 8)))
    (src / "album.jpg").mkdir()
    (src / "readme.md").write_text("skipped")
    return src


def _cli(src, dst, *extra):
    r = subprocess.run([CLI, "--jobs", "1", "--no-progress", *extra, str(src), str(dst)],
                       capture_output=True, text=True)
    return r.returncode, json.loads(r.stdout), r.stderr


def _files(directory):
    return {name: (directory / name).read_bytes() for name in sorted(os.listdir(directory))}


def _same_as_cli(folder, tmp_path, result, out, *options):
    status, stats, errors = _cli(folder, tmp_path / "cli", *options)
    assert status == 1
    assert rastra.dask.stats_json(result) == json.dumps(stats, separators=(",", ":")), result["failures"]
    assert _files(out) == _files(tmp_path / "cli")
    failed = sorted(os.path.basename(f.input) for f in result["failures"])
    assert failed == ["album.jpg", "cut.png", "empty.jpg", "text.png"]
    for name in failed:
        assert name in errors
    return result


def _local_cluster(**options):
    """A client of a quiet LocalCluster, closed with it when the test is done."""
    import logging
    c = dask.LocalCluster(dashboard_address=None, silence_logs=logging.ERROR, **options)
    client = dask.Client(c)
    yield client
    client.close()
    c.close()


@pytest.fixture(scope="module")
def cluster():
    yield from _local_cluster(n_workers=2, threads_per_worker=1, processes=True)


def test_a_cluster_gives_what_one_process_gives(folder, tmp_path, cluster):
    out = tmp_path / "dask"
    seen = []
    result = rastra.dask.convert_many(str(folder), str(out), client=cluster, format="webp", max_size=(800, 600),
                                      watermark="rastra", files_per_task=3, progress=seen.append)
    _same_as_cli(folder, tmp_path, result, out, "--format", "webp", "--max", "800x600", "--watermark", "rastra")
    assert len(seen) == result["processed"] + result["failed"]
    assert not [n for n in os.listdir(out) if n.startswith(".")]  # no temporary file left
    assert "pair.webp" in os.listdir(out)  # two inputs, one output: the later one wins
    # Messages are the library's, with the paths.
    by_name = {os.path.basename(f.input): f.message for f in result["failures"]}
    assert by_name["text.png"] == "process_file: unsupported image format: %s" % (folder / "text.png")
    assert by_name["album.jpg"] == "process_file: cannot read %s" % (folder / "album.jpg")


def test_a_worker_killed_mid_run_changes_nothing(folder, tmp_path, cluster):
    pids = list(cluster.run(os.getpid).values())
    assert len(pids) == 2
    killed = []

    def kill_after_a_few(result):
        if not killed and len(kill_after_a_few.seen) >= 3:
            os.kill(pids[0], signal.SIGKILL)
            killed.append(pids[0])
        kill_after_a_few.seen.append(result)
    kill_after_a_few.seen = []

    out = tmp_path / "dask"
    result = rastra.dask.convert_many(str(folder), str(out), client=cluster, format="jpeg", max_size=(640, 640),
                                      files_per_task=1, progress=kill_after_a_few)
    assert killed
    _same_as_cli(folder, tmp_path, result, out, "--format", "jpeg", "--max", "640x640")
    assert len(kill_after_a_few.seen) == result["processed"] + result["failed"]  # every file once
    assert not [n for n in os.listdir(out) if n.startswith(".")]
    cluster.wait_for_workers(2, timeout=60)  # the nanny brings the worker back


class _FailingFS(LocalFileSystem):
    """Raises something no file's failure explains, for every name starting with 'small0'."""

    attempts = 0
    lock = threading.Lock()

    def cat_file(self, path, *args, **kwargs):
        if os.path.basename(path).startswith("small0"):
            with _FailingFS.lock:
                _FailingFS.attempts += 1
            raise RuntimeError("the store fell over")
        return super().cat_file(path, *args, **kwargs)


@pytest.fixture()
def threads_cluster():
    yield from _local_cluster(n_workers=1, threads_per_worker=2, processes=False)


def test_a_task_that_raises_is_retried_then_reported_with_its_inputs(folder, tmp_path, threads_cluster):
    p = rastra.dask.plan(str(folder), str(tmp_path / "out"))
    p_fs = _FailingFS(skip_instance_cache=True)
    original = rastra.dask.plan
    rastra.dask.plan = lambda *a, **k: rastra.dask.RunPlan(p_fs, p.destination_fs, p.destination, p.candidates,
                                                            p.chains)
    try:
        result = rastra.dask.convert_many(str(folder), str(tmp_path / "out"), client=threads_cluster, retries=1,
                                          files_per_task=100)
    finally:
        rastra.dask.plan = original
    # One task held every file: each was reported, none silently dropped.
    assert result["processed"] == 0
    assert result["failed"] == len(p.candidates)
    assert all("task failed after 1 retries: RuntimeError: the store fell over" in f.message
               for f in result["failures"])
    assert _FailingFS.attempts == 2  # the first attempt and one retry


def test_object_stores_globs_and_lists(folder, tmp_path, threads_cluster):
    # An object store (fsspec's in-memory one, shared by the threads of this
    # process): inputs and outputs go through it, one put per output.
    store = fsspec.filesystem("memory")
    for name in ("hills.jpg", "logo.png", "text.png", "notes.txt"):
        store.pipe_file("/bucket/in/" + name, (folder / name).read_bytes())
    result = rastra.dask.convert_many("memory://bucket/in", "memory://bucket/out", client=threads_cluster,
                                      format="png", max_size=(100, 100))
    assert (result["processed"], result["failed"]) == (2, 1)
    assert sorted(store.ls("/bucket/out", detail=False)) == ["/bucket/out/hills.png", "/bucket/out/logo.png"]
    png = store.cat_file("/bucket/out/hills.png")
    info = rastra.probe(png)
    assert (info.format, max(info.width, info.height)) == (rastra.Format.PNG, 100)
    assert png == rastra.convert_bytes((folder / "hills.jpg").read_bytes(), format="png", max_size=(100, 100))

    # A glob and a list pick their files; the names stay the run's.
    r = rastra.dask.convert_many(str(folder / "small1*.bmp"), str(tmp_path / "glob"), client=threads_cluster)
    assert sorted(os.listdir(tmp_path / "glob")) == ["small15.bmp", "small16.bmp", "small17.bmp",
                                                      "small18.bmp", "small19.bmp"]
    assert r["processed"] == 5
    r = rastra.dask.convert_many([str(folder / "logo.png"), str(folder / "scan.bmp")], str(tmp_path / "list"),
                                 client=threads_cluster, format="jpeg")
    assert sorted(os.listdir(tmp_path / "list")) == ["logo.jpg", "scan.jpg"]


def test_runs_that_cannot_start_say_why(folder, tmp_path):
    with pytest.raises(rastra.RastraError, match="run: no images found in"):
        rastra.dask.plan(str(tmp_path), str(tmp_path / "out"))
    with pytest.raises(rastra.RastraError, match="run: cannot open directory"):
        rastra.dask.plan(str(tmp_path / "missing"), str(tmp_path / "out"))
    with pytest.raises(rastra.RastraError, match="would replace an input"):
        rastra.dask.convert_many(str(folder), str(folder), format="auto")


def test_the_command_line_prints_what_rastra_prints(folder, tmp_path, cluster):
    address = cluster.scheduler.address
    env = dict(os.environ)
    r = subprocess.run([sys.executable, "-m", "rastra.dask", "--scheduler", address, "--no-progress",
                        "--format", "png", "--max", "300x300", str(folder), str(tmp_path / "out")],
                       capture_output=True, text=True, env=env, cwd=str(tmp_path))
    status, stats, _ = _cli(folder, tmp_path / "cli", "--format", "png", "--max", "300x300")
    assert r.returncode == status == 1
    assert r.stdout == json.dumps(stats, separators=(",", ":")) + "\n"
    assert "text.png: process_file: unsupported image format" in r.stderr
    assert _files(tmp_path / "out") == _files(tmp_path / "cli")
    r = subprocess.run([sys.executable, "-m", "rastra.dask", "--max", "12", str(folder), str(tmp_path / "x")],
                       capture_output=True, text=True, env=env)
    assert r.returncode == 2


def test_the_command_line_passes_codecs_png_level_and_lossless(folder, tmp_path, cluster):
    src = tmp_path / "in"
    src.mkdir()
    for name in ("hills.jpg", "logo.png", "small01.png", "small11.webp", "scan.bmp"):
        shutil.copy(folder / name, src / name)

    def both(name, *options):
        r = subprocess.run([sys.executable, "-m", "rastra.dask", "--scheduler", cluster.scheduler.address,
                            "--no-progress", *options, str(src), str(tmp_path / name)],
                           capture_output=True, text=True, cwd=str(tmp_path))
        status, stats, _ = _cli(src, tmp_path / (name + "-cli"), *options)
        assert r.returncode == status == 0, r.stderr
        assert r.stdout == json.dumps(stats, separators=(",", ":")) + "\n"
        assert _files(tmp_path / name) == _files(tmp_path / (name + "-cli"))
        return _files(tmp_path / name)

    small = both("small", "--png-level", "1", "--lossless", "--max", "300x300")
    logo = (src / "logo.png").read_bytes()
    assert small["logo.png"] == rastra.convert_bytes(logo, max_size=(300, 300), png_level=1)
    assert small["logo.png"] != rastra.convert_bytes(logo, max_size=(300, 300))
    assert small["small11.webp"][12:16] == b"VP8L"
    reference = both("reference", "--codecs", "reference", "--format", "png")
    assert sorted(reference) == ["hills.png", "logo.png", "scan.png", "small01.png", "small11.png"]
    assert all(png[25] == 6 for png in reference.values())   # RGBA from the reference set
    assert reference["hills.png"] == rastra.convert_bytes((src / "hills.jpg").read_bytes(), format="png",
                                                          codecs="reference")
    r = subprocess.run([sys.executable, "-m", "rastra.dask", "--png-level", "10", str(src), str(tmp_path / "x")],
                       capture_output=True, text=True)
    assert r.returncode == 2 and "--png-level" in r.stderr


def _small_folder(root, names):
    """24-bit BMP inputs with the names given, each of its own size, in root/in."""
    src = root / "in"
    src.mkdir()
    for i, name in enumerate(names):
        w, h = 20 + i, 12
        row = (w * 3 + 3) // 4 * 4
        body = bytes((x * 7 + y * 3 + i * 31) % 256 for y in range(h) for x in range(row))
        (src / name).write_bytes(struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(body), 0, 0, 54, 40, w, h, 1,
                                             24, 0, len(body), 2835, 2835, 0, 0) + body)
    return src


@pytest.mark.skipif(os.name == "nt", reason="symbolic links need a privilege there")
def test_inputs_under_another_name_are_never_replaced(tmp_path, threads_cluster):
    src = _small_folder(tmp_path, ["a.bmp", "b.bmp"])
    before = _files(src)
    (tmp_path / "link").symlink_to(src, target_is_directory=True)
    (tmp_path / "hard").mkdir()
    os.link(src / "a.bmp", tmp_path / "hard" / "a.bmp")
    for destination in ("link", "hard"):
        with pytest.raises(rastra.RastraError, match="a.bmp would replace an input of this run"):
            rastra.dask.convert_many(str(src), str(tmp_path / destination), client=threads_cluster,
                                     max_size=(8, 8))
    r = subprocess.run([sys.executable, "-m", "rastra.dask", "--max", "8x8", str(src), str(tmp_path / "link")],
                       capture_output=True, text=True)
    assert r.returncode == 2 and "would replace an input of this run" in r.stderr, r.stderr
    assert _files(src) == before


@pytest.mark.skipif(os.name == "nt", reason="symbolic links need a privilege there")
def test_outputs_are_written_as_the_library_writes_them(tmp_path, threads_cluster):
    long_name = "x" * 240 + ".bmp"  # its output's name leaves no room for a longer temporary name
    src = _small_folder(tmp_path, [long_name, "linked.bmp", "dangling.bmp"])
    outcomes = {}
    for who in ("library", "dask"):
        out, elsewhere = tmp_path / who, tmp_path / (who + "-elsewhere")
        out.mkdir()
        elsewhere.mkdir()
        (elsewhere / "real.bmp").write_bytes(b"old")
        (out / "linked.bmp").symlink_to(elsewhere / "real.bmp")
        (out / "dangling.bmp").symlink_to(elsewhere / "new.bmp")
        if who == "library":
            result = rastra.convert_dir(src, out, max_size=(10, 10))
        else:
            result = rastra.dask.convert_many(str(src), str(out), client=threads_cluster, max_size=(10, 10))
        assert (result["processed"], result["failed"]) == (3, 0), result["failures"]
        assert (out / "linked.bmp").is_symlink() and (out / "dangling.bmp").is_symlink()
        outcomes[who] = (_files(out), _files(elsewhere))
        assert sorted(outcomes[who][1]) == ["new.bmp", "real.bmp"]
    assert outcomes["dask"] == outcomes["library"]

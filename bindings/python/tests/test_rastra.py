"""The Python package against the built library (RASTRA_LIBRARY)."""
import os
import pathlib
import struct
import threading

import pytest

import rastra


def bmp(path, w, h, seed=1):
    """A 24-bit BMP with a pattern that depends on seed."""
    row = (w * 3 + 3) // 4 * 4
    pixels = bytearray(row * h)
    for y in range(h):
        for x in range(w):
            pixels[y * row + 3 * x: y * row + 3 * x + 3] = bytes(((x * seed) % 256, (y * 3) % 256, (x + y + seed) % 256))
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(pixels), 0, 0, 54, 40, w, h, 1, 24, 0,
                         len(pixels), 2835, 2835, 0, 0)
    pathlib.Path(path).write_bytes(header + bytes(pixels))


@pytest.fixture
def photos(tmp_path):
    d = tmp_path / "in"
    d.mkdir()
    for i, (w, h) in enumerate([(64, 48), (30, 90), (200, 20), (17, 17)]):
        bmp(d / ("p%d.bmp" % i), w, h, seed=i + 1)
    rastra.convert(d / "p0.bmp", d / "p0.png")           # a PNG input too
    rastra.convert(d / "p1.bmp", d / "same.jpg")         # same.jpg and same.bmp share an output
    bmp(d / "same.bmp", 40, 40, seed=9)
    (d / "bad.png").write_bytes(b"not an image")
    return d


def size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_settings_as_keywords_or_object(tmp_path):
    bmp(tmp_path / "a.bmp", 100, 50)
    stats = rastra.convert(tmp_path / "a.bmp", tmp_path / "a.png", max_size=(40, 40))
    assert stats["processed"] == 1 and stats["total_output_bytes"] > 0
    assert size(tmp_path / "a.png") == (40, 20)
    s = rastra.Settings(max_size=(10, 0), format=rastra.Format.PNG, watermark=rastra.Watermark("x", 3, 1.0))
    rastra.convert(str(tmp_path / "a.bmp"), os.fsencode(tmp_path / "b.out"), s)   # str and bytes paths
    assert size(tmp_path / "b.out") == (10, 5)
    # Nothing leaks from one call into the next.
    rastra.convert(tmp_path / "a.bmp", tmp_path / "c.png")
    assert size(tmp_path / "c.png") == (100, 50)


@pytest.mark.parametrize("bad", [dict(quality=101), dict(format="gif"), dict(max_size=(-1, 5)),
                                 dict(watermark=""), dict(watermark=rastra.Watermark("x", 2)),
                                 dict(max_pixels=0)])
def test_out_of_range_settings_raise(tmp_path, bad):
    with pytest.raises(ValueError):
        rastra.convert(tmp_path / "a.bmp", tmp_path / "a.png", **bad)


def test_failures_raise_with_the_library_message(tmp_path):
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert(tmp_path / "missing.png", tmp_path / "o.png")
    assert e.value.message == "process_file: cannot read " + str(tmp_path / "missing.png")
    (tmp_path / "empty").mkdir()
    with pytest.raises(rastra.RastraError, match="run: no images found in "):
        rastra.convert_dir(tmp_path / "empty", tmp_path / "out")


def test_directory_run_reports_a_failure_and_goes_on(photos, tmp_path):
    seen = []
    stats = rastra.convert_dir(photos, tmp_path / "out", format="png", progress=seen.append)
    assert stats["processed"] == 7 and stats["failed"] == 1
    assert len(seen) == 8
    [failure] = stats["failures"]
    assert failure.input.endswith("bad.png") and not failure.converted
    assert failure.message.startswith("process_file: unsupported image format: ")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["p0.png", "p1.png", "p2.png", "p3.png", "same.png"]


def test_jobs_give_what_one_process_gives(photos, tmp_path):
    one = rastra.convert_dir(photos, tmp_path / "one", format="webp", max_size=(32, 32), watermark="w")
    two = rastra.convert_dir(photos, tmp_path / "two", format="webp", max_size=(32, 32), watermark="w", jobs=2)
    failures = lambda s: sorted((f.input, f.message) for f in s.pop("failures"))
    assert failures(one) == failures(two)
    assert one == two
    files = lambda d: {p.name: p.read_bytes() for p in d.iterdir()}
    assert files(tmp_path / "one") == files(tmp_path / "two")


def test_a_progress_callback_cannot_reenter_and_its_errors_stop_the_run(photos, tmp_path):
    def reenter(_result):
        rastra.convert(photos / "p0.bmp", tmp_path / "x.png")

    with pytest.raises(RuntimeError, match="progress callback"):
        rastra.convert_dir(photos, tmp_path / "out", progress=reenter)

    def stop(_result):
        raise KeyError("stop here")

    with pytest.raises(KeyError):
        rastra.convert_dir(photos, tmp_path / "out2", progress=stop)
    assert len(list((tmp_path / "out2").iterdir())) <= 1


def test_the_lock_serialises_threads(tmp_path):
    # Two threads with different settings: each output must have its own.
    bmp(tmp_path / "a.bmp", 120, 60)
    errors = []

    def work(box, name):
        try:
            for i in range(20):
                out = tmp_path / ("%s%d.png" % (name, i))
                rastra.convert(tmp_path / "a.bmp", out, max_size=(box, box))
                assert size(out)[0] == box
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(b, n)) for b, n in ((60, "a"), (30, "b"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_a_missing_library_names_where_it_looked(tmp_path):
    with pytest.raises(OSError, match="the path given"):
        rastra.load(tmp_path / "nowhere" / "librastra.so")


def test_auto_orient_turns_a_tagged_photo_upright(tmp_path):
    import zlib
    bmp(tmp_path / "a.bmp", 30, 60)
    rastra.convert(tmp_path / "a.bmp", tmp_path / "a.png")
    png = (tmp_path / "a.png").read_bytes()
    tiff = b"II*\x00" + struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, 6, 0, 0)   # orientation 6
    chunk = struct.pack(">I", len(tiff)) + b"eXIf" + tiff + struct.pack(">I", zlib.crc32(b"eXIf" + tiff))
    (tmp_path / "side.png").write_bytes(png[:33] + chunk + png[33:])
    rastra.convert(tmp_path / "side.png", tmp_path / "stored.png")
    assert size(tmp_path / "stored.png") == (30, 60)
    rastra.convert(tmp_path / "side.png", tmp_path / "upright.png", auto_orient=True)
    assert size(tmp_path / "upright.png") == (60, 30)

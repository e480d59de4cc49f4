"""The Python package against the built library (RASTRA_LIBRARY)."""
import concurrent.futures
import errno
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import threading
import zlib

import pytest

import rastra


def bmp_bytes(w, h, seed=1, pixels=None):
    """A 24-bit BMP with a pattern that depends on seed (or the rows given)."""
    row = (w * 3 + 3) // 4 * 4
    if pixels is None:
        pixels = bytearray(row * h)
        for y in range(h):
            for x in range(w):
                pixels[y * row + 3 * x: y * row + 3 * x + 3] = bytes(((x * seed) % 256, (y * 3) % 256,
                                                                      (x + y + seed) % 256))
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(pixels), 0, 0, 54, 40, w, h, 1, 24, 0,
                         len(pixels), 2835, 2835, 0, 0)
    return header + bytes(pixels)


def bmp(path, w, h, seed=1):
    pathlib.Path(path).write_bytes(bmp_bytes(w, h, seed))


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
                                 dict(max_pixels=0), dict(color="cmyk"), dict(color=3), dict(color=True),
                                 dict(keep_metadata=8), dict(keep_metadata=-1), dict(keep_metadata="exif,gps"),
                                 dict(keep_metadata=["exif", 16]), dict(keep_metadata=1.5),
                                 dict(codecs="turbo"), dict(codecs=2), dict(codecs=-1), dict(codecs=True),
                                 dict(codecs=None), dict(png_level=0), dict(png_level=10), dict(png_level=True),
                                 dict(png_level=6.0), dict(png_level="9"), dict(webp_lossless="no"),
                                 dict(webp_lossless=2)])
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


def test_a_progress_callback_may_convert_and_its_errors_stop_the_run(photos, tmp_path):
    def reenter(result):
        rastra.convert(photos / "p0.bmp", tmp_path / (os.path.basename(result.input) + ".png"))

    assert rastra.convert_dir(photos, tmp_path / "out", progress=reenter)["processed"] == 7
    assert len(list(tmp_path.glob("*.png"))) == 8

    def stop(_result):
        raise KeyError("stop here")

    with pytest.raises(KeyError):
        rastra.convert_dir(photos, tmp_path / "out2", progress=stop)
    assert len(list((tmp_path / "out2").iterdir())) <= 1


def test_threads_keep_their_own_settings(tmp_path):
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


def sideways_png(w, h):
    """A PNG whose eXIf chunk says orientation 6 (turn 90 degrees clockwise)."""
    png = rastra.convert_bytes(bmp_bytes(w, h), format="png")
    tiff = b"II*\x00" + struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, 6, 0, 0)
    chunk = struct.pack(">I", len(tiff)) + b"eXIf" + tiff + struct.pack(">I", zlib.crc32(b"eXIf" + tiff))
    return png[:33] + chunk + png[33:]


def test_auto_orient_turns_a_tagged_photo_upright(tmp_path):
    (tmp_path / "side.png").write_bytes(sideways_png(30, 60))
    rastra.convert(tmp_path / "side.png", tmp_path / "stored.png", auto_orient=False)
    assert size(tmp_path / "stored.png") == (30, 60)
    rastra.convert(tmp_path / "side.png", tmp_path / "upright.png", auto_orient=True)
    assert size(tmp_path / "upright.png") == (60, 30)
    # Upright by default, as on the command line, everywhere.
    rastra.convert(tmp_path / "side.png", tmp_path / "default.png")
    assert size(tmp_path / "default.png") == (60, 30)
    assert rastra.probe(rastra.convert_bytes(sideways_png(30, 60)))[1:3] == (60, 30)


# ---- colour profiles and metadata ----------------------------------------------------


def png_chunks(png):
    """The (type, body) pairs of a PNG, in order."""
    found, at = [], 8
    while at < len(png):
        n, = struct.unpack(">I", png[at:at + 4])
        found.append((png[at + 4:at + 8], png[at + 8:at + 8 + n]))
        at += 12 + n
    return found


def with_chunks(png, *chunks):
    """The PNG with these chunks after its IHDR."""
    return png[:33] + b"".join(struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
                               for kind, body in chunks) + png[33:]


def linear_rgb_profile():
    """An ICC v2 RGB matrix profile: sRGB's primaries with a straight (gamma 1) curve."""
    def xyz(x, y, z):
        return b"XYZ \0\0\0\0" + struct.pack(">3i", *(round(v * 65536) for v in (x, y, z)))

    curve = b"curv\0\0\0\0" + struct.pack(">IH", 1, 0x100) + b"\0\0"   # gamma 1.0, padded to 16 bytes
    tags = [(b"wtpt", xyz(0.9642, 1.0, 0.8249)), (b"rXYZ", xyz(0.4361, 0.2225, 0.0139)),
            (b"gXYZ", xyz(0.3851, 0.7169, 0.0971)), (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    table, data, at = b"", b"", 128 + 4 + 12 * len(tags)
    for sig, body in tags:
        table += sig + struct.pack(">II", at + len(data), len(body))
        data += body
    size = at + len(data)
    header = (struct.pack(">I4sI4s4s4s12s4s", size, b"none", 0x02100000, b"mntr", b"RGB ", b"XYZ ", bytes(12), b"acsp")
              + bytes(24) + struct.pack(">I3i", 0, 63190, 65536, 54061) + bytes(48))   # intent 0, D50
    return header + struct.pack(">I", len(tags)) + table + data


def first_pixel(bmp_out):
    """(r, g, b) of a BMP's first stored pixel."""
    offset, = struct.unpack("<I", bmp_out[10:14])
    b, g, r = bmp_out[offset:offset + 3]
    return r, g, b


def test_color_modes_on_a_tagged_png():
    grey = rastra.convert_bytes(bmp_bytes(8, 8, pixels=b"\x80" * (8 * 3 * 8)), format="png")
    profile = linear_rgb_profile()
    tagged = with_chunks(grey, (b"iCCP", b"linear\0\0" + zlib.compress(profile)))

    def iccp(png):
        return [zlib.decompress(body.split(b"\0", 1)[1][1:]) for kind, body in png_chunks(png) if kind == b"iCCP"]

    # Converted to sRGB by default, as on the command line: linear 128 is sRGB 188.
    for settings in ({}, dict(color="srgb"), dict(color=rastra.COLOR_SRGB)):
        assert 186 <= first_pixel(rastra.convert_bytes(tagged, format="bmp", **settings))[0] <= 190
        assert iccp(rastra.convert_bytes(tagged, **settings)) == []
    # The library's own default: the profile dropped, the pixels as decoded.
    assert first_pixel(rastra.convert_bytes(tagged, format="bmp", color="ignore")) == (128, 128, 128)
    assert iccp(rastra.convert_bytes(tagged, color=rastra.Color.IGNORE)) == []
    # Kept: the pixels as decoded and the profile embedded, also through keep_metadata whatever color says.
    for settings in (dict(color="keep"), dict(keep_metadata=rastra.KEEP_ICC),
                     dict(keep_metadata="icc", color="srgb")):
        assert first_pixel(rastra.convert_bytes(tagged, format="bmp", **settings)) == (128, 128, 128)
        assert iccp(rastra.convert_bytes(tagged, **settings)) == [profile]


XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
       b'</rdf:RDF></x:xmpmeta>')


def test_keep_metadata_copies_the_parts_asked_for(tmp_path):
    tagged = with_chunks(sideways_png(30, 60), (b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + XMP))
    exif_in = dict(png_chunks(tagged))[b"eXIf"]

    def parts(png):
        found = dict(png_chunks(png))
        return found.get(b"eXIf"), found.get(b"iTXt", b"").endswith(XMP)

    assert parts(rastra.convert_bytes(tagged)) == (None, False)   # nothing kept by default
    # Turned upright (the default), so the kept block says orientation 1; the rest is the input's.
    upright = exif_in.replace(struct.pack("<HHIH", 0x0112, 3, 1, 6), struct.pack("<HHIH", 0x0112, 3, 1, 1))
    assert upright != exif_in
    assert parts(rastra.convert_bytes(tagged, keep_metadata="exif")) == (upright, False)
    assert parts(rastra.convert_bytes(tagged, keep_metadata=rastra.KEEP_EXIF, auto_orient=False)) == (exif_in, False)
    for everything in (rastra.KEEP_ALL, True, "all", ["exif", rastra.Keep.XMP], rastra.Keep.EXIF | rastra.Keep.XMP):
        assert parts(rastra.convert_bytes(tagged, keep_metadata=everything, auto_orient=False)) == (exif_in, True)
    assert parts(rastra.convert_bytes(tagged, keep_metadata=" XMP ")) == (None, True)
    # Directory runs take the same settings.
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.png").write_bytes(tagged)
    rastra.convert_dir(tmp_path / "in", tmp_path / "out", rastra.Settings(keep_metadata=rastra.Keep.XMP), jobs=2)
    assert parts((tmp_path / "out" / "a.png").read_bytes()) == (None, True)


# ---- codecs and encoders --------------------------------------------------------------


def png_colour_type(png):
    """The IHDR colour type: 2 for RGB, 6 for RGBA."""
    assert png[12:16] == b"IHDR"
    return png[25]


def decoded(image):
    """An image's pixels, as the library decodes them (a BMP's pixel array)."""
    out = rastra.convert_bytes(image, format="bmp")
    offset, = struct.unpack("<I", out[10:14])
    return out[offset:]


def mean_difference(a, b):
    pa, pb = decoded(a), decoded(b)
    assert len(pa) == len(pb)
    return sum(abs(x - y) for x, y in zip(pa, pb)) / len(pa)


def blocky_noise_bmp(w, h, seed=5):
    """Flat 8x8 blocks with a little noise in one channel: compressible, but not trivially."""
    rnd = random.Random(seed)
    row = (w * 3 + 3) // 4 * 4
    pixels = bytearray(row * h)
    for y in range(h):
        for x in range(w):
            v = (x // 8 * 16 + y // 8 * 8) % 256
            pixels[y * row + 3 * x: y * row + 3 * x + 3] = bytes(((v + rnd.randrange(4)) % 256, v, 255 - v))
    return bmp_bytes(w, h, pixels=pixels)


def rgba_png(w, h):
    """An 8-bit RGBA PNG whose alpha runs from 0 to 255 across each row."""
    raw = b"".join(b"\0" + b"".join(bytes((x * 7 % 256, y * 9 % 256, 90, x * 255 // (w - 1))) for x in range(w))
                   for y in range(h))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


@pytest.mark.parametrize("box", [None, (250, 250), (100, 100), (37, 0)])
def test_fast_and_reference_codecs_give_the_same_images(box):
    # (100, 100) and (37, 0) shrink by half or more: the fast set decodes the JPEG at a reduced scale.
    jpeg = rastra.convert_bytes(blocky_noise_bmp(300, 200), format="jpeg")
    png = rastra.convert_bytes(bmp_bytes(300, 200, seed=4), format="png")
    settings = dict(max_size=box) if box else {}
    for source in (jpeg, png):
        for fmt in ("jpeg", "png"):
            fast = rastra.convert_bytes(source, format=fmt, codecs="fast", **settings)
            reference = rastra.convert_bytes(source, format=fmt, codecs=rastra.Codecs.REFERENCE, **settings)
            assert fast != reference
            assert rastra.probe(fast)[:3] == rastra.probe(reference)[:3]
            # Nearly the same pixels; a channel swapped or an image shifted is far off.
            assert mean_difference(fast, reference) < (1 if source is png and fmt == "png" else 8)
    # An opaque PNG output: RGB from the fast set, RGBA from the reference set, the same pixels.
    fast = rastra.convert_bytes(png, codecs=rastra.CODECS_FAST, **settings)
    reference = rastra.convert_bytes(png, codecs="Reference", **settings)
    assert (png_colour_type(fast), png_colour_type(reference)) == (2, 6)
    assert decoded(fast) == decoded(reference)


def test_fast_codecs_are_the_default_and_keep_alpha(tmp_path):
    opaque = bmp_bytes(40, 30, seed=2)
    default = rastra.convert_bytes(opaque, format="png")
    assert png_colour_type(default) == 2
    assert default == rastra.convert_bytes(opaque, format="png", codecs=1)
    assert rastra.Settings().codecs == rastra.Codecs.FAST
    # Translucent pixels stay RGBA, alpha and all, in both sets.
    translucent = rgba_png(40, 30)
    for codecs in ("fast", "reference"):
        out = rastra.convert_bytes(translucent, codecs=codecs)
        assert png_colour_type(out) == 6
        assert decoded(out) == decoded(translucent)
    # Files and directory runs (on threads) take the setting too.
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.bmp").write_bytes(opaque)
    rastra.convert_dir(tmp_path / "in", tmp_path / "out", format="png", codecs="reference", jobs=2)
    rastra.convert(tmp_path / "in" / "a.bmp", tmp_path / "a.png")
    assert png_colour_type((tmp_path / "out" / "a.png").read_bytes()) == 6
    assert (tmp_path / "a.png").read_bytes() == default


@pytest.mark.parametrize("kind, body", [(b"tEXt", b"Title\0hello"), (b"zTXt", b"Title\0\0" + zlib.compress(b"hello")),
                                        (b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + XMP)],
                         ids=["tEXt", "zTXt", "iTXt"])
def test_both_codec_sets_read_a_tiny_png_with_text(kind, body):
    # A PNG of a hundred-odd bytes: text chunks must not count against a limit sized by the file.
    png = with_chunks(rastra.convert_bytes(bmp_bytes(8, 8), format="png"), (kind, body))
    assert len(png) < 400
    for codecs in ("fast", "reference"):
        assert decoded(rastra.convert_bytes(png, codecs=codecs)) == decoded(bmp_bytes(8, 8))


def test_png_level_trades_size_for_time_and_never_changes_pixels():
    data = blocky_noise_bmp(256, 128)
    sizes = {}
    for level in (1, rastra.PNG_LEVEL_DEFAULT, 9):
        png = rastra.convert_bytes(data, format="png", png_level=level)
        assert decoded(png) == decoded(data)
        sizes[level] = len(png)
    assert sizes[9] <= sizes[rastra.PNG_LEVEL_DEFAULT] < sizes[1]
    # The reference set has its own deflate and ignores the level.
    assert rastra.convert_bytes(data, format="png", codecs="reference", png_level=1) == \
        rastra.convert_bytes(data, format="png", codecs="reference", png_level=9)


def test_lossless_webp_keeps_every_pixel():
    data = bmp_bytes(64, 48, seed=7)
    for codecs in ("fast", "reference"):
        lossy = rastra.convert_bytes(data, format="webp", codecs=codecs)
        assert lossy[12:16] == b"VP8 " and decoded(lossy) != decoded(data)
        # Quality only sets the effort: even 0 keeps the pixels.
        for quality in (0, 90):
            lossless = rastra.convert_bytes(data, format="webp", webp_lossless=True, quality=quality, codecs=codecs)
            assert lossless[12:16] == b"VP8L"
            assert decoded(lossless) == decoded(data)
    # Alpha too; the colour under a fully transparent pixel is libwebp's to drop.
    def visible(pixels):
        return [pixels[i:i + 4] if pixels[i + 3] else b"\0\0\0\0" for i in range(0, len(pixels), 4)]

    translucent = rgba_png(20, 10)
    with rastra.Converter(format="webp", webp_lossless=True) as c:
        assert visible(decoded(c.convert_bytes(translucent))) == visible(decoded(translucent))


# ---- in memory, probing, reasons ------------------------------------------------------


@pytest.mark.parametrize("fmt, magic", [("png", b"\x89PNG"), ("jpeg", b"\xff\xd8"), ("webp", b"RIFF"),
                                        ("bmp", b"BM")])
def test_convert_bytes_returns_what_convert_writes(tmp_path, fmt, magic):
    data = bmp_bytes(80, 40, seed=5)
    (tmp_path / "a.bmp").write_bytes(data)
    settings = rastra.Settings(format=fmt, max_size=(50, 50), quality=70, watermark=rastra.Watermark("Hi", 8, 0.8))
    stats = rastra.convert(tmp_path / "a.bmp", tmp_path / "a.out", settings)
    written = (tmp_path / "a.out").read_bytes()
    assert written[:len(magic)] == magic
    assert stats == {"processed": 1, "failed": 0, "total_input_bytes": len(data), "total_output_bytes": len(written)}
    for arg in (data, bytearray(data), memoryview(data), memoryview(b"xx" + data)[2:]):
        assert rastra.convert_bytes(arg, settings) == written
    info = rastra.probe(written)
    assert (info.format, info.width, info.height, info.orientation) == (rastra.Format[fmt.upper()], 50, 25, 1)


def test_probe_and_automatic_format_in_memory():
    data = bmp_bytes(33, 21)
    assert rastra.probe(data) == (rastra.Format.BMP, 33, 21, 1)
    assert rastra.convert_bytes(data, max_size=(10, 0))[:2] == b"BM"   # automatic keeps the input's format
    assert rastra.probe(sideways_png(30, 60)) == (rastra.Format.PNG, 30, 60, 6)
    assert rastra.probe(sideways_png(30, 60)[:200]).width == 30           # the header is enough
    for bad, reason in ((b"not an image", rastra.Reason.CANNOT_DECODE), (b"", rastra.Reason.EMPTY_FILE)):
        with pytest.raises(rastra.RastraError) as e:
            rastra.probe(bad)
        assert e.value.reason == reason


def test_failures_carry_their_reason(tmp_path):
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert(tmp_path / "missing.png", tmp_path / "o.png")
    assert (e.value.reason, e.value.system_error) == (rastra.Reason.NO_SUCH_FILE, errno.ENOENT)
    (tmp_path / "empty.png").write_bytes(b"")
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert(tmp_path / "empty.png", tmp_path / "o.png")
    assert e.value.reason == rastra.Reason.EMPTY_FILE
    assert e.value.message == "process_file: cannot read " + str(tmp_path / "empty.png")
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_bytes(b"not an image")
    assert e.value.reason == rastra.Reason.UNSUPPORTED_FORMAT and e.value.message.startswith("convert: ")
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_bytes(bytearray())
    assert e.value.reason == rastra.Reason.EMPTY_FILE
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_bytes(bmp_bytes(40, 40), max_pixels=100)
    assert e.value.reason == rastra.Reason.TOO_LARGE
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_dir(tmp_path / "missing", tmp_path / "out")
    assert e.value.reason is None and e.value.message.startswith("run: ")


# ---- threads ------------------------------------------------------------------------------


def test_one_converter_shared_by_8_threads_gives_what_one_thread_gives(tmp_path):
    inputs = [bmp_bytes(60 + i, 45, seed=i + 1) for i in range(8)]
    with rastra.Converter(format="webp", max_size=(40, 40), watermark="t") as c:
        expected = [c.convert_bytes(d) for d in inputs]
        start = threading.Barrier(8)

        def work(i):
            start.wait()
            got = [c.convert_bytes(inputs[(i + k) % 8]) for k in range(6)]
            (tmp_path / ("%d.bmp" % i)).write_bytes(inputs[i])
            c.convert(tmp_path / ("%d.bmp" % i), tmp_path / ("%d.webp" % i))
            return got

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            results = list(pool.map(work, range(8)))
    for i, got in enumerate(results):
        assert got == [expected[(i + k) % 8] for k in range(6)]
        assert (tmp_path / ("%d.webp" % i)).read_bytes() == expected[i]
    with pytest.raises(ValueError, match="closed"):
        c.convert_bytes(inputs[0])


def noise_bmp(w, h):
    """A BMP of random pixels: slow to encode."""
    return bmp_bytes(w, h, pixels=os.urandom((w * 3 + 3) // 4 * 4 * h))


def test_jobs_1_and_3_give_the_same_run(photos, tmp_path):
    for name in ("trio.jpg", "trio.png", "trio.webp", "slow.bmp", "slow.png"):   # inputs sharing an output
        rastra.convert(photos / "p2.bmp", photos / name, max_size=(len(name) * 4, 0))
    # The earlier slow.* takes long: converted beside the later one, it would finish last and win.
    seen = []
    rastra.convert_dir(photos, tmp_path / "scratch", progress=lambda r: seen.append(r.input))
    earlier = next(p for p in seen if os.path.basename(p).startswith("slow."))
    pathlib.Path(earlier).write_bytes(noise_bmp(800, 600))
    order, threads = [], set()
    one = rastra.convert_dir(photos, tmp_path / "one", format="png", progress=lambda r: order.append(r.input))
    three = rastra.convert_dir(photos, tmp_path / "three", format="png", jobs=3,
                               progress=lambda r: threads.add(threading.current_thread()))
    failures = lambda s: [(f.input, f.message, os.path.basename(f.output)) for f in s.pop("failures")]
    assert failures(one) == failures(three) == [(str(photos / "bad.png"), "process_file: unsupported image "
                                                 "format: " + str(photos / "bad.png"), "bad.png")]
    assert one == three and (one["processed"], one["failed"]) == (12, 1)
    assert threads == {threading.current_thread()}
    files = lambda d: {p.name: p.read_bytes() for p in d.iterdir()}
    assert files(tmp_path / "one") == files(tmp_path / "three")
    for stem in ("same", "trio", "slow"):   # of inputs sharing an output, the later wins
        later = [p for p in order if os.path.basename(p).startswith(stem + ".")][-1]
        assert (tmp_path / "three" / (stem + ".png")).read_bytes() == \
            rastra.convert_bytes(pathlib.Path(later).read_bytes(), format="png")


def test_a_run_under_spawn_needs_no_main_guard(photos, tmp_path):
    script = tmp_path / "run.py"
    script.write_text("import multiprocessing, sys, rastra\n"
                      "multiprocessing.set_start_method('spawn')\n"
                      "stats = rastra.convert_dir(sys.argv[1], sys.argv[2], jobs=2)\n"
                      "print(stats['processed'], stats['failed'])\n")
    done = subprocess.run([sys.executable, str(script), str(photos), str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "7 1\n", "")


@pytest.mark.parametrize("jobs", [1, 2])
def test_an_interrupt_from_progress_stops_handing_out_files(tmp_path, jobs):
    (tmp_path / "in").mkdir()
    for i in range(12):
        bmp(tmp_path / "in" / ("f%02d.bmp" % i), 24, 24, seed=i + 1)
    seen = []

    def progress(result):
        seen.append(result)
        if len(seen) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        rastra.convert_dir(tmp_path / "in", tmp_path / "out", format="png", jobs=jobs, progress=progress)
    # The first file reported, then at most `jobs` in hand when the second was.
    assert len(seen) == 2
    assert 2 <= len(list((tmp_path / "out").iterdir())) <= 1 + jobs


@pytest.mark.skipif(os.name == "nt", reason="SIGINT to a child process")
@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_a_run_and_leaves_whole_outputs(tmp_path, jobs):
    data = noise_bmp(900, 700)
    src = tmp_path / "in"
    src.mkdir()
    (src / "f00.bmp").write_bytes(data)
    for i in range(1, 40):
        try:
            os.link(src / "f00.bmp", src / ("f%02d.bmp" % i))
        except OSError:
            (src / ("f%02d.bmp" % i)).write_bytes(data)
    # Python's usual handler, even where this test runs with SIGINT ignored (a background job).
    script = ("import signal, sys, rastra\n"
              "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
              "rastra.convert_dir(sys.argv[1], sys.argv[2], format='webp', jobs=int(sys.argv[3]),\n"
              "                   progress=lambda r: print('done', flush=True))\n"
              "print('finished', flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script, str(src), str(tmp_path / "out"), str(jobs)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(120, child.kill)
    watchdog.start()
    try:
        lines = [child.stdout.readline(), child.stdout.readline()]
        child.send_signal(signal.SIGINT)
        out, err = child.communicate()
    finally:
        watchdog.cancel()
        child.kill()
    assert lines == ["done\n"] * 2 and "finished" not in out
    assert child.returncode != 0 and "KeyboardInterrupt" in err
    outputs = list((tmp_path / "out").iterdir())
    assert len(outputs) <= 2 + out.count("done") + jobs < 40   # no file handed out after Ctrl-C
    expected = rastra.convert_bytes(data, format="webp")
    for p in outputs:
        assert p.suffix == ".webp" and p.read_bytes() == expected


def test_convert_dir_never_replaces_its_inputs_unless_asked(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    bmp(photos / "a.bmp", 40, 30)
    bmp(photos / "b.bmp", 30, 40, seed=2)
    before = {p.name: p.read_bytes() for p in photos.iterdir()}
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_dir(photos, photos, max_size=(10, 10))
    assert "would replace an input of this run" in e.value.message
    assert {p.name: p.read_bytes() for p in photos.iterdir()} == before
    # Another format writes beside the inputs; in_place=True allows the rest.
    assert rastra.convert_dir(photos, photos, format="png")["processed"] == 2
    assert rastra.convert_dir(photos, str(photos) + "/.", format="bmp", max_size=(10, 10),
                              in_place=True, jobs=2)["processed"] == 4
    assert (photos / "a.bmp").read_bytes() != before["a.bmp"]


@pytest.mark.skipif(os.name == "nt", reason="symbolic links need a privilege there")
def test_convert_dir_knows_an_input_under_another_name(tmp_path):
    src, dst = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    dst.mkdir()
    bmp(src / "a.bmp", 40, 30)
    bmp(src / "b.bmp", 30, 40, seed=2)
    before = {p.name: p.read_bytes() for p in src.iterdir()}
    os.link(src / "a.bmp", dst / "a.bmp")  # a hard link: another path, the same file
    (tmp_path / "link").symlink_to(src, target_is_directory=True)
    for target in (dst, tmp_path / "link"):
        for jobs in (1, 2):
            with pytest.raises(rastra.RastraError) as e:
                rastra.convert_dir(src, target, max_size=(10, 10), jobs=jobs)
            assert "a.bmp would replace an input of this run" in e.value.message
    assert {p.name: p.read_bytes() for p in src.iterdir()} == before
    # A copy of the same size is another file.
    (dst / "a.bmp").unlink()
    (dst / "a.bmp").write_bytes(before["a.bmp"])
    assert rastra.convert_dir(src, dst, max_size=(10, 10))["processed"] == 2
    assert {p.name: p.read_bytes() for p in src.iterdir()} == before


def test_a_run_that_converts_nothing_raises_with_its_result(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    (src / "a.png").write_bytes(b"not an image")
    (src / "b.jpg").write_bytes(b"")
    for jobs in (1, 2):
        with pytest.raises(rastra.RastraError) as e:
            rastra.convert_dir(src, tmp_path / "out", jobs=jobs)
        assert e.value.message.startswith("process_file: ")
        assert e.value.stats["failed"] == 2 and e.value.stats["processed"] == 0
    # An output directory that cannot be made says so.
    (tmp_path / "file").write_bytes(b"x")
    with pytest.raises(rastra.RastraError) as e:
        rastra.convert_dir(src, tmp_path / "file" / "out")
    assert e.value.message == "run: cannot create output dir " + str(tmp_path / "file" / "out")

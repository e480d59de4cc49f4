"""The wheels _build/backend.py makes, checked as pip and a user meet them.

    test-wheels.py linux LIBRARY   the manylinux wheel of a built librastra.so: built by
                                   pip, installed into a fresh environment, converting
                                   images there; the pure wheel, the sdist and the
                                   backend's refusals
    test-wheels.py windows DLL     the win_amd64 wheel of a built rastra.dll: its contents,
                                   and the name the package's loader looks for on Windows

Standard library only; run with the system's Python (which has venv and pip).
"""
import base64
import csv
import hashlib
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "src", "rastra")
VERSION = "0.1.0"
LIBRARY = None  # from the command line


def backend():
    sys.dont_write_bytecode = True  # nothing left in the source tree
    if os.path.join(HERE, "_build") not in sys.path:
        sys.path.insert(0, os.path.join(HERE, "_build"))
    import backend as module
    return module


def clean_environment():
    """os.environ without the settings that would steer the backend or the loader."""
    env = dict(os.environ)
    for name in ("RASTRA_LIBRARY", "RASTRA_WHEEL_LIBRARY", "RASTRA_WHEEL_PLATFORM", "PYTHONPATH"):
        env.pop(name, None)
    return env


def package_sources():
    """Every .py (and py.typed) of the package, subpackages included, as wheel paths."""
    found = set()
    for top, dirs, files in os.walk(PACKAGE):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            if name.endswith(".py") or name == "py.typed":
                found.add(os.path.relpath(os.path.join(top, name), os.path.dirname(PACKAGE)).replace(os.sep, "/"))
    return found


def glibc_by_objdump(library):
    """The newest GLIBC_2.N among the library's dynamic symbols, as objdump shows them."""
    out = subprocess.run(["objdump", "-T", library], check=True, capture_output=True, text=True).stdout
    versions = {(int(a), int(b)) for a, b in re.findall(r"\bGLIBC_(\d+)\.(\d+)", out)}
    return max(versions)


def bmp(w, h):
    """A 24-bit bottom-up BMP with a different colour in every pixel, and its rows top-down as (r, g, b)."""
    rows = [[((40 * x + 7 * y) % 256, (90 * y + x) % 256, (255 - 30 * x - 50 * y) % 256) for x in range(w)]
            for y in range(h)]
    stride = (w * 3 + 3) // 4 * 4
    data = b"".join(b"".join(bytes((b, g, r)) for r, g, b in row).ljust(stride, b"\0") for row in reversed(rows))
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(data), 0, 0, 54, 40, w, h, 1, 24, 0,
                         len(data), 2835, 2835, 0, 0)
    return header + data, rows


class WheelChecks(unittest.TestCase):
    def check_wheel(self, path, tag, native=None):
        """The wheel at path carries the package's sources, the native file given as
        (name in the wheel, its bytes) or none, says tag, and RECORD hashes every file."""
        name = os.path.basename(path)
        self.assertEqual(name, "rastra-%s-py3-none-%s.whl" % (VERSION, tag))
        dist_info = "rastra-%s.dist-info/" % VERSION
        with zipfile.ZipFile(path) as z:
            entries = z.infolist()
            contents = {i.filename: z.read(i) for i in entries}
        infos = {i.filename: i for i in entries}
        self.assertEqual(len(contents), len(entries), "an entry is in the wheel twice")

        package = {n for n in contents if not n.startswith(dist_info)}
        sources = package_sources()
        self.assertEqual(package, sources | ({native[0]} if native else set()))
        for rel in sources:
            with open(os.path.join(os.path.dirname(PACKAGE), rel), "rb") as f:
                self.assertEqual(contents[rel], f.read(), rel)
        if native:
            self.assertEqual(contents[native[0]], native[1], "the library in the wheel is not the one built")
            self.assertEqual((infos[native[0]].external_attr >> 16) & 0o777, 0o755)

        wheel = dict(line.split(": ", 1) for line in contents[dist_info + "WHEEL"].decode().splitlines())
        self.assertEqual(wheel["Tag"], "py3-none-" + tag)
        self.assertEqual(wheel["Root-Is-Purelib"], "false" if native else "true")

        record = list(csv.reader(io.StringIO(contents[dist_info + "RECORD"].decode())))
        listed = [row[0] for row in record]
        self.assertEqual(sorted(listed), sorted(contents), "RECORD does not list every file once")
        for file, digest, size in record:
            if file == dist_info + "RECORD":
                self.assertEqual((digest, size), ("", ""))
                continue
            data = contents[file]
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            self.assertEqual(digest, "sha256=" + expected, file)
            self.assertEqual(int(size), len(data), file)
        for info in infos.values():
            self.assertEqual(info.date_time, (2026, 1, 1, 0, 0, 0))


class Backend(WheelChecks):
    """The backend called directly: the pure wheel, the sdist, repeatable output, refusals."""

    @classmethod
    def setUpClass(cls):
        cls.backend = backend()
        cls.work = tempfile.mkdtemp()
        cls.saved = dict(os.environ)
        for name in set(os.environ) - set(clean_environment()):
            del os.environ[name]

    @classmethod
    def tearDownClass(cls):
        os.environ.clear()
        os.environ.update(cls.saved)
        shutil.rmtree(cls.work)

    def build(self, settings=None, **env):
        out = tempfile.mkdtemp(dir=self.work)
        os.environ.update(env)
        try:
            return os.path.join(out, self.backend.build_wheel(out, settings))
        finally:
            for name in env:
                del os.environ[name]

    def test_without_settings_the_wheel_is_pure(self):
        self.check_wheel(self.build(), "any")
        self.check_wheel(self.build({}), "any")

    def test_the_same_library_makes_the_same_bytes_from_settings_or_environment(self):
        def read(path):
            with open(path, "rb") as f:
                return f.read()
        by_setting = read(self.build({"library": LIBRARY}))
        self.assertEqual(read(self.build({"library": [LIBRARY]})), by_setting)  # pip: a key given twice
        need = "manylinux_%d_%d_x86_64" % glibc_by_objdump(LIBRARY)
        self.assertEqual(read(self.build(RASTRA_WHEEL_LIBRARY=LIBRARY, RASTRA_WHEEL_PLATFORM=need)), by_setting)
        # A newer glibc than needed is the builder's choice.
        newer = self.build({"library": LIBRARY, "platform": "manylinux_2_99_x86_64"})
        self.assertTrue(newer.endswith("-py3-none-manylinux_2_99_x86_64.whl"))

    def test_refuses_what_it_cannot_tag_truthfully(self):
        major, minor = glibc_by_objdump(LIBRARY)
        text = os.path.join(self.work, "notes.txt")
        with open(text, "w") as f:
            f.write("not a library\n")
        out = tempfile.mkdtemp(dir=self.work)
        for settings in ({"library": LIBRARY, "platform": "manylinux_%d_%d_x86_64" % (major, minor - 1)},
                         {"library": LIBRARY, "platform": "win_amd64"},
                         {"library": LIBRARY, "platform": "linux_x86_64"},
                         {"library": text},
                         {"platform": "win_amd64"}):
            with self.subTest(settings=settings), self.assertRaises(ValueError):
                self.backend.build_wheel(out, settings)
        with self.assertRaises(OSError):
            self.backend.build_wheel(out, {"library": os.path.join(self.work, "missing.so")})
        self.assertEqual(os.listdir(out), [], "a refused build left a wheel behind")

    @unittest.skipUnless(shutil.which("cc"), "no C compiler")
    def test_glibc_need_of_small_libraries(self):
        """Only GLIBC_2.2.5 symbols: the oldest tag made; packed relocations: glibc 2.36, which
        no symbol says (objdump -T shows none), only the library's version needs."""
        source = os.path.join(self.work, "tiny.c")
        with open(source, "w") as f:
            f.write('#include <string.h>\nstatic const char *s = "abc";\nconst char **p = &s, **q = &s;\n'
                    'size_t f(void) { return strlen(*p) + strlen(*q); }\n')
        for flags, tag in (([], "manylinux_2_17_x86_64"),
                           (["-Wl,-z,pack-relative-relocs"], "manylinux_2_36_x86_64")):
            library = os.path.join(self.work, "tiny%d.so" % len(flags))
            run = subprocess.run(["cc", "-shared", "-fPIC", "-o", library, source] + flags, capture_output=True)
            if run.returncode:
                self.skipTest("cc cannot link %s: %s" % (flags, run.stderr.decode(errors="replace")))
            with self.subTest(flags=flags):
                self.assertTrue(self.build({"library": library}).endswith("-py3-none-%s.whl" % tag))

    def test_takes_every_source_below_the_package_and_nothing_else(self):
        tree = os.path.join(self.work, "tree", "rastra")
        shutil.copytree(PACKAGE, tree, ignore=shutil.ignore_patterns("__pycache__"))
        for rel, data in (("deep/er/__init__.py", b"X = 1\n"), ("deep/er/__main__.py", b""), ("deep/py.typed", b""),
                          ("deep/__pycache__/x.cpython-311.pyc", b"\0"), ("librastra.so", b"\x7fELF stray"),
                          ("deep/notes.txt", b"no"), (".hidden/a.py", b"")):
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "wb") as f:
                f.write(data)
        saved, self.backend.PACKAGE = self.backend.PACKAGE, tree
        try:
            with zipfile.ZipFile(self.build()) as z:
                names = {n for n in z.namelist() if n.startswith("rastra/")}
        finally:
            self.backend.PACKAGE = saved
        self.assertEqual(names, package_sources() | {"rastra/deep/er/__init__.py", "rastra/deep/er/__main__.py",
                                                     "rastra/deep/py.typed"})

    def test_sdist_carries_every_source(self):
        out = tempfile.mkdtemp(dir=self.work)
        name = self.backend.build_sdist(out)
        self.assertEqual(name, "rastra-%s.tar.gz" % VERSION)
        with tarfile.open(os.path.join(out, name)) as tar:
            names = set(tar.getnames())
            self.assertEqual({m.mtime for m in tar.getmembers()}, {1767225600})
        expected = {"pyproject.toml", "README.md", "_build/backend.py"} | {"src/" + s for s in package_sources()}
        self.assertEqual(names, {"rastra-%s/%s" % (VERSION, n) for n in expected})
        again = tempfile.mkdtemp(dir=self.work)
        self.backend.build_sdist(again)
        with open(os.path.join(out, name), "rb") as a, open(os.path.join(again, name), "rb") as b:
            self.assertEqual(a.read(), b.read())


class LinuxWheel(WheelChecks):
    """Built by pip from the library, installed by pip into a fresh environment
    without the system's packages or RASTRA_LIBRARY, and used there."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.venv = os.path.join(cls.work, "venv")
        cls.env = clean_environment()
        subprocess.run(["/usr/bin/python3", "-m", "venv", cls.venv], check=True)
        pip = [os.path.join(cls.venv, "bin", "python"), "-m", "pip", "--disable-pip-version-check", "--quiet"]
        dist = os.path.join(cls.work, "dist")
        subprocess.run(pip + ["wheel", "--no-index", "--no-deps", "--config-settings", "library=" + LIBRARY,
                              "--wheel-dir", dist, HERE], check=True, env=cls.env, cwd=cls.work)
        wheels = os.listdir(dist)
        assert len(wheels) == 1, wheels
        cls.wheel = os.path.join(dist, wheels[0])
        subprocess.run(pip + ["install", "--no-index", "--no-deps", cls.wheel], check=True, env=cls.env, cwd=cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_tag_names_the_glibc_the_library_needs(self):
        major, minor = glibc_by_objdump(LIBRARY)
        with open(LIBRARY, "rb") as f:
            self.check_wheel(self.wheel, "manylinux_%d_%d_x86_64" % (major, minor), ("rastra/librastra.so", f.read()))

    def test_installed_package_loads_its_own_library_and_converts(self):
        image, rows = bmp(5, 3)
        script = r"""
import json, struct, sys, sysconfig
import rastra
image = sys.stdin.buffer.read()
png = rastra.convert_bytes(image, format="png")
back = rastra.convert_bytes(png, format="bmp")
offset, = struct.unpack("<I", back[10:14])
w, h, _, bits = struct.unpack("<iiHH", back[18:30])
step = bits // 8
stride = (w * step + 3) // 4 * 4
rows = []
for y in range(abs(h)):
    at = offset + stride * (abs(h) - 1 - y if h > 0 else y)
    rows.append([list(back[at + step * x: at + step * x + 3][::-1]) for x in range(w)])
print(json.dumps({"library": rastra.library_path(), "platlib": sysconfig.get_paths()["platlib"],
                  "png": list(png[:8]), "probe": list(rastra.probe(png)[1:3]), "rows": rows}))
"""
        run = subprocess.run([os.path.join(self.venv, "bin", "python"), "-c", script], input=image,
                             capture_output=True, env=self.env, cwd=self.work)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        out = json.loads(run.stdout)
        platlib = os.path.realpath(out["platlib"])
        self.assertTrue(platlib.startswith(os.path.realpath(self.venv) + os.sep), platlib)
        self.assertEqual(os.path.realpath(out["library"]), os.path.join(platlib, "rastra", "librastra.so"))
        self.assertEqual(bytes(out["png"]), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(out["probe"], [5, 3])
        self.assertEqual(out["rows"], [[list(p) for p in row] for row in rows])


class WindowsWheel(WheelChecks):
    """Built by the backend from the DLL; Windows itself is not at hand, so its
    contents and the loader's Windows names are checked here."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.backend = backend()
        cls.wheel = os.path.join(cls.work, cls.backend.build_wheel(cls.work, {"library": LIBRARY}))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_contents(self):
        with open(LIBRARY, "rb") as f:
            self.check_wheel(self.wheel, "win_amd64", ("rastra/rastra.dll", f.read()))

    def test_platform_given_must_be_windows(self):
        self.assertEqual(self.backend.build_wheel(tempfile.mkdtemp(dir=self.work),
                                                  {"library": LIBRARY, "platform": "win_amd64"}),
                         os.path.basename(self.wheel))
        with self.assertRaises(ValueError):
            self.backend.build_wheel(self.work, {"library": LIBRARY, "platform": "manylinux_2_17_x86_64"})

    def test_loader_looks_for_the_dll_the_wheel_carries(self):
        site = os.path.join(self.work, "site")
        with zipfile.ZipFile(self.wheel) as z:
            z.extractall(site)
        script = r"""
import ctypes.util, json, os, rastra
os.name = "nt"  # the names the package tries on Windows
ctypes.util.find_library = lambda name: None  # the POSIX search would trip over os.name
tried = []
for where, path in rastra._candidates(None):
    if where != "next to the package":
        break
    tried.append(path)
print(json.dumps(tried))
"""
        env = dict(clean_environment(), PYTHONPATH=site)
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, env=env, cwd=self.work, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        carried = [p for p in json.loads(run.stdout) if os.path.isfile(p)]
        self.assertEqual(carried, [os.path.join(site, "rastra", "rastra.dll")])


def main():
    global LIBRARY
    if len(sys.argv) != 3 or sys.argv[1] not in ("linux", "windows"):
        sys.exit("usage: test-wheels.py linux|windows LIBRARY")
    LIBRARY = os.path.realpath(sys.argv[2])
    classes = [Backend, LinuxWheel] if sys.argv[1] == "linux" else [WindowsWheel]
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c) for c in classes)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()

"""A PEP 517 build backend for the rastra package, standard library only.

It builds a wheel (and an sdist) of src/rastra and its subpackages with the
metadata of pyproject.toml's [project] table, which is all pip needs to
install it.

By default the wheel is pure (py3-none-any) and the package finds the native
library at run time (RASTRA_LIBRARY, or the system's loader). Given a built
library it makes a platform wheel that carries it next to the package, where
rastra's loader looks first after RASTRA_LIBRARY:

    pip wheel --no-index --config-settings library=/abs/path/librastra.so.0.1.0 ./bindings/python

The settings (also read from the environment when not given):

    library   (RASTRA_WHEEL_LIBRARY)   the built librastra.so or rastra.dll; an
              ELF x86-64 library goes in as rastra/librastra.so, a PE x86-64
              DLL as rastra/rastra.dll
    platform  (RASTRA_WHEEL_PLATFORM)  the platform tag; by default worked
              out from the library: manylinux_2_NN_x86_64, NN being the
              newest glibc version the library's symbols need, or win_amd64.
              A tag given here must fit the library.

A relative library path is taken from the current directory, which pip sets
to this directory: give pip an absolute one.
"""
import base64
import gzip
import hashlib
import io
import os
import re
import struct
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11: read the few simple keys by hand
    tomllib = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "src", "rastra")
# Every entry of a wheel or sdist gets this time, so that the same sources
# (and library) always make the same archive.
TIMESTAMP = (2026, 1, 1, 0, 0, 0)
# The oldest glibc a manylinux tag made here names: manylinux2014's base.
OLDEST_GLIBC = (2, 17)


def _project():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        text = f.read()
    if tomllib is not None:
        return tomllib.loads(text.decode("utf-8"))["project"]
    project, section = {}, None
    for line in text.decode("utf-8").splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line.strip("[]")
        elif section == "project" and "=" in line:
            key, value = (part.strip() for part in line.split("=", 1))
            if value.startswith('"'):
                project[key] = value.strip('"')
    return project


def _metadata():
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + p["name"],
        "Version: " + p["version"],
        "Summary: " + p.get("description", ""),
        "Requires-Python: " + p.get("requires-python", ">=3"),
        "Provides-Extra: progress",
        'Requires-Dist: tqdm; extra == "progress"',
    ]
    readme = os.path.join(ROOT, "README.md")
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = "\n" + f.read()
    return "\n".join(lines) + "\n" + body


def _names():
    p = _project()
    return p["name"], p["version"]


def _package_files():
    """The package's sources as (path relative to src/, absolute path), sorted,
    subpackages included."""
    found = []
    for top, dirs, files in os.walk(PACKAGE):
        dirs[:] = [d for d in dirs if d != "__pycache__" and not d.startswith(".")]
        for name in files:
            if name.endswith(".py") or name == "py.typed":
                full = os.path.join(top, name)
                rel = os.path.relpath(full, os.path.dirname(PACKAGE)).replace(os.sep, "/")
                found.append((rel, full))
    return sorted(found)


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


# ---- the native library -----------------------------------------------------------


def glibc_needed(data):
    """The newest glibc version (major, minor) an x86-64 ELF shared library
    needs, read from its version needs (.gnu.version_r: the GLIBC_2.N names
    of the symbols it imports from libc, libm, ld.so and the rest of glibc).
    None when it names no glibc version."""
    if data[:4] != b"\x7fELF":
        raise ValueError("not an ELF file")
    if data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    e_machine, = struct.unpack_from("<H", data, 18)
    if e_machine != 62:
        raise ValueError("not an x86-64 ELF file (machine %d)" % e_machine)
    e_shoff, = struct.unpack_from("<Q", data, 40)
    e_shentsize, e_shnum = struct.unpack_from("<HH", data, 58)
    if not e_shoff or not e_shnum:
        raise ValueError("the ELF file has no section headers to read its version needs from")
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    newest = None
    for _name, sh_type, _flags, _addr, offset, _size, link, count, _align, _entsize in sections:
        if sh_type != 0x6ffffffe:  # SHT_GNU_verneed
            continue
        strtab = sections[link][4]

        def string(at):
            start = strtab + at
            return data[start:data.index(b"\0", start)].decode("ascii", "replace")

        need = offset
        for _ in range(count):
            _version, _file, aux_count, aux, next_need = struct.unpack_from("<HHIII", data, need)
            entry = need + aux
            for _ in range(aux_count):
                _hash, _flags, _other, name, next_aux = struct.unpack_from("<IHHII", data, entry)
                version = _glibc_version(string(name))
                if version is not None and (newest is None or version > newest):
                    newest = version
                entry += next_aux
                if not next_aux:
                    break
            need += next_need
            if not next_need:
                break
    return newest


def _glibc_version(name):
    if name == "GLIBC_ABI_DT_RELR":  # packed relocations, which glibc reads from 2.36 on
        return (2, 36)
    m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
    return (int(m.group(1)), int(m.group(2))) if m else None


def _pe_machine(data):
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe, = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    machine, = struct.unpack_from("<H", data, pe + 4)
    return machine


def native_library(path, platform=None):
    """Reads a built library; returns (name in the wheel, its bytes, platform tag).

    Raises ValueError when the file is not a library a wheel can carry or the
    platform tag given does not fit it."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"\x7fELF":
        glibc = max(glibc_needed(data) or OLDEST_GLIBC, OLDEST_GLIBC)
        tag = "manylinux_%d_%d_x86_64" % glibc
        if platform:
            m = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", platform)
            if not m or (int(m.group(1)), int(m.group(2))) < glibc:
                raise ValueError("%s needs glibc %d.%d: platform %s does not fit it (%s would)"
                                 % (path, glibc[0], glibc[1], platform, tag))
            tag = platform
        return "rastra/librastra.so", data, tag
    machine = _pe_machine(data)
    if machine is not None:
        if machine != 0x8664:
            raise ValueError("%s is not an x86-64 DLL (machine 0x%x)" % (path, machine))
        if platform and platform != "win_amd64":
            raise ValueError("%s is an x86-64 DLL: platform %s does not fit it (win_amd64 would)" % (path, platform))
        return "rastra/rastra.dll", data, "win_amd64"
    raise ValueError("%s is neither an ELF shared library nor a Windows DLL" % path)


def _setting(config_settings, key, variable):
    value = (config_settings or {}).get(key)
    if isinstance(value, list):  # the key given more than once: the last one wins
        value = value[-1] if value else None
    return value or os.environ.get(variable) or None


# ---- the hooks --------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name, version = _names()
    library = _setting(config_settings, "library", "RASTRA_WHEEL_LIBRARY")
    platform = _setting(config_settings, "platform", "RASTRA_WHEEL_PLATFORM")
    if platform and not library:
        raise ValueError("a platform wheel needs the library: give library=PATH too")
    native = native_library(os.path.abspath(library), platform) if library else None
    tag = "py3-none-" + (native[2] if native else "any")
    dist_info = "%s-%s.dist-info" % (name, version)
    wheel_name = "%s-%s-%s.whl" % (name, version, tag)

    files = []  # (path in the wheel, bytes, Unix mode or 0 for the default)
    for rel, full in _package_files():
        with open(full, "rb") as f:
            files.append((rel, f.read(), 0))
    if native:
        files.append((native[0], native[1], 0o755))
    files.append((dist_info + "/METADATA", _metadata().encode("utf-8"), 0))
    files.append((dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: rastra-backend\n"
                                         "Root-Is-Purelib: %s\nTag: %s\n"
                                         % ("false" if native else "true", tag)).encode("ascii"), 0))
    files.append((dist_info + "/top_level.txt", b"rastra\n", 0))
    record = [_record_line(path, data) for path, data, _ in files]
    record.append(dist_info + "/RECORD,,")
    files.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8"), 0))

    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data, mode in files:
            info = zipfile.ZipInfo(path, date_time=TIMESTAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, wherever it is built: the same bytes
            if mode:
                info.external_attr = (0o100000 | mode) << 16
            z.writestr(info, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    name, version = _names()
    base = "%s-%s" % (name, version)
    sdist_name = base + ".tar.gz"
    members = [(rel, os.path.join(ROOT, rel)) for rel in ("pyproject.toml", "README.md", "_build/backend.py")
               if os.path.exists(os.path.join(ROOT, rel))]
    members += [("src/" + rel, full) for rel, full in _package_files()]
    mtime = 1767225600  # TIMESTAMP, as seconds since the epoch
    os.makedirs(sdist_directory, exist_ok=True)
    with open(os.path.join(sdist_directory, sdist_name), "wb") as out, \
            gzip.GzipFile(fileobj=out, mode="wb", mtime=mtime, filename="") as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for rel, full in members:
            with open(full, "rb") as f:
                data = f.read()
            info = tarfile.TarInfo(base + "/" + rel)
            info.size, info.mtime, info.mode = len(data), mtime, 0o644
            tar.addfile(info, io.BytesIO(data))
    return sdist_name

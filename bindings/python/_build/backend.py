"""A PEP 517 build backend for this pure-Python package, standard library only.

It builds a wheel (and an sdist) of src/rastra with the metadata of
pyproject.toml's [project] table, which is all pip needs to install it.
"""
import base64
import hashlib
import os
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11: read the few simple keys by hand
    tomllib = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "src", "rastra")


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


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name, version = _names()
    dist_info = "%s-%s.dist-info" % (name, version)
    wheel_name = "%s-%s-py3-none-any.whl" % (name, version)
    files = []
    for entry in sorted(os.listdir(PACKAGE)):
        if entry.endswith((".py", ".typed")):
            with open(os.path.join(PACKAGE, entry), "rb") as f:
                files.append(("rastra/" + entry, f.read()))
    files.append((dist_info + "/METADATA", _metadata().encode("utf-8")))
    files.append((dist_info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: rastra-backend\n"
                  b"Root-Is-Purelib: true\nTag: py3-none-any\n"))
    files.append((dist_info + "/top_level.txt", b"rastra\n"))
    record = [_record_line(path, data) for path, data in files]
    record.append(dist_info + "/RECORD,,")
    files.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8")))
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files:
            z.writestr(zipfile.ZipInfo(path, date_time=(2026, 1, 1, 0, 0, 0)), data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    name, version = _names()
    base = "%s-%s" % (name, version)
    sdist_name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as tar:
        for rel in ("pyproject.toml", "README.md", "_build/backend.py"):
            if os.path.exists(os.path.join(ROOT, rel)):
                tar.add(os.path.join(ROOT, rel), arcname=base + "/" + rel)
        for entry in sorted(os.listdir(PACKAGE)):
            if entry.endswith((".py", ".typed")):
                tar.add(os.path.join(PACKAGE, entry), arcname=base + "/src/rastra/" + entry)
    return sdist_name

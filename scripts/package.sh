#!/usr/bin/env bash
# Build a binary distribution into dist/.
#
#   scripts/package.sh windows    dist/rastra-<version>-win64.zip: bin/rastra.dll,
#                                 bin/rastra.exe, lib/rastra.lib, lib/rastra.def,
#                                 include/rastra.h, THIRD_PARTY_NOTICES, README-windows.txt
#   scripts/package.sh python     the Python wheels with the library inside, for pip:
#                                 dist/rastra-<version>-py3-none-manylinux_2_NN_x86_64.whl
#                                 (NN: the newest glibc the library needs) and
#                                 dist/rastra-<version>-py3-none-win_amd64.whl
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case ${1:-} in
    windows)
        "$ROOT/scripts/build.sh" windows
        mkdir -p "$ROOT/dist"
        cp "$ROOT"/build-win/dist/rastra-*-win64.zip "$ROOT/dist/"
        ls "$ROOT"/dist/rastra-*-win64.zip ;;
    python)
        "$ROOT/scripts/build.sh" linux
        "$ROOT/scripts/build.sh" windows
        mkdir -p "$ROOT/dist"
        # A wheel of another glibc level, left by an older build, would stand beside the new one.
        rm -f "$ROOT"/dist/rastra-*-py3-none-manylinux_*_x86_64.whl "$ROOT"/dist/rastra-*-py3-none-win_amd64.whl
        for library in "$ROOT/build/librastra.so" "$ROOT/build-win/bin/rastra.dll"; do
            python3 -B - "$ROOT/bindings/python" "$library" "$ROOT/dist" <<'EOF'
import os, sys
sys.path.insert(0, os.path.join(sys.argv[1], "_build"))
import backend
print(os.path.join(sys.argv[3], backend.build_wheel(sys.argv[3], {"library": os.path.realpath(sys.argv[2])})))
EOF
        done ;;
    *)
        echo "usage: scripts/package.sh windows|python" >&2
        exit 2 ;;
esac

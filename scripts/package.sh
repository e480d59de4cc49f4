#!/usr/bin/env bash
# Build a binary distribution into dist/.
#
#   scripts/package.sh windows    dist/rastra-<version>-win64.zip: bin/rastra.dll,
#                                 bin/rastra.exe, lib/rastra.lib, lib/rastra.def,
#                                 include/rastra.h, THIRD_PARTY_NOTICES, README-windows.txt
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case ${1:-} in
    windows)
        "$ROOT/scripts/build.sh" windows
        mkdir -p "$ROOT/dist"
        cp "$ROOT"/build-win/dist/rastra-*-win64.zip "$ROOT/dist/"
        ls "$ROOT"/dist/rastra-*-win64.zip ;;
    *)
        echo "usage: scripts/package.sh windows" >&2
        exit 2 ;;
esac

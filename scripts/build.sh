#!/usr/bin/env bash
# Set up and build the library, the command-line host and the tests.
#
#   scripts/build.sh [BUILD_DIR [extra cmake arguments...]]   (default: build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build}
shift $(( $# > 0 ? 1 : 0 ))

"$ROOT/scripts/setup.sh" linux
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

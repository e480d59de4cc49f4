#!/usr/bin/env bash
# Set up and build the library, the command-line host and the tests.
#
#   scripts/build.sh [linux|asan|tsan|windows]     (default: linux)
#
#   linux    Release build in build/            (build/librastra.so, build/tools/rastra)
#   asan     AddressSanitizer + UBSan build in build-asan/
#   tsan     ThreadSanitizer build in build-tsan/
#   windows  x86_64 Windows cross-build in build-win/
#            (build-win/bin/rastra.dll, import library build-win/rastra.lib)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variant=${1:-linux}

case $variant in
    linux)
        "$ROOT/scripts/setup.sh" linux
        cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$ROOT/build" -j"$(nproc)" ;;
    asan)
        "$ROOT/scripts/setup.sh" linux
        cmake -S "$ROOT" -B "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DRASTRA_SANITIZE=ON >/dev/null
        cmake --build "$ROOT/build-asan" -j"$(nproc)" ;;
    tsan)
        "$ROOT/scripts/setup.sh" linux
        cmake -S "$ROOT" -B "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRASTRA_TSAN=ON >/dev/null
        cmake --build "$ROOT/build-tsan" -j"$(nproc)" ;;
    windows)
        "$ROOT/scripts/setup.sh" mingw
        cmake -S "$ROOT" -B "$ROOT/build-win" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
        cmake --build "$ROOT/build-win" -j"$(nproc)" ;;
    *)
        echo "usage: scripts/build.sh [linux|asan|tsan|windows]" >&2
        exit 2 ;;
esac

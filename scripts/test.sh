#!/usr/bin/env bash
# Build and run every test suite:
#
#   scripts/test.sh [linux] [asan] [windows]    (default: all three)
#
#   linux    the Release build
#   asan     the same tests under AddressSanitizer and UBSan (leaks included)
#   windows  the Windows DLL and its tests, run under Wine
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variants=("$@")
(( ${#variants[@]} )) || variants=(linux asan windows)

declare -A dirs=([linux]=build [asan]=build-asan [windows]=build-win)
for v in "${variants[@]}"; do
    [[ -n ${dirs[$v]:-} ]] || { echo "usage: scripts/test.sh [linux] [asan] [windows]" >&2; exit 2; }
    echo "== $v: build"
    "$ROOT/scripts/build.sh" "$v"
    echo "== $v: test"
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        ctest --test-dir "$ROOT/${dirs[$v]}" --output-on-failure -j"$(nproc)"
done

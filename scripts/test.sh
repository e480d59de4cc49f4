#!/usr/bin/env bash
# Build and run every test suite:
#
#   scripts/test.sh [linux] [asan] [tsan] [valgrind] [windows]    (default: all five)
#
#   linux     the Release build
#   asan      the same tests under AddressSanitizer and UBSan (leaks included)
#   tsan      the same tests under ThreadSanitizer
#   valgrind  the Release build's test programs under valgrind memcheck
#   windows   the Windows DLL and its tests, run under Wine
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variants=("$@")
(( ${#variants[@]} )) || variants=(linux asan tsan valgrind windows)

declare -A dirs=([linux]=build [asan]=build-asan [tsan]=build-tsan [windows]=build-win [valgrind]=)
for v in "${variants[@]}"; do
    [[ -v dirs[$v] ]] || { echo "usage: scripts/test.sh [linux] [asan] [tsan] [valgrind] [windows]" >&2; exit 2; }
    if [[ $v == valgrind ]]; then
        echo "== valgrind"
        "$ROOT/scripts/valgrind.sh"
        continue
    fi
    echo "== $v: build"
    "$ROOT/scripts/build.sh" "$v"
    echo "== $v: test"
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/scripts/tsan.supp" \
        ctest --test-dir "$ROOT/${dirs[$v]}" --output-on-failure -j"$(nproc)"
done

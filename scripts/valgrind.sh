#!/usr/bin/env bash
# Run every test program of the Release build under valgrind memcheck: no
# invalid access, no use of uninitialised memory, no leak of any kind.
#
#   scripts/valgrind.sh [gtest filter]     (default: every test)
#
# Each program runs its tests in one process; the command-line tests start the
# rastra program itself, which runs natively.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
filter=${1:-*}

"$ROOT/scripts/setup.sh" linux valgrind
"$ROOT/scripts/build.sh" linux >/dev/null

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
for t in tests/rastra_unit_tests tests/rastra_api_tests tests/rastra_load_state_test \
         tests/rastra_dynamic_load_test tests/rastra_cli_tests fuzz/rastra_fuzz_convert; do
    name=$(basename "$t")
    args=(--gtest_filter="$filter" --gtest_brief=1)
    [[ $name == rastra_fuzz_convert ]] && args=()
    printf '== valgrind %s\n' "$name"
    if ! valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all \
            --show-leak-kinds=all --suppressions="$ROOT/scripts/valgrind.supp" --log-file="$logs/$name.log" \
            "$ROOT/build/$t" "${args[@]}" >"$logs/$name.out" 2>&1; then
        status=1
        tail -n 30 "$logs/$name.out"
        cat "$logs/$name.log"
    fi
done
(( status == 0 )) && echo "valgrind: no errors"
exit $status

#!/usr/bin/env bash
# A libFuzzer campaign on the conversion target, under AddressSanitizer and
# UBSan, seeded with the corpus the replay driver builds in code.
#
#   scripts/fuzz.sh [SECONDS] [JOBS]      (default 3600 seconds, one job per CPU)
#
# The input picks the codec set; RASTRA_FUZZ_CODECS=fast (or reference) holds
# the campaign to one.
#
# Builds build-fuzz/ with clang (-DRASTRA_FUZZ=ON); the corpus grows in
# fuzz-corpus/ and crashes land in fuzz-findings/ (both git-ignored). JOBS
# processes fuzz at once, and a finding does not end the campaign. Add each
# finding to the generated corpus in fuzz/replay_main.cpp once fixed, so the
# test suite replays it.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-3600}
jobs=${2:-$(nproc)}

"$ROOT/scripts/setup.sh" linux
command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed (apt-get install clang)" >&2; exit 2; }
"$ROOT/scripts/build.sh" linux >/dev/null  # the replay driver writes the seeds
cmake -S "$ROOT" -B "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRASTRA_FUZZ=ON \
    -DRASTRA_BUILD_TESTS=OFF -DRASTRA_BUILD_TOOLS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$ROOT/build-fuzz" -j"$(nproc)" --target rastra_fuzz_convert

mkdir -p "$ROOT/fuzz-corpus" "$ROOT/fuzz-findings"
"$ROOT/build/fuzz/rastra_fuzz_convert" --write-corpus "$ROOT/fuzz-seeds" >/dev/null
cd "$ROOT/fuzz-findings"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
    "$ROOT/build-fuzz/fuzz/rastra_fuzz_convert" -max_total_time="$seconds" -fork="$jobs" -ignore_crashes=1 \
    -rss_limit_mb=4096 -timeout=30 -artifact_prefix="$ROOT/fuzz-findings/" -print_final_stats=1 \
    "$ROOT/fuzz-corpus" "$ROOT/fuzz-seeds"

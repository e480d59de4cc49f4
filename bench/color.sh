#!/usr/bin/env bash
# What RASTRA_COLOR_SRGB costs on the photographs of bench/compare.sh, tagged
# with a Display P3 profile: milliseconds per image for the whole conversion
# with and without it, and the transform alone before and after the bounding
# box. On demand only; never part of the tests.
#
#   bench/color.sh [REPETITIONS] [--box WxH]    (default 5; medians count)
#
# Builds the corpus (bench/corpus.sh) in $RASTRA_BENCH_DIR (default
# /tmp/rastra-bench) and rastra_bench_color (Release) in $RASTRA_BENCH_BUILD
# (default $RASTRA_BENCH_DIR/build-color).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=5
if [[ ${1:-} =~ ^[0-9]+$ ]]; then REPS=$1; shift; fi
WORK=${RASTRA_BENCH_DIR:-/tmp/rastra-bench}
BUILD=${RASTRA_BENCH_BUILD:-$WORK/build-color}

log() { printf 'color: %s\n' "$*" >&2; }
# shellcheck source=bench/corpus.sh
source "$ROOT/bench/corpus.sh"

install_missing "${CORPUS_TOOLS[@]}" libbenchmark-dev
"$ROOT/scripts/setup.sh" linux >/dev/null
mkdir -p "$WORK"
corpus
log "building rastra_bench_color in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRASTRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" --target rastra_bench_color -j"$(nproc)" >/dev/null
"$BUILD/bench/rastra_bench_color" --reps "$REPS" "$@" "$WORK/corpus/jpeg"

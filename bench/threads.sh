#!/usr/bin/env bash
# Thread scaling of the in-memory interface on the photographs of
# bench/compare.sh, as Markdown tables. On demand only; never part of the
# tests.
#
#   bench/threads.sh [REPETITIONS] [OPTION...]    (default 5; medians count)
#
# Builds the corpus (bench/corpus.sh) in $RASTRA_BENCH_DIR (default
# /tmp/rastra-bench), configures and builds rastra_bench_threads (Release) in
# $RASTRA_BENCH_BUILD (default $RASTRA_BENCH_DIR/build-threads), and runs it
# on jpeg/ and png/ of the corpus. For each job (JPEG -> fit 1920x1080 ->
# JPEG q90, the same to WebP q90, RGBA PNG -> fit 800x600 -> PNG):
#  - images per second of rastra_convert() on 1, 2 and 4 threads, and the
#    speed-up of 2 threads over 1;
#  - rastra_convert() against rastra_convert_file() on one thread, with the
#    file interface's I/O (read the inputs, write the outputs) timed alone;
#  - the peak memory of one conversion of the largest photo against N threads
#    converting N copies at once, each in a fresh process.
# Further OPTIONs go to the program (--threads 1,2 --jobs jpeg-jpeg --peak-reps
# N --out DIR); see bench/bench_threads.cpp. Quiet the machine first: other
# work running at the same time shows in the "rest of machine" column.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=5
if [[ ${1:-} =~ ^[0-9]+$ ]]; then REPS=$1; shift; fi
WORK=${RASTRA_BENCH_DIR:-/tmp/rastra-bench}
BUILD=${RASTRA_BENCH_BUILD:-$WORK/build-threads}

log() { printf 'threads: %s\n' "$*" >&2; }
# shellcheck source=bench/corpus.sh
source "$ROOT/bench/corpus.sh"

install_missing "${CORPUS_TOOLS[@]}" libbenchmark-dev
"$ROOT/scripts/setup.sh" linux >/dev/null
mkdir -p "$WORK"
corpus
log "building rastra_bench_threads in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRASTRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" --target rastra_bench_threads -j"$(nproc)" >/dev/null
"$BUILD/bench/rastra_bench_threads" --reps "$REPS" "$@" "$WORK/corpus"

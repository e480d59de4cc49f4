#!/usr/bin/env bash
# How close each codec set's outputs come to a full-precision rendering of
# the photographs of bench/compare.sh: JPEG -> fit 1920x1080 -> JPEG q90 and
# WebP -> the same, by rastra with --codecs reference and --codecs fast,
# against ImageMagick's 16-bit resize in linear light to the same size. Mean
# CIE76 colour differences, as a Markdown table. On demand only.
#
#   bench/quality.sh
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${RASTRA_BENCH_DIR:-/tmp/rastra-bench}
BUILD=${RASTRA_BENCH_BUILD:-$WORK/build-quality}

log() { printf 'quality: %s\n' "$*" >&2; }
# shellcheck source=bench/corpus.sh
source "$ROOT/bench/corpus.sh"

install_missing "${CORPUS_TOOLS[@]}" libbenchmark-dev
"$ROOT/scripts/build.sh" linux >/dev/null
mkdir -p "$WORK"
corpus
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRASTRA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" --target rastra_bench_quality -j"$(nproc)" >/dev/null

out=$WORK/quality
for job in jpeg webp; do
    rm -rf "$out/$job"
    mkdir -p "$out/$job/16bit"
    for codecs in reference fast; do
        "$ROOT/build/tools/rastra" --codecs "$codecs" --no-progress --format jpeg --quality 90 --max 1920x1080 \
            "$WORK/corpus/$job" "$out/$job/$codecs" >/dev/null 2>&1
    done
    ext=$job; [[ $job == jpeg ]] && ext=jpg
    for f in "$out/$job/reference"/*.jpg; do
        stem=$(basename "${f%.jpg}")
        size=$(vipsheader -f width "$f")x$(vipsheader -f height "$f")
        convert-im6.q16 "$WORK/corpus/$job/$stem.$ext" -colorspace RGB -resize "$size!" -colorspace sRGB \
            -depth 16 "$out/$job/16bit/$stem.ppm"
    done
    echo "$job -> fit 1920x1080 -> JPEG q90:"
    echo
    "$BUILD/bench/rastra_bench_quality" "$out/$job/16bit" "$out/$job/reference" "$out/$job/fast"
    echo
done

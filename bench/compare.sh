#!/usr/bin/env bash
# rastra next to its peers on real photographs: images per second, CPU time,
# peak memory and output size, as a Markdown table. On demand only; never part
# of the tests.
#
#   bench/compare.sh [REPETITIONS]      (default 3; the median run counts)
#
# RASTRA_BENCH_TOOLS and RASTRA_BENCH_JOBS (words) pick some tools and jobs.
# rastra and rastra-1 (--jobs 1) use the command line's default, the fast
# codecs; rastra-ref and rastra-ref-1 the reference set; vipsthumbnail-1 is
# vipsthumbnail on one thread.
#
# The corpus (bench/corpus.sh) is built from camera photographs in Debian's
# wallpaper packages (30 JPEGs of 4 to 20 megapixels), with RGBA PNG copies
# made by ImageMagick (alpha 90 %) and WebP copies made by cwebp. The peers
# come from Debian too. Work files go to $RASTRA_BENCH_DIR (default
# /tmp/rastra-bench).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=${1:-3}
WORK=${RASTRA_BENCH_DIR:-/tmp/rastra-bench}
TOOLS=(libvips-tools graphicsmagick imagemagick webp time)

log() { printf 'compare: %s\n' "$*" >&2; }
# shellcheck source=bench/corpus.sh
source "$ROOT/bench/corpus.sh"

setup() {
    install_missing "${TOOLS[@]}"
    "$ROOT/scripts/build.sh" linux >/dev/null
}

# The commands of one job for one tool: $1 job, $2 tool, $3 output directory.
command_for() {
    local job=$1 tool=$2 out=$3 src=$WORK/corpus
    local in fmt box q="90"
    case $job in
        jpeg-jpeg) in=$src/jpeg; fmt=jpg; box=1920x1080 ;;
        jpeg-webp) in=$src/jpeg; fmt=webp; box=1920x1080 ;;
        png-png) in=$src/png; fmt=png; box=800x600 ;;
        webp-jpeg) in=$src/webp; fmt=jpg; box=1920x1080 ;;
    esac
    local rfmt=$fmt; [[ $fmt == jpg ]] && rfmt=jpeg
    case $tool in
        # The command line's default codecs are the fast set; -ref the library's reference set.
        rastra-1) echo "$ROOT/build/tools/rastra --jobs 1 --no-progress --max $box --format $rfmt --quality $q $in $out" ;;
        rastra) echo "$ROOT/build/tools/rastra --no-progress --max $box --format $rfmt --quality $q $in $out" ;;
        rastra-ref-1) echo "$ROOT/build/tools/rastra --codecs reference --jobs 1 --no-progress --max $box --format $rfmt --quality $q $in $out" ;;
        rastra-ref) echo "$ROOT/build/tools/rastra --codecs reference --no-progress --max $box --format $rfmt --quality $q $in $out" ;;
        vipsthumbnail) echo "vipsthumbnail $in/* --size '${box}>' -o '$out/%s.$fmt[Q=$q]'" ;;
        vipsthumbnail-1) echo "VIPS_CONCURRENCY=1 vipsthumbnail $in/* --size '${box}>' -o '$out/%s.$fmt[Q=$q]'" ;;
        vips-resize) echo "$ROOT/bench/vips-resize.sh $in $out $box $fmt $q" ;;
        magick) echo "mogrify-im6.q16 -path $out -resize '${box}>' -quality $q -format $fmt $in/*" ;;
        # gm keeps the input's path below the output directory: give it bare names.
        gm) echo "cd $in && gm mogrify -output-directory $out -resize '${box}>' -quality $q -format $fmt *" ;;
    esac
}

# Megapixels of every image in a directory.
megapixels() {
    local total=0 f
    for f in "$1"/*; do
        total=$((total + $(vipsheader -f width "$f") * $(vipsheader -f height "$f")))
    done
    awk -v p="$total" 'BEGIN { printf "%.3f", p / 1e6 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

main() {
    setup
    corpus
    local jobs=(jpeg-jpeg jpeg-webp png-png webp-jpeg)
    local tools=(rastra-1 rastra rastra-ref-1 rastra-ref vipsthumbnail-1 vipsthumbnail vips-resize magick gm)
    [[ -n ${RASTRA_BENCH_TOOLS:-} ]] && read -r -a tools <<<"$RASTRA_BENCH_TOOLS"
    [[ -n ${RASTRA_BENCH_JOBS:-} ]] && read -r -a jobs <<<"$RASTRA_BENCH_JOBS"
    local results=$WORK/results
    rm -rf "$results"
    mkdir -p "$results"
    for job in "${jobs[@]}"; do
        for rep in $(seq "$REPS"); do
            for tool in "${tools[@]}"; do  # interleaved, so drift hits every tool alike
                local out=$WORK/out/$job/$tool
                rm -rf "$out"
                mkdir -p "$out"
                local cmd
                cmd=$(command_for "$job" "$tool" "$out")
                /usr/bin/time -f '%e %U %S %M' -o "$results/t" bash -c "$cmd" >/dev/null 2>&1 \
                    || { log "$tool failed on $job"; continue; }
                cat "$results/t" >> "$results/$job.$tool"
            done
        done
    done

    local cpus
    cpus=$(nproc)
    echo "| job | tool | images/s | CPU ms per input MP | peak memory (MiB) | output bytes per output MP |"
    echo "|---|---|---|---|---|---|"
    for job in "${jobs[@]}"; do
        local in_dir
        case $job in jpeg-*) in_dir=$WORK/corpus/jpeg ;; png-*) in_dir=$WORK/corpus/png ;; webp-*) in_dir=$WORK/corpus/webp ;; esac
        local in_mp n
        in_mp=$(megapixels "$in_dir")
        n=$(find "$in_dir" -type f | wc -l)
        for tool in "${tools[@]}"; do
            local f=$results/$job.$tool
            [[ -s $f ]] || { echo "| $job | $tool | failed | | | |"; continue; }
            local wall cpu mem out_bytes out_mp
            wall=$(awk '{ print $1 }' "$f" | median)
            cpu=$(awk '{ print $2 + $3 }' "$f" | median)
            mem=$(awk '{ print $4 }' "$f" | median)
            out_bytes=$(du -cb "$WORK/out/$job/$tool"/* | tail -n 1 | cut -f1)
            out_mp=$(megapixels "$WORK/out/$job/$tool")
            awk -v job="$job" -v tool="$tool" -v n="$n" -v wall="$wall" -v cpu="$cpu" -v mem="$mem" \
                -v in_mp="$in_mp" -v ob="$out_bytes" -v omp="$out_mp" \
                'BEGIN { printf "| %s | %s | %.2f | %.1f | %.0f | %.0f |\n", job, tool, n / wall, cpu * 1000 / in_mp, mem / 1024, ob / omp }'
        done
    done
    echo
    echo "$cpus CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $REPS repetitions, medians;" \
         "peak memory is the largest single process."
}

main

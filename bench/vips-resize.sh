#!/usr/bin/env bash
# `vips resize` over a directory, for bench/compare.sh: each image scaled to
# fit BOX (never enlarged), one vips process per file, as a script would.
#   bench/vips-resize.sh IN_DIR OUT_DIR WxH FORMAT QUALITY
set -euo pipefail
in=$1 out=$2 box=$3 fmt=$4 q=$5
bw=${box%x*} bh=${box#*x}
for f in "$in"/*; do
    w=$(vipsheader -f width "$f")
    h=$(vipsheader -f height "$f")
    scale=$(awk -v w="$w" -v h="$h" -v bw="$bw" -v bh="$bh" \
        'BEGIN { s = bw / w; if (bh / h < s) s = bh / h; if (s > 1) s = 1; printf "%.9f", s }')
    b=$(basename "${f%.*}")
    vips resize "$f" "$out/$b.$fmt[Q=$q]" "$scale"
done

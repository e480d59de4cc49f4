#!/usr/bin/env bash
# The Windows download as a user gets it: unpack the zip, check its contents,
# convert sample images with its rastra.exe and load its rastra.dll through
# the dynamic-load test, all under Wine.
#   windows_zip.sh ZIP BIN_DIR WINEPREFIX SOURCE_DIR
set -euo pipefail
zip=$1 bin=$2 prefix=$3 src=$4
wine() { "$src/scripts/wine-run.sh" "$prefix" "$@"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
for f in bin/rastra.dll bin/rastra.exe lib/rastra.lib lib/rastra.def include/rastra.h include/Rastra.cs THIRD_PARTY_NOTICES README-windows.txt; do
    test -s "$work/$f" || { echo "missing from the zip: $f"; exit 1; }
done
grep -q '^    rastra_process_file$' "$work/lib/rastra.def"
grep -q 'libwebp' "$work/THIRD_PARTY_NOTICES"

wine "$bin/rastra-make-samples.exe" "$work/samples" >/dev/null
wine "$work/bin/rastra.exe" --version | grep -q '^rastra '
wine "$work/bin/rastra.exe" --max 320x240 --watermark zip "$work/samples" "$work/out" > "$work/stats.json"
grep -q '"processed":5,"failed":0' "$work/stats.json"
test "$(ls "$work/out" | wc -l)" -eq 5
# Names outside any ANSI code page: rastra.exe's manifest makes UTF-8 its code page.
mkdir "$work/names"
for name in φωτογραφία.png 照片.png plain.png; do cp "$(ls "$work"/out/*.png | head -n 1)" "$work/names/$name"; done
wine "$work/bin/rastra.exe" --jobs 2 "$work/names" "$work/names-out" > "$work/names.json"
grep -q '"processed":3,"failed":0' "$work/names.json"
test -s "$work/names-out/φωτογραφία.png" && test -s "$work/names-out/照片.png"
RASTRA_LIBRARY=$work/bin/rastra.dll wine "$bin/rastra_dynamic_load_test.exe" >/dev/null
echo "windows zip: contents, rastra.exe on samples and on Greek and Chinese names, rastra.dll loaded dynamically: all work"

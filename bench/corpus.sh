# shellcheck shell=bash
# The photographs the benchmarks run on. Sourced by bench/compare.sh and
# bench/threads.sh, which first set WORK (their work directory) and define
# log().
#
# corpus builds, once, $WORK/corpus with 30 distinct camera photographs of 4 to
# 20 megapixels from Debian's wallpaper packages, in path order, as
# jpeg/p01.jpg ... jpeg/p30.jpg, their RGBA copies (alpha 90 %, by ImageMagick)
# as png/pNN.png and WebP copies (q90, by cwebp) as webp/pNN.webp. It needs
# the tools of CORPUS_TOOLS; install_missing installs them.

CORPUS_PACKAGES=(lomiri-wallpapers-16.04 lomiri-wallpapers-20.04 plasma-workspace-wallpapers mate-backgrounds)
# shellcheck disable=SC2034  # used by the scripts that source this one
CORPUS_TOOLS=(libvips-tools imagemagick webp)  # vipsheader, convert-im6.q16, cwebp

# Installs the Debian packages named that are not installed yet.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if (( ${#missing[@]} )); then
        log "installing ${missing[*]}"
        local sudo=()
        (( EUID == 0 )) || sudo=(sudo)
        "${sudo[@]}" apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# 30 distinct photographs of 4 to 20 megapixels, in path order.
corpus() {
    local src=$WORK/corpus
    if [[ -f $src/.done ]] && (( $(find "$src/jpeg" -type f | wc -l) == 30 )); then return 0; fi
    rm -rf "$src" "$WORK/pkg"
    mkdir -p "$src/jpeg" "$src/png" "$src/webp" "$WORK/pkg"
    (cd "$WORK/pkg" && apt-get download "${CORPUS_PACKAGES[@]}" >/dev/null)
    for deb in "$WORK"/pkg/*.deb; do dpkg-deb -x "$deb" "$WORK/pkg/x"; done
    local n=0 seen=" "
    while IFS= read -r f; do
        local w h sum
        w=$(vipsheader -f width "$f" 2>/dev/null) || continue
        h=$(vipsheader -f height "$f" 2>/dev/null) || continue
        (( w * h >= 4000000 && w * h <= 20000000 )) || continue
        sum=$(md5sum < "$f" | cut -c1-32)
        [[ $seen == *" $sum "* ]] && continue
        seen+="$sum "
        n=$((n + 1))
        cp "$f" "$src/jpeg/$(printf 'p%02d' "$n").jpg"
        (( n == 30 )) && break
    done < <(find "$WORK/pkg/x" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) | sort)
    (( n == 30 )) || { log "found only $n photographs"; exit 1; }
    log "deriving RGBA PNG and WebP copies"
    for f in "$src"/jpeg/*.jpg; do
        local b
        b=$(basename "$f" .jpg)
        convert-im6.q16 "$f" -alpha set -channel A -evaluate set 90% +channel "PNG32:$src/png/$b.png"
        cwebp -quiet -q 90 "$f" -o "$src/webp/$b.webp"
    done
    touch "$src/.done"
}

#!/usr/bin/env bash
# Fetch and build the pinned third-party dependencies into .deps/ (git-ignored).
#
#   scripts/fetch-deps.sh [linux|mingw]...    (default: linux)
#
# stb (image 2.30, image_write 1.16, image_resize2 2.12) comes from the libstb-dev
# package of Debian trixie; libwebp 1.6.0 (with its mux library) is built from
# Debian's source package; Little CMS 2.14 from Debian 12's source package, with
# Debian's patches (security fixes among them) applied.
# Packages are fetched through a private apt configuration under .deps/apt that
# reuses the mirror the system's apt is already configured with; the system's own
# apt state is never touched. Every step is skipped when its result is present,
# so a second run does nothing.
#
# Pre-seeded files with the right checksums in .deps/src (libwebp_1.6.0.orig.tar.gz,
# lcms2_2.14.orig.tar.gz and lcms2_2.14-2+deb12u1.debian.tar.xz) need no apt.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=${RASTRA_DEPS_DIR:-$ROOT/.deps}

WEBP_VERSION=1.6.0
WEBP_DEB_VERSION=1.6.0-0.1
WEBP_SHA256=e4ab7009bf0629fd11982d4c2aa83964cf244cffba7347ecd39019a9e38c4564
WEBP_TARBALL=$DEPS/src/libwebp_${WEBP_VERSION}.orig.tar.gz
# Bumped whenever the libwebp build changes, so an older build is replaced.
WEBP_STAMP=.libwebp-$WEBP_VERSION-mux
LCMS_VERSION=2.14
LCMS_DEB_VERSION=2.14-2+deb12u1
LCMS_SHA256=28474ea6f6591c4d4cee972123587001a4e6e353412a41b3e9e82219818d5740
LCMS_DEBIAN_SHA256=3b88006a5ccc15f3d4b2f28310875a8c4d789ac8342deaf4113ed5c2fd4a59e8
LCMS_TARBALL=$DEPS/src/lcms2_${LCMS_VERSION}.orig.tar.gz
LCMS_DEBIAN=$DEPS/src/lcms2_${LCMS_DEB_VERSION}.debian.tar.xz
STB_SUITE=trixie
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

log() { printf 'fetch-deps: %s\n' "$*" >&2; }
die() { printf 'fetch-deps: error: %s\n' "$*" >&2; exit 1; }

# The Debian mirror the system already uses (never the security one).
mirror_uri() {
    local uri=""
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
              /etc/apt/sources.list.d/*.sources)
    fi
    if [[ -z $uri && -f /etc/apt/sources.list ]]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { if ($i !~ /security/) print $i; break } }' \
              /etc/apt/sources.list | head -n 1)
    fi
    [[ -n $uri ]] || die "cannot find a Debian mirror in /etc/apt/sources.list(.d)"
    printf '%s\n' "${uri%/}"
}

SCRATCH=()
cleanup() { (( ${#SCRATCH[@]} )) && rm -rf "${SCRATCH[@]}"; return 0; }
trap cleanup EXIT

APT_READY=0
apt_private() {
    local a=$DEPS/apt
    apt-get -q \
        -o Dir::Etc::sourcelist="$a/sources.list" \
        -o Dir::Etc::sourceparts="$a/sources.list.d" \
        -o Dir::State::Lists="$a/lists" \
        -o Dir::State::status="$a/status" \
        -o Dir::Cache="$a/cache" \
        -o APT::Sandbox::User=root \
        -o Acquire::Languages=none \
        "$@"
}

apt_setup() {
    (( APT_READY )) && return 0
    command -v apt-get >/dev/null || die "apt-get is required to fetch dependencies"
    local a=$DEPS/apt uri
    uri=$(mirror_uri)
    mkdir -p "$a/sources.list.d" "$a/lists/partial" "$a/cache/archives/partial"
    : > "$a/status"
    cat > "$a/sources.list" <<SRC
deb [signed-by=$KEYRING] $uri $STB_SUITE main
deb-src [signed-by=$KEYRING] $uri sid main
deb-src [signed-by=$KEYRING] $uri forky main
deb-src [signed-by=$KEYRING] $uri bookworm main
SRC
    log "updating private package lists from $uri"
    apt_private update >/dev/null || die "apt-get update failed for $uri"
    APT_READY=1
}

fetch_stb() {
    local inc=$DEPS/include/stb
    if [[ -f $inc/stb_image.h && -f $inc/stb_image_write.h && -f $inc/stb_image_resize2.h ]]; then
        return 0
    fi
    apt_setup
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    log "downloading libstb-dev/$STB_SUITE"
    (cd "$tmp" && apt_private download "libstb-dev/$STB_SUITE" >/dev/null) \
        || die "cannot download libstb-dev from $STB_SUITE"
    dpkg-deb -x "$tmp"/libstb-dev_*.deb "$tmp/x"
    mkdir -p "$inc"
    for h in stb_image.h stb_image_write.h stb_image_resize2.h; do
        cp "$tmp/x/usr/include/stb/$h" "$inc/$h.part" && mv "$inc/$h.part" "$inc/$h"
    done
    grep -q 'stb_image - v2.30' "$inc/stb_image.h" || die "unexpected stb_image version"
    grep -q 'stb_image_write - v1.16' "$inc/stb_image_write.h" || die "unexpected stb_image_write version"
    grep -q 'stb_image_resize2 - v2.12' "$inc/stb_image_resize2.h" || die "unexpected stb_image_resize2 version"
}

# sha_ok FILE [SHA256]: the file exists with that checksum (default libwebp's).
sha_ok() { [[ -f $1 ]] && [[ $(sha256sum "$1" | cut -d' ' -f1) == "${2:-$WEBP_SHA256}" ]]; }

fetch_webp_source() {
    sha_ok "$WEBP_TARBALL" && return 0
    apt_setup
    mkdir -p "$DEPS/src"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    log "downloading source package libwebp=$WEBP_DEB_VERSION"
    if ! (cd "$tmp" && apt_private source --download-only "libwebp=$WEBP_DEB_VERSION" >/dev/null 2>&1); then
        die "libwebp $WEBP_DEB_VERSION is no longer in the Debian archive (sid/forky keep only the newest version).
  Place the upstream tarball libwebp-$WEBP_VERSION.tar.gz (sha256 $WEBP_SHA256)
  at $WEBP_TARBALL and run this script again."
    fi
    sha_ok "$tmp/libwebp_${WEBP_VERSION}.orig.tar.gz" || die "checksum mismatch for libwebp_${WEBP_VERSION}.orig.tar.gz"
    mv "$tmp/libwebp_${WEBP_VERSION}.orig.tar.gz" "$WEBP_TARBALL"
}

# build_webp PREFIX [extra cmake args...]
build_webp() {
    local prefix=$1; shift
    [[ -f $prefix/$WEBP_STAMP ]] && return 0
    fetch_webp_source
    command -v cmake >/dev/null || die "cmake is required"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    tar -xzf "$WEBP_TARBALL" -C "$tmp"
    local src=$tmp/libwebp-$WEBP_VERSION
    [[ -d $src ]] || die "unexpected layout of $WEBP_TARBALL"
    log "building libwebp $WEBP_VERSION into $prefix"
    rm -rf "$prefix"
    cmake -S "$src" -B "$tmp/build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
        -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
        -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF \
        -DWEBP_BUILD_LIBWEBPMUX=ON -DWEBP_BUILD_FUZZTEST=OFF \
        "$@" >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log" >&2; die "libwebp configure failed"; }
    cmake --build "$tmp/build" -j"$(nproc)" >"$tmp/build.log" 2>&1 \
        || { tail -n 50 "$tmp/build.log" >&2; die "libwebp build failed"; }
    cmake --install "$tmp/build" >/dev/null
    touch "$prefix/$WEBP_STAMP"
}

fetch_lcms_source() {
    sha_ok "$LCMS_TARBALL" "$LCMS_SHA256" && sha_ok "$LCMS_DEBIAN" "$LCMS_DEBIAN_SHA256" && return 0
    apt_setup
    mkdir -p "$DEPS/src"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    log "downloading source package lcms2=$LCMS_DEB_VERSION"
    if ! (cd "$tmp" && apt_private source --download-only "lcms2=$LCMS_DEB_VERSION" >/dev/null 2>&1); then
        die "lcms2 $LCMS_DEB_VERSION is no longer in the Debian archive.
  Place lcms2_${LCMS_VERSION}.orig.tar.gz (sha256 $LCMS_SHA256) and
  lcms2_${LCMS_DEB_VERSION}.debian.tar.xz (sha256 $LCMS_DEBIAN_SHA256)
  in $DEPS/src and run this script again."
    fi
    sha_ok "$tmp/${LCMS_TARBALL##*/}" "$LCMS_SHA256" || die "checksum mismatch for ${LCMS_TARBALL##*/}"
    sha_ok "$tmp/${LCMS_DEBIAN##*/}" "$LCMS_DEBIAN_SHA256" || die "checksum mismatch for ${LCMS_DEBIAN##*/}"
    mv "$tmp/${LCMS_TARBALL##*/}" "$LCMS_TARBALL"
    mv "$tmp/${LCMS_DEBIAN##*/}" "$LCMS_DEBIAN"
}

# unpack_lcms DIR: the lcms2 source tree, with Debian's patches applied, in
# DIR/lcms2-2.14.
unpack_lcms() {
    fetch_lcms_source
    tar -xzf "$LCMS_TARBALL" -C "$1"
    local src=$1/lcms2-$LCMS_VERSION patch
    tar -xJf "$LCMS_DEBIAN" -C "$src"
    while read -r patch; do
        [[ -z $patch || $patch == \#* ]] && continue
        patch -d "$src" -p1 -s <"$src/debian/patches/$patch" || die "Debian patch $patch does not apply"
    done <"$src/debian/patches/series"
}

# build_lcms PREFIX CC AR: the library's own sources compiled into a static
# liblcms2.a (no plugins, no tools), with its public header.
build_lcms() {
    local prefix=$1 cc=$2 ar=$3
    [[ -f $prefix/.lcms2-$LCMS_DEB_VERSION ]] && return 0
    command -v "$cc" >/dev/null || die "$cc is required"
    local tmp src obj
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    unpack_lcms "$tmp"
    src=$tmp/lcms2-$LCMS_VERSION
    log "building lcms2 $LCMS_VERSION into $prefix"
    obj=$src/obj
    mkdir -p "$obj" "$prefix/include" "$prefix/lib"
    local f
    for f in "$src"/src/*.c; do
        "$cc" -O2 -fPIC -fvisibility=hidden -I"$src/include" -c "$f" -o "$obj/$(basename "${f%.c}").o" \
            || die "lcms2 build failed at $f"
    done
    rm -f "$prefix/lib/liblcms2.a"
    "$ar" rcs "$prefix/lib/liblcms2.a" "$obj"/*.o
    cp "$src/include/lcms2.h" "$prefix/include/lcms2.h"
    cp "$src/include/lcms2_plugin.h" "$prefix/include/lcms2_plugin.h"
    touch "$prefix/.lcms2-$LCMS_DEB_VERSION"
}

# libwebp's licence and patent grant, shipped with every binary that links it.
fetch_webp_notices() {
    local dir=$DEPS/licenses
    [[ -s $dir/libwebp-COPYING && -s $dir/libwebp-PATENTS ]] && return 0
    fetch_webp_source
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    tar -xzf "$WEBP_TARBALL" -C "$tmp" "libwebp-$WEBP_VERSION/COPYING" "libwebp-$WEBP_VERSION/PATENTS"
    mkdir -p "$dir"
    cp "$tmp/libwebp-$WEBP_VERSION/COPYING" "$dir/libwebp-COPYING"
    cp "$tmp/libwebp-$WEBP_VERSION/PATENTS" "$dir/libwebp-PATENTS"
}

fetch_lcms_notices() {
    local dir=$DEPS/licenses
    [[ -s $dir/lcms2-COPYING ]] && return 0
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    unpack_lcms "$tmp"
    mkdir -p "$dir"
    cp "$tmp/lcms2-$LCMS_VERSION/COPYING" "$dir/lcms2-COPYING"
}

main() {
    local targets=("$@")
    (( ${#targets[@]} )) || targets=(linux)
    mkdir -p "$DEPS"
    fetch_stb
    fetch_webp_notices
    fetch_lcms_notices
    for t in "${targets[@]}"; do
        case $t in
            linux)
                build_webp "$DEPS/linux"
                build_lcms "$DEPS/linux" "${CC:-cc}" ar ;;
            mingw)
                command -v x86_64-w64-mingw32-g++-posix >/dev/null \
                    || die "the MinGW-w64 cross compiler is required (g++-mingw-w64-x86-64-posix)"
                build_webp "$DEPS/mingw" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"
                build_lcms "$DEPS/mingw" x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar ;;
            *) die "unknown target '$t' (expected linux or mingw)" ;;
        esac
    done
}

main "$@"

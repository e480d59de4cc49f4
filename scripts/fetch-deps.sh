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
# and each Debian source package's orig and debian tarballs) need no apt.
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
# The fast codec set: libjpeg-turbo, libspng and the zlib it compresses with,
# all from Debian 12's source packages with Debian's patches.
JPEG_DEB_VERSION=1:2.1.5-2
JPEG_SHA256=254f3642b04e309fee775123133c6464181addc150499561020312ec61c1bf7c
JPEG_DEBIAN_SHA256=cdb2433c2f7101345c1ffa14efb943787c675b86354691a32490845fe4bc9237
SPNG_DEB_VERSION=0.7.3-3
SPNG_SHA256=a50cadbe808ffda1a7fab17d145f52a23b163f34b3eb3696c7ecb5a52340fc1d
SPNG_DEBIAN_SHA256=d24b992ef0839350dda99083a0c62a0bb1e403800ba9e9dfcf57754ba297d187
ZLIB_DEB_VERSION=1:1.2.13.dfsg-1
ZLIB_SHA256=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
ZLIB_DEBIAN_SHA256=f66cf3d4f2d7defcd4d1fd1fb0a11ee39f1e01b42ec7d059c9dc5c1695133c44
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

# fetch_debian NAME VERSION ORIG ORIG_SHA256 DEBIAN DEBIAN_SHA256: a Debian
# source package's two tarballs in $DEPS/src, checked.
fetch_debian() {
    local name=$1 version=$2 orig=$3 orig_sha=$4 debian=$5 debian_sha=$6
    sha_ok "$DEPS/src/$orig" "$orig_sha" && sha_ok "$DEPS/src/$debian" "$debian_sha" && return 0
    apt_setup
    mkdir -p "$DEPS/src"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    log "downloading source package $name=$version"
    if ! (cd "$tmp" && apt_private source --download-only "$name=$version" >/dev/null 2>&1); then
        die "$name $version is no longer in the Debian archive.
  Place $orig (sha256 $orig_sha) and
  $debian (sha256 $debian_sha)
  in $DEPS/src and run this script again."
    fi
    sha_ok "$tmp/$orig" "$orig_sha" || die "checksum mismatch for $orig"
    sha_ok "$tmp/$debian" "$debian_sha" || die "checksum mismatch for $debian"
    mv "$tmp/$orig" "$tmp/$debian" "$DEPS/src/"
}

# unpack_debian ORIG DEBIAN DIR: the source tree in DIR with Debian's patches
# applied; its root in UNPACKED.
unpack_debian() {
    local dir=$3 patch roots
    tar -xf "$DEPS/src/$1" -C "$dir"
    roots=("$dir"/*/)
    (( ${#roots[@]} == 1 )) || die "unexpected layout of $1"
    UNPACKED=${roots[0]%/}
    tar -xf "$DEPS/src/$2" -C "$UNPACKED"
    [[ -f $UNPACKED/debian/patches/series ]] || return 0
    while read -r patch; do
        [[ -z $patch || $patch == \#* ]] && continue
        patch -d "$UNPACKED" -p1 -s <"$UNPACKED/debian/patches/$patch" || die "Debian patch $patch does not apply"
    done <"$UNPACKED/debian/patches/series"
}

# unpack_lcms DIR: the lcms2 source tree, with Debian's patches applied, in UNPACKED.
unpack_lcms() {
    fetch_debian lcms2 "$LCMS_DEB_VERSION" "lcms2_${LCMS_VERSION}.orig.tar.gz" "$LCMS_SHA256" \
        "lcms2_${LCMS_DEB_VERSION}.debian.tar.xz" "$LCMS_DEBIAN_SHA256"
    unpack_debian "lcms2_${LCMS_VERSION}.orig.tar.gz" "lcms2_${LCMS_DEB_VERSION}.debian.tar.xz" "$1"
}

# compile_static CC AR LIBRARY OBJDIR FLAGS... -- SOURCES...: each source
# compiled with FLAGS into OBJDIR, archived into LIBRARY.
compile_static() {
    local cc=$1 ar=$2 library=$3 obj=$4 f
    shift 4
    local flags=()
    while [[ $1 != -- ]]; do flags+=("$1"); shift; done
    shift
    mkdir -p "$obj" "$(dirname "$library")"
    for f in "$@"; do
        "$cc" -O2 -fvisibility=hidden "${flags[@]}" -c "$f" -o "$obj/$(basename "${f%.c}").o" \
            || die "build failed at $f"
    done
    rm -f "$library"
    "$ar" rcs "$library" "$obj"/*.o
}

# build_lcms PREFIX CC AR: the library's own sources compiled into a static
# liblcms2.a (no plugins, no tools), with its public header.
build_lcms() {
    local prefix=$1 cc=$2 ar=$3
    [[ -f $prefix/.lcms2-$LCMS_DEB_VERSION ]] && return 0
    command -v "$cc" >/dev/null || die "$cc is required"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    unpack_lcms "$tmp"
    log "building lcms2 $LCMS_VERSION into $prefix"
    compile_static "$cc" "$ar" "$prefix/lib/liblcms2.a" "$tmp/obj" -fPIC -I"$UNPACKED/include" -- "$UNPACKED"/src/*.c
    mkdir -p "$prefix/include"
    cp "$UNPACKED/include/lcms2.h" "$UNPACKED/include/lcms2_plugin.h" "$prefix/include/"
    touch "$prefix/.lcms2-$LCMS_DEB_VERSION"
}

ZLIB_ORIG=zlib_1.2.13.dfsg.orig.tar.bz2
ZLIB_DEBIAN=zlib_1.2.13.dfsg-1.debian.tar.xz
SPNG_ORIG=libspng_0.7.3.orig.tar.gz
SPNG_DEBIAN=libspng_0.7.3-3.debian.tar.xz
JPEG_ORIG=libjpeg-turbo_2.1.5.orig.tar.gz
JPEG_DEBIAN=libjpeg-turbo_2.1.5-2.debian.tar.xz

# build_png PREFIX CC AR: zlib 1.2.13 and libspng 0.7.3 as static libraries
# (libz.a, libspng.a) with their headers.
build_png() {
    local prefix=$1 cc=$2 ar=$3
    [[ -f $prefix/.spng-$SPNG_DEB_VERSION-zlib-${ZLIB_DEB_VERSION#*:} ]] && return 0
    command -v "$cc" >/dev/null || die "$cc is required"
    fetch_debian zlib "$ZLIB_DEB_VERSION" "$ZLIB_ORIG" "$ZLIB_SHA256" "$ZLIB_DEBIAN" "$ZLIB_DEBIAN_SHA256"
    fetch_debian libspng "$SPNG_DEB_VERSION" "$SPNG_ORIG" "$SPNG_SHA256" "$SPNG_DEBIAN" "$SPNG_DEBIAN_SHA256"
    local tmp z
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    mkdir -p "$tmp/zlib" "$tmp/spng" "$prefix/include"
    unpack_debian "$ZLIB_ORIG" "$ZLIB_DEBIAN" "$tmp/zlib"
    z=$UNPACKED
    log "building zlib 1.2.13 and libspng 0.7.3 into $prefix"
    compile_static "$cc" "$ar" "$prefix/lib/libz.a" "$tmp/zobj" -fPIC -I"$z" -- \
        "$z"/{adler32,compress,crc32,deflate,infback,inffast,inflate,inftrees,trees,uncompr,zutil}.c
    cp "$z/zlib.h" "$z/zconf.h" "$prefix/include/"
    unpack_debian "$SPNG_ORIG" "$SPNG_DEBIAN" "$tmp/spng"
    compile_static "$cc" "$ar" "$prefix/lib/libspng.a" "$tmp/sobj" -fPIC -DSPNG_STATIC -I"$prefix/include" -- \
        "$UNPACKED/spng/spng.c"
    cp "$UNPACKED/spng/spng.h" "$prefix/include/"
    touch "$prefix/.spng-$SPNG_DEB_VERSION-zlib-${ZLIB_DEB_VERSION#*:}"
}

# build_jpeg PREFIX [cmake args...]: libjpeg-turbo 2.1.5's static libjpeg
# (the libjpeg 6b interface, with its SIMD) and its headers.
build_jpeg() {
    local prefix=$1; shift
    [[ -f $prefix/.jpeg-${JPEG_DEB_VERSION#*:} ]] && return 0
    command -v nasm >/dev/null || die "nasm is required to build libjpeg-turbo's SIMD code"
    fetch_debian libjpeg-turbo "$JPEG_DEB_VERSION" "$JPEG_ORIG" "$JPEG_SHA256" "$JPEG_DEBIAN" "$JPEG_DEBIAN_SHA256"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    unpack_debian "$JPEG_ORIG" "$JPEG_DEBIAN" "$tmp"
    log "building libjpeg-turbo 2.1.5 into $prefix"
    cmake -S "$UNPACKED" -B "$tmp/build" -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
        "$@" >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log" >&2; die "libjpeg-turbo configure failed"; }
    cmake --build "$tmp/build" --target jpeg-static -j"$(nproc)" >"$tmp/build.log" 2>&1 \
        || { tail -n 50 "$tmp/build.log" >&2; die "libjpeg-turbo build failed"; }
    mkdir -p "$prefix/include" "$prefix/lib"
    cp "$tmp/build/libjpeg.a" "$prefix/lib/libjpeg.a"
    cp "$tmp/build/jconfig.h" "$UNPACKED"/{jpeglib.h,jmorecfg.h,jerror.h} "$prefix/include/"
    touch "$prefix/.jpeg-${JPEG_DEB_VERSION#*:}"
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
    cp "$UNPACKED/COPYING" "$dir/lcms2-COPYING"
}

# The fast codecs' licences: libjpeg-turbo's (IJG, BSD, zlib terms), libspng's
# BSD licence and zlib's.
fetch_codec_notices() {
    local dir=$DEPS/licenses
    [[ -s $dir/libjpeg-turbo-LICENSE.md && -s $dir/libjpeg-turbo-README.ijg && -s $dir/libspng-LICENSE \
       && -s $dir/zlib-LICENSE ]] && return 0
    fetch_debian libjpeg-turbo "$JPEG_DEB_VERSION" "$JPEG_ORIG" "$JPEG_SHA256" "$JPEG_DEBIAN" "$JPEG_DEBIAN_SHA256"
    fetch_debian libspng "$SPNG_DEB_VERSION" "$SPNG_ORIG" "$SPNG_SHA256" "$SPNG_DEBIAN" "$SPNG_DEBIAN_SHA256"
    fetch_debian zlib "$ZLIB_DEB_VERSION" "$ZLIB_ORIG" "$ZLIB_SHA256" "$ZLIB_DEBIAN" "$ZLIB_DEBIAN_SHA256"
    local tmp
    tmp=$(mktemp -d "$DEPS/tmp.XXXXXX"); SCRATCH+=("$tmp")
    mkdir -p "$dir" "$tmp/j" "$tmp/s" "$tmp/z"
    unpack_debian "$JPEG_ORIG" "$JPEG_DEBIAN" "$tmp/j"
    cp "$UNPACKED/LICENSE.md" "$dir/libjpeg-turbo-LICENSE.md"
    cp "$UNPACKED/README.ijg" "$dir/libjpeg-turbo-README.ijg"
    unpack_debian "$SPNG_ORIG" "$SPNG_DEBIAN" "$tmp/s"
    cp "$UNPACKED/LICENSE" "$dir/libspng-LICENSE"
    unpack_debian "$ZLIB_ORIG" "$ZLIB_DEBIAN" "$tmp/z"
    # zlib's licence is the notice at the top of zlib.h.
    sed -n '/Copyright (C) 1995/,/^\*\//p' "$UNPACKED/zlib.h" >"$dir/zlib-LICENSE"
}

main() {
    local targets=("$@")
    (( ${#targets[@]} )) || targets=(linux)
    mkdir -p "$DEPS"
    fetch_stb
    fetch_webp_notices
    fetch_lcms_notices
    fetch_codec_notices
    for t in "${targets[@]}"; do
        case $t in
            linux)
                build_webp "$DEPS/linux"
                build_lcms "$DEPS/linux" "${CC:-cc}" ar
                build_png "$DEPS/linux" "${CC:-cc}" ar
                build_jpeg "$DEPS/linux" ;;
            mingw)
                command -v x86_64-w64-mingw32-g++-posix >/dev/null \
                    || die "the MinGW-w64 cross compiler is required (g++-mingw-w64-x86-64-posix)"
                build_webp "$DEPS/mingw" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"
                build_lcms "$DEPS/mingw" x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar
                build_png "$DEPS/mingw" x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-ar
                build_jpeg "$DEPS/mingw" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" ;;
            *) die "unknown target '$t' (expected linux or mingw)" ;;
        esac
    done
}

main "$@"

#!/usr/bin/env bash
# Install the system packages the build needs, when they are missing, and
# fetch the pinned dependencies.
#
#   scripts/setup.sh [linux|mingw|valgrind]...
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(g++ make cmake libgtest-dev binutils debian-archive-keyring ca-certificates pkg-config patch xz-utils nasm
          python3 python3-venv python3-pytest mono-mcs mono-runtime imagemagick libimage-exiftool-perl
          python3-dask python3-distributed python3-fsspec colord-data icc-profiles-free)
deps=()
for t in "$@"; do
    case $t in
        mingw) packages+=(g++-mingw-w64-x86-64-posix wine64 wine); deps+=(mingw) ;;
        valgrind) packages+=(valgrind) ;;
        *) deps+=("$t") ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if (( ${#missing[@]} )); then
    echo "setup: installing ${missing[*]}" >&2
    sudo=()
    (( EUID == 0 )) || sudo=(sudo)
    "${sudo[@]}" apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

"$ROOT/scripts/fetch-deps.sh" "${deps[@]}"

#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as a new user would:
# a C program built with find_package(rastra) and with pkg-config, the
# installed rastra program, its manual and the licence notices.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# CMake.
cmake -S "$src/tests/install" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$work" | grep -q '"processed":1'

# pkg-config.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
# As the README builds it: the rpath finds the library, no LD_LIBRARY_PATH.
cc -o "$work/pc-consumer" "$src/tests/install/consumer.c" $(pkg-config --cflags --libs rastra) \
    -Wl,-rpath,"$(pkg-config --variable=libdir rastra)"
"$work/pc-consumer" "$work" | grep -q '"processed":1'

# The installed program finds its library, and its papers are there.
"$prefix/bin/rastra" --version | grep -q '^rastra '
test -s "$prefix/share/man/man1/rastra.1"
grep -q 'libwebp' "$prefix/share/doc/rastra/THIRD_PARTY_NOTICES"
grep -q 'stb' "$prefix/share/doc/rastra/THIRD_PARTY_NOTICES"
echo "install: find_package, pkg-config, rastra --version, manual and notices all work from $prefix"

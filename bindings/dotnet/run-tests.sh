#!/usr/bin/env bash
# Compiles the C# bindings, their tests and the ConvertFolder example with
# Mono, and runs the tests against a built library.
#   bindings/dotnet/run-tests.sh LIBRARY      (e.g. build/librastra.so.0)
# Needs Debian's mono-mcs and mono-runtime; installs nothing.
set -euo pipefail
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 PATH/TO/librastra.so.0" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
library=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every function rastra.h declares has its P/Invoke declaration.
missing=()
for name in $(grep -oE 'RASTRA_API[^(]*[ *]rastra_[a-z0-9_]+\(' "$here/../../include/rastra.h" | grep -oE 'rastra_[a-z0-9_]+\($' | tr -d '('); do
    grep -qE "static extern [^(]* $name\(" "$here/Rastra.cs" || missing+=("$name")
done
if (( ${#missing[@]} )); then
    echo "Rastra.cs does not declare: ${missing[*]}" >&2
    exit 1
fi

# DllImport("rastra") loads librastra.so: give the library that name.
mkdir "$work/lib"
ln -s "$library" "$work/lib/librastra.so"

mcs -unsafe- -warnaserror+ -out:"$work/RastraTests.exe" "$here/Rastra.cs" "$here/tests/RastraTests.cs"
mcs -unsafe- -warnaserror+ -out:"$work/ConvertFolder.exe" "$here/Rastra.cs" "$here/examples/ConvertFolder.cs"

export LD_LIBRARY_PATH="$work/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
cd "$work"
mono --debug "$work/RastraTests.exe" "$work/ConvertFolder.exe"

#!/usr/bin/env bash
# rastra.dask on a LocalCluster against `rastra --jobs N` on the photographs
# of bench/compare.sh, the per-task overhead, and a projection for 10 and 100
# workers. On demand only; never part of the tests.
#
#   bench/dask.sh [REPETITIONS] [--workers N]    (default 5 repetitions, 2 workers)
#
# Needs Debian's python3-dask, python3-distributed and python3-fsspec
# (installed when missing) and builds the library (scripts/build.sh linux).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REPS=5
if [[ ${1:-} =~ ^[0-9]+$ ]]; then REPS=$1; shift; fi
WORK=${RASTRA_BENCH_DIR:-/tmp/rastra-bench}

log() { printf 'dask: %s\n' "$*" >&2; }
# shellcheck source=bench/corpus.sh
source "$ROOT/bench/corpus.sh"

install_missing "${CORPUS_TOOLS[@]}" python3-dask python3-distributed python3-fsspec
"$ROOT/scripts/build.sh" linux >/dev/null
mkdir -p "$WORK"
corpus
RASTRA_LIBRARY="$ROOT/build/librastra.so" PYTHONPATH="$ROOT/bindings/python/src" \
    /usr/bin/python3 "$ROOT/bench/bench_dask.py" "$ROOT/build/tools/rastra" "$WORK/corpus/jpeg" --reps "$REPS" "$@"

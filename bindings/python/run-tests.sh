#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment, as a user
# would, and runs its tests against a built library.
#   bindings/python/run-tests.sh LIBRARY [TEST_FILE...]
# Without test files: every test but test_dask.py, which needs a cluster and
# the rastra programs it compares with (RASTRA_CLI, RASTRA_MAKE_SAMPLES).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
library=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
if (( $# )); then
    tests=()
    for t in "$@"; do tests+=("$here/tests/$t"); done
else
    tests=("$here/tests" --ignore="$here/tests/test_dask.py")
fi
python=/usr/bin/python3  # the system's Python, which has pytest
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --disable-pip-version-check "$here" 2>&1 | grep -v '^$' || true
"$work/venv/bin/python" -c 'import rastra' 
cd "$work"  # import the installed package, not the source tree
RASTRA_LIBRARY=$library "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"

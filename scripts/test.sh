#!/usr/bin/env bash
# Build and run every test.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$ROOT/scripts/build.sh" "$ROOT/build"
ctest --test-dir "$ROOT/build" --output-on-failure -j"$(nproc)"

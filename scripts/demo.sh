#!/usr/bin/env bash
# The main job: build, draw the sample images into demo/samples, and convert
# the whole directory into demo/out, shrunk to 640x480 with a watermark.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$ROOT/scripts/build.sh" linux >/dev/null
"$ROOT/build/tools/rastra-make-samples" "$ROOT/demo/samples"
cd "$ROOT"
set -x
build/tools/rastra --max 640x480 --watermark "rastra demo" --watermark-size 20 demo/samples demo/out

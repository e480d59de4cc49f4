#!/usr/bin/env bash
# The main job: build, draw the sample images into demo/samples, and convert
# the whole directory into demo/out, shrunk to 640x480 with a watermark.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$ROOT/scripts/build.sh" "$ROOT/build" >/dev/null
"$ROOT/build/tools/rastra-make-samples" "$ROOT/demo/samples"
echo "+ rastra --max 640x480 --watermark 'rastra demo' --watermark-size 20 demo/samples demo/out"
cd "$ROOT"
exec build/tools/rastra --max 640x480 --watermark "rastra demo" --watermark-size 20 demo/samples demo/out

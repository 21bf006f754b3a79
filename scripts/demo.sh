#!/usr/bin/env bash
# Demo of the picture path without a camera: compresses a photograph the way
# the camera does (raw frame and VQJ9 sample), then renders both with
# `dualcam decode` exactly as the driver renders frames for an application,
# as viewable PNG files and as the driver's own RGB and I420 buffers.
#
# Run from the repository root after the release build:
#   cmake --preset release && cmake --build --preset release && scripts/demo.sh
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tool="${DUALCAM_TOOL:-$root/build/release/tools/dualcam}"
photo="${1:-$root/tests/data/kodim15_320x240.png}"
out="$root/build/demo"

if [ ! -x "$tool" ]; then
  echo "demo: $tool not found; build first: cmake --preset release && cmake --build --preset release" >&2
  exit 1
fi
mkdir -p "$out"

# The camera sends 320x240 for the 320x240 and 240x180 formats, 160x128 for
# 160x120, and so on; `encode --size` takes the format size.
"$tool" encode --size 320x240 --quality 3 --vqj9 "$out/frame.vqj9" --gamma 4 "$photo" "$out/frame.raw"
"$tool" decode --size 320x240 "$out/frame.raw" "$out/frame_320x240.png"
"$tool" decode --size 240x180 "$out/frame.raw" "$out/frame_240x180.png"
"$tool" decode --size 320x240 "$out/frame.vqj9" "$out/frame_gamma4_320x240.png"
"$tool" decode --size 320x240 --format rgb24 "$out/frame.raw" "$out/frame_320x240.bgr"
"$tool" decode --size 320x240 --format i420 "$out/frame.raw" "$out/frame_320x240.yuv"

"$tool" encode --size 160x120 "$photo" "$out/small.raw"
"$tool" decode --size 160x120 "$out/small.raw" "$out/small_160x120.png"
"$tool" encode --size 128x96 "$photo" "$out/tiny.raw"
"$tool" decode --size 128x96 "$out/tiny.raw" "$out/tiny_128x96.png"

echo "photograph:        $photo"
echo "raw camera frame:  $out/frame.raw ($(stat -c %s "$out/frame.raw") bytes, quality index 3)"
echo "VQJ9 sample:       $out/frame.vqj9 (gamma 4)"
echo "rendered pictures:"
for f in "$out"/*.png "$out"/*.bgr "$out"/*.yuv; do
  echo "  $f"
done

#!/usr/bin/env bash
# Demo: the driver streaming from the simulated camera into files you can
# open. Runs `dualcam capture` into a YUV4MPEG2 video and a folder of PNG
# pictures, takes a still from a second process while a capture runs, runs
# one capture through the real USB path (libusb) with the simulated camera
# plugged in as a USB device, and prints where everything is. Takes about
# 20 seconds.
#
# Run from the repository root after the release build:
#   cmake --preset release && cmake --build --preset release && scripts/demo.sh
#
# The demo keeps its settings in its own data folder (build/demo/home), so
# it does not change yours; set DUALCAM_HOME to use another.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tool="${DUALCAM_TOOL:-$root/build/release/tools/dualcam}"
photo="$root/tests/data/kodim15_352x288.png"
out="$root/build/demo"
export DUALCAM_HOME="${DUALCAM_HOME:-$out/home}"

if [ ! -x "$tool" ]; then
  echo "demo: $tool not found; build first: cmake --preset release && cmake --build --preset release" >&2
  exit 1
fi
# The outputs of an earlier run go first: capture refuses to replace them.
rm -rf "$out/pictures" "$out/photo" "$out/raw" "$out/video.y4m" "$out/usb.y4m"
mkdir -p "$out"

echo "== 3 seconds of video (RGB24 352x288 at the camera's 30 fps) =="
"$tool" capture --seconds 3 --output "$out/video.y4m"

echo
echo "== a few pictures of a photograph scene, brighter, as PNG =="
"$tool" capture --frames 4 --format i420 --scene "$photo" --set brightness=150 --output "$out/photo/"
"$tool" ctl reset brightness   # back to the default for later runs

echo
echo "== a still picture asked for from a second process =="
"$tool" capture --seconds 4 --size 176x144 --output "$out/pictures/" &
capture=$!
for _ in $(seq 50); do
  [ "$("$tool" reg get IsoMode 2>/dev/null || true)" = 1 ] && break
  sleep 0.1
done
"$tool" snapshot "$out/still.png"
wait "$capture"

echo
echo "== the same camera as a USB device, through libusb (docs/real-camera.md) =="
"$root/scripts/with-emulated-camera.sh" --scene "$photo" "$tool" capture --device usb --frames 30 --output "$out/usb.y4m"

echo
echo "Open these:"
echo "  video:     $out/video.y4m      (e.g. mpv or ffplay; ffmpeg -i video.y4m video.mp4)"
echo "  pictures:  $out/photo/frame-0000{1..4}.png"
echo "             $out/pictures/ (one PNG per frame of the third run)"
echo "  still:     $out/still.png (640x480) and its snapshot file $out/still.dat"
echo "  usb:       $out/usb.y4m (read through libusb from the emulated USB camera)"
echo "  settings:  $DUALCAM_HOME ('dualcam reg list', 'dualcam ctl list')"
echo
echo "dualcam is $tool; 'cmake --install build/release --prefix ~/.local' puts it in ~/.local/bin, on your PATH"

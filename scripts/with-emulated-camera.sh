#!/usr/bin/env bash
# Runs a command with the simulated camera plugged in as a USB device, so
# that the real libusb path can be tried without the hardware:
#
#   scripts/with-emulated-camera.sh build/release/tools/dualcam capture --device usb --frames 30 --output v.y4m
#   scripts/with-emulated-camera.sh --fps 15 --scene tests/data/kodim15_352x288.png lsusb
#   scripts/with-emulated-camera.sh --unplug-after 40 dualcam capture --device usb --seconds 5 --output v.y4m
#
# The camera is vendor and product id 1209:0001 at usb:1-2; a umockdev test
# bed puts it in a private sysfs and /dev, and the command runs with
# umockdev's preload library so that its USB requests reach the camera.
# Options before the command go to the emulator (--help lists them); the
# exit status is the command's. Build first: cmake --preset release &&
# cmake --build --preset release.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
emulator="${DUALCAM_EMULATOR:-$root/build/release/src/dualcam-emulated-camera}"
if [ ! -x "$emulator" ]; then
  echo "with-emulated-camera: $emulator not found; build first: cmake --preset release && cmake --build --preset release --target dualcam-emulated-camera" >&2
  exit 1
fi
exec "$emulator" "$@"

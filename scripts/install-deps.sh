#!/usr/bin/env bash
# Installs the Debian packages that building and testing dualcam needs.
# Safe to run again; does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg62-turbo-dev libpng-dev libsqlite3-dev
  # The GStreamer plugin, its tests and the pipelines in docs/gstreamer.md
  # (gst-launch-1.0, videoconvert, y4menc, vp8enc, webmmux, multifile,
  # v4l2sink; gst-device-monitor-1.0 and gst-discoverer-1.0).
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-base-apps
  # The real-camera path (libusb) and its tests against the emulated camera
  # (umockdev-wrapper, the umockdev library and headers).
  libusb-1.0-0-dev umockdev libumockdev-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

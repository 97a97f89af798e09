#!/bin/sh
# Renders every page and dialog of the configuration applet to PNG files.
#
#   scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR defaults to ./build, OUT_DIR to ./screenshots. The pictures are
# drawn on Qt's offscreen platform; set SCREENSHOT_XVFB=1 to draw them on a
# virtual X server (Xvfb) instead. The applet runs on a machine of its own
# (a temporary QUILLPOST_HOME with sample settings), never on the real one.
set -eu

build_dir=${1:-build}
out_dir=${2:-screenshots}
program="$build_dir/tests/applet/applet_screenshots"
if [ ! -x "$program" ]; then
  echo "screenshots.sh: $program is missing; build it with: cmake --build $build_dir --target applet_screenshots" >&2
  exit 1
fi

home=$(mktemp -d "${TMPDIR:-/tmp}/quillpanel-shots.XXXXXX")
trap 'rm -rf "$home"' EXIT INT TERM
mkdir -p "$out_dir"

export QUILLPOST_HOME="$home"
export XDG_RUNTIME_DIR="$home/xdg"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
if [ "${SCREENSHOT_XVFB:-0}" = 1 ]; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$program" "$out_dir"
else
  QT_QPA_PLATFORM=offscreen "$program" "$out_dir"
fi

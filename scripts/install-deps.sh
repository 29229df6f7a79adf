#!/usr/bin/env bash
# Installs every Debian package that building, running and testing deckctl needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  # fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # Qt 5 (widgets, OpenGL widget, translations, tests)
  qtbase5-dev qtbase5-dev-tools libqt5opengl5-dev qttools5-dev qttools5-dev-tools
  qt5-qmake libqt5svg5-dev
  # the dialog overlay asks the X server whether windows are composited
  libxcb1-dev
  # fonts with CJK coverage for the Chinese interface
  fonts-noto-cjk fonts-dejavu-core
  # device layer: udev listing, V4L2 headers, libusb, the sound server
  libudev-dev libv4l-dev libusb-1.0-0-dev libpulse-dev
  # a private sound server for the speaker volume test
  pulseaudio pulseaudio-utils
  # preview: FFmpeg libraries
  libavdevice-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  # package extraction
  libarchive-dev
  # kernel emulation and display for tests
  umockdev libumockdev-dev xvfb xauth x11-utils
  # real V4L2 clients run against the emulated camera nodes
  v4l-utils
  # program-level checks
  ffmpeg
  # the window's pictures (scripts/render-art.sh): SVG rendering and GIF assembly (with ffmpeg);
  # the installed icons are rendered at build time too
  librsvg2-bin gifsicle
  # checks of the installed tree and the package: desktop entry, AppStream metainfo, udev rule,
  # man page, shell completions, the Debian package built by CPack and installed with dpkg
  desktop-file-utils appstream udev man-db zsh dpkg-dev
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${packages[@]}"

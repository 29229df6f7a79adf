#!/usr/bin/env bash
# Builds deckctl-mac alone, as it builds on macOS (DECKCTL_RAWUSB_ONLY=ON: Qt Core, libusb,
# minizip/zlib and libarchive; no Qt Gui or Widgets, FFmpeg, libpulse, libudev, umockdev or Linux
# kernel headers), in a folder of its own, and runs the tests that build there. Not part of
# scripts/test.sh, whose build the CTest rawusb_only_configure checks for this option in seconds.
#
#   scripts/build-rawusb-only.sh [BUILD_DIR [CMAKE_ARGUMENT...]]
#
# BUILD_DIR defaults to build-rawusb-only in the source tree; further arguments go to cmake's
# configure step (for example -DDECKCTL_SANITIZE=ON).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build-rawusb-only}
[ $# -gt 0 ] && shift
generator=()
if command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)

cmake -S "$source_dir" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDECKCTL_WERROR=ON -DDECKCTL_RAWUSB_ONLY=ON "$@"
cmake --build "$build" -j "$jobs"

# Sanitizer reports (with -DDECKCTL_SANITIZE=ON) are written as files (tests/CMakeLists.txt).
reports=$build/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
status=0
(cd "$build" && ctest -j "$jobs" --output-on-failure --timeout 300) || status=$?
if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "== $report" >&2
        cat "$report" >&2
    done
    status=1
fi
exit "$status"

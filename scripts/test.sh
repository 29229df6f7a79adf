#!/usr/bin/env bash
# Installs what deckctl needs, builds everything once with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test; then runs the fuzz targets briefly
# (scripts/fuzz.sh; DECKCTL_SKIP_FUZZ=1 skips them). Fails on any failed test, on any sanitizer
# report, including reports of programs the tests started, and on any fuzz finding.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDECKCTL_SANITIZE=ON -DDECKCTL_WERROR=ON
cmake --build "$build" -j "$(nproc)"

reports="$PWD/$build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
status=0
(cd "$build" && ctest -j "$(nproc)" --output-on-failure --timeout 300) || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "== $report" >&2
        cat "$report" >&2
    done
    status=1
fi

# The fuzz targets, in a clang build of their own, each on its seed corpus for a fixed number of
# runs (scripts/fuzz.sh). DECKCTL_SKIP_FUZZ=1 leaves them out.
if [ "${DECKCTL_SKIP_FUZZ:-0}" != 1 ]; then
    ./scripts/fuzz.sh || status=1
fi
exit "$status"

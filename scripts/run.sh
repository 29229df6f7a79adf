#!/usr/bin/env bash
# Installs what deckctl needs, builds it and starts the window program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDECKCTL_BUILD_TESTS=OFF
cmake --build build --target deckctl deckctl-cli
# Without a camera at hand the program runs on a virtual one; DECKCTL_VIRTUAL_CAMERA=0 uses the
# cameras that are plugged in.
export DECKCTL_VIRTUAL_CAMERA="${DECKCTL_VIRTUAL_CAMERA:-1}"
exec ./build/bin/deckctl

#!/usr/bin/env bash
# Installs what deckctl needs, builds it and starts the window program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDECKCTL_BUILD_TESTS=OFF
cmake --build build --target deckctl
exec ./build/bin/deckctl

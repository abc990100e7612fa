#!/usr/bin/env bash
# Builds the optimised benchmark and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLUM_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vellum
exec "$build/app/vellum" "$@"

#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, after the
# guard rails: the layering check, warnings as errors, and one real test-all run of an optimised build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

# 1. Layering: each folder includes only what stands below it; engines never include each other or app/.
scripts/check_layers.sh

# 2. The sanitized test build, warnings as errors.
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUM_SANITIZE=ON -DVELLUM_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"

# 3. An optimised build of the headless driver, run once through the real window with a few thousand
#    rows, so that real saves and loads of every engine cross the stream's block flush (256 KB) here.
release=build/ci-release
cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLUM_TESTS=OFF >/dev/null
cmake --build "$release" -j "$jobs" --target testall
"$release/bench/testall" --append 5000 --insert 5000 --floor >/dev/null
echo "test-all run of the optimised build: ok"

#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suite and the Python suite under each interpreter
# (Release build in build/), then the C++ suite again under ThreadSanitizer (build-tsan/).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFINITEMU_BUILD_TESTS=ON ${FINITEMU_CMAKE_ARGS:-}
cmake --build build -j"$jobs"

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINITEMU_SANITIZER=thread \
    -DFINITEMU_BUILD_PYTHON=OFF -DFINITEMU_BUILD_TESTS=ON
cmake --build build-tsan -j"$jobs"
echo "=== C++ tests under ThreadSanitizer ==="
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan --output-on-failure -j"$jobs"

echo "=== C++ and Python tests (Release) ==="
ctest --test-dir build --output-on-failure -j"$jobs"

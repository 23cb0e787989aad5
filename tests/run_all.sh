#!/usr/bin/env bash
# Builds everything and runs every test.
#
#     bash tests/run_all.sh             the C++ suite, the Python suite under each interpreter, the
#                                       leak soak and a valgrind memcheck (Release build in build/),
#                                       then the C++ suite under ThreadSanitizer (build-tsan/)
#     bash tests/run_all.sh --sanitize  the C++ suite and the whole Python suite under
#                                       AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/;
#                                       the runtime is preloaded into each interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

case "${1:-}" in
"")
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFINITEMU_BUILD_TESTS=ON ${FINITEMU_CMAKE_ARGS:-}
    cmake --build build -j"$jobs"

    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINITEMU_SANITIZER=thread \
        -DFINITEMU_BUILD_PYTHON=OFF -DFINITEMU_BUILD_TESTS=ON
    cmake --build build-tsan -j"$jobs"
    echo "=== C++ tests under ThreadSanitizer ==="
    TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan --output-on-failure -j"$jobs"

    echo "=== C++ and Python tests (Release) ==="
    ctest --test-dir build --output-on-failure -j"$jobs"
    ;;
--sanitize)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINITEMU_SANITIZER=address \
        -DFINITEMU_BUILD_TESTS=ON ${FINITEMU_CMAKE_ARGS:-}
    cmake --build build-asan -j"$jobs"
    echo "=== C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer ==="
    # The Python tests set their own ASAN_OPTIONS (tests/CMakeLists.txt); these are the C++ suite's.
    ASAN_OPTIONS="halt_on_error=1:abort_on_error=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        ctest --test-dir build-asan --output-on-failure -j"$jobs"
    ;;
*)
    echo "usage: bash tests/run_all.sh [--sanitize]" >&2
    exit 2
    ;;
esac

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

# CTest in build directory $1, then the entries it skipped (or ran in part) and why: each such
# entry leaves its reason in $1/skipped/<entry>.txt (tests/CMakeLists.txt).
run_ctest() {
    local dir=$1 status=0
    rm -rf "$dir/skipped"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" || status=$?
    if compgen -G "$dir/skipped/*.txt" > /dev/null; then
        echo "=== Skipped in $dir: not run, or run in part ==="
        for note in "$dir"/skipped/*.txt; do
            sed "s|^|$(basename "$note" .txt): |" "$note"
        done
    fi
    return "$status"
}

case "${1:-}" in
"")
    # Every interpreter found, unless FINITEMU_CMAKE_ARGS names some: a build/ configured before
    # for one interpreter (the README's first command) would keep that choice in its cache.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFINITEMU_BUILD_TESTS=ON -DFINITEMU_PYTHONS= \
        ${FINITEMU_CMAKE_ARGS:-}
    cmake --build build -j"$jobs"

    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINITEMU_SANITIZER=thread \
        -DFINITEMU_BUILD_PYTHON=OFF -DFINITEMU_BUILD_TESTS=ON
    cmake --build build-tsan -j"$jobs"
    echo "=== C++ tests under ThreadSanitizer ==="
    TSAN_OPTIONS="halt_on_error=1" run_ctest build-tsan

    echo "=== C++ and Python tests (Release) ==="
    run_ctest build
    ;;
--sanitize)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINITEMU_SANITIZER=address \
        -DFINITEMU_BUILD_TESTS=ON -DFINITEMU_PYTHONS= ${FINITEMU_CMAKE_ARGS:-}
    cmake --build build-asan -j"$jobs"
    echo "=== C++ and Python tests under AddressSanitizer and UndefinedBehaviorSanitizer ==="
    # The Python tests set their own ASAN_OPTIONS (tests/CMakeLists.txt); these are the C++ suite's.
    ASAN_OPTIONS="halt_on_error=1:abort_on_error=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        run_ctest build-asan
    ;;
*)
    echo "usage: bash tests/run_all.sh [--sanitize]" >&2
    exit 2
    ;;
esac

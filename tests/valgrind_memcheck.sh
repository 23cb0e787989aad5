#!/usr/bin/env bash
# Runs a short mix of calls (every function, on success and on every error path: the cases of
# tests/python/test_leaks.py) under valgrind's memcheck, and fails on any definitely lost block or
# memory error whose stack passes through the module. Python objects are allocated with plain
# malloc (PYTHONMALLOC=malloc) so that memcheck sees each of them.
#
#     bash tests/valgrind_memcheck.sh /path/to/python3 build/python/cp312 [calls per case]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
module_dir=$(realpath "$2")
times=${3:-20}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

PYTHONMALLOC=malloc PYTHONPATH="$module_dir:tests/python" RAYON_NUM_THREADS=2 \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=50 --log-file="$log" \
    "$python" -c "import test_leaks; test_leaks.call_mix($times)"

# Records are separated by lines holding only the "==pid==" prefix.
python3 - "$log" <<'PY'
import re, sys

text = open(sys.argv[1]).read()
records = re.split(r"^==\d+== ?\n", text, flags=re.M)
kinds = re.compile(r"definitely lost in loss record|Invalid (read|write|free)|uninitialised|"
                   r"Mismatched free|Syscall param|overlap")
ours = [r for r in records if kinds.search(r) and "finitemu" in r]
for line in text.splitlines():
    if re.search(r"(definitely lost|ERROR SUMMARY):", line):
        print(line)
if ours:
    print(f"{len(ours)} memcheck report(s) from the module:\n")
    print("\n".join(ours))
    sys.exit(1)
print("memcheck: no definitely lost block and no memory error from the module")
PY

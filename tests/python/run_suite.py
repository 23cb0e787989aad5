"""Runs the Python suite, or one group of it (groups.py), and says what was skipped and why.

    python3 tests/python/run_suite.py [--group NAME] [--notes FILE]
    python3 tests/python/run_suite.py --list-groups

Without --group: every test that belongs to no group. With --group NAME: the tests of that
group; when what the group needs is missing, none runs, the reason is printed and the exit status
is 77, which CTest reports as a skipped entry. The run ends with a list of the skipped tests by
reason; --notes FILE also writes that list (or the group's reason) to FILE, which
tests/run_all.sh prints at the end of a run, and removes FILE when nothing was skipped.
--list-groups prints the group names, separated by semicolons, for CMake.
"""

import argparse
import collections
import sys
import unittest
from pathlib import Path

import groups

HERE = Path(__file__).resolve().parent
SKIPPED = 77


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def load(name):
    """The tests of group `name` (None: of no group), in discovery order."""
    discovered = unittest.defaultTestLoader.discover(str(HERE), top_level_dir=str(HERE))
    tests = list(flatten(discovered))
    # A module that fails to import is a test that fails (unittest's _FailedTest): in every run.
    return unittest.TestSuite(t for t in tests if groups.group_of(t) == name
                              or type(t).__name__ == "_FailedTest")


def write_notes(path, lines):
    if path is None:
        return
    path = Path(path)
    if lines:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(line + "\n" for line in lines))
    else:
        path.unlink(missing_ok=True)


def tests(count):
    return f"{count} test" + ("" if count == 1 else "s")


def skip_summary(skipped):
    """One line per reason: how many tests, and which (up to five)."""
    by_reason = collections.defaultdict(list)
    for test, reason in skipped:
        by_reason[reason].append(test.id())
    lines = []
    for reason, ids in by_reason.items():
        shown = ", ".join(ids[:5]) + (f" and {len(ids) - 5} more" if len(ids) > 5 else "")
        lines.append(f"{tests(len(ids))} skipped ({reason}): {shown}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--group", choices=sorted(groups.GROUPS))
    parser.add_argument("--notes", help="file to write the skip summary to")
    parser.add_argument("--list-groups", action="store_true")
    args = parser.parse_args()
    if args.list_groups:
        print(";".join(groups.GROUPS), end="")
        return 0

    sys.path.insert(0, str(HERE))
    label = f"group {args.group}" if args.group else "the suite without its groups"
    if args.group and groups.missing(args.group):
        suite = load(args.group)
        line = (f"{tests(suite.countTestCases())} not run: needs {args.group}: "
                f"{groups.missing(args.group)}")
        print(line)
        write_notes(args.notes, [line])
        return SKIPPED

    result = unittest.TextTestRunner(verbosity=2).run(load(args.group))
    summary = skip_summary(result.skipped)
    print(f"\n{label}: {tests(result.testsRun)} run, {len(result.skipped)} of them skipped")
    for line in summary:
        print(line)
    write_notes(args.notes, summary)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

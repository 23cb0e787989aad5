"""No reference or memory leaks: every function on success and on every error path, called
thousands of times, leaves the reference counts of its arguments, the Python heap and the
process's resident size where they were; and called 10^5 times each (FINITEMU_SOAK_CALLS) in a
fresh interpreter, neither the resident size nor the number of Python objects grows."""

import contextlib
import gc
import json
import os
import subprocess
import sys
import time
import tracemalloc
import unittest

import finitemu
from groups import group
from support import (FLUX_MAP_FUNCTIONS, UNDER_ASAN, NullStream, internal_failure_call,
                     internal_failure_class, result_memory_error_call)

witt_mao = finitemu.witt_mao_magnification
multi = finitemu.multi_witt_mao_magnification
heyrovsky = finitemu.heyrovsky_magnification

ITERATIONS = 2000
HEAP_NOISE = 16 * 1024  # bytes: a leak of 8 bytes per call shows above it
RSS_NOISE = 4 * 1024 * 1024
SOAK_CALLS = int(os.environ.get("FINITEMU_SOAK_CALLS", "100000"))
SOAK_RSS_NOISE = 2 * 1024 * 1024  # a leak of 21 bytes per call over 10^5 calls shows above it


class WithFloat:
    def __float__(self):
        return 0.75


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float today")


class BrokenSequence:
    def __len__(self):
        raise OverflowError("length unknown")

    def __getitem__(self, index):
        if index == 3:
            raise LookupError("stream broke")
        return float(index)


# Argument objects whose reference counts must come back to where they were.
L = [i / 7.0 for i in range(40)]
FEW = [0.5, 2.0]  # the integrated functions take a quadrature per separation
# Long enough for the pool (its result's floats are made while the workers compute), the second
# with a separation whose rings fail halfway.
LONG = [i / 997.0 for i in range(20000)]
LONG_FAILING = LONG[:10000] + [float("nan")] + LONG[10001:]
# Fewer calls for those: a leaked result list (80 KB and more) shows above HEAP_NOISE in one call.
POOL_CALLS = 40
BL = [0.0, 0.5, 1.0]
BF = [1.0, 0.8, 0.5]
BAD_BF = [1.0, 0.8, "x"]
RE = [float(i + 1) for i in range(3)]
RSTAR = [0.1 * (i + 1) for i in range(2)]
ONE = float("1.0")
HALF = float("0.5")
WITH_FLOAT = WithFloat()
RAISING = RaisingFloat()
BROKEN = BrokenSequence()
BAD_ITEM = [1.0, 2.0, "x"]
HUGE = 10**400
TEXT = "".join(["a", "b", "c"])  # not an interned constant
NAN = float("nan")
WATCHED = [L, FEW, LONG, LONG_FAILING, BL, BF, BAD_BF, RE, RSTAR, ONE, HALF, WITH_FLOAT, RAISING,
           BROKEN, BAD_ITEM, HUGE, TEXT, NAN]


def calls():
    """(label, call) for each function on success and on each error path; each call returns
    normally or raises, whatever it does."""
    cases = [
        ("witt_mao ok", lambda: witt_mao(L, ONE, HALF)),
        ("witt_mao keywords", lambda: witt_mao(rstar=HALF, l=L, re=ONE)),
        ("witt_mao tuple and __float__", lambda: witt_mao(tuple(L), WITH_FLOAT, HALF)),
        ("multi ok", lambda: multi(L, RE, RSTAR)),
        ("heyrovsky ok", lambda: heyrovsky(ONE, HALF, WITH_FLOAT, ONE)),
        ("missing", lambda: witt_mao(L, ONE)),
        ("surplus", lambda: heyrovsky(ONE, HALF, ONE, ONE, ONE)),
        ("unexpected keyword", lambda: witt_mao(L, ONE, HALF, foo=ONE)),
        ("multiple values", lambda: multi(L, RE, l=L)),
        ("str for a sequence", lambda: witt_mao(TEXT, ONE, HALF)),
        ("None for a sequence", lambda: multi(L, None, RSTAR)),
        ("int for a sequence", lambda: witt_mao(5, ONE, HALF)),
        ("bad item", lambda: witt_mao(BAD_ITEM, ONE, HALF)),
        ("broken iteration", lambda: witt_mao(BROKEN, ONE, HALF)),
        ("overflow", lambda: witt_mao(L, HUGE, HALF)),
        ("raising __float__", lambda: heyrovsky(ONE, RAISING, ONE, ONE)),
        ("str for a float", lambda: heyrovsky(ONE, HALF, TEXT, ONE)),
        ("ellipk error", lambda: heyrovsky(NAN, HALF, ONE, ONE)),
        ("ellipk error next to the ring", lambda: heyrovsky(ONE, 1.000001, ONE, 0.0)),
    ]
    internal = internal_failure_class()
    if internal is not None:
        class Panicking:
            def __float__(self):
                raise internal("raised in __float__")

        panicking = Panicking()
        WATCHED.append(panicking)
        cases += [
            ("internal failure", internal_failure_call()),
            ("internal failure from __float__", lambda: witt_mao([panicking], ONE, HALF)),
        ]
    memory_error = result_memory_error_call()
    if memory_error is not None:
        cases.append(("out of memory building the result", memory_error))
    for name in ("integrated_witt_mao_magnification", "integrated_heyrovsky_magnification"):
        if hasattr(finitemu, name):
            function = getattr(finitemu, name)
            cases += [
                (f"{name} ok", lambda f=function: f(FEW, ONE, HALF)),
                (f"{name} bad item", lambda f=function: f(BAD_ITEM, ONE, HALF)),
            ]
    for name in FLUX_MAP_FUNCTIONS:
        if hasattr(finitemu, name):
            function = getattr(finitemu, name)
            cases += [
                (f"{name} ok", lambda f=function: f(FEW, ONE, HALF, BL, BF)),
                (f"{name} bad bf item", lambda f=function: f(FEW, ONE, HALF, BL, BAD_BF)),
                (f"{name} length mismatch", lambda f=function: f(L, ONE, HALF, RE, RSTAR)),
            ]
    if hasattr(finitemu, "discrete_flux_map_heyrovsky_magnification"):
        discrete = finitemu.discrete_flux_map_heyrovsky_magnification
        cases.append(("discrete ellipk error", lambda: discrete([NAN], ONE, HALF, BL, BF)))
        cases.append(("discrete ellipk error on the pool",
                      lambda: discrete(LONG_FAILING, ONE, HALF, BL, BF)))
    cases.append(("witt_mao on the pool", lambda: witt_mao(LONG, ONE, HALF)))
    return cases


def times(label):
    return POOL_CALLS if label.endswith("on the pool") else ITERATIONS


def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass


def quiet_stderr():
    """The internal failure raised from Python code prints its traceback on every call."""
    return contextlib.redirect_stderr(NullStream())


def soak_calls(label, times):
    """`times`, or a tenth of it for the slow cases: a quadrature per separation (about a
    millisecond a call), or an internal failure whose report formats a traceback."""
    slow = label.startswith("internal failure") or ("integrated" in label and label.endswith(" ok"))
    return times // 10 if slow else times


def soak(times):
    """For each case: growth of the resident size and of the number of Python objects over
    soak_calls(times) calls, and growth of the traced Python heap over a twentieth of them."""
    report = {}
    # The snapshots themselves are made in tracemalloc's own code; a leak of a call is charged
    # to the line of the case that made it.
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    with quiet_stderr():
        for label, call in calls():
            n = soak_calls(label, times)
            run(call, 1000)  # free lists, caches, the pool and the process-wide objects
            gc.collect()
            rss, objects = resident_bytes(), len(gc.get_objects())
            start = time.perf_counter()
            run(call, n)
            seconds = time.perf_counter() - start
            gc.collect()
            rss, objects = resident_bytes() - rss, len(gc.get_objects()) - objects
            tracemalloc.start()
            run(call, 100)
            gc.collect()
            first = tracemalloc.take_snapshot().filter_traces(ignore)
            run(call, n // 20)
            gc.collect()
            second = tracemalloc.take_snapshot().filter_traces(ignore)
            tracemalloc.stop()
            heap = sum(stat.size_diff for stat in second.compare_to(first, "filename"))
            report[label] = {"calls": n, "rss": rss, "objects": objects, "heap": heap,
                             "seconds": seconds}
    return report


def call_mix(times):
    """Each case `times` times: the short mix that tests/valgrind_memcheck.sh runs."""
    with quiet_stderr():
        for _, call in calls():
            run(call, times)


SOAK = """
import json, sys
sys.path.insert(0, {directory!r})
import test_leaks
print(json.dumps(test_leaks.soak({times})))
"""


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Leaks(unittest.TestCase):
    def test_argument_reference_counts_are_unchanged(self):
        cases = calls()
        before = [sys.getrefcount(obj) for obj in WATCHED]
        with quiet_stderr():
            for label, call in cases:
                run(call, times(label))
        gc.collect()
        after = [sys.getrefcount(obj) for obj in WATCHED]
        self.assertEqual(after, before)

    def test_python_heap_and_objects_do_not_grow(self):
        cases = calls()
        tracemalloc.start()
        try:
            for label, call in cases:
                with self.subTest(label), quiet_stderr():
                    # Warm caches and free lists; the sanitizer build keeps a few thousand small
                    # objects more before its caches settle (and leaks nothing over 10^5 calls
                    # in the plain build's soak below).
                    run(call, 4 * times(label) if UNDER_ASAN else min(100, times(label)))
                    gc.collect()
                    objects = len(gc.get_objects())
                    heap = tracemalloc.get_traced_memory()[0]
                    run(call, times(label))
                    gc.collect()
                    growth = tracemalloc.get_traced_memory()[0] - heap
                    self.assertLess(growth, HEAP_NOISE)
                    self.assertLessEqual(len(gc.get_objects()) - objects, 2)
        finally:
            tracemalloc.stop()

    @unittest.skipUnless(os.path.exists("/proc/self/statm"), "needs /proc")
    @unittest.skipIf(UNDER_ASAN, "AddressSanitizer keeps freed memory in quarantine")
    def test_resident_size_does_not_grow_with_large_inputs(self):
        # Native buffers (the converted lists, the computed rows) are invisible to tracemalloc;
        # with 2000 separations a leaked buffer costs 16 KB a call, 8 MB over these calls.
        l = [i / 100.0 for i in range(2000)]
        bad = l + ["x"]
        cases = [
            lambda: witt_mao(l, 1.0, 0.5),
            lambda: multi(l, [1.0], [0.5, 0.25]),
            lambda: witt_mao(bad, 1.0, 0.5),
            lambda: witt_mao(l, 1.0, "x"),
        ]
        for call in cases:
            run(call, 20)
        gc.collect()
        before = resident_bytes()
        for call in cases:
            run(call, 500)
        gc.collect()
        self.assertLess(resident_bytes() - before, RSS_NOISE)


@group("soak")
@unittest.skipUnless(os.path.exists("/proc/self/statm"), "needs /proc")
@unittest.skipIf(UNDER_ASAN, "AddressSanitizer keeps freed memory in quarantine")
class Soak(unittest.TestCase):
    """Each case called SOAK_CALLS times in a fresh interpreter, the slow ones a tenth of that
    (soak_calls). It takes a minute or two, so it runs as a CTest case of its own, with the first
    interpreter the module was built for."""

    @classmethod
    def setUpClass(cls):
        code = SOAK.format(directory=os.path.dirname(os.path.abspath(__file__)), times=SOAK_CALLS)
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=1800)
        if child.returncode != 0:
            raise AssertionError(f"soak failed ({child.returncode}):\n{child.stderr}")
        cls.report = json.loads(child.stdout.strip().splitlines()[-1])
        for label, growth in cls.report.items():
            print(f"soak {label}: {growth['calls']} calls in {growth['seconds']:.1f} s, resident "
                  f"{growth['rss']} B, objects {growth['objects']}, traced heap {growth['heap']} B",
                  file=sys.stderr)

    def test_every_case_ran(self):
        self.assertEqual(set(self.report), {label for label, _ in calls()})

    def test_resident_size_grows_less_than_2_mib(self):
        for label, growth in self.report.items():
            with self.subTest(label):
                self.assertLess(growth["rss"], SOAK_RSS_NOISE)

    def test_no_python_objects_are_left_behind(self):
        for label, growth in self.report.items():
            with self.subTest(label):
                self.assertLessEqual(growth["objects"], 0)

    def test_traced_heap_is_stable(self):
        for label, growth in self.report.items():
            with self.subTest(label):
                self.assertLess(growth["heap"], HEAP_NOISE)


if __name__ == "__main__":
    unittest.main()

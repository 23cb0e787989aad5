"""No reference or memory leaks: every function on success and on every error path, called
thousands of times, leaves the reference counts of its arguments, the Python heap and the
process's resident size where they were."""

import contextlib
import gc
import os
import sys
import tracemalloc
import unittest

import finitemu
from support import FLUX_MAP_FUNCTIONS, NullStream, internal_failure_call, internal_failure_class

witt_mao = finitemu.witt_mao_magnification
multi = finitemu.multi_witt_mao_magnification
heyrovsky = finitemu.heyrovsky_magnification

ITERATIONS = 2000
HEAP_NOISE = 16 * 1024  # bytes: a leak of 8 bytes per call shows above it
RSS_NOISE = 4 * 1024 * 1024


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
WATCHED = [L, RE, RSTAR, ONE, HALF, WITH_FLOAT, RAISING, BROKEN, BAD_ITEM, HUGE, TEXT, NAN]


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
    for name in FLUX_MAP_FUNCTIONS:
        if hasattr(finitemu, name):
            function = getattr(finitemu, name)
            cases.append((f"{name} length mismatch", lambda f=function: f(L, ONE, HALF, RE, RSTAR)))
    return cases


def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass


def quiet_stderr():
    """The internal failure raised from Python code prints its traceback on every call."""
    return contextlib.redirect_stderr(NullStream())


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Leaks(unittest.TestCase):
    def test_argument_reference_counts_are_unchanged(self):
        cases = calls()
        before = [sys.getrefcount(obj) for obj in WATCHED]
        with quiet_stderr():
            for _, call in cases:
                run(call, ITERATIONS)
        gc.collect()
        after = [sys.getrefcount(obj) for obj in WATCHED]
        self.assertEqual(after, before)

    def test_python_heap_and_objects_do_not_grow(self):
        cases = calls()
        tracemalloc.start()
        try:
            for label, call in cases:
                with self.subTest(label), quiet_stderr():
                    run(call, 100)  # warm caches and free lists
                    gc.collect()
                    objects = len(gc.get_objects())
                    heap = tracemalloc.get_traced_memory()[0]
                    run(call, ITERATIONS)
                    gc.collect()
                    growth = tracemalloc.get_traced_memory()[0] - heap
                    self.assertLess(growth, HEAP_NOISE)
                    self.assertLessEqual(len(gc.get_objects()) - objects, 2)
        finally:
            tracemalloc.stop()

    @unittest.skipUnless(os.path.exists("/proc/self/statm"), "needs /proc")
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


if __name__ == "__main__":
    unittest.main()

"""Errors that reach the caller from the computation: RuntimeError from the ring kernel, the
internal-failure exception, and the Witt-Mao functions that never raise."""

import json
import math
import os
import subprocess
import sys
import unittest

import finitemu
from support import (FLUX_MAP_FUNCTIONS, UNDER_ASAN, _testcapi, fail_one_allocation,
                     flux_map_length_mismatch, internal_failure_class, provoke_internal_failure,
                     run_python)

NAN = float("nan")
INF = float("inf")
NAN_TEXT = "ellipk: Arguments cannot be NAN."
DOC_TAIL = ("\n\nLike SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n")


class InternalFailureClass(unittest.TestCase):
    def setUp(self):
        self.internal = internal_failure_class()
        if self.internal is None:
            self.skipTest("no registered function can raise the internal failure yet")

    def test_derives_from_base_exception_not_exception(self):
        self.assertEqual(self.internal.__mro__, (self.internal, BaseException, object))
        self.assertFalse(issubclass(self.internal, Exception))
        caught_by = None
        try:
            try:
                provoke_internal_failure_or_raise()
            except Exception:
                caught_by = "Exception"
        except BaseException:
            caught_by = "BaseException"
        self.assertEqual(caught_by, "BaseException")

    def test_names_and_docstring(self):
        self.assertEqual(self.internal.__module__, "pyo3_runtime")
        self.assertEqual(self.internal.__name__, "PanicException")
        self.assertEqual(self.internal.__qualname__, "PanicException")
        doc = self.internal.__doc__
        self.assertTrue(doc.startswith("\n"), repr(doc))
        self.assertTrue(doc.endswith(DOC_TAIL), repr(doc))
        sentence = doc[1:-len(DOC_TAIL)]
        self.assertNotIn("\n", sentence)
        self.assertTrue(sentence.endswith("."), sentence)
        self.assertEqual(sentence.count(". "), 0, sentence)

    def test_one_class_per_process_and_not_a_module_attribute(self):
        self.assertIs(internal_failure_class(), self.internal)
        self.assertIs(type(provoke_internal_failure()), self.internal)
        self.assertNotIn(self.internal, vars(finitemu).values())

    def test_carries_one_message(self):
        exception = provoke_internal_failure()
        self.assertEqual(len(exception.args), 1)
        self.assertIsInstance(exception.args[0], str)
        self.assertEqual(str(exception), exception.args[0])


def provoke_internal_failure_or_raise():
    exception = provoke_internal_failure()
    raise exception


@unittest.skipIf(_testcapi is None, "needs CPython's _testcapi to make allocations fail")
class ResultBuildingFailure(unittest.TestCase):
    """A result the interpreter cannot create: whichever allocation fails during a call, the call
    returns the right result or raises MemoryError, and reports nothing on the side."""

    CALLS = (
        ("witt_mao_magnification", lambda: finitemu.witt_mao_magnification([2.0, 0.3], 1.0, 0.5)),
        ("multi_witt_mao_magnification",
         lambda: finitemu.multi_witt_mao_magnification([2.0, 0.3], [1.0], [0.5, 0.25])),
        ("heyrovsky_magnification", lambda: finitemu.heyrovsky_magnification(1.0, 0.5, 2.0, 1.0)),
    )

    def outcomes(self, call):
        unraisable = []
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append(u.exc_type)
        try:
            for index in range(60):
                unraisable.clear()
                yield fail_one_allocation(call, index), list(unraisable)
        finally:
            sys.unraisablehook = hook

    def test_every_allocation_failure_is_a_memory_error(self):
        for name, call in self.CALLS:
            with self.subTest(name=name):
                expected = call()
                memory_errors = 0
                for outcome, unraisable in self.outcomes(call):
                    self.assertEqual(unraisable, [])
                    if isinstance(outcome, MemoryError):
                        memory_errors += 1
                    else:
                        self.assertEqual(outcome, expected)
                if name != "heyrovsky_magnification":  # floats may come from a free list
                    self.assertGreater(memory_errors, 0)


class FluxMapLengthMismatch(unittest.TestCase):
    def test_two_counts_in_three_lines(self):
        functions = [getattr(finitemu, name) for name in FLUX_MAP_FUNCTIONS
                     if hasattr(finitemu, name)]
        if not functions:
            self.skipTest("no flux-map function registered yet")
        for function in functions:
            with self.subTest(name=function.__name__):
                exception = flux_map_length_mismatch(function)
                self.assertEqual(type(exception), internal_failure_class())
                self.assertRegex(exception.args[0], r"\Aassertion `left == right` failed\n"
                                                    r"  left: \d+\n right: \d+\Z")


class InternalFailureClassLifetime(unittest.TestCase):
    def test_not_made_by_import_or_ordinary_errors(self):
        # A fresh interpreter: the class is made on first need, and argument errors and
        # RuntimeError do not need it.
        code = (
            "import finitemu\n"
            "for call in (lambda: finitemu.witt_mao_magnification('x', 1.0, 1.0),\n"
            "             lambda: finitemu.witt_mao_magnification(),\n"
            "             lambda: finitemu.heyrovsky_magnification(float('nan'), 1.0, 1.0, 1.0)):\n"
            "    try:\n"
            "        call()\n"
            "    except Exception:\n"
            "        pass\n"
            "print([c for c in BaseException.__subclasses__() if c.__module__ == 'pyo3_runtime'])\n"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=os.environ.copy(), timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "[]")


class RingKernelErrors(unittest.TestCase):
    def assert_runtime_error(self, text, *args):
        with self.assertRaises(RuntimeError) as caught:
            finitemu.heyrovsky_magnification(*args)
        self.assertIs(type(caught.exception), RuntimeError)
        self.assertEqual(caught.exception.args, (text,))
        self.assertFalse(hasattr(caught.exception, "__notes__"))
        self.assertIsNone(caught.exception.__cause__)

    def test_nan_arguments(self):
        self.assert_runtime_error(NAN_TEXT, NAN, 0.5, 2.0, 1.0)
        self.assert_runtime_error(NAN_TEXT, 1.0, NAN, 2.0, 1.0)
        self.assert_runtime_error(NAN_TEXT, 1.0, 0.5, NAN, 1.0)
        self.assert_runtime_error(NAN_TEXT, 1.0, 0.5, 2.0, NAN)

    def test_point_ring_source_radius_zero(self):
        self.assert_runtime_error(NAN_TEXT, 1.0, 0.5, 1.0, 0.0)

    def test_nan_radius_next_to_the_ring(self):
        # Near r = l the ring is evaluated from 1 - n and 1 - m; a NaN radius still reports.
        self.assert_runtime_error(NAN_TEXT, 1.0, 1.000001, NAN, 1.0)
        self.assert_runtime_error(NAN_TEXT, 1.0, 1.000001, 1.0, 0.0)

    def test_characteristic_rounding_to_one_is_a_value(self):
        # n = 4 l r / (l + r)^2 rounds to 1; 1 - n = (d / (l + r))^2 does not. The ring mean by
        # mpmath quadrature is 1.0003469329427737.
        value = finitemu.heyrovsky_magnification(10000.0, 10000.00002, 1.0, 1.0)
        self.assertAlmostEqual(value, 1.0003469329427737, delta=1e-15)

    def test_results_without_error(self):
        self.assertIs(type(finitemu.heyrovsky_magnification(0.0, 0.5, 2.0, 1.0)), float)
        self.assertEqual(finitemu.heyrovsky_magnification(1.0, 1.0, 2.0, 1.0), INF)
        # NaN radii inside the logarithmic band: NaN, no error.
        self.assertTrue(math.isnan(finitemu.heyrovsky_magnification(1.0, 1.0, NAN, 1.0)))


class WittMaoNeverRaises(unittest.TestCase):
    SPECIAL = (NAN, INF, -INF, 0.0, -0.0, -1.0, 1e-300, 1e300)

    def test_witt_mao_magnification(self):
        l = list(self.SPECIAL) + [1.0, 2.0]
        for re in self.SPECIAL + (1.0,):
            for rstar in self.SPECIAL + (0.5,):
                result = finitemu.witt_mao_magnification(l, re, rstar)
                self.assertIs(type(result), list)
                self.assertEqual(len(result), len(l))
                self.assertTrue(all(type(x) is float for x in result))

    def test_multi_witt_mao_magnification(self):
        l = list(self.SPECIAL)
        result = finitemu.multi_witt_mao_magnification(l, list(self.SPECIAL), list(self.SPECIAL))
        self.assertEqual(len(result), len(self.SPECIAL) ** 2)
        for row in result:
            self.assertIs(type(row), list)
            self.assertEqual(len(row), len(l))
            self.assertTrue(all(type(x) is float for x in row))

    def test_failed_elements_are_nan_and_the_rest_computed(self):
        result = finitemu.witt_mao_magnification([NAN, 2.0, INF], 1.0, 0.5)
        self.assertTrue(math.isnan(result[0]))
        self.assertEqual(result[1], finitemu.witt_mao_magnification([2.0], 1.0, 0.5)[0])
        self.assertTrue(math.isnan(result[2]))


def overcommit_mode():
    try:
        with open("/proc/sys/vm/overcommit_memory") as mode:
            return int(mode.read())
    except OSError:
        return None


# Limits of the address space, above what is in use just before each call, that end the call at
# each of its allocations: the separations, the rows, the result list, its floats.
ADDRESS_SPACE_LIMITS = """
    import json, resource, finitemu
    small = [0.25 + i / 1000 for i in range(20000)]  # enough separations for the pool
    expected, l = finitemu.witt_mao_magnification(small, 1.0, 0.5), [0.5] * 10**7
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for budget, call in [(size * 8 * len(l), lambda: finitemu.witt_mao_magnification(l, 1.0, 0.5))
                         for size in (0.5, 1.5, 2.5, 3.5, 4.5)] + [
            (size * 8 * len(l), lambda: finitemu.multi_witt_mao_magnification(  # 720 MB of rows
                l[:1000], [1.0] * 300, [1.0] * 300)) for size in (0.125, 1, 2)]:
        with open("/proc/self/status") as status:
            in_use = next(int(line.split()[1]) * 1024 for line in status if "VmSize" in line)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + int(budget), hard))
        try:
            outcomes.append(repr(call()[:0]))
        except BaseException as exception:
            outcomes.append(repr(exception))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert finitemu.witt_mao_magnification(small, 1.0, 0.5) == expected  # the pool works
    print(json.dumps(outcomes))
"""


class NativeAllocationFailure(unittest.TestCase):
    @unittest.skipUnless(overcommit_mode() in (0, 2), "needs Linux's overcommit heuristic or limit")
    @unittest.skipIf(UNDER_ASAN, "AddressSanitizer's operator new aborts instead of throwing")
    def test_memory_error_when_the_rows_cannot_be_allocated(self):
        # 10**12 (re, rstar) pairs need 16 TB, which the kernel refuses outright: the routine's
        # allocation fails in C++ and the caller gets MemoryError, not a crash.
        radii = [1.0] * 10**6
        with self.assertRaises(MemoryError):
            finitemu.multi_witt_mao_magnification([], radii, radii)

    @unittest.skipIf(UNDER_ASAN, "AddressSanitizer reserves more address space than any limit")
    def test_memory_error_at_every_address_space_limit(self):
        # Running out of memory is no internal failure, wherever it happens: MemoryError, nothing
        # written to standard error, and the worker pool serves the next call.
        result = run_python(ADDRESS_SPACE_LIMITS, timeout=600)
        self.assertEqual(result.stderr, "")
        self.assertEqual(json.loads(result.stdout), ["MemoryError()"] * 8)


class ResultObjects(unittest.TestCase):
    def test_each_call_returns_new_objects(self):
        first = finitemu.multi_witt_mao_magnification([1.0], [1.0], [0.5, 0.25])
        second = finitemu.multi_witt_mao_magnification([1.0], [1.0], [0.5, 0.25])
        self.assertEqual(first, second)
        self.assertIsNot(first, second)
        self.assertIsNot(first[0], second[0])
        first[0].append(9.0)
        self.assertEqual(len(second[0]), 1)

    def test_empty_inputs(self):
        self.assertEqual(finitemu.witt_mao_magnification([], 1.0, 0.5), [])
        self.assertEqual(finitemu.multi_witt_mao_magnification([], [1.0, 2.0], [0.5]), [[], []])
        self.assertEqual(finitemu.multi_witt_mao_magnification([1.0], [], [0.5]), [])


if __name__ == "__main__":
    unittest.main()

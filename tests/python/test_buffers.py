"""Sequences that export a buffer of doubles: the one-copy conversion gives exactly what iterating
them gives, and every other object (other formats, strided or multi-dimensional views, bytes,
subclasses) is iterated as before."""

import array
import ctypes
import math
import random
import struct
import unittest

import finitemu
from support import _testcapi, run_python

from groups import group

try:
    import numpy
except ImportError:
    numpy = None

# Separations covering every branch of the disk kernel, and values whose bits must survive the
# copy: signed zeros, subnormals, the extremes, infinities and NaNs with payloads.
RNG = random.Random(20261208)
SPECIAL = [0.0, -0.0, 5e-324, -2.2250738585072014e-308, 1e-300, 1.0, 2.0, 1e308, -1e308,
           math.inf, -math.inf, math.nan,
           struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000ABC))[0],
           struct.unpack("<d", struct.pack("<Q", 0xFFF4000000000001))[0]]
VALUES = SPECIAL + [RNG.uniform(0.0, 10.0) for _ in range(2000)]


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


def outcome(call):
    """The bits of what `call` returns, or the class, args and notes of what it raises."""
    try:
        result = call()
    except Exception as exception:
        return type(exception), exception.args, getattr(exception, "__notes__", None)
    if result and isinstance(result[0], list):
        return [bits(row) for row in result]
    return bits(result)


def sequence_calls(sequence, reference):
    """(label, call with `sequence`, call with `reference`) for the sequence parameters of the
    registered functions."""
    ones = [1.0] * len(reference)
    calls = [
        ("witt_mao l", lambda s: finitemu.witt_mao_magnification(s, 1.0, 0.5)),
        ("multi l", lambda s: finitemu.multi_witt_mao_magnification(s, [1.0], [0.3])),
        ("multi re", lambda s: finitemu.multi_witt_mao_magnification([0.5, 2.0], s, [0.3])),
        ("multi rstar", lambda s: finitemu.multi_witt_mao_magnification([0.5, 2.0], [1.0], s)),
    ]
    discrete = getattr(finitemu, "discrete_flux_map_heyrovsky_magnification", None)
    if discrete is not None:
        calls += [
            ("discrete l", lambda s: discrete(s, 1.0, 0.5, [0.25, 0.5], [1.0, 0.5])),
            ("discrete bl", lambda s: discrete([0.5, 2.0], 1.0, 0.5, s, ones)),
            ("discrete bf", lambda s: discrete([0.5, 2.0], 1.0, 0.5, ones, s)),
        ]
    return [(label, lambda c=call: c(sequence), lambda c=call: c(reference))
            for label, call in calls]


class SameDoublesAsIteration(unittest.TestCase):
    def assertSameOutcome(self, sequence, reference=None):
        if reference is None:
            reference = list(sequence)
        for label, with_sequence, with_reference in sequence_calls(sequence, reference):
            with self.subTest(type(sequence).__name__, call=label):
                self.assertEqual(outcome(with_sequence), outcome(with_reference))

    def test_array_of_doubles(self):
        self.assertSameOutcome(array.array("d", VALUES))
        self.assertSameOutcome(array.array("d"))
        self.assertSameOutcome(array.array("d", [2.5]))

    def test_memoryviews(self):
        data = array.array("d", VALUES)
        self.assertSameOutcome(memoryview(data))
        self.assertSameOutcome(memoryview(data)[3:500])
        self.assertSameOutcome(memoryview(data)[::3])  # strided: iterated
        self.assertSameOutcome(memoryview(data)[::-1])
        # Read-only, and at an address that is no multiple of 8.
        raw = b"\x00" + bits(VALUES[:64])
        unaligned = memoryview(raw)[1:].cast("d")
        self.assertEqual(unaligned.format, "d")
        self.assertSameOutcome(unaligned, VALUES[:64])

    def test_the_copy_keeps_every_bit(self):
        # A list of lists of the separations: multi with one (re, rstar) pair per value would not
        # show the input; a row of witt_mao over the special values does, value by value.
        data = array.array("d", SPECIAL)
        self.assertEqual(bits(finitemu.witt_mao_magnification(data, 1.0, 0.5)),
                         bits(finitemu.witt_mao_magnification(SPECIAL, 1.0, 0.5)))

    def test_other_formats_and_bytes_are_iterated(self):
        ints = [0, 1, 2, 3, 250]
        for sequence in (array.array("f", [0.1, 2.5, math.inf]), array.array("i", ints),
                         array.array("q", [-(2 ** 62), 7]), array.array("B", ints),
                         bytes(ints), bytearray(ints), memoryview(bytes(ints)),
                         memoryview(array.array("q", [1, 2, 3])).cast("B").cast("q")):
            self.assertSameOutcome(sequence)

    def test_characters_fail_as_iteration_fails(self):
        with self.assertRaises(TypeError) as raised:
            finitemu.witt_mao_magnification(array.array("u", "ab"), 1.0, 0.5)
        self.assertEqual(raised.exception.__notes__, ["while processing 'l'"])

    def test_zero_and_two_dimensional_views_fail_as_iteration_fails(self):
        data = array.array("d", [1.0, 2.0, 3.0, 4.0])
        for view in (memoryview(data).cast("B").cast("d", [2, 2]),
                     memoryview(array.array("d", [1.5])).cast("B").cast("d", [])):
            with self.subTest(shape=view.shape):
                with self.assertRaises(Exception) as expected:
                    list(view)
                with self.assertRaises(type(expected.exception)) as raised:
                    finitemu.witt_mao_magnification(view, 1.0, 0.5)
                self.assertEqual(raised.exception.args, expected.exception.args)
                self.assertEqual(raised.exception.__notes__, ["while processing 'l'"])

    def test_explicit_byte_order_fails_as_iteration_fails(self):
        # ctypes exports "<d": the same bytes as "d" here, but a memoryview will not iterate it.
        view = memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.0))
        self.assertEqual(view.format, "<d")
        with self.assertRaises(NotImplementedError) as raised:
            finitemu.witt_mao_magnification(view, 1.0, 0.5)
        self.assertEqual(raised.exception.__notes__, ["while processing 'l'"])

    def test_released_memoryview_fails_as_iteration_fails(self):
        view = memoryview(array.array("d", [1.0]))
        view.release()
        with self.assertRaises(ValueError) as raised:
            finitemu.witt_mao_magnification(view, 1.0, 0.5)
        self.assertEqual(raised.exception.__notes__, ["while processing 'l'"])

    def test_subclass_is_iterated_its_own_way(self):
        class Halved(array.array):
            def __iter__(self):
                return (x / 2 for x in array.array.__iter__(self))

        halved = Halved("d", VALUES[:50])
        self.assertSameOutcome(halved, [x / 2 for x in VALUES[:50]])

    def test_buffer_is_released(self):
        data = array.array("d", VALUES[:10])
        view = memoryview(array.array("d", VALUES[:10]))
        narrow = array.array("f", [1.0, 2.0])
        finitemu.witt_mao_magnification(data, 1.0, 0.5)
        finitemu.multi_witt_mao_magnification(view, view, view)
        finitemu.witt_mao_magnification(narrow, 1.0, 0.5)
        # An array with an exported buffer cannot grow, a view with exports cannot be released.
        data.append(1.0)
        narrow.append(1.0)
        view.release()


# A legacy subinterpreter uses the module, and its own array.array, first. The main interpreter's
# arrays must still be copied: the copy allocates nothing of the interpreter's and iteration its
# iterator at least, so an array must cost the allocations of a memoryview of it (always copied).
SUBINTERPRETER_FIRST = """
    import array, _testcapi, finitemu
    assert _testcapi.run_in_subinterp("import array, finitemu\\n"
        "finitemu.witt_mao_magnification(array.array('d', [1.0]), 1.0, 0.5)") == 0
    data = array.array("d", [0.5, 2.0, 3.0])
    convert_only = lambda l: finitemu.multi_witt_mao_magnification(l, [], [0.5])  # no rows
    for l in (data, memoryview(data)):
        convert_only(l)  # the first use in this interpreter
        for count in range(100):  # the allocations that must succeed for the call to return
            _testcapi.set_nomemory(count, 0)
            try:
                convert_only(l)
                break
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
        print(count)
"""


class Subinterpreters(unittest.TestCase):
    @unittest.skipIf(_testcapi is None, "needs CPython's _testcapi for subinterpreters")
    def test_each_interpreter_copies_its_own_arrays(self):
        result = run_python(SUBINTERPRETER_FIRST, timeout=60)
        array_count, view_count = result.stdout.split()
        self.assertEqual(array_count, view_count, result.stderr)


@group("numpy")
class NumPyArrays(unittest.TestCase):
    def assertSameOutcome(self, sequence, reference=None):
        SameDoublesAsIteration.assertSameOutcome(self, sequence, reference)

    def test_float64_arrays(self):
        values = numpy.array(VALUES)
        self.assertSameOutcome(values)
        self.assertSameOutcome(values[10:900])
        self.assertSameOutcome(numpy.asfortranarray(values))
        self.assertSameOutcome(values[::2])  # strided: iterated
        self.assertSameOutcome(numpy.empty(0))
        self.assertSameOutcome(memoryview(values))

    def test_other_dtypes_are_iterated(self):
        values = numpy.array(VALUES[14:200])
        for dtype in (">f8", "<f4", "<f2", "<i8", "?", numpy.longdouble):
            with self.subTest(dtype=dtype):
                self.assertSameOutcome(values.astype(dtype))

    def test_zero_and_two_dimensional_arrays_fail_as_iteration_fails(self):
        for array_ in (numpy.array(2.0), numpy.ones((3, 2))):
            with self.subTest(shape=array_.shape):
                with self.assertRaises(TypeError) as raised:
                    finitemu.witt_mao_magnification(array_, 1.0, 0.5)
                self.assertEqual(raised.exception.__notes__, ["while processing 'l'"])

    def test_subclass_is_iterated_its_own_way(self):
        class Doubled(numpy.ndarray):
            def __getitem__(self, index):
                return 2 * numpy.ndarray.__getitem__(self, index)

        values = numpy.array(VALUES[14:100])
        self.assertSameOutcome(values.view(Doubled), [2 * x for x in VALUES[14:100]])


if __name__ == "__main__":
    unittest.main()

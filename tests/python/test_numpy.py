"""NumPy arrays and scalars as arguments: every dtype and layout gives exactly the results of the
same values passed as a list of floats (or a float); shapes the module cannot take, and complex
numbers, are refused with TypeError naming the parameter."""

import math
import unittest
import warnings

import finitemu

from groups import group

try:
    import numpy as np
except ImportError:
    np = None

SEPARATIONS = [0.0, 0.3, 0.999, 1.0, 1.5, 2.0, 3.25, 10.0, 1e3]


def same(got, want):
    """Element for element and bit for bit (NaN equal to NaN), and Python floats only."""
    if isinstance(want, list):
        return (type(got) is list and len(got) == len(want)
                and all(same(g, w) for g, w in zip(got, want)))
    return type(got) is float and (got == want or (math.isnan(got) and math.isnan(want)))


@group("numpy")
class ArraysGiveTheResultsOfLists(unittest.TestCase):
    def assert_same(self, got, want):
        self.assertTrue(same(got, want), f"{got!r} != {want!r}")

    def layouts(self, values):
        """(description, array, the values it holds as Python floats) for many dtypes/layouts."""
        base = np.array(values, dtype=np.float64)
        twice = np.repeat(base, 2)  # every element twice, so [::2] is a strided view of base
        column = np.asfortranarray(np.stack([base, -base], axis=1))[:, 0]
        swapped = base.astype(base.dtype.newbyteorder())
        readonly = base.copy()
        readonly.setflags(write=False)
        unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1)
        cases = [
            ("float64", base), ("float32", base.astype(np.float32)),
            ("float16", base.astype(np.float16)), ("strided [::2]", twice[::2]),
            ("reversed", base[::-1]), ("Fortran column", column),
            ("byte-swapped", swapped), ("read-only", readonly), ("unaligned", unaligned),
            ("object", np.array(list(values), dtype=object)),
        ]
        if all(float(v).is_integer() and abs(v) < 2**31 for v in values):
            cases += [("int64", base.astype(np.int64)), ("int32", base.astype(np.int32)),
                      ("uint8", base.astype(np.uint8))]
        return [(name, array, [float(x) for x in array]) for name, array in cases]

    def test_witt_mao_separations(self):
        for name, array, values in self.layouts(SEPARATIONS):
            with self.subTest(layout=name):
                self.assert_same(finitemu.witt_mao_magnification(array, 1.0, 0.1),
                                 finitemu.witt_mao_magnification(values, 1.0, 0.1))

    def test_integer_arrays(self):
        for name, array, values in self.layouts([0.0, 1.0, 2.0, 5.0, 100.0]):
            with self.subTest(layout=name):
                self.assert_same(finitemu.witt_mao_magnification(array, 2.0, 1.0),
                                 finitemu.witt_mao_magnification(values, 2.0, 1.0))

    def test_multi_witt_mao_every_sequence_argument(self):
        radii = [0.5, 0.05, 0.005]
        want = finitemu.multi_witt_mao_magnification(SEPARATIONS, [1.0, 2.0], radii)
        for name, array, values in self.layouts(radii):
            with self.subTest(layout=name):
                if values != radii:  # float16 and the integers round the radii
                    want_here = finitemu.multi_witt_mao_magnification(SEPARATIONS, [1.0, 2.0],
                                                                      values)
                else:
                    want_here = want
                got = finitemu.multi_witt_mao_magnification(np.array(SEPARATIONS),
                                                            np.array([1.0, 2.0]), array)
                self.assert_same(got, want_here)

    def test_every_registered_function_takes_arrays_for_all_its_sequences(self):
        lists = {"l": [0.3, 2.0, 3.0], "bl": [0.0, 0.5, 1.0], "bf": [1.0, 0.8, 0.4]}
        for function_name in finitemu.__all__:
            function = getattr(finitemu, function_name)
            parameters = function.__text_signature__.strip("()").split(", ")
            if function_name == "heyrovsky_magnification":
                continue  # four floats; see NumPyScalars
            if function_name == "multi_witt_mao_magnification":
                plain = [lists["l"], [1.0], [0.5]]
            else:
                plain = [lists.get(p, {"re": 1.0, "rstar": 0.5}.get(p)) for p in parameters]
            want = function(*plain)
            for dtype in (np.float64, np.float32):
                arrays = [np.array(v, dtype=dtype)[::-1][::-1] if isinstance(v, list) else v
                          for v in plain]
                exact = [[float(x) for x in a] if isinstance(a, np.ndarray) else a
                         for a in arrays]
                with self.subTest(name=function_name, dtype=dtype.__name__):
                    self.assert_same(function(*arrays), function(*exact))
                    if dtype is np.float64:
                        self.assert_same(function(*arrays), want)

    def test_empty_arrays(self):
        for dtype in (np.float64, np.float32, np.int64):
            empty = np.array([], dtype=dtype)
            with self.subTest(dtype=dtype.__name__):
                self.assertEqual(finitemu.witt_mao_magnification(empty, 1.0, 0.5), [])
                self.assertEqual(finitemu.multi_witt_mao_magnification(empty, [1.0], [0.5, 0.1]),
                                 [[], []])
                self.assertEqual(finitemu.multi_witt_mao_magnification([1.0], empty, [0.5]), [])
                self.assertEqual(
                    finitemu.witt_mao_magnification(np.zeros((3, 0))[0], 1.0, 0.5), [])

    def test_results_convert_back_to_arrays(self):
        l = np.linspace(0.0, 5.0, 101)
        got = np.asarray(finitemu.witt_mao_magnification(l, 1.0, 0.2))
        self.assertEqual(got.dtype, np.float64)
        self.assertEqual(got.shape, l.shape)
        self.assertTrue(np.all(got >= 1.0))


@group("numpy")
class NumPyScalars(unittest.TestCase):
    def test_zero_dimensional_arrays_and_scalars_as_floats(self):
        want = finitemu.witt_mao_magnification([2.0, 0.5], 1.0, 0.5)
        for make in (np.array, np.float64, np.float32, lambda x: np.array(x, dtype=np.float32)):
            with self.subTest(kind=repr(make(1.0))):
                self.assertTrue(same(
                    finitemu.witt_mao_magnification([2.0, 0.5], make(1.0), make(0.5)), want))
                self.assertTrue(same(
                    finitemu.heyrovsky_magnification(make(1.0), make(0.5), make(2.0), make(1.0)),
                    finitemu.heyrovsky_magnification(1.0, 0.5, 2.0, 1.0)))
        self.assertTrue(same(finitemu.witt_mao_magnification([2.0], np.int64(2), np.int32(1)),
                             finitemu.witt_mao_magnification([2.0], 2.0, 1.0)))

    def test_scalars_inside_a_list(self):
        values = [np.float64(2.0), np.float32(0.5), np.int64(3), np.array(1.5)]
        self.assertTrue(same(finitemu.witt_mao_magnification(values, 1.0, 0.5),
                             finitemu.witt_mao_magnification([2.0, 0.5, 3.0, 1.5], 1.0, 0.5)))

    def test_shapes_the_module_cannot_take(self):
        cases = [
            ("l", lambda: finitemu.witt_mao_magnification(np.array(2.0), 1.0, 0.5)),
            ("l", lambda: finitemu.witt_mao_magnification(np.ones((2, 2)), 1.0, 0.5)),
            ("re", lambda: finitemu.witt_mao_magnification([2.0], np.array([1.0, 2.0]), 0.5)),
            ("r", lambda: finitemu.heyrovsky_magnification(1.0, np.zeros(3), 2.0, 1.0)),
        ]
        for parameter, call in cases:
            with self.subTest(parameter=parameter), self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(caught.exception.__notes__, [f"while processing '{parameter}'"])



@unittest.skipIf(np is None, "numpy is not importable under this interpreter")
class ComplexNumbersAreRefused(unittest.TestCase):
    def test_refused_as_python_complex_is_not_cut_to_the_real_part(self):
        witt_mao = finitemu.witt_mao_magnification
        cases = [("complex", "l", lambda: witt_mao([1.0, 2j], 1.0, 0.5)),
                 ("numpy.ndarray", "r",
                  lambda: finitemu.heyrovsky_magnification(1.0, np.array(0.5, np.clongdouble), 2.0, 1.0))]
        for dtype in (np.complex64, np.complex128, np.clongdouble):
            array = np.array([2.0, 0.5], dtype=dtype)
            name = f"numpy.{dtype.__name__}"
            cases += [(name, "l", lambda a=array: witt_mao(a, 1.0, 0.5)),
                      (name, "re", lambda a=array: witt_mao([2.0], a[0], 0.5))]
        for type_name, parameter, call in cases:
            with self.subTest(type_name, parameter=parameter), warnings.catch_warnings():
                warnings.simplefilter("error")  # NumPy warns when it drops an imaginary part
                with self.assertRaises(TypeError) as caught:
                    call()
                self.assertEqual(caught.exception.args, (f"must be real number, not {type_name}",))
                self.assertEqual(caught.exception.__notes__, [f"while processing '{parameter}'"])


if __name__ == "__main__":
    unittest.main()

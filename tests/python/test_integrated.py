"""Limb-darkened and flux-map magnifications through the module: reference values, edge cases,
the flux maps' length check and the precedence of conversion errors over it."""
import math
import os
import pathlib
import unittest

import finitemu

DATA_DIR = pathlib.Path(
    os.environ.get("FINITEMU_TEST_DATA_DIR", pathlib.Path(__file__).resolve().parent.parent / "data"))

FLUX_MAP_FUNCTIONS = (
    finitemu.integrated_flux_map_witt_mao_magnification,
    finitemu.integrated_flux_map_heyrovsky_magnification,
    finitemu.discrete_flux_map_heyrovsky_magnification,
)
MISMATCH = "assertion `left == right` failed\n  left: 3\n right: 2"


def load_reference():
    """Flux maps by name and rows (grid, map name or None, rho, l, value); a row's id is
    <grid>-<key> (tools/reference_ids.py), the key of a map-<name> row its name."""
    maps, rows = {}, []
    with open(DATA_DIR / "integrated_reference.txt") as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split()
            grid, _, key = fields[0].partition("-")
            if grid == "map":
                n = int(fields[1])
                values = [float(x) for x in fields[2:]]
                maps[key] = (values[:n], values[n:])
            elif grid in ("limb", "limbedge"):
                rows.append((grid, None, *map(float, fields[1:])))
            else:
                rows.append((grid, fields[1], *map(float, fields[2:])))
    return maps, rows


class ReferenceValues(unittest.TestCase):
    """Against the mpmath oracle of tools/gen_integrated_reference.py, with the C++ suite's bounds."""

    @classmethod
    def setUpClass(cls):
        cls.maps, cls.rows = load_reference()

    def check(self, name, pairs, bound):
        self.assertTrue(pairs, name)
        worst = max(0.0 if got == want else abs(got - want) / abs(want) for got, want in pairs)
        self.assertLessEqual(worst, bound, name)

    def test_limb_darkened_disk(self):
        ring, disk_out, disk_in = [], [], []
        for kind, _, rho, l, value in self.rows:
            if kind != "limb":
                continue
            ring.append((finitemu.integrated_heyrovsky_magnification([l], 1.0, rho)[0], value))
            w = finitemu.integrated_witt_mao_magnification([l], 1.0, rho)[0]
            (disk_out if l > 1.0 else disk_in).append((w, value))
        self.check("integrated_heyrovsky", ring, 1e-14)
        self.check("integrated_witt_mao outside", disk_out, 2e-14)
        self.check("integrated_witt_mao inside", disk_in, 2e-14)

    def test_flux_maps(self):
        pieces, ring_out, ring_in, disk_out, disk_in = [], [], [], [], []
        for kind, name, rho, l, value in self.rows:
            if kind != "fluxmap":
                continue
            bl, bf = self.maps[name]
            disk = finitemu.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, bl, bf)[0]
            ring = finitemu.integrated_flux_map_heyrovsky_magnification([l], 1.0, rho, bl, bf)[0]
            if name != "constant":
                pieces += [(disk, value), (ring, value)]
            elif l > 1.0:
                ring_out.append((ring, value))
                disk_out.append((disk, value))
            else:
                ring_in.append((ring, value))
                disk_in.append((disk, value))
        self.check("piecewise maps", pieces, 1e-14)
        self.check("constant map by rings, outside", ring_out, 1e-14)
        self.check("constant map by rings, inside", ring_in, 1e-14)
        self.check("constant map by disks, outside", disk_out, 1e-14)
        self.check("constant map by disks, inside", disk_in, 1e-14)

    def test_discrete_rings(self):
        rings = []
        for kind, name, rho, l, value in self.rows:
            if kind == "discrete":
                bl, bf = self.maps[name]
                got = finitemu.discrete_flux_map_heyrovsky_magnification([l], 1.0, rho, bl, bf)[0]
                rings.append((got, value))
        self.check("discrete", rings, 1.5e-15)


class WorkedValues(unittest.TestCase):
    def test_limb_darkened_disk_by_disks_and_by_rings(self):
        for f in (finitemu.integrated_witt_mao_magnification,
                  finitemu.integrated_heyrovsky_magnification):
            got = f([2.0, 3.0], 1.0, 0.5)
            self.assertIsInstance(got, list)
            for g, want in zip(got, [1.3768430735191, 1.1426208216308], strict=True):
                self.assertAlmostEqual(g, want, delta=1e-12)

    def test_constant_map_is_the_uniform_disk(self):
        uniform = finitemu.witt_mao_magnification([2.0], 1.0, 0.5)[0]
        self.assertAlmostEqual(uniform, 1.38100392790, delta=1e-10)
        ring = finitemu.integrated_flux_map_heyrovsky_magnification([2.0], 1.0, 0.5, [0.0, 1.0],
                                                                    [1.0, 1.0])
        disk = finitemu.integrated_flux_map_witt_mao_magnification([2.0], 1.0, 0.5, [0.0, 1.0],
                                                                   [1.0, 1.0])
        self.assertAlmostEqual(ring[0], 1.38100392790, delta=1e-10)
        self.assertAlmostEqual(disk[0], 1.38100392790, delta=1e-10)

    def test_discrete_rings_sum_the_ring_kernel(self):
        got = finitemu.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.5, [0.5, 1.0],
                                                                 [0.25, 0.75])
        want = (0.25 * finitemu.heyrovsky_magnification(2.0, 0.5, 1.0, 0.5)
                + 0.75 * finitemu.heyrovsky_magnification(2.0, 1.0, 1.0, 0.5))
        self.assertAlmostEqual(got[0] / want, 1.0, delta=1e-15)
        self.assertAlmostEqual(got[0], 1.40840622892, delta=1e-10)


class EdgeCases(unittest.TestCase):
    def test_empty_separations(self):
        self.assertEqual(finitemu.integrated_witt_mao_magnification([], 1.0, 0.5), [])
        self.assertEqual(finitemu.integrated_heyrovsky_magnification((), 1.0, 0.5), [])
        for f in FLUX_MAP_FUNCTIONS:
            self.assertEqual(f([], 1.0, 0.5, [0.0, 1.0], [1.0, 1.0]), [])

    def test_empty_map(self):
        for f in FLUX_MAP_FUNCTIONS[:2]:
            got = f([0.5, 2.0], 1.0, 0.5, [], [])
            self.assertEqual(len(got), 2)
            self.assertTrue(all(math.isnan(v) for v in got))
        self.assertEqual(
            finitemu.discrete_flux_map_heyrovsky_magnification([0.5, 2.0], 1.0, 0.5, [], []),
            [0.0, 0.0])

    def test_order_duplicates_and_ratio(self):
        l = [3.0, 0.3, 2.0, 3.0]
        for f in (finitemu.integrated_witt_mao_magnification,
                  finitemu.integrated_heyrovsky_magnification):
            got = f(l, 1.0, 0.5)
            self.assertEqual(got[0], got[3])
            self.assertEqual(got, f(l, 2.0, 1.0))
            self.assertEqual(got[2], f([2.0], 1.0, 0.5)[0])

    def test_single_point_map_is_uniform(self):
        l = [0.6, 4.0]
        w = finitemu.witt_mao_magnification(l, 1.0, 0.5)
        for f in FLUX_MAP_FUNCTIONS[:2]:
            for got, want in zip(f(l, 1.0, 0.5, [0.3], [2.0]), w, strict=True):
                self.assertAlmostEqual(got / want, 1.0, delta=1e-10)
        h = finitemu.heyrovsky_magnification(4.0, 0.3, 1.0, 0.5)
        [got] = finitemu.discrete_flux_map_heyrovsky_magnification([4.0], 1.0, 0.5, [0.3], [2.0])
        self.assertAlmostEqual(got / (2.0 * h), 1.0, delta=1e-15)

    def test_scaling_the_map(self):
        bl, bf = [0.0, 0.4, 0.9], [1.0, 0.8, 0.2]
        bf2 = [2.0 * f for f in bf]
        l = [0.2, 0.7, 1.5]
        one = finitemu.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.5, bl, bf)
        two = finitemu.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.5, bl, bf2)
        self.assertEqual(two, [2.0 * v for v in one])
        for f in FLUX_MAP_FUNCTIONS[:2]:
            for a, b in zip(f(l, 1.0, 0.5, bl, bf), f(l, 1.0, 0.5, bl, bf2), strict=True):
                self.assertAlmostEqual(a / b, 1.0, delta=1e-12)

    def test_inside_the_source_stays_positive(self):
        l = [0.0, 0.3, 0.5, 0.7, 0.99, 1.0]
        for f in (finitemu.integrated_witt_mao_magnification,
                  finitemu.integrated_heyrovsky_magnification):
            for v in f(l, 1.0, 0.5):
                self.assertTrue(math.isfinite(v) and v > 1.0, v)


class LengthMismatch(unittest.TestCase):
    def assert_panics(self, f, *args, text=MISMATCH):
        with self.assertRaises(BaseException) as caught:
            f(*args)
        e = caught.exception
        self.assertNotIsInstance(e, Exception)
        self.assertEqual(type(e).__module__, "pyo3_runtime")
        self.assertEqual(type(e).__name__, "PanicException")
        self.assertEqual(e.args, (text,))

    def test_three_line_message_even_for_empty_separations(self):
        for f in FLUX_MAP_FUNCTIONS:
            with self.subTest(f.__name__):
                self.assert_panics(f, [], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 1.0])
                self.assert_panics(f, [2.0, float("nan")], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 1.0])
                self.assert_panics(f, [2.0], 1.0, 0.5, [1.0], [1.0, 2.0, 3.0, 4.0],
                                   text="assertion `left == right` failed\n  left: 1\n right: 4")

    def test_not_caught_by_except_exception(self):
        f = finitemu.discrete_flux_map_heyrovsky_magnification
        with self.assertRaises(BaseException):
            try:
                f([], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 1.0])
            except Exception:  # noqa: BLE001 - the point is that this clause does not match
                self.fail("caught by except Exception")

    def test_conversion_errors_come_first(self):
        for f in FLUX_MAP_FUNCTIONS:
            with self.subTest(f.__name__):
                with self.assertRaises(TypeError) as caught:
                    f([1.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, "x"])
                self.assertEqual(caught.exception.__notes__, ["while processing 'bf'"])
                with self.assertRaises(TypeError) as caught:
                    f([1.0], "x", 0.5, [0.0, 0.5, 1.0], [1.0, 1.0])
                self.assertEqual(caught.exception.__notes__, ["while processing 're'"])
                with self.assertRaises(TypeError) as caught:
                    f([1.0], 1.0, 0.5, "ab", [1.0])
                self.assertEqual(str(caught.exception), "Can't extract `str` to `Vec`")
                self.assertEqual(caught.exception.__notes__, ["while processing 'bl'"])


class DiscreteRingErrors(unittest.TestCase):
    def test_first_kernel_failure_is_raised(self):
        f = finitemu.discrete_flux_map_heyrovsky_magnification
        with self.assertRaises(RuntimeError) as caught:
            f([2.0, float("nan")], 1.0, 1.0, [0.5], [1.0])
        self.assertEqual(caught.exception.args, ("ellipk: Arguments cannot be NAN.",))



class OutsideTheDomain(unittest.TestCase):
    """A separation or radius outside the domain gives NaN for its element, never a number."""

    NAN, INF = float("nan"), float("inf")
    BL, BF = [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]

    def calls(self, l, re, rstar, bl=BL, bf=BF):
        yield finitemu.integrated_witt_mao_magnification(l, re, rstar)
        yield finitemu.integrated_heyrovsky_magnification(l, re, rstar)
        for f in FLUX_MAP_FUNCTIONS[:2]:
            yield f(l, re, rstar, bl, bf)

    def test_a_bad_separation_is_nan_and_leaves_the_others(self):
        good = list(self.calls([0.5, 3.0], 1.0, 0.1))
        for bad in (self.NAN, -0.5, -2.0):
            for got, want in zip(self.calls([0.5, bad, 3.0], 1.0, 0.1), good, strict=True):
                self.assertTrue(math.isnan(got[1]), (bad, got))
                self.assertEqual([got[0], got[2]], want)

    def test_a_radius_ratio_that_is_not_positive_and_finite_is_nan(self):
        for re, rstar in ((1.0, self.NAN), (self.NAN, 0.1), (1.0, 0.0), (1.0, -0.0),
                          (1.0, -0.1), (1.0, self.INF), (0.0, 0.1)):
            for got in self.calls([0.5, 3.0], re, rstar):
                self.assertTrue(all(math.isnan(v) for v in got), (re, rstar, got))

    def test_a_map_with_a_nan_or_infinite_entry_is_nan_everywhere(self):
        for bl, bf in (([0.0, self.NAN, 1.0], self.BF), ([0.0, 0.5, 1.0], [1.0, self.NAN, 1.0]),
                       ([0.0, 0.5, self.INF], self.BF), (self.BL, [1.0, -self.INF, 1.0])):
            for f in FLUX_MAP_FUNCTIONS[:2]:
                got = f([0.5, 3.0], 1.0, 0.1, bl, bf)
                self.assertTrue(all(math.isnan(v) for v in got), (bl, bf, got))


class Registration(unittest.TestCase):
    def test_all_lists_the_eight_functions_in_table_order(self):
        self.assertEqual(finitemu.__all__, [
            "witt_mao_magnification",
            "integrated_witt_mao_magnification",
            "integrated_flux_map_witt_mao_magnification",
            "multi_witt_mao_magnification",
            "heyrovsky_magnification",
            "integrated_heyrovsky_magnification",
            "integrated_flux_map_heyrovsky_magnification",
            "discrete_flux_map_heyrovsky_magnification",
        ])

    def test_text_signatures(self):
        self.assertEqual(finitemu.integrated_witt_mao_magnification.__text_signature__,
                         "(l, re, rstar)")
        self.assertEqual(finitemu.integrated_heyrovsky_magnification.__text_signature__,
                         "(l, re, rstar)")
        for f in FLUX_MAP_FUNCTIONS:
            self.assertEqual(f.__text_signature__, "(l, re, rstar, bl, bf)")
            self.assertIsNone(f.__doc__)

    def test_keywords(self):
        f = finitemu.integrated_flux_map_heyrovsky_magnification
        self.assertEqual(f(bf=[1.0, 1.0], bl=[0.0, 1.0], rstar=0.5, re=1.0, l=[2.0]),
                         f([2.0], 1.0, 0.5, [0.0, 1.0], [1.0, 1.0]))


if __name__ == "__main__":
    unittest.main()

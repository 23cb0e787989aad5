"""The examples run: light_curve.py prints its table (and, with matplotlib, redraws the README's
figure as a valid PNG of the committed figure's size); fit_rho.py recovers rho (with SciPy)."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
COMMITTED_FIGURE = ROOT / "docs" / "light_curve.png"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def png_header(data):
    """(width, height, bit depth, colour type) from a PNG's IHDR, checking the signature, the
    IHDR chunk's length and CRC, and that the file ends with an IEND chunk."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("no PNG signature")
    length, kind = struct.unpack(">I4s", data[8:16])
    if kind != b"IHDR" or length != 13:
        raise ValueError(f"first chunk is {kind!r} of {length} bytes, not IHDR of 13")
    body = data[16:29]
    (crc,) = struct.unpack(">I", data[29:33])
    if zlib.crc32(kind + body) != crc:
        raise ValueError("IHDR CRC mismatch")
    if data[-12:] != b"\x00\x00\x00\x00IEND\xaeB`\x82":
        raise ValueError("no IEND chunk at the end")
    width, height, depth, colour = struct.unpack(">IIBB", body[:10])
    return width, height, depth, colour


class LightCurveExample(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.figure = Path(cls.directory.name) / "light_curve.png"
        cls.completed = subprocess.run([sys.executable, str(EXAMPLES / "light_curve.py"),
                                  "--figure", str(cls.figure)],
                                 capture_output=True, text=True, cwd=cls.directory.name,
                                 env=dict(os.environ), timeout=600)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_prints_the_table_of_the_four_models(self):
        self.assertEqual(self.completed.returncode, 0, self.completed.stderr)
        lines = self.completed.stdout.splitlines()
        rows = [line.split() for line in lines if line[:8].strip().lstrip("-").replace(".", "")
                .isdigit()]
        self.assertEqual(len(rows), 21, self.completed.stdout)
        for row in rows:
            point, disk, limb, mapped = map(float, row[2:6])
            self.assertTrue(all(value >= 1.0 for value in (point, disk, limb, mapped)), row)
        # At closest approach (u0 inside the disk) limb darkening concentrates the light near
        # the lens, so both darkened disks exceed the uniform one, and the point source all.
        centre = rows[10]
        self.assertEqual(float(centre[0]), 0.0)
        point, disk, limb, mapped = map(float, centre[2:6])
        self.assertGreater(point, max(limb, mapped))
        self.assertGreater(min(limb, mapped), disk)
        self.assertTrue(any(line.startswith("peak:") for line in lines))

    def test_draws_a_valid_png_of_the_committed_figures_size(self):
        if not importable("matplotlib"):
            self.assertIn("matplotlib not importable", self.completed.stdout)
            self.assertFalse(self.figure.exists())
            self.skipTest("matplotlib is not importable under this interpreter; table only")
        self.assertEqual(self.completed.returncode, 0, self.completed.stderr)
        drawn = png_header(self.figure.read_bytes())
        committed = png_header(COMMITTED_FIGURE.read_bytes())
        self.assertEqual(drawn, committed)
        self.assertEqual(drawn[:2], (770, 660))

        import matplotlib.image

        pixels = matplotlib.image.imread(str(self.figure))
        colours = {tuple(p) for p in pixels.reshape(-1, pixels.shape[-1])[::7].tolist()}
        self.assertGreater(len(colours), 50, "the figure looks blank")


@unittest.skipUnless(importable("numpy") and importable("scipy"),
                     "numpy and scipy are not importable under this interpreter")
class FitRhoExample(unittest.TestCase):
    def test_recovers_rho_within_its_uncertainty(self):
        sys.path.insert(0, str(EXAMPLES))
        try:
            import fit_rho
        finally:
            sys.path.remove(str(EXAMPLES))
        fitted, errors, chi2 = fit_rho.fit(seed=3)
        for name, true in fit_rho.TRUE.items():
            with self.subTest(parameter=name):
                self.assertLess(abs(fitted[name] - true), 4.0 * errors[name])
        self.assertLess(errors["rho"], 0.02 * fit_rho.TRUE["rho"])
        self.assertTrue(0.7 < chi2 < 1.3, chi2)


if __name__ == "__main__":
    unittest.main()

"""The examples run: the README's example prints what the README says; light_curve.py prints its
table (and, with matplotlib, redraws the README's figure as the committed PNG); limb_darkening.py
gives the linear law of any coefficient as mpmath does and builds flux maps that agree with it;
fit_rho.py recovers rho (with SciPy)."""

import contextlib
import io
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

import finitemu
from groups import group
from support import reference_rows

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


def png_chunks(data):
    """[(type, body)] of a PNG, checking its signature and every chunk's CRC, and that the
    first chunk is a 13-byte IHDR and the last an IEND."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("no PNG signature")
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if len(body) != length or zlib.crc32(kind + body) != crc:
            raise ValueError(f"chunk {kind!r} at byte {at} is cut short or fails its CRC")
        chunks.append((kind, body))
        at += 12 + length
    if chunks[0][0] != b"IHDR" or len(chunks[0][1]) != 13 or chunks[-1] != (b"IEND", b""):
        raise ValueError("the chunks do not run from a 13-byte IHDR to IEND")
    return chunks


def png_header(data):
    """(width, height, bit depth, colour type) from a valid PNG's IHDR."""
    return struct.unpack(">IIBB", png_chunks(data)[0][1][:10])


def png_software(data):
    """The tEXt "Software" entry (which matplotlib drew it), or None."""
    for kind, body in png_chunks(data):
        if kind == b"tEXt" and body.startswith(b"Software\0"):
            return body[len(b"Software\0"):].decode("latin-1")
    return None


def environment():
    """This process's environment, the module's directory first on the path of the child."""
    path = [str(Path(finitemu.__file__).parent), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))


class ReadmeExample(unittest.TestCase):
    def test_prints_the_result_written_under_it(self):
        readme = (ROOT / "README.md").read_text()
        code = re.search(r"## Example\n\n```python\n(.*?)```", readme, re.DOTALL).group(1)
        expected = re.search(r"^# (\[.*\])$", code, re.MULTILINE).group(1)
        self.assertLessEqual(len(code.strip().splitlines()), 5)
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, "README.md", "exec"), {})
        self.assertEqual(printed.getvalue().strip(), expected)


class LightCurveExample(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.figure = Path(cls.directory.name) / "light_curve.png"
        cls.completed = subprocess.run([sys.executable, str(EXAMPLES / "light_curve.py"),
                                  "--figure", str(cls.figure)],
                                 capture_output=True, text=True, cwd=cls.directory.name,
                                 env=environment(), timeout=600)

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
        if not importable("matplotlib"):  # the table only, and a word why
            self.assertIn("matplotlib not importable", self.completed.stdout)
            self.assertFalse(self.figure.exists())

    @group("matplotlib")
    def test_draws_a_valid_png_of_the_committed_figures_size(self):
        self.assertEqual(self.completed.returncode, 0, self.completed.stderr)
        drawn_bytes, committed_bytes = self.figure.read_bytes(), COMMITTED_FIGURE.read_bytes()
        drawn = png_header(drawn_bytes)
        self.assertEqual(drawn, png_header(committed_bytes))
        self.assertEqual(drawn[:2], (770, 660))
        # Drawn by the same matplotlib, the committed figure must be this one to the byte: the
        # README shows what the committed code draws.
        if png_software(drawn_bytes) == png_software(committed_bytes):
            self.assertEqual(drawn_bytes, committed_bytes,
                             "docs/light_curve.png is stale: rerun examples/light_curve.py "
                             "--figure docs/light_curve.png under Debian's python3")
        else:
            print(f"\ntest_examples: the committed figure was drawn by "
                  f"{png_software(committed_bytes)}, this one by {png_software(drawn_bytes)}: "
                  f"compared by size only")

        import matplotlib.image

        pixels = matplotlib.image.imread(str(self.figure))
        colours = {tuple(p) for p in pixels.reshape(-1, pixels.shape[-1])[::7].tolist()}
        self.assertGreater(len(colours), 50, "the figure looks blank")


# The example's maps for 1e-6 keep the quadratic and square-root laws it names within 1e-6; the
# linear law a = 0.3 bends less than either, so its maps of as many nodes stay within that too.
MAP_AGREEMENT = 1e-6


def import_example(name):
    sys.path.insert(0, str(EXAMPLES))
    try:
        return __import__(name)
    finally:
        sys.path.remove(str(EXAMPLES))


class LimbDarkeningExample(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.example = import_example("limb_darkening")

    def test_any_linear_coefficient_matches_mpmath_to_1e_13(self):
        # Rows "linear-NNNN a rho l value", one call per (a, rho) over the row's separations.
        calls = {}
        for row_id, a, rho, l, value in reference_rows("limb_darkening_reference.txt"):
            calls.setdefault((a, rho), []).append((row_id, float(l), float(value)))
        self.assertEqual({a for a, _ in calls}, {"0", "0.3", "0.6", "0.9"})
        worst = (0.0, "")
        for (a, rho), rows in calls.items():
            got = self.example.linear_limb_darkening([l for _, l, _ in rows], 1.0, float(rho),
                                                     float(a))
            for (row_id, _, want), value in zip(rows, got):
                worst = max(worst, (abs(value / want - 1.0), row_id))
        self.assertLess(worst[0], 1e-13, f"worst at {worst[1]}")

    def test_flux_maps_of_a_linear_law_agree_with_the_identity(self):
        # Quadratic and square-root laws without their second term are the linear law.
        l = [0.0, 0.3, 0.7, 0.99, 1.0, 1.5, 3.0]
        for kind, law in (("quadratic", self.example.quadratic_law(0.3, 0.0)),
                          ("square root", self.example.square_root_law(0.3, 0.0))):
            with self.subTest(kind=kind):
                bl, bf = self.example.flux_map(law, self.example.nodes_for(1e-6, kind))
                self.assertEqual((bl[0], bl[-1], bf[-1]), (0.0, 1.0, 0.7))
                mapped = finitemu.integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, bf)
                exact = self.example.linear_limb_darkening(l, 1.0, 0.1, 0.3)
                worst = max(abs(m / e - 1.0) for m, e in zip(mapped, exact))
                self.assertLess(worst, MAP_AGREEMENT)

    def test_prints_every_law(self):
        completed = subprocess.run([sys.executable, str(EXAMPLES / "limb_darkening.py")],
                                   capture_output=True, text=True, env=environment(),
                                   timeout=600)
        self.assertEqual(completed.returncode, 0, completed.stderr)
        for label in ("linear, a = 0.0", "linear, a = 0.9", "quadratic", "square root"):
            self.assertIn(label, completed.stdout)
        difference = re.search(r"largest relative difference (\S+)$", completed.stdout, re.M)
        self.assertLess(float(difference.group(1)), MAP_AGREEMENT, completed.stdout)


@group("scipy")
class FitRhoExample(unittest.TestCase):
    def test_recovers_rho_within_its_uncertainty(self):
        fit_rho = import_example("fit_rho")
        fitted, errors, chi2 = fit_rho.fit(seed=3)
        for name, true in fit_rho.TRUE.items():
            with self.subTest(parameter=name):
                self.assertLess(abs(fitted[name] - true), 4.0 * errors[name])
        self.assertLess(errors["rho"], 0.02 * fit_rho.TRUE["rho"])
        self.assertTrue(0.7 < chi2 < 1.3, chi2)


if __name__ == "__main__":
    unittest.main()

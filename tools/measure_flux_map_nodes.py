#!/usr/bin/env python3
"""How many nodes a flux map of a smooth limb-darkening law needs, measured against mpmath.

    python3 tools/measure_flux_map_nodes.py [--module build/python/cp311] > nodes.md

A flux map tabulates a law I at N radii r_k = sin(pi/2 k/(N - 1)), k = 0 .. N - 1 (nodes uniform
in the angle theta, r = sin theta, crowded towards the limb; examples/limb_darkening.py), and the
integrated flux-map functions interpolate it linearly in r. This measures what N controls: the
magnification of that piecewise-linear profile against the magnification of the smooth law
itself, both integrated by mpmath, as relative error, the largest over the separations
SEPARATIONS, for each law, source radius and tolerance. It prints a Markdown table of the
smallest N below each tolerance (docs/physics.md) and, on standard error, the progress.

With --module DIR (a folder holding the built module), each row also gives the error of the
module's integrated_flux_map_heyrovsky_magnification with that map, in doubles, against the same
smooth-law references: the tabulation plus the module's own integration of the map.

Method. In theta, dr = cos(theta) dtheta, mu = sqrt(1 - r^2) = cos(theta) and the laws are smooth
except sqrt(mu) at the limb. The magnified flux is int 2 pi r cos(theta) P H(l, r) dtheta, with
the ring mean H by Carlson's integrals from the exact complementary quantities (checked against
the angular quadrature of tools/gen_integrated_reference.py). The theta axis is cut at the lens
(theta = asin l, where H has its logarithmic singularity) and at the limb, into uniform cells with
geometrically graded cells towards those two points, and each cell gets 10-point Gauss-Legendre.
H is evaluated once per node of that rule; the profile error P - I of any N is then integrated on
the same rule, each cell that holds map nodes being cut at them (the kinks of P) and H
interpolated inside the cell from its own 10 values. Only the difference P - I is integrated
this way, so its relative accuracy of about 1e-6 is ample for a count that meets a tolerance;
the smooth-law magnification itself comes from the plain rule (checked against
tests/data/integrated_reference.txt for the linear law of coefficient 0.6).
"""
import argparse
import functools
import math
import sys
import time
from pathlib import Path

import mpmath as mp

from gen_integrated_reference import ring_mean

mp.mp.dps = 20
HALF_PI = mp.pi / 2

LAWS = {
    "quadratic, u1 = 0.4, u2 = 0.25":
        lambda mu: 1 - mp.mpf("0.4") * (1 - mu) - mp.mpf("0.25") * (1 - mu) ** 2,
    "square root, c = 0.25, d = 0.45":
        lambda mu: 1 - mp.mpf("0.25") * (1 - mu) - mp.mpf("0.45") * (1 - mp.sqrt(mu)),
}
RHOS = ["0.01", "0.1", "1"]
SEPARATIONS = ["0", "0.5", "0.9", "1", "1.1", "2"]
TOLERANCES = [1e-4, 1e-6, 1e-8]
CELLS = 240  # uniform cells per stretch of theta between cuts
GRADED = 48  # graded cells towards each cut, halving: GL-10 on each is good to 1e-15
GRADING = mp.mpf("0.5")

def gauss_legendre(n):
    """Nodes and weights of n-point Gauss-Legendre on [-1, 1], by Newton on P_n."""
    nodes, weights = [], []
    for i in range(1, n + 1):
        x = mp.cos(mp.pi * (i - mp.mpf(1) / 4) / (n + mp.mpf(1) / 2))
        for _ in range(100):
            p0, p1 = mp.mpf(1), x
            for k in range(2, n + 1):
                p0, p1 = p1, ((2 * k - 1) * x * p1 - (k - 1) * p0) / k
            dp = n * (x * p1 - p0) / (x * x - 1)
            step = p1 / dp
            x -= step
            if abs(step) < mp.mpf(10) ** (-mp.mp.dps - 2):
                break
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes, weights


RULE = gauss_legendre(10)
SPLIT_RULE = gauss_legendre(6)
# Barycentric weights of the 10-point rule's nodes, for interpolation inside a cell.
BARY = [1 / mp.fprod(RULE[0][q] - RULE[0][p] for p in range(10) if p != q) for q in range(10)]


def ring(l, r, rho, d=None):
    """H(l, r): the ring mean, from Carlson's R_F and R_J with exact 1 - n and 1 - m; d = r - l
    when the caller has it without cancellation."""
    big = 1 / rho
    d, s = r - l if d is None else d, l + r
    one_minus_n = (d / s) ** 2
    kc2 = d * d * (4 * big * big + s * s) / (s * s * (4 * big * big + d * d))
    n = 4 * l * r / (s * s)
    k = mp.elliprf(0, kc2, 1)
    pi3 = k + n / 3 * mp.elliprj(0, kc2, 1, one_minus_n) if n else k
    return 2 * (2 * big * big * k + d * d * pi3) / (mp.pi * s * mp.sqrt(4 * big * big + d * d))


def cells(cuts):
    """[(a, b)] covering [0, pi/2]: CELLS uniform cells between neighbouring cuts, the cells
    next to a cut (but 0) graded towards it, GRADED times by GRADING."""
    out = []
    for a, b in zip(cuts, cuts[1:]):
        width = (b - a) / CELLS
        edges = [a + width * k for k in range(CELLS + 1)]
        edges[-1] = b
        if a != 0:
            edges[1:1] = [a + width * GRADING ** k for k in range(GRADED, 0, -1)]
        edges[-1:-1] = [b - width * GRADING ** k for k in range(1, GRADED + 1)]
        out += list(zip(edges, edges[1:]))
    return out


class Disk:
    """One (rho, l): the rule's nodes in theta with H, and the profile integrals on them."""

    def __init__(self, rho, l):
        self.rho, self.l = rho, l
        lens = mp.asin(l) if l <= 1 else None
        cuts = [mp.mpf(0)] + ([lens] if 0 < l < 1 else []) + [HALF_PI]
        self.cells = []
        for a, b in cells(cuts):
            half, mid = (b - a) / 2, (b + a) / 2
            thetas = [mid + half * x for x in RULE[0]]
            weights = [half * w for w in RULE[1]]
            # r - l = sin(theta) - sin(lens) as a product, exact however near the lens.
            lensing = [ring(l, mp.sin(t), rho, None if lens is None else
                            2 * mp.cos((t + lens) / 2) * mp.sin((t - lens) / 2)) for t in thetas]
            self.cells.append((a, b, thetas, weights, lensing))

    def smooth(self, law):
        """(lensed flux, flux) of the smooth law: sums of 2 pi r cos(theta) I (H, 1)."""
        lensed = flux = mp.mpf(0)
        for _, _, thetas, weights, lensing in self.cells:
            for t, w, h in zip(thetas, weights, lensing):
                f = w * 2 * mp.pi * mp.sin(t) * mp.cos(t) * law(mp.cos(t))
                lensed += f * h
                flux += f
        return lensed, flux

    def tabulation_error(self, law, count):
        """(lensed, flux) integrals of P - I for the N = count map of `law`."""
        step = HALF_PI / (count - 1)
        node_theta = [step * k for k in range(count)]
        node_theta[-1] = HALF_PI
        node_r = [mp.sin(t) for t in node_theta]
        node_i = [law(mp.cos(t)) for t in node_theta]

        def profile(t):
            k = min(int(t / step), count - 2)
            r = mp.sin(t)
            return node_i[k] + (node_i[k + 1] - node_i[k]) * (r - node_r[k]) / (
                node_r[k + 1] - node_r[k])

        lensed = flux = mp.mpf(0)
        for a, b, thetas, weights, lensing in self.cells:
            inside = [node_theta[k] for k in range(int(a / step) + 1, min(int(b / step), count - 1)
                                                   + 1) if a < node_theta[k] < b]
            if not inside:
                pieces = zip(thetas, weights, lensing)
            else:
                pieces = []
                edges = [a] + inside + [b]
                for lo, hi in zip(edges, edges[1:]):
                    half, mid = (hi - lo) / 2, (hi + lo) / 2
                    for x, w in zip(*SPLIT_RULE):
                        t = mid + half * x
                        pieces.append((t, half * w, self.interpolate(a, b, lensing, t)))
            for t, w, h in pieces:
                f = w * 2 * mp.pi * mp.sin(t) * mp.cos(t) * (profile(t) - law(mp.cos(t)))
                lensed += f * h
                flux += f
        return lensed, flux

    @staticmethod
    def interpolate(a, b, values, t):
        x = (2 * t - a - b) / (b - a)
        terms = [lam / (x - xq) for lam, xq in zip(BARY, RULE[0])]
        return mp.fsum(c * v for c, v in zip(terms, values)) / mp.fsum(terms)


def worst_error(disks, smooth, law, count):
    """Largest |M_map / M_law - 1| over the disks, for the N = count map."""
    worst = 0
    for disk, (lensed, flux) in zip(disks, smooth):
        d_lensed, d_flux = disk.tabulation_error(law, count)
        worst = max(worst, abs((lensed + d_lensed) / (flux + d_flux) / (lensed / flux) - 1))
    return worst


def fewest_nodes(disks, smooth, law, tolerance, guess):
    """The smallest N whose worst error is below `tolerance` (the error falls as 1/N^2), by
    bisection from `guess`; {N: error} of every count tried."""
    tried = {}

    def error(n):
        if n not in tried:
            tried[n] = worst_error(disks, smooth, law, n)
        return tried[n]

    lo, hi = max(3, int(guess * 0.8)), int(guess * 1.25) + 2
    while error(lo) <= tolerance:
        lo, hi = max(3, lo // 2), lo
    while error(hi) > tolerance:
        lo, hi = hi, hi * 2
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if error(mid) <= tolerance else (mid, hi)
    return hi, tried


def flux_map(law, count):
    """The map as examples/limb_darkening.py builds it, in doubles."""
    theta = [0.5 * math.pi * k / (count - 1) for k in range(count)]
    bl, mu = [math.sin(t) for t in theta], [math.cos(t) for t in theta]
    bl[-1], mu[-1] = 1.0, 0.0
    return bl, [float(law(mp.mpf(m))) for m in mu]


def self_checks():
    """H against the angular quadrature; the smooth-law integral against the committed
    references of the linear law, coefficient 0.6."""
    for l, r, rho in (("0.3", "0.31", "0.1"), ("0", "0.7", "0.01"), ("2", "0.999", "1.5")):
        l, r, rho = mp.mpf(l), mp.mpf(r), mp.mpf(rho)
        assert abs(ring(l, r, rho) / ring_mean(l, r, rho) - 1) < 1e-16, (l, r, rho)
    data = Path(__file__).resolve().parents[1] / "tests" / "data" / "integrated_reference.txt"
    wanted = {("0.1", "0.3"), ("0.01", "1"), ("0.5", "0.99"), ("0.1", "2")}
    linear = functools.partial(lambda a, mu: 1 - a * (1 - mu), mp.mpf("0.6"))
    for line in data.read_text().splitlines():
        fields = line.split()
        if fields and fields[0] == "limb" and (fields[1], fields[2]) in wanted:
            lensed, flux = Disk(mp.mpf(fields[1]), mp.mpf(fields[2])).smooth(linear)
            error = abs(lensed / flux / mp.mpf(fields[3]) - 1)
            assert error < 1e-14, (fields, error)
    print("self-checks passed", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", help="folder of the built module, for the module column")
    args = parser.parse_args()
    module = None
    if args.module:
        sys.path.insert(0, args.module)
        import finitemu as module
    start = time.time()
    self_checks()

    rows = []
    for rho_text in RHOS:
        rho = mp.mpf(rho_text)
        disks = [Disk(rho, mp.mpf(l)) for l in SEPARATIONS]
        print(f"rho={rho_text}: rule ready, {time.time() - start:.0f}s", file=sys.stderr)
        for name, law in LAWS.items():
            smooth = [disk.smooth(law) for disk in disks]
            coefficient = max(worst_error(disks, smooth, law, 101) * 100 ** 2, 1e-12)
            for tolerance in TOLERANCES:
                guess = math.sqrt(coefficient / tolerance) + 1
                count, tried = fewest_nodes(disks, smooth, law, tolerance, guess)
                row = [name, rho_text, tolerance, count, tried[count], tried[count - 1]]
                if module is not None:
                    bl, bf = flux_map(law, count)
                    got = module.integrated_flux_map_heyrovsky_magnification(
                        [float(l) for l in SEPARATIONS], 1.0, float(rho), bl, bf)
                    row.append(max(abs(g / float(lensed / flux) - 1)
                                   for g, (lensed, flux) in zip(got, smooth)))
                rows.append(row)
                print(f"  {name} {tolerance:g}: N = {count} ({float(tried[count]):.2e}; "
                      f"N - 1: {float(tried[count - 1]):.2e}) {time.time() - start:.0f}s",
                      file=sys.stderr)

    print("| law | rho | tolerance | nodes | error with that many | with one fewer |"
          + (" module today |" if module else ""))
    print("|---|---|---|---|---|---|" + ("---|" if module else ""))
    for row in rows:
        name, rho_text, tolerance, count, error, fewer = row[:6]
        line = (f"| {name} | {rho_text} | {tolerance:.0e} | {count} | {float(error):.2e} | "
                f"{float(fewer):.2e} |")
        if module:
            line += f" {row[6]:.1e} |"
        print(line)
    print(f"\nSeparations l = {', '.join(SEPARATIONS)} source radii; mpmath {mp.__version__}, "
          f"mp.dps = {mp.mp.dps}; {time.time() - start:.0f} s.")


if __name__ == "__main__":
    main()

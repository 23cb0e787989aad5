#!/usr/bin/env python3
"""Reference values for the mean-value series of numeric/mean_value_series.hpp: magnifications of
radially symmetric sources away from the lens, and the brightness moments, with mpmath.

The magnifications do not use the series:
* the mean of A(D) = (D^2 + 2) / (D sqrt(D^2 + 4)) over a circle of radius b about a point at
  distance u from the lens, R(u, b) = (1/2pi) int_0^2pi A(sqrt(u^2 + b^2 - 2ub cos phi)) dphi, by
  the trapezoid rule in phi: the integrand is periodic and analytic in a strip of half-width
  ln(u/b), so the rule converges like (b/u)^N; N is doubled until two results agree to dps - 5
  digits;
* the source, M = int_0^1 P(r) r R(u, rho r) dr / int_0^1 P(r) r dr, by Gauss-Legendre
  quadrature between the nodes of a piecewise-linear profile, and for the limb-darkening law
  P = 0.4 + 0.6 sqrt(1 - r^2) in r = sin(theta), where the integrand is analytic; thin rings sum
  their R.
Checks, printed and written to the header: the uniform disk against the closed form of Witt & Mao
(1994) with mpmath's ellipk/ellipe/ellippi, and every profile at a few points by tanh-sinh
quadrature in r at a higher precision.

The moments m_k = int_0^1 P r^(2k+1) dr / int_0^1 P r dr are exact: rationals for the uniform
disk, the piecewise-linear maps (from the exact doubles of their nodes) and the rings, and
[0.4/(k+1) + 0.6 Gamma(k+1) Gamma(3/2)/Gamma(k+5/2)]/0.8 at 50 digits for the limb-darkening law.

The counts of terms: for the uniform disk and the limb-darkening law, the least n such that the
series (with the Laplacian table of tools/gen_mean_value_series.py, extended to k = 70, at 40
digits) truncated after n terms is within tol of its sum, the largest over rho = 1e-6 ... 100.

Usage:  python3 tools/gen_far_field_reference.py [--dps 40] [--jobs 2] [--out tests/data]
Writes tests/data/far_field_reference.txt. Rows: `<grid>-<NNNN> <grid> numbers`; see its header.
"""

import argparse
import fractions
import math
import multiprocessing
import os
import sys
import time

import mpmath
from mpmath import mp, mpf

from gen_kernel_reference import witt_mao_closed  # the uniform disk, for the check

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_mean_value_series as laplacians  # noqa: E402

DPS = 40
RATIOS = [1.5, 2.0, 2.5, 3.0, 5.0, 10.0, 100.0, 1e4]
RHOS = [1e-4, 1e-3, 0.01, 0.1, 1.0, 10.0]
MAX_ORDER = 40

FINE_NODES = 1001


def fine_map():
    """1000 segments of width 1e-3 through the limb-darkening law (doubles as C++ forms them)."""
    bl = [j / 1000 for j in range(FINE_NODES)]
    return bl, [0.4 + 0.6 * math.sqrt(1.0 - x * x) for x in bl]


# Piecewise-linear maps (bl, bf): support inside [0, 1]; support covering it (clipped at 0 and
# 1); a kink at 0.5; a single segment of width 5e-4 at the rim (moments only); the fine map
# (moments only).
MAPS = {
    "pl_inside": ([0.1, 0.35, 0.6, 0.85], [0.5, 1.0, 0.8, 0.3]),
    "pl_covering": ([-0.2, 0.3, 0.7, 1.3], [1.2, 1.0, 0.7, 0.1]),
    "pl_kink": ([0.0, 0.5, 1.0], [1.0, 1.0, 0.2]),
    "pl_narrow": ([0.9995, 1.0], [1.0, 0.3]),
    "pl_fine": fine_map(),
}
SERIES_MAPS = ["pl_inside", "pl_covering", "pl_kink"]
RINGS = ([0.2, 0.5, 0.8, 1.0], [0.1, 0.3, 0.4, 0.2])


def a0(d2):
    return (d2 + 2) / mp.sqrt(d2 * (d2 + 4))


def ring_mean(u, b):
    """R(u, b) by the trapezoid rule over the full period (cos is even: half the points)."""
    if b == 0:
        return a0(u * u)
    uu, bb, ub2 = u * u, b * b, 2 * u * b

    def f(phi):
        return a0(uu + bb - ub2 * mp.cos(phi))

    # (b/u)^N below 10^-dps, rounded up to a power of two, then doubled once to confirm.
    n = 16
    while n * mp.log(u / b) < mp.dps * mp.log(10) + 10:
        n *= 2
    tol = mpf(10) ** (-(mp.dps - 5))
    total = f(0) + f(mp.pi) + 2 * sum(f(2 * mp.pi * j / n) for j in range(1, n // 2))
    value = total / n
    while True:
        # the new points of the doubled rule, j odd
        total += 2 * sum(f(2 * mp.pi * j / (2 * n)) for j in range(1, n, 2))
        n *= 2
        new = total / n
        if abs(new - value) <= tol * abs(new):
            return new
        value = new


def segments(bl, bf):
    """Linear pieces (a, b, f_a, f_b) of the map clipped to [0, 1], exact mpf node values."""
    out = []
    for i in range(len(bl) - 1):
        x0, x1 = mpf(bl[i]), mpf(bl[i + 1])
        a, b = max(x0, mpf(0)), min(x1, mpf(1))
        if a >= b:
            continue
        y0, y1 = mpf(bf[i]), mpf(bf[i + 1])
        fa = (y0 * (x1 - a) + y1 * (a - x0)) / (x1 - x0)
        fb = (y0 * (x1 - b) + y1 * (b - x0)) / (x1 - x0)
        out.append((a, b, fa, fb))
    return out


def source_mean(profile, u, rho, method="gauss-legendre"):
    u, rho = mpf(u), mpf(rho)
    if profile == "uniform":
        num = mp.quad(lambda r: r * ring_mean(u, rho * r), [0, 1], method=method)
        return num / mpf("0.5")
    if profile == "limb":
        # r = sin(theta): P r dr = (0.4 + 0.6 cos) sin cos dtheta; flux 0.4 (0.2 + 0.6/3 = 0.4)
        def g(th):
            c, s = mp.cos(th), mp.sin(th)
            return (mpf("0.4") + mpf("0.6") * c) * s * c * ring_mean(u, rho * s)

        return mp.quad(g, [0, mp.pi / 2], method=method) / mpf("0.4")
    if profile == "rings":
        bl, bf = RINGS
        num = sum(mpf(w) * ring_mean(u, rho * mpf(b)) for b, w in zip(bl, bf))
        return num / sum(mpf(w) for w in bf)
    num, den = mpf(0), mpf(0)
    for a, b, fa, fb in segments(*MAPS[profile]):
        h = b - a

        def p(r):
            return (fa * (b - r) + fb * (r - a)) / h

        num += mp.quad(lambda r: p(r) * r * ring_mean(u, rho * r), [a, b], method=method)
        den += (b - a) * (fa * (2 * a + b) + fb * (a + 2 * b)) / 6
    return num / den


def nearest_double(x):
    sign, man, exp, _ = mpf(x)._mpf_
    q = fractions.Fraction(int(man)) * (fractions.Fraction(2) ** int(exp))
    return float(-q if sign else q)


# ---------------------------------------------------------------------------------------------
# Moments, exact.

def exact_moments_map(bl, bf):
    fr = fractions.Fraction
    integrals = [fr(0)] * (MAX_ORDER + 1)
    for i in range(len(bl) - 1):
        x0, x1 = fr(bl[i]), fr(bl[i + 1])
        a, b = max(x0, fr(0)), min(x1, fr(1))
        if a >= b:
            continue
        y0, y1 = fr(bf[i]), fr(bf[i + 1])
        slope = (y1 - y0) / (x1 - x0)
        alpha = y0 - slope * x0
        for k in range(MAX_ORDER + 1):
            n = 2 * k + 2
            integrals[k] += alpha * (b**n - a**n) / n + slope * (b ** (n + 1) - a ** (n + 1)) / (n + 1)
    return [x / integrals[0] for x in integrals]


def exact_moments(profile):
    fr = fractions.Fraction
    if profile == "uniform":
        return [fr(1, k + 1) for k in range(MAX_ORDER + 1)]
    if profile == "limb":
        with mp.workdps(50):
            return [
                (mpf("0.4") / (k + 1) + mpf("0.6") * mp.gamma(k + 1) * mp.gamma(mpf(3) / 2) / mp.gamma(k + mpf(5) / 2))
                / mpf("0.8")
                for k in range(MAX_ORDER + 1)
            ]
    if profile == "rings":
        bl, bf = RINGS
        sums = [sum(fr(w) * fr(b) ** (2 * k) for b, w in zip(bl, bf)) for k in range(MAX_ORDER + 1)]
        return [x / sums[0] for x in sums]
    return exact_moments_map(*MAPS[profile])


def to_double(x):
    return float(x) if isinstance(x, fractions.Fraction) else nearest_double(x)


# ---------------------------------------------------------------------------------------------
# Counts of terms.

def measured_term_counts(profile, tols, ratios, rhos, order=70):
    with mp.workdps(40):
        _, polys = laplacians.laplacian_numerators(order)
        rows = [[mpf(h.numerator) / h.denominator for h in row] for row in laplacians.normalised_coefficients(polys)]
        moments = (
            [mpf(1) / (k + 1) for k in range(order + 1)]
            if profile == "uniform"
            else [
                (mpf("0.4") / (k + 1) + mpf("0.6") * mp.gamma(k + 1) * mp.gamma(mpf(3) / 2) / mp.gamma(k + mpf(5) / 2))
                / mpf("0.8")
                for k in range(order + 1)
            ]
        )
        out = []
        for l in ratios:
            worst = {tol: 0 for tol in tols}
            for rho in rhos:
                u, rho_m = mpf(l) * mpf(rho), mpf(rho)
                s = u * u
                r, q, t = s / (s + 4), 4 / (s + 4), rho_m / u
                terms = [(r + q / 2) / mp.sqrt(r)]
                for k, row in enumerate(rows, start=1):
                    poly = sum(h * r**j * q ** (2 * k - 1 - j) for j, h in enumerate(row))
                    terms.append(moments[k] * t ** (2 * k) * q * q * poly / mp.sqrt(r))
                total = sum(terms)
                tails = [abs(sum(terms[n:])) / total for n in range(len(terms))]
                for tol in tols:
                    n = next(n for n in range(len(terms)) if tails[n] < tol)
                    worst[tol] = max(worst[tol], n)
            out.extend((l, tol, worst[tol]) for tol in tols)
        return out


# ---------------------------------------------------------------------------------------------

def compute_row(task):
    profile, l, rho, dps = task
    mp.dps = dps
    u = l * rho  # the double the tests pass
    return profile, l, rho, u, source_mean(profile, u, rho)


def check_row(task):
    profile, l, rho, dps = task
    u = l * rho
    with mp.workdps(dps + 10):
        return source_mean(profile, u, rho, method="tanh-sinh")


def fmt(x):
    return repr(float(x))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dps", type=int, default=DPS)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data"))
    args = ap.parse_args()
    mp.dps = args.dps
    start = time.time()

    profiles = ["uniform", "limb"] + SERIES_MAPS + ["rings"]
    tasks = [(p, l, rho, args.dps) for p in profiles for l in RATIOS for rho in RHOS]
    checks = [(p, l, rho, args.dps) for p in profiles for l, rho in ((1.5, 1e-3), (2.0, 10.0), (5.0, 0.1))]
    with multiprocessing.Pool(args.jobs) as pool:
        results = pool.map(compute_row, tasks, chunksize=1)
        checked = pool.map(check_row, checks, chunksize=1)
    values = {(p, l, rho): m for p, l, rho, _, m in results}

    worst_closed = mpf(0)
    for l in RATIOS:
        for rho in RHOS:
            with mp.workdps(args.dps + 20):
                exact = witt_mao_closed(l * rho, rho)
            worst_closed = max(worst_closed, abs(values[("uniform", l, rho)] - exact) / exact)
    worst_check = max(abs(values[(p, l, rho)] - v) / v for (p, l, rho, _), v in zip(checks, checked))
    print(f"uniform vs closed form {mpmath.nstr(worst_closed, 3)}; tanh-sinh check {mpmath.nstr(worst_check, 3)}")

    tols = [1e-15, 1e-12, 1e-9, 1e-6]
    count_ratios = [1.5, 1.75, 2.0, 2.5, 3.0, 4.0, 5.0, 7.0, 10.0, 20.0, 30.0, 50.0, 100.0, 1e3, 1e4]
    count_rhos = [1e-6, 1e-4, 1e-3, 0.01, 0.1, 0.3, 1.0, 3.0, 10.0, 100.0]
    counts = {p: measured_term_counts(p, tols, count_ratios, count_rhos) for p in ("uniform", "limb")}

    lines = []
    w = lines.append
    w("# Reference values for the mean-value series (numeric/mean_value_series.hpp).")
    w(f"# Generated by: python3 tools/gen_far_field_reference.py --dps {args.dps}")
    w(f"# mpmath {mpmath.__version__}, {args.dps} significant digits; values rounded to the nearest double.")
    w("# Magnifications by quadrature of circle means of A (trapezoid rule in the angle), not by the series.")
    w("# Checks (largest relative difference): uniform disk vs Witt & Mao closed form with mpmath")
    w(f"#   ellipk/ellipe/ellippi: {mpmath.nstr(worst_closed, 3)}; tanh-sinh in r at {args.dps + 10} digits,")
    w(f"#   18 points: {mpmath.nstr(worst_check, 3)}.")
    w("# Profiles: uniform P = 1; limb P = 1 - 0.6 (1 - sqrt(1 - r^2)); rings: thin rings (radius,")
    w("# weight) below; pl_*: piecewise linear through (bl, bf), 0 outside [bl_0, bl_-1], only [0, 1]")
    w("# counted. Rows:")
    w("#   profile_<name>-NNNN profile_<name> bl_0 bf_0 bl_1 bf_1 ...   (the nodes; rings: radius weight)")
    w("#   <profile>-NNNN <profile> l rho u M          M the mean of A over the source, u = l rho (double)")
    w("#   moments_<profile>-NNNN moments_<profile> k m_k          exact moments, k = 0 ... 40")
    w("#   terms_<profile>-NNNN terms_<profile> l tol n           terms n (k < n) for truncation error < tol,")
    w("#       largest over rho = 1e-6 ... 100 (measured with the series at 40 digits, up to k = 70)")
    for name, (bl, bf) in list(MAPS.items()) + [("rings", RINGS)]:
        grid = f"profile_{name}"
        w(f"{grid}-0000 {grid} " + " ".join(f"{fmt(x)} {fmt(y)}" for x, y in zip(bl, bf)))
    for p in profiles:
        index = 0
        for l in RATIOS:
            for rho in RHOS:
                w(f"{p}-{index:04d} {p} {fmt(l)} {fmt(rho)} {fmt(l * rho)} {fmt(nearest_double(values[(p, l, rho)]))}")
                index += 1
    for p in ["uniform", "limb"] + list(MAPS) + ["rings"]:
        grid = f"moments_{p}"
        for k, m in enumerate(exact_moments(p)):
            w(f"{grid}-{k:04d} {grid} {k} {fmt(to_double(m))}")
    for p, rows in counts.items():
        grid = f"terms_{p}"
        for index, (l, tol, n) in enumerate(rows):
            w(f"{grid}-{index:04d} {grid} {fmt(l)} {fmt(tol)} {n}")
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "far_field_reference.txt"), "w") as fh:
        fh.write("\n".join(lines) + "\n")
    print(f"wrote {len(lines)} lines in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()

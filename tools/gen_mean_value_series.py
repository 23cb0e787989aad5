#!/usr/bin/env python3
"""Writes src/numeric/mean_value_series_tables.hpp: the powers of the Laplacian of the point-source
magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) for the mean-value series of a finite source.

With s = u^2 the radial Laplacian in the plane is Lap = 4 d/ds (s d/ds), and by induction
    Lap^k A = P_k(s) / (s^(k + 1/2) (s + 4)^(2k + 1/2)),   P_0 = s + 2,
    P_(k+1) = 4 (Q' s w - a Q w - (b + 1) Q s),   Q = P_k' s w - a P_k w - b P_k s,
with w = s + 4, a = k + 1/2, b = 2k + 1/2; P_k has degree 2k - 1 for k >= 1. Writing r = s / w and
q = 4 / w (r + q = 1), the term of the series with the rho^(2k) scaled into t = rho / u is
    (rho^2/4)^k / (k!)^2 Lap^k A = t^(2k) q^2 / sqrt(r) sum_j h_kj r^j q^(2k-1-j),
    h_kj = p_kj 4^(j - 2k + 1) / (16 4^k (k!)^2),   P_k(s) = sum_j p_kj s^j,
and the table holds h_kj, k = 1 ... K, j = 0 ... 2k - 1, exact rationals from sympy rounded to the
nearest double, row k at offset k (k - 1).

K = 40: the series of the fixed limb-darkening law and of the uniform disk reaches 1e-15 in 34 terms
(k <= 33) at u = 1.5 rho, the least separation the series accepts, for every rho; 41 terms leave
about 3e-18 there.

Checks before writing: P_1 ... P_3 against the expansion in src/kernels/witt_mao.hpp, and the series
summed with mpmath against the mean of A over a circle by the trapezoid rule in the angle (periodic,
analytic integrand: geometric convergence) at several (u, b).

Usage: python3 tools/gen_mean_value_series.py [output]   (default: the header path above)
"""
import fractions
import os
import sys

import mpmath
import sympy as sp
from mpmath import mp, mpf

MAX_ORDER = 40


def laplacian_numerators(max_order):
    """P_k(s) for k = 0 ... max_order as sympy Polys over QQ."""
    s = sp.symbols("s")
    w = sp.Poly(s + 4, s, domain="QQ")
    ss = sp.Poly(s, s, domain="QQ")
    p = sp.Poly(s + 2, s, domain="QQ")
    a, b = sp.Rational(1, 2), sp.Rational(1, 2)
    out = [p]
    for _ in range(max_order):
        q = p.diff(s) * ss * w - a * p * w - b * p * ss
        p = 4 * (q.diff(s) * ss * w - a * q * w - (b + 1) * q * ss)
        a, b = a + 1, b + 2
        out.append(p)
    return s, out


def normalised_coefficients(polys):
    """h_kj as Fractions, k = 1 ... len(polys) - 1."""
    rows = []
    for k in range(1, len(polys)):
        p = polys[k]
        degree = 2 * k - 1
        if p.degree() != degree:
            sys.exit(f"P_{k} has degree {p.degree()}, expected {degree}")
        coeffs = p.all_coeffs()[::-1]
        scale = 16 * 4**k * sp.factorial(k) ** 2
        row = [sp.Rational(coeffs[j]) / (sp.Integer(4) ** (degree - j) * scale) for j in range(degree + 1)]
        rows.append([fractions.Fraction(int(h.p), int(h.q)) for h in row])
    return rows


def check_first_laplacians(s, polys):
    expected = {
        1: 32 * (s + 1),
        2: 384 * (3 * s**3 + 6 * s**2 + 14 * s + 12),
        3: 36864 * (2 * s**5 + 2 * s**4 + 22 * s**3 + 57 * s**2 + 82 * s + 50),
    }
    for k, e in expected.items():
        if sp.expand(polys[k].as_expr() - e) != 0:
            sys.exit(f"P_{k} disagrees with the kernel's expansion: {polys[k].as_expr()}")


def a0(d2):
    return (d2 + 2) / mp.sqrt(d2 * (d2 + 4))


def ring_mean_trapezoid(u, b):
    """(1/2pi) int A(|u - b e^(i phi)|) dphi by the trapezoid rule, doubling until it settles."""
    n, previous = 64, None
    while True:
        total = sum(a0(u * u + b * b - 2 * u * b * mp.cos(2 * mp.pi * j / n)) for j in range(n))
        value = total / n
        if previous is not None and abs(value - previous) < abs(value) * mpf(10) ** (-(mp.dps - 5)):
            return value
        previous, n = value, 2 * n


def series_value(rows, u, b):
    s = u * u
    w = s + 4
    r, q, t = s / w, 4 / w, b / u
    total = (r + q / 2) / mp.sqrt(r)
    for k, row in enumerate(rows, start=1):
        poly = sum(mpf(h.numerator) / h.denominator * r**j * q ** (2 * k - 1 - j) for j, h in enumerate(row))
        total += t ** (2 * k) * q * q * poly / mp.sqrt(r)
    return total


def check_against_ring_mean(rows):
    mp.dps = 50
    worst = mpf(0)
    for u, b in (("0.003", "0.001"), ("0.5", "0.15"), ("2", "0.5"), ("2", "0.6"), ("7", "2"), ("30", "10")):
        u, b = mpf(u), mpf(b)
        exact = ring_mean_trapezoid(u, b)
        worst = max(worst, abs(series_value(rows, u, b) - exact) / exact)
    # the series is truncated at K: at b / u = 1/3 it is complete to about 1e-40
    if worst > mpf(10) ** -35:
        sys.exit(f"series and ring mean disagree by {mpmath.nstr(worst, 5)}")
    return worst


def format_rows(values, per_line=6):
    return [", ".join(repr(v) for v in values[i:i + per_line]) + "," for i in range(0, len(values), per_line)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "..", "src", "numeric", "mean_value_series_tables.hpp")
    s, polys = laplacian_numerators(MAX_ORDER)
    check_first_laplacians(s, polys)
    rows = normalised_coefficients(polys)
    worst = check_against_ring_mean(rows)
    print(f"largest relative difference from the ring mean: {mpmath.nstr(worst, 3)}")

    lines = []
    w = lines.append
    w("// Generated by tools/gen_mean_value_series.py; do not edit. Regenerate with")
    w("//   python3 tools/gen_mean_value_series.py")
    w(f"// (sympy {sp.__version__}: exact rationals, each rounded to the nearest double).")
    w("//")
    w("// Row k (k = 1 ... kMeanValueMaxOrder, 2k entries from offset k (k - 1)) holds h_kj with")
    w("//   (rho^2/4)^k / (k!)^2 Lap^k A(u) = t^(2k) q^2 / sqrt(r) sum_j h_kj r^j q^(2k-1-j),")
    w("// t = rho / u, r = u^2 / (u^2 + 4), q = 4 / (u^2 + 4).")
    w("#pragma once")
    w("")
    w("#include <cstddef>")
    w("")
    w("namespace finitemu::numeric::detail {")
    w("")
    w(f"inline constexpr std::size_t kMeanValueMaxOrder = {MAX_ORDER};")
    w("")
    w("// clang-format off")
    w("inline constexpr double kMeanValueCoefficients[kMeanValueMaxOrder * (kMeanValueMaxOrder + 1)] = {")
    for k, row in enumerate(rows, start=1):
        w(f"    // k = {k}")
        for line in format_rows([float(h) for h in row]):  # Fraction.__float__ rounds correctly
            w("    " + line)
    w("};")
    w("// clang-format on")
    w("")
    w("} // namespace finitemu::numeric::detail")
    with open(out, "w") as fh:
        fh.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

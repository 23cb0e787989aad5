#!/usr/bin/env python3
"""Reference magnifications of a uniform disk and of a thin ring, by direct quadrature of the
point-source magnification A0(D) = (D^2 + 2) / (D sqrt(D^2 + 4)) with mpmath.

Neither reference uses the elliptic closed forms that the kernels evaluate:

* Ring (radius b, centre at distance a from the lens, lengths in Einstein radii): the mean of A0
  over the ring,  (1/pi) Int_0^pi A0(D(phi)) dphi,  with phi the angle from the point of closest
  approach and D^2 = (a - b)^2 + 4ab sin^2(phi/2) (no cancellation near a = b). The integrand peaks
  within phi ~ |a - b|/sqrt(ab) of phi = 0; the interval is split geometrically from there.
* Uniform disk (radius rho, centre at distance u from the lens): A0 integrated over the disk area
  in polar coordinates about the lens. A circle of radius D about the lens lies wholly inside the
  disk for D < rho - u and meets it in an arc of half-angle
  alpha(D) = arccos((D^2 + u^2 - rho^2) / (2Du)) for |u - rho| < D < u + rho, so
      A = [ pi (rho-u)_+ sqrt((rho-u)_+^2 + 4) + Int_{|u-rho|}^{u+rho} 2 alpha(D) D A0(D) dD ] / (pi rho^2),
  the first term being the exact integral of 2 pi D A0(D) (antiderivative D sqrt(D^2 + 4)). alpha
  rises from 0 (or pi) to about pi/2 within a few |u - rho| of the lower limit: geometric split.

As checks of the oracle the script compares a few points with (a) the disk as an area integral of
ring means, (1/(pi rho^2)) Int_0^rho 2 pi r ringmean(r) dr split at r = u, and (b) the elliptic
closed forms evaluated with mpmath's own ellipk/ellipe/ellippi at high precision; the largest
relative differences are printed and written to the data headers.

Usage:  python3 tools/gen_kernel_reference.py [--dps 40] [--jobs 2] [--out tests/data]
Writes tests/data/witt_mao_reference.txt and tests/data/heyrovsky_reference.txt.
"""

import argparse
import multiprocessing
import os
import sys
import time

import mpmath as mp
from mpmath import mpf

from reference_ids import HEADER, numbered

DPS = 40


def a0(d2):
    """Point-source magnification from the squared separation."""
    return (d2 + 2) / mp.sqrt(d2 * (d2 + 4))


def geometric_points(lo, scale, hi):
    """lo, lo + scale, lo + 10 scale, ... below hi, then hi."""
    pts = [lo]
    step = scale
    while lo + step < hi:
        pts.append(lo + step)
        step *= 10
    pts.append(hi)
    return pts


def ring_mean(a, b):
    """Mean of A0 over a ring of radius b whose centre is at distance a from the lens."""
    a, b = mpf(a), mpf(b)
    if a == 0 or b == 0:
        return a0((a + b) ** 2)
    diff2 = (a - b) ** 2
    four_ab = 4 * a * b

    def f(phi):
        return a0(diff2 + four_ab * mp.sin(phi / 2) ** 2)

    width = abs(a - b) / mp.sqrt(a * b)
    pts = geometric_points(mpf(0), width, mp.pi) if width > 0 else [mpf(0), mp.pi]
    return mp.quad(f, pts) / mp.pi


def disk_mean(u, rho):
    """Mean of A0 over a uniform disk of radius rho whose centre is at distance u from the lens."""
    u, rho = abs(mpf(u)), mpf(rho)
    inner = rho - u
    full = mp.pi * inner * mp.sqrt(inner * inner + 4) if inner > 0 else mpf(0)
    lo, hi = abs(u - rho), u + rho
    if u == 0:
        return full / (mp.pi * rho * rho)

    def f(d):
        # alpha = arccos(x) from 1 - x and 1 + x, each formed without cancellation
        one_minus = (rho - d + u) * (rho + d - u) / (2 * d * u)
        one_plus = (d + u - rho) * (d + u + rho) / (2 * d * u)
        alpha = 2 * mp.atan2(mp.sqrt(one_minus), mp.sqrt(one_plus))
        return 2 * alpha * (d * d + 2) / mp.sqrt(d * d + 4)

    pts = geometric_points(lo, lo if lo > 0 else hi / 2, hi)
    return (full + mp.quad(f, pts)) / (mp.pi * rho * rho)


def disk_by_rings(u, rho):
    """The disk as the area integral of ring means (independent check of disk_mean)."""
    u, rho = mpf(u), mpf(rho)
    g = lambda r: 2 * r * ring_mean(u, r)
    pts = [mpf(0), u, rho] if 0 < u < rho else [mpf(0), rho]
    return mp.quad(g, pts) / (rho * rho)


def witt_mao_closed(u, rho):
    u, rho = mpf(u), mpf(rho)
    n = 4 * u * rho / (u + rho) ** 2
    s = mp.sqrt((u - rho) ** 2 + 4)
    m = 4 * n / (4 + (u - rho) ** 2)
    return (
        (u + rho) * s / (2 * rho**2) * mp.ellipe(m)
        - (u - rho) * (8 + u**2 - rho**2) / (2 * s * rho**2) * mp.ellipk(m)
        + 2 * (u - rho) ** 2 * (1 + rho**2) / (s * rho**2 * (u + rho)) * mp.ellippi(n, m)
    ) / mp.pi


def heyrovsky_closed(l, r, big_r):
    l, r, big_r = mpf(l), mpf(r), mpf(big_r)
    q = 4 * big_r**2 + (r - l) ** 2
    m = 16 * big_r**2 * l * r / ((l + r) ** 2 * q)
    n = 4 * l * r / (l + r) ** 2
    return (
        2 * (2 * big_r**2 * mp.ellipk(m) + (r - l) ** 2 * mp.ellippi(n, m)) / (mp.pi * (l + r) * mp.sqrt(q))
    )


# ---------------------------------------------------------------------------------------------
# Grids. Every length is a double as the kernels receive it; the references are exact for those
# doubles. Disk rows: (grid, rho, u). Ring rows: (grid, l, r, re, rstar) with rstar = 1 so that
# R = re exactly.

def disk_grid():
    rows = []
    # Relative distance from the limb |u - rho| >= 0.01 rho.
    general = [0.0, 0.1, 0.3, 0.5, 0.7, 0.9, 0.97, 0.99, 1.01, 1.03, 1.1, 1.3, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0]
    for rho in [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0]:
        for q in general:
            rows.append(("general", rho, q * rho))
        # 0.001 rho <= |u - rho| < 0.01 rho (kept clear of the edge of the 0.001 rho band)
        for q in [0.9905, 0.995, 0.998, 0.9988, 1.0012, 1.002, 1.005, 1.0095]:
            rows.append(("near_limb", rho, q * rho))
    # rho = 0.001 up to 30 source radii (outside the 0.00001 floor of the band).
    for q in [0.0, 0.2, 0.5, 0.8, 0.95, 0.985, 1.015, 1.05, 1.2, 1.5, 2.0, 3.0, 5.0, 10.0, 20.0, 30.0]:
        rows.append(("small_rho", 0.001, q * 0.001))
    # Across the limb: u = rho (1 + delta), delta = +-{1, 2, 5} x 10^-k, k = 1 ... 12, and delta = 0.
    deltas = [0.0]
    for k in range(1, 13):
        for c in (1.0, 2.0, 5.0):
            if c * 10.0**-k <= 0.1:
                deltas += [c * 10.0**-k, -c * 10.0**-k]
    for rho in [1e-5, 1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0]:
        for d in sorted(deltas):
            rows.append(("limb", rho, rho * (1.0 + d)))
    # Far from the source: 30 ... 1e6 source radii.
    for rho in [1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0]:
        for q in [30.0, 50.0, 100.0, 200.0, 500.0, 1e3, 3e3, 1e4, 3e4, 1e5, 3e5, 1e6]:
            rows.append(("far", rho, q * rho))
    return rows


def ring_grid():
    rows = []
    # Centred ring: A0(r/R) at every r > 0, also below the old absolute band.
    for re in [0.5, 2.0, 100.0]:
        for r in [1e-9, 1e-7, 3e-6, 1e-5, 1e-3, 0.1, 0.5, 1.0, 3.0]:
            rows.append(("centred", 0.0, r, re, 1.0))
    # |r - l| >= 0.1 max(l, r) and 0.001 max <= |r - l| < 0.1 max.
    for re in [0.5, 2.0, 100.0, 1e4]:
        for l in [1e-3, 0.1, 0.5, 1.0, 3.0, 100.0]:
            for q in [0.0, 0.1, 0.5, 0.85, 1.15, 2.0, 10.0]:
                if q > 0:
                    rows.append(("far_ring", l, q * l, re, 1.0))
            for q in [0.95, 0.99, 0.997, 0.9985, 1.0015, 1.003, 1.01, 1.05]:
                rows.append(("near_ring", l, q * l, re, 1.0))
    # Across the ring: r = l (1 + delta), delta = +-10^-k, k = 0 ... 12.
    for re in [0.5, 100.0, 1e4]:
        for l in [1e-6, 1e-4, 1e-2, 1.0, 100.0, 1e4]:
            for k in range(0, 13):
                for sgn in (1.0, -1.0):
                    d = sgn * 10.0**-k
                    if d > -1.0:
                        rows.append(("across_ring", l, l * (1.0 + d), re, 1.0))
    return rows


def eval_disk(row):
    mp.mp.dps = DPS
    grid, rho, u = row
    return (grid, rho, u, disk_mean(u, rho))


def eval_ring(row):
    mp.mp.dps = DPS
    grid, l, r, re, rstar = row
    big_r = mpf(re) / mpf(rstar)
    return (grid, l, r, re, rstar, ring_mean(mpf(l) / big_r, mpf(r) / big_r))


def checks():
    """Largest relative differences between the oracle and two independent evaluations."""
    mp.mp.dps = DPS
    worst_rings = mpf(0)
    for rho, u in [(0.5, 0.2), (0.5, 1.0), (1.0, 1.3), (0.01, 0.0101), (2.0, 0.5)]:
        a = disk_mean(u, rho)
        b = disk_by_rings(u, rho)
        worst_rings = max(worst_rings, abs(a - b) / a)
    mp.mp.dps = 60
    worst_wm = mpf(0)
    for rho, u in [(0.5, 1.0), (0.1, 2.0), (1.0, 1.001), (0.001, 0.0003), (10.0, 35.0), (1e-4, 1e-4 * (1 + 1e-9))]:
        a = disk_mean(u, rho)
        b = witt_mao_closed(u, rho)
        worst_wm = max(worst_wm, abs(a - b) / a)
    worst_hy = mpf(0)
    for l, r, big_r in [(1.0, 0.5, 2.0), (3.0, 0.7, 1.5), (1.0, 1.000002, 2.0), (1e-6, 5e-6, 1.0), (100.0, 100.0 * (1 + 1e-10), 0.5)]:
        a = ring_mean(mpf(l) / big_r, mpf(r) / big_r)
        b = heyrovsky_closed(l, r, big_r)
        worst_hy = max(worst_hy, abs(a - b) / a)
    mp.mp.dps = DPS
    return worst_rings, worst_wm, worst_hy


def fmt(x):
    return repr(float(x)) if not isinstance(x, float) else repr(x)


def main():
    global DPS
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dps", type=int, default=DPS)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "tests", "data"))
    args = ap.parse_args()
    DPS = args.dps
    t0 = time.time()
    worst_rings, worst_wm, worst_hy = checks()
    print(f"oracle checks: disk vs ring integral {mp.nstr(worst_rings, 3)}, "
          f"disk vs Witt-Mao (mpmath elliptic) {mp.nstr(worst_wm, 3)}, "
          f"ring vs Heyrovsky (mpmath elliptic) {mp.nstr(worst_hy, 3)}", file=sys.stderr)
    for w in (worst_rings, worst_wm, worst_hy):
        assert w < mpf(10) ** (-25), "oracle disagrees with an independent evaluation"
    with multiprocessing.Pool(args.jobs) as pool:
        disk = pool.map(eval_disk, disk_grid(), chunksize=4)
        ring = pool.map(eval_ring, ring_grid(), chunksize=4)
    command = f"python3 tools/gen_kernel_reference.py --dps {DPS}"
    header = [
        f"# Generated by: {command}",
        f"# mpmath {mp.__version__}, {DPS} significant digits; values rounded to the nearest double.",
        "# Independent checks of the quadrature at these settings (largest relative difference):",
        f"#   disk as area integral of ring means: {mp.nstr(worst_rings, 3)}",
        f"#   disk vs Witt-Mao closed form with mpmath ellipk/ellipe/ellippi at 60 digits: {mp.nstr(worst_wm, 3)}",
        f"#   ring vs Heyrovsky closed form with mpmath ellipk/ellippi at 60 digits: {mp.nstr(worst_hy, 3)}",
        HEADER,
    ]
    with open(os.path.join(args.out, "witt_mao_reference.txt"), "w") as fh:
        fh.write("\n".join(header) + "\n")
        fh.write("# Mean of A0 over a uniform disk by quadrature about the lens (see the generator).\n")
        fh.write("# Grids: general |u-rho| >= 0.01 rho; near_limb 0.001 rho <= |u-rho| < 0.01 rho;\n")
        fh.write("# small_rho rho = 0.001 to 30 source radii; limb u = rho (1 + delta), |delta| <= 0.1;\n")
        fh.write("# far 30 ... 1e6 source radii.\n")
        fh.write("# columns: id rho u magnification\n")
        for line in numbered((grid, fmt(rho), fmt(u), fmt(val)) for grid, rho, u, val in disk):
            fh.write(line + "\n")
    with open(os.path.join(args.out, "heyrovsky_reference.txt"), "w") as fh:
        fh.write("\n".join(header) + "\n")
        fh.write("# Mean of A0 over a thin ring by quadrature over the ring (see the generator).\n")
        fh.write("# Lengths l and r in source radii, R = re / rstar. Grids: centred l = 0;\n")
        fh.write("# far_ring |r-l| >= 0.1 max(l, r); near_ring 0.001 max <= |r-l| < 0.1 max;\n")
        fh.write("# across_ring r = l (1 + delta), |delta| = 1 ... 1e-12.\n")
        fh.write("# columns: id l r re rstar magnification\n")
        for line in numbered((grid, *map(fmt, (l, r, re, rstar, val))) for grid, l, r, re, rstar, val in ring):
            fh.write(line + "\n")
    print(f"{len(disk)} disk and {len(ring)} ring values in {time.time() - t0:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()

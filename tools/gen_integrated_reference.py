#!/usr/bin/env python3
"""Reference magnifications of extended sources by a point lens, from first principles (mpmath).

Writes tests/data/integrated_reference.txt. Usage:
    python3 tools/gen_integrated_reference.py > tests/data/integrated_reference.txt

Lengths in source radii, rho = rstar/re (re = 1), so a point at distance u from the lens has the
point-source magnification A0(rho u), A0(v) = (v^2 + 2) / (v sqrt(v^2 + 4)) (Paczynski 1986).

Ring mean H(l, r): A0 averaged over the circle of radius r about the source centre at distance l
from the lens, (1/pi) int_0^pi A0(rho dist(phi)) dphi with dist^2 = (r - l)^2 + 4 l r sin^2(phi/2)
(phi measured from the point nearest to the lens). Near that point the substitution
2 sqrt(lr) sin(phi/2) = |r - l| sinh s gives dist = |r - l| cosh s and a smooth integrand however
close the ring passes to the lens.

Disk with profile P(r): int_0^1 P(r) 2 pi r H(l, r) dr / int_0^1 P(r) 2 pi r dr, each integral split
at r = l (the logarithmic singularity of H) and at every node of a tabulated P.

Rows, each starting with its id (tools/reference_ids.py):
    map-<name> <n> bl[0..n-1] bf[0..n-1]
    limb-NNNN <rho> <l> <value>               linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2))
    fluxmap-NNNN <name> <rho> <l> <value>     P = linear interpolation of the map, 0 outside
                                              [bl[0], bl[n-1]]
    discrete-NNNN <name> <rho> <l> <value>    sum_j bf[j] H(l, bl[j]) (rings, no normalisation)
    limbedge-NNNN <rho> <l> <value>           the limb-darkened disk just inside and outside the
    mapedge-NNNN <name> <rho> <l> <value>     limb (EDGE_RHOS x EDGE_SEPARATIONS), and EDGE_MAPS
    mapmany-NNNN <name> <rho> <l> <value>     MANY_MAPS (MANY_RHOS x MANY_SEPARATIONS)
NNNN counts the (rho, l) pairs of RHOS x SEPARATIONS (EDGE_RHOS x EDGE_SEPARATIONS), and within
each pair the maps, in order, so a run for some of the radii writes the same ids as the full run:
    python3 tools/gen_integrated_reference.py [rho ...]          the main grids
    python3 tools/gen_integrated_reference.py --edge [rho ...]   the edge grids
    python3 tools/gen_integrated_reference.py --many [rho ...]   the maps of many nodes
"""
import sys
import time

import mpmath as mp

from reference_ids import HEADER, row_id

DPS = 20
mp.mp.dps = DPS

RHOS = ["0.01", "0.1", "0.5", "1.5", "0.0001", "10"]
SEPARATIONS = ["0", "0.1", "0.3", "0.5", "0.7", "0.99", "1", "1.1", "1.5", "2", "3", "5", "10"]

# Flux maps: a constant over [0, 1], linear ones covering [0, 1], and maps whose support starts
# or ends inside (0, 1) or reaches beyond 1.
MAPS = {
    "constant": (["0", "1"], ["1", "1"]),
    "linear": (["0", "1"], ["1", "0.2"]),
    "inner": (["0", "0.4", "0.8"], ["1", "0.7", "0.3"]),
    "shell": (["0.2", "0.5", "0.9"], ["0.5", "1", "0.4"]),
    "five": (["0.1", "0.3", "0.6", "0.85", "1"], ["0.9", "1", "0.8", "0.6", "0.35"]),
    "beyond": (["0", "0.25", "0.5", "0.75", "1.2"], ["1", "0.9", "0.8", "0.6", "0.1"]),
}
# The lens just inside and just outside the limb, where a singular point lies beside the end of
# the integrals' range.
EDGE_RHOS = ["0.01", "0.1", "1", "10"]
EDGE_SEPARATIONS = ["0.9999", "1.00000001", "1.000001", "1.0001", "1.001", "1.003", "1.01"]
EDGE_MAPS = ["linear", "five"]
# Maps of many nodes, kinks at every node (the second with jumps where its support ends inside
# the source), whose pieces away from the lens are taken in blocks (mapmany rows).
MANY_MAPS = {
    "many": ([f"{k / 40:g}" for k in range(41)],
             [mp.nstr(1 - mp.mpf("0.6") * (1 - mp.sqrt(1 - (mp.mpf(k) / 40) ** 2)), 8)
              for k in range(41)]),
    "manyshell": ([f"{0.05 + k / 40:g}" for k in range(33)],
                  [mp.nstr(1 + mp.mpf("0.3") * mp.sin(9 * (mp.mpf("0.05") + mp.mpf(k) / 40))
                           + (-1) ** k * mp.mpf("0.02"), 8) for k in range(33)]),
}
MANY_RHOS = ["0.01", "10"]
MANY_SEPARATIONS = ["0", "0.2", "0.5", "0.91", "1.2", "1.45"]
# Discrete rings: radii away from every separation above (the ring kernel is singular at r = l).
DISCRETE = {
    "rings3": (["0.2", "0.45", "0.85"], ["0.3", "0.5", "0.2"]),
    "rings5": (["0.05", "0.25", "0.6", "0.8", "0.95"], ["1", "0.8", "0.6", "0.4", "0.2"]),
    "worked": (["0.5", "1"], ["0.25", "0.75"]),
}


def a0(v):
    return (v * v + 2) / (v * mp.sqrt(v * v + 4))


def ring_mean(l, r, rho):
    if l == 0 or r == 0:
        return a0(rho * (l + r))
    d = abs(r - l)
    if d == 0:
        return mp.inf
    c = 2 * mp.sqrt(l * r)
    far = mp.quad(lambda phi: a0(rho * mp.sqrt(d * d + (c * mp.sin(phi / 2)) ** 2)),
                  [mp.pi / 2, mp.pi])

    def near(s):
        y = d * mp.sinh(s) / c  # sin(phi/2)
        u = d * mp.cosh(s)
        return a0(rho * u) * 2 * u / (c * mp.sqrt(1 - y * y))

    smax = mp.asinh(c * mp.sin(mp.pi / 4) / d)
    n = int(mp.ceil(smax / 2))
    near_part = mp.quad(near, [smax * k / n for k in range(n + 1)])
    return (far + near_part) / mp.pi


def interp(bl, bf, r):
    if r < bl[0] or r > bl[-1]:
        return mp.mpf(0)
    for j in range(len(bl) - 1):
        if bl[j] <= r <= bl[j + 1]:
            return bf[j] + (bf[j + 1] - bf[j]) * (r - bl[j]) / (bl[j + 1] - bl[j])
    return bf[-1]


def breakpoints(points):
    inside = sorted({p for p in points if 0 < p < 1})
    return [mp.mpf(0)] + inside + [mp.mpf(1)]


class Disk:
    """Profile integrals for one (rho, l), with the ring means cached across profiles."""

    def __init__(self, rho, l):
        self.rho, self.l, self.cache = rho, l, {}

    def ring(self, r):
        key = mp.nstr(r, DPS + 5)
        if key not in self.cache:
            self.cache[key] = ring_mean(self.l, r, self.rho)
        return self.cache[key]

    def magnification(self, profile, nodes):
        pts = breakpoints(list(nodes) + [self.l])
        flux = mp.quad(lambda r: profile(r) * 2 * mp.pi * r, breakpoints(nodes))
        lensed = mp.quad(lambda r: profile(r) * 2 * mp.pi * r * self.ring(r), pts)
        return lensed / flux


def limb(r):
    return 1 - mp.mpf("0.6") * (1 - mp.sqrt(1 - r * r))


def fmt(x):
    return mp.nstr(x, 20, min_fixed=-5, max_fixed=5)


def main():
    start = time.time()
    out = sys.stdout
    out.write("# Reference magnifications of limb-darkened, flux-map and ring sources.\n")
    out.write("# Generated by: python3 tools/gen_integrated_reference.py > "
              "tests/data/integrated_reference.txt\n")
    out.write(f"# mpmath {mp.__version__}, mp.dps = {DPS}; values to 20 significant digits.\n")
    out.write("# Ring mean of A0 by quadrature over the angle, disk integral over r split at r = l\n")
    out.write("# and at the map's nodes; re = 1, rstar = rho, l in source radii.\n")
    out.write("# Rows: map-<name> <n> bl... bf... | limb-NNNN <rho> <l> <M>\n")
    out.write("#       | fluxmap-NNNN <name> <rho> <l> <M> | discrete-NNNN <name> <rho> <l> <M>\n")
    out.write(HEADER + "\n")
    for name, (bl, bf) in list(MAPS.items()) + list(DISCRETE.items()) + list(MANY_MAPS.items()):
        out.write(f"{row_id('map', name)} {len(bl)} {' '.join(bl)} {' '.join(bf)}\n")
    # Optional arguments pick some of the radii (to split a long run); the default is all.
    if sys.argv[1:2] == ["--edge"]:
        edge(out, sys.argv[2:] or EDGE_RHOS, start)
        return
    if sys.argv[1:2] == ["--many"]:
        many(out, sys.argv[2:] or MANY_RHOS, start)
        return
    for rho_text in sys.argv[1:] or RHOS:
        rho = mp.mpf(rho_text)
        for l_text in SEPARATIONS:
            l = mp.mpf(l_text)
            disk = Disk(rho, l)
            pair = RHOS.index(rho_text) * len(SEPARATIONS) + SEPARATIONS.index(l_text)
            value = disk.magnification(limb, [])
            out.write(f"{row_id('limb', pair)} {rho_text} {l_text} {fmt(value)}\n")
            for i, (name, (bl_text, bf_text)) in enumerate(MAPS.items()):
                bl = [mp.mpf(x) for x in bl_text]
                bf = [mp.mpf(x) for x in bf_text]
                value = disk.magnification(lambda r: interp(bl, bf, r), bl)
                fluxmap = row_id("fluxmap", pair * len(MAPS) + i)
                out.write(f"{fluxmap} {name} {rho_text} {l_text} {fmt(value)}\n")
            for i, (name, (bl_text, bf_text)) in enumerate(DISCRETE.items()):
                total = mp.fsum(mp.mpf(f) * ring_mean(l, mp.mpf(r), rho)
                                for r, f in zip(bl_text, bf_text))
                discrete = row_id("discrete", pair * len(DISCRETE) + i)
                out.write(f"{discrete} {name} {rho_text} {l_text} {fmt(total)}\n")
            out.flush()
            print(f"rho={rho_text} l={l_text} {time.time() - start:.0f}s", file=sys.stderr)
    edge(out, EDGE_RHOS, start)
    many(out, MANY_RHOS, start)


def many(out, rhos, start):
    side_grid(out, "many", MANY_RHOS, rhos, MANY_SEPARATIONS, MANY_MAPS, None, start)


def edge(out, rhos, start):
    maps = {name: MAPS[name] for name in EDGE_MAPS}
    side_grid(out, "edge", EDGE_RHOS, rhos, EDGE_SEPARATIONS, maps, "limbedge", start)


def side_grid(out, grid, all_rhos, rhos, separations, maps, limb_grid, start):
    """Rows map<grid>-NNNN (and <limb_grid>-NNNN for the law, if given) for rhos, a part of
    all_rhos, times separations; NNNN counts as in the full grid."""
    for rho_text in rhos:
        rho = mp.mpf(rho_text)
        for l_text in separations:
            disk = Disk(rho, mp.mpf(l_text))
            pair = all_rhos.index(rho_text) * len(separations) + separations.index(l_text)
            if limb_grid:
                value = disk.magnification(limb, [])
                out.write(f"{row_id(limb_grid, pair)} {rho_text} {l_text} {fmt(value)}\n")
            for i, (name, (bl_text, bf_text)) in enumerate(maps.items()):
                bl = [mp.mpf(x) for x in bl_text]
                bf = [mp.mpf(x) for x in bf_text]
                value = disk.magnification(lambda r: interp(bl, bf, r), bl)
                row = row_id("map" + grid, pair * len(maps) + i)
                out.write(f"{row} {name} {rho_text} {l_text} {fmt(value)}\n")
            out.flush()
            print(f"{grid} rho={rho_text} l={l_text} {time.time() - start:.0f}s", file=sys.stderr)


if __name__ == "__main__":
    main()

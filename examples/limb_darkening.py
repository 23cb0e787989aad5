"""Limb-darkening laws: any linear coefficient exactly from two calls, other laws by flux maps.

    PYTHONPATH=build/python/cp311 /usr/bin/python3 examples/limb_darkening.py

Linear law, I(mu) = 1 - a (1 - mu), mu = sqrt(1 - r^2), any coefficient a. The magnification is
a flux-weighted mean and the weight is linear in a, so the disk of any a follows from two the
module computes on the same separations: the uniform disk W (a = 0, witt_mao_magnification) and
the module's fixed law M (a = 0.6, integrated_witt_mao_magnification). With L_1 and L_mu the
magnified fluxes of the profiles 1 and mu (unlensed fluxes pi and 2 pi / 3):

    W = L_1 / pi,   M = (0.4 L_1 + 0.6 L_mu) / (0.8 pi),
    M_a = ((1 - a) L_1 + a L_mu) / (pi (1 - a / 3)) = ((3 - 5a) W + 4a M) / (3 - a).

The weights sum to 1; the result is as accurate as the two calls (a few units in 1e-14).

Other laws (quadratic, square root, tabulated model atmospheres): a flux map, whose nodes
r_k = sin(pi/2 k / (N - 1)) crowd towards the limb, where these laws fall fastest. The map is the
law's linear interpolation; NODES gives how many nodes keep the magnification within a relative
error of 1e-4, 1e-6 or 1e-8 of the smooth law's, for the coefficients of main() (the worst over
source radii 0.01 to 1 and separations 0 to 2, measured against mpmath by
tools/measure_flux_map_nodes.py, plus 5 %; docs/physics.md, "How many nodes"). Other coefficients
need counts that scale with the square root of the law's curvature.
"""

import math

import finitemu

# Nodes for a relative error below each tolerance: quadratic u1 = 0.4, u2 = 0.25 and square root
# c = 0.25, d = 0.45 (docs/physics.md, "How many nodes": 3700 and 5459 for 1e-8, and so on).
NODES = {
    "quadratic": {1e-4: 40, 1e-6: 390, 1e-8: 3900},
    "square root": {1e-4: 57, 1e-6: 580, 1e-8: 5800},
}


def linear_limb_darkening(l, re, rstar, a):
    """Magnifications of the disk I(mu) = 1 - a (1 - mu) at separations `l` (source radii), for
    any coefficient a, from the uniform disk and the module's law of coefficient 0.6."""
    uniform = finitemu.witt_mao_magnification(l, re, rstar)
    darkened = finitemu.integrated_witt_mao_magnification(l, re, rstar)
    return [((3.0 - 5.0 * a) * w + 4.0 * a * m) / (3.0 - a) for w, m in zip(uniform, darkened)]


def quadratic_law(u1, u2):
    """I(mu) = 1 - u1 (1 - mu) - u2 (1 - mu)^2."""
    return lambda mu: 1.0 - u1 * (1.0 - mu) - u2 * (1.0 - mu) ** 2


def square_root_law(c, d):
    """I(mu) = 1 - c (1 - mu) - d (1 - sqrt(mu))."""
    return lambda mu: 1.0 - c * (1.0 - mu) - d * (1.0 - math.sqrt(mu))


def flux_map(law, nodes):
    """(bl, bf): `law` (a function of mu) at radii r = sin(theta), theta uniform in [0, pi/2]."""
    theta = [0.5 * math.pi * k / (nodes - 1) for k in range(nodes)]
    bl = [math.sin(t) for t in theta]
    mu = [math.cos(t) for t in theta]
    bl[-1], mu[-1] = 1.0, 0.0  # the limb exactly
    return bl, [law(m) for m in mu]


def nodes_for(tolerance, kind="quadratic"):
    """The fewest nodes in NODES whose tabulation error is below `tolerance`."""
    meeting = [count for bound, count in NODES[kind].items() if bound <= tolerance]
    if not meeting:
        raise ValueError(f"no measured node count for a tolerance of {tolerance:g}")
    return min(meeting)


def main():
    rho, u0, te = 0.05, 0.02, 20.0  # Einstein radii, Einstein radii, days
    times = [-1.0, -0.5, -0.25, 0.0]
    l = [math.hypot(u0, t / te) / rho for t in times]  # separations in source radii

    print(f"source-crossing event: u0 = {u0}, rho = {rho}, tE = {te} d; magnification at t (d)")
    print(f"{'law':<44}" + "".join(f"{t:>12g}" for t in times))
    for a in (0.0, 0.3, 0.6, 0.9):
        values = linear_limb_darkening(l, 1.0, rho, a)
        print(f"{f'linear, a = {a}':<44}" + "".join(f"{v:12.6f}" for v in values))

    for label, kind, law in (("quadratic, u1 = 0.4, u2 = 0.25", "quadratic",
                              quadratic_law(0.4, 0.25)),
                             ("square root, c = 0.25, d = 0.45", "square root",
                              square_root_law(0.25, 0.45))):
        nodes = nodes_for(1e-6, kind)
        bl, bf = flux_map(law, nodes)
        values = finitemu.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, bl, bf)
        print(f"{f'{label} ({nodes} nodes)':<44}" + "".join(f"{v:12.6f}" for v in values))

    # The identity against a flux map of the same linear law: they differ by the map's error.
    a = 0.3
    bl, bf = flux_map(lambda mu: 1.0 - a * (1.0 - mu), nodes_for(1e-6))
    mapped = finitemu.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, bl, bf)
    exact = linear_limb_darkening(l, 1.0, rho, a)
    print(f"linear a = {a}: flux map of {len(bl)} nodes against the two-call identity, largest "
          f"relative difference {max(abs(m / e - 1.0) for m, e in zip(mapped, exact)):.1e}")


if __name__ == "__main__":
    main()

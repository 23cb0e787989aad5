#!/usr/bin/env python3
"""Cost of a light curve per epoch, as users call the functions: every integrated function and the
uniform disk on the same epochs, one worker, and their ratio to the uniform disk.

Events: 10^4 epochs evenly over t/tE in [-3, 3], u = hypot(u0, t/tE), l = u / rho, re = 1,
rstar = rho, for (rho, u0) = (0.01, 0.005), (0.1, 0.05), (0.001, 0). The flux maps are the fixed
limb-darkening law tabulated at 11 evenly spaced radii.

    PYTHONPATH=build/python/cp312 RAYON_NUM_THREADS=1 \\
        /root/.pyenv/versions/3.12.1/bin/python3 bench/bench_lightcurve.py

The functions run interleaved, best of --repeat rounds, so that a machine that other work shares
affects them alike.
"""
import argparse
import math
import os
import time

import finitemu

EVENTS = [(0.01, 0.005), (0.1, 0.05), (0.001, 0.0)]
NODES = [k / 10 for k in range(11)]
LIMB = [1 - 0.6 * (1 - math.sqrt(1 - r * r)) for r in NODES]

FUNCTIONS = [
    ("witt_mao_magnification", lambda l, rho: finitemu.witt_mao_magnification(l, 1.0, rho)),
    ("integrated_witt_mao_magnification",
     lambda l, rho: finitemu.integrated_witt_mao_magnification(l, 1.0, rho)),
    ("integrated_heyrovsky_magnification",
     lambda l, rho: finitemu.integrated_heyrovsky_magnification(l, 1.0, rho)),
    ("integrated_flux_map_witt_mao_magnification",
     lambda l, rho: finitemu.integrated_flux_map_witt_mao_magnification(l, 1.0, rho, NODES, LIMB)),
    ("integrated_flux_map_heyrovsky_magnification",
     lambda l, rho: finitemu.integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, NODES,
                                                                         LIMB)),
    ("discrete_flux_map_heyrovsky_magnification",
     lambda l, rho: finitemu.discrete_flux_map_heyrovsky_magnification(l, 1.0, rho, NODES, LIMB)),
]


def separations(rho, u0, epochs):
    times = [-3.0 + 6.0 * k / (epochs - 1) for k in range(epochs)]
    return [math.hypot(u0, t) / rho for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if os.environ.get("RAYON_NUM_THREADS") != "1":
        print("note: set RAYON_NUM_THREADS=1 for the one-worker figures")
    for rho, u0 in EVENTS:
        l = separations(rho, u0, args.epochs)
        near = sum(1 for x in l if x < 2) / len(l)
        best = {name: math.inf for name, _ in FUNCTIONS}
        for _ in range(args.repeat):
            for name, call in FUNCTIONS:
                start = time.perf_counter()
                call(l, rho)
                best[name] = min(best[name], time.perf_counter() - start)
        disk = best["witt_mao_magnification"]
        print(f"rho = {rho}, u0 = {u0}: {args.epochs} epochs, {100 * near:.2f} % with l < 2")
        for name, _ in FUNCTIONS:
            per_epoch = best[name] / args.epochs * 1e6
            print(f"  {name:45s} {per_epoch:9.3f} us/epoch  {best[name] / disk:7.2f} x disk")


if __name__ == "__main__":
    main()

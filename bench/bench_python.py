"""Python-level timings of finitemu against SciPy, with one and two workers, in one run.

    PYTHONPATH=build/python/cp311 /usr/bin/python3 bench/bench_python.py [--n 1000000]

Needs NumPy and SciPy (Debian's python3 has both; the module builds for it as build/python/cp311).
Each worker count runs in its own interpreter (the pool is sized once per process, from
RAYON_NUM_THREADS); every child times, in the same process:

  - the uniform-disk magnification of n separations, uniform in [0, 10] source radii with
    rho = 0.1, by witt_mao_magnification from a list and from a float64 array, and by the same
    Witt-Mao formula written with SciPy's ellipk, ellipe and elliprj on NumPy arrays, checked to
    agree with the module to 1e-10 before it is timed;
  - the conversion of the separations alone: multi_witt_mao_magnification(l, [], [1.0]) converts
    l and computes nothing (no (re, rstar) pair), from the array (one copy of its buffer), from a
    view of the same array as an ndarray subclass (iterated item by item, as every array was
    before the copy) and from a list;
  - the five integrated and flux-map functions per separation on 1,000 separations;
  - four Python threads calling integrated_witt_mao_magnification at once (each call of 250
    separations, a map on the pool) against the same four calls one after another, with
    identical results required. Each call already runs on every worker, so the threads can gain
    only what one call leaves idle (its last pieces, its conversion and result building).

Times are the best of --repeat runs. The machine is shared: other processes disturb single runs,
the best of several is the least disturbed."""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, sys, threading, time
import numpy as np
from scipy.special import ellipe, ellipk, elliprj
import finitemu

n, repeat = int(sys.argv[1]), int(sys.argv[2])
RHO = 0.1


def best(call, times=repeat):
    t_best = float("inf")
    for _ in range(times):
        t = time.perf_counter()
        call()
        t_best = min(t_best, time.perf_counter() - t)
    return t_best


def scipy_disk(l, re, rstar):
    # Witt & Mao (1994) eq. 9 with Pi(n, m) = R_F(0, 1 - m, 1) + (n/3) R_J(0, 1 - m, 1, 1 - n),
    # R_F(0, 1 - m, 1) = K(m); 1 - n and 1 - m from the differences, exact to rounding.
    rho = rstar / re
    u = l * rho
    d = u - rho
    a = u + rho
    s2 = 4.0 + d * d
    s = np.sqrt(s2)
    nn = 4.0 * u * rho / (a * a)
    m = 4.0 * nn / s2
    one_minus_n = (d / a) ** 2
    one_minus_m = d * d * (4.0 + a * a) / (a * a * s2)
    k = ellipk(m)
    p = k + (nn / 3.0) * elliprj(0.0, one_minus_m, 1.0, one_minus_n)
    r2 = rho * rho
    return (a * s / (2 * r2) * ellipe(m) - d * (8 + u * u - r2) / (2 * s * r2) * k
            + 2 * d * d * (1 + r2) / (s * r2 * a) * p) / np.pi


class Iterated(np.ndarray):
    # The same memory, but not the exact ndarray type: the module iterates it item by item.
    pass


rng = np.random.default_rng(20261208)
l_array = rng.uniform(0.0, 10.0, n)
l_list = l_array.tolist()
out = {}

module = np.array(finitemu.witt_mao_magnification(l_array, 1.0, RHO))
reference = scipy_disk(l_array, 1.0, RHO)
out["scipy_max_relative_difference"] = float(np.max(np.abs(reference / module - 1.0)))
assert out["scipy_max_relative_difference"] < 1e-10, out
assert finitemu.witt_mao_magnification(l_list, 1.0, RHO) == module.tolist()

out["scipy"] = best(lambda: scipy_disk(l_array, 1.0, RHO))
out["list"] = best(lambda: finitemu.witt_mao_magnification(l_list, 1.0, RHO))
out["array"] = best(lambda: finitemu.witt_mao_magnification(l_array, 1.0, RHO))

iterated = l_array.view(Iterated)
assert finitemu.multi_witt_mao_magnification(iterated, [], [1.0]) == []
out["convert_buffer"] = best(lambda: finitemu.multi_witt_mao_magnification(l_array, [], [1.0]))
out["convert_iterated"] = best(lambda: finitemu.multi_witt_mao_magnification(iterated, [], [1.0]))
out["convert_list"] = best(lambda: finitemu.multi_witt_mao_magnification(l_list, [], [1.0]))

separations = rng.uniform(0.0, 3.0, 1000).tolist()
radii = [0.1 * k for k in range(11)]
brightness = [1.0 - 0.6 * (1.0 - (1.0 - r * r) ** 0.5) for r in radii]
integrated = {
    "integrated_witt_mao_magnification": (separations, 1.0, 0.5),
    "integrated_heyrovsky_magnification": (separations, 1.0, 0.5),
    "integrated_flux_map_witt_mao_magnification": (separations, 1.0, 0.5, radii, brightness),
    "integrated_flux_map_heyrovsky_magnification": (separations, 1.0, 0.5, radii, brightness),
    "discrete_flux_map_heyrovsky_magnification": (separations, 1.0, 0.5, radii, brightness),
}
# The discrete sum costs one ring per node: with 11 nodes a call of 1,000 separations is a few
# hundred microseconds, where the Python call's fixed costs weigh; 101 nodes, a finer map, too.
fine_radii = [0.01 * k for k in range(101)]
fine_brightness = [1.0 - 0.6 * (1.0 - (1.0 - r * r) ** 0.5) for r in fine_radii]
integrated["discrete_flux_map_heyrovsky_magnification, 101 nodes"] = (
    separations, 1.0, 0.5, fine_radii, fine_brightness)
out["integrated"] = {}
for name, args in integrated.items():
    function = getattr(finitemu, name.split(",")[0])
    out["integrated"][name] = best(lambda: function(*args), max(1, repeat // 2)) / len(separations)


def four_threads(chunks, calls_per_thread):
    f = finitemu.integrated_witt_mao_magnification
    results = [None] * 4

    def run(k):
        results[k] = [f(chunks[k], 1.0, 0.5) for _ in range(calls_per_thread)]

    def together():
        # Started first and released together: starting a thread is no part of calling at once.
        ready = threading.Barrier(5)

        def released(k):
            ready.wait()
            run(k)

        threads = [threading.Thread(target=released, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        start = time.perf_counter()
        ready.wait()
        for t in threads:
            t.join()
        return time.perf_counter() - start

    def one_after_another():
        start = time.perf_counter()
        for k in range(4):
            run(k)
        return time.perf_counter() - start

    t_seq = min(one_after_another() for _ in range(max(1, repeat // 2)))
    sequential = list(results)
    t_par = min(together() for _ in range(max(1, repeat // 2)))
    assert results == sequential
    return t_seq, t_par


out["threads"] = four_threads([separations[250 * k:250 * (k + 1)] for k in range(4)], 1)
print(json.dumps(out))
"""


def child(workers, n, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    proc = subprocess.run([sys.executable, "-c", CHILD, str(n), str(repeat)], env=env,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"child with {workers} workers failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n = args.n
    runs = {w: child(w, n, args.repeat) for w in (1, 2)}

    def ns(seconds, count=n):
        return f"{seconds / count * 1e9:8.1f} ns/point"

    print(f"uniform disk, {n} separations in [0, 10] source radii, rho = 0.1 "
          f"(SciPy agrees to {runs[1]['scipy_max_relative_difference']:.1e}):")
    for w, r in runs.items():
        print(f"  W={w}: SciPy {ns(r['scipy'])}   list {ns(r['list'])} ({r['list'] / r['scipy']:.3f}"
              f" of SciPy)   array {ns(r['array'])} ({r['array'] / r['scipy']:.3f} of SciPy)")
    r = runs[1]
    print(f"conversion of {n} doubles (no computation):")
    print(f"  buffer copy {ns(r['convert_buffer'])}   iterating the same array "
          f"{ns(r['convert_iterated'])}   list {ns(r['convert_list'])}")
    print(f"  iteration / buffer copy: {r['convert_iterated'] / r['convert_buffer']:.1f}"
          f"   list / buffer copy: {r['convert_list'] / r['convert_buffer']:.1f}")
    print("integrated functions, 1,000 separations:")
    for name in runs[1]["integrated"]:
        t1, t2 = runs[1]["integrated"][name], runs[2]["integrated"][name]
        print(f"  {name:56s} W=1 {t1 * 1e6:8.1f} us/sep  W=2 {t2 * 1e6:8.1f} us/sep  "
              f"speed-up {t1 / t2:.2f}")
    print("four Python threads calling integrated_witt_mao_magnification on 250 separations:")
    for w, r in runs.items():
        seq, par = r["threads"]
        print(f"  W={w}: at once / one after another {par / seq:.2f} "
              f"({seq * 1e3:.1f} ms -> {par * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()

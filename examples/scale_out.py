"""Many light curves across processes: concurrent.futures, and Dask's distributed scheduler.

    PYTHONPATH=build/python/cp311 /usr/bin/python3 examples/scale_out.py [--curves 64] [--workers 2]

A survey fit evaluates thousands of events. The module's functions pickle by reference (module
and name, like any built-in function), so they can be handed to worker processes as they are:
each worker imports finitemu and computes exactly what the calling process would, bit for bit.

Every list function already spreads one call over the process's worker threads; processes add
more machines (Dask) or keep independent fits apart. When several processes share one machine,
give each one thread (RAYON_NUM_THREADS=1 in the workers' environment) rather than one per core
per process.
"""

import argparse
import concurrent.futures
import logging
import math
import multiprocessing
import random
import time

import finitemu


def make_events(count, seed=1):
    """(t0, tE, u0, rho) of `count` source-crossing events (times in days, lengths in Einstein
    radii), drawn from a fixed seed."""
    rng = random.Random(seed)
    return [(rng.uniform(-1.0, 1.0), rng.uniform(10.0, 40.0), rng.uniform(0.0, 0.02),
             rng.uniform(0.01, 0.05)) for _ in range(count)]


def separations(event, times):
    """Lens-source separations of `event` at `times`, in source radii (the module's unit)."""
    t0, te, u0, rho = event
    return [math.hypot(u0, (t - t0) / te) / rho for t in times]


def call_arguments(events, times):
    """One (l, re, rstar) per event: re = 1 puts rstar = rho in Einstein radii."""
    return [(separations(e, times), 1.0, e[3]) for e in events]


def in_process(function, arguments):
    return [function(*a) for a in arguments]


def with_process_pool(function, arguments, workers):
    """concurrent.futures: the function object itself is pickled (by reference) to each worker.
    The "spawn" start method makes every worker a fresh interpreter that imports finitemu, as
    on another machine."""
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        return list(pool.map(function, *zip(*arguments), chunksize=4))


def with_dask(function, arguments, workers, quiet=False):
    """Dask's distributed scheduler on a small local cluster of worker processes, listening on
    the loopback interface only, closed on return. `quiet` keeps the cluster's own log (such as
    a worker's heartbeat that meets the closing scheduler) off standard error; failures of the
    computation still raise from gather."""
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None,
                      silence_logs=logging.CRITICAL if quiet else logging.WARNING) as cluster, \
            Client(cluster) as client:
        futures = client.map(function, *zip(*arguments), pure=False)
        return client.gather(futures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--curves", type=int, default=64)
    parser.add_argument("--points", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--function", default="integrated_witt_mao_magnification",
                        choices=finitemu.__all__)
    args = parser.parse_args()
    function = getattr(finitemu, args.function)
    times = [-2.0 + 4.0 * i / (args.points - 1) for i in range(args.points)]
    arguments = call_arguments(make_events(args.curves), times)

    start = time.perf_counter()
    reference = in_process(function, arguments)
    print(f"{args.function}: {args.curves} curves of {args.points} points")
    print(f"  in process:          {time.perf_counter() - start:7.2f} s")

    start = time.perf_counter()
    pooled = with_process_pool(function, arguments, args.workers)
    print(f"  ProcessPoolExecutor: {time.perf_counter() - start:7.2f} s "
          f"({args.workers} processes), identical: {pooled == reference}")

    try:
        import dask.distributed  # noqa: F401
    except ImportError:
        print("  Dask: dask.distributed not importable, skipped")
        return
    start = time.perf_counter()
    distributed = with_dask(function, arguments, args.workers)
    print(f"  Dask LocalCluster:   {time.perf_counter() - start:7.2f} s "
          f"({args.workers} processes, start-up included), identical: {distributed == reference}")


if __name__ == "__main__":
    main()

"""Where the time of the worker pool goes, measured from Python in one run.

    PYTHONPATH=build/python/cp311 /usr/bin/python3 bench/bench_pool.py [--rounds 5] [--sections 1234]
        [--functions witt_mao,integrated_witt_mao,...]

On a shared machine run it under `chrt -f 10` (root), so that other processes do not take the
second core; the figures still swing by about 10 % from one run to the next.

The pool is sized once per process (RAYON_NUM_THREADS), so two child processes serve the timings,
one with W = 1 worker and one with W = 2, both alive for the whole run. The parent asks them in
turn for the same measurement, round after round, and keeps the best time of every case on each
side: the two sides of a ratio are timed interleaved, never minutes apart.

1. Hand-off. Every function at sizes around the point from which a map goes to the pool
   (parallel::sequential_below_for: about 0.2 ms of estimated work), W = 1 (the map computes on
   the calling thread) against W = 2 (column "W=2": whether the map is handed to the pool, the
   caller waiting, or computes here as with W = 1). "warm": the calls back to back, so the
   workers are still polling for work; "cold": the caller sleeps 2 ms before each call, as a
   caller doing other things between calls, so the workers (and maybe the cores) are asleep.
       t1, t2      time of one call with W = 1 and W = 2: warm the best, cold the median of
                   every call (a cold call meets a worker woken late, or onto its own CPU, in
                   some calls and not in others, which the best time would hide)
       t2/t1       above 1: two workers are slower than the calling thread alone
       t2-t1/2     what the call costs beyond a perfect halving of the whole call
       s           the call's serial part: the same call with rstar = 0 and W = 1, where every
                   separation is (nearly) free: the arguments converted, the list of floats built
       hand-off    t2 - (s + (t1 - s) / 2): what is left once the parallel part is halved
       zero        t2 - t1 of the rstar = 0 call: the pool's cost with (nearly) nothing to divide
                   (for witt_mao the point-source kernel, a few ns, still divides at 10^5)
2. Four Python threads calling integrated_witt_mao_magnification at once against the same four
   calls one after another, W = 1 and W = 2 (median of the runs).
3. witt_mao_magnification on 10^6 separations: the W = 2 / W = 1 speed-up, the point-source call
   (rstar = 0, whose kernel costs a few ns: the conversion and the float objects), and the part
   that does not divide, 2 t2 - t1 (the calling thread makes the float objects while the workers
   compute, so the point-source call is no longer all serial).
4. Interrupt latency: SIGINT sent to a child 0.3 s into a long call, and the time until its
   KeyboardInterrupt arrives."""

import argparse
import json
import math
import os
import random
import signal
import statistics
import subprocess
import sys
import threading
import time

# The routines' work estimates (src/routines/work.hpp) and the map rule (parallel_map.hpp):
# a map of n items, each estimated at item_seconds, goes to the pool from n >= sequential_below.
WORTH_A_MAP = 2e-4
DISK_KERNEL = 5e-8
RING_KERNEL = 4e-8
SERIES = 1e-7
NEAR_FIELD = 1e-5
FAR_FIELD_FROM = 1.5

RINGS = 10  # discrete_flux_map_heyrovsky_magnification: rings of the map
MULTI_L = 1000  # multi_witt_mao_magnification: separations per (re, rstar) row
MULTI_PIECE = 128  # ... mapped in pieces of this many separations of a row


def sequential_below(item_seconds):
    items = WORTH_A_MAP / item_seconds
    return 2 if not items >= 2.0 else int(items)


def integral_item_seconds(n, far):
    # The mean estimate, summed as the routine sums it, so that the rounding agrees.
    seconds = 0.0
    for _ in range(n):
        seconds += SERIES if far else NEAR_FIELD
    return seconds / n


def first_on_pool(item_seconds_of_n):
    """The smallest n whose map goes to the pool."""
    n = 2
    while n < sequential_below(item_seconds_of_n(n)):
        n += 1
    return n


def first_rows_on_pool():
    pieces = -(-MULTI_L // MULTI_PIECE)
    rows = 1
    while rows * pieces < sequential_below(DISK_KERNEL * MULTI_PIECE):
        rows += 1
    return rows


def thresholds():
    return {
        "witt_mao": first_on_pool(lambda n: DISK_KERNEL),
        # rows of MULTI_L separations, the map's items pieces of MULTI_PIECE of them
        "multi": first_rows_on_pool(),
        "near": first_on_pool(lambda n: integral_item_seconds(n, False)),
        "far": first_on_pool(lambda n: integral_item_seconds(n, True)),
        "discrete": first_on_pool(lambda n: RING_KERNEL * RINGS),
    }


# ---------------------------------------------------------------------------------------------
# Cases. A case is (function, size, field); its arguments are made in the child from a seed, so
# both children call with the same doubles.

INTEGRATED = ("integrated_witt_mao_magnification", "integrated_heyrovsky_magnification",
              "integrated_flux_map_witt_mao_magnification",
              "integrated_flux_map_heyrovsky_magnification")
SHORT = {
    "witt_mao_magnification": "witt_mao",
    "multi_witt_mao_magnification": "multi_witt_mao",
    "integrated_witt_mao_magnification": "integrated_witt_mao",
    "integrated_heyrovsky_magnification": "integrated_heyrovsky",
    "integrated_flux_map_witt_mao_magnification": "flux_map_witt_mao",
    "integrated_flux_map_heyrovsky_magnification": "flux_map_heyrovsky",
    "discrete_flux_map_heyrovsky_magnification": "discrete_flux_map",
    "heyrovsky_magnification": "heyrovsky",
}


def handoff_cases():
    """(function, n, field, whether W=2 maps on the pool) rows of the hand-off table."""
    th = thresholds()
    rows = []
    n0 = th["witt_mao"]
    for n in sorted({1000, n0, 10_000, 2 * n0, 10 * n0, 100_000}):
        rows.append(("witt_mao_magnification", n, "wide", n >= n0))
    p0 = th["multi"]
    for p in (p0, 2 * p0, 10 * p0):
        rows.append(("multi_witt_mao_magnification", p, "wide", True))
    for function in INTEGRATED:
        n0 = th["near"]
        extra = (10, 20, 50) if function == "integrated_witt_mao_magnification" else ()
        for n in sorted({*extra, n0, 2 * n0, 10 * n0}):
            rows.append((function, n, "near", n >= n0))
        n0 = th["far"]
        for n in (n0, 2 * n0, 10 * n0):
            rows.append((function, n, "far", True))
    n0 = th["discrete"]
    for n in (n0, 2 * n0, 10 * n0):
        rows.append(("discrete_flux_map_heyrovsky_magnification", n, "near", True))
    rows.append(("heyrovsky_magnification", 1, "near", False))
    return rows


def separations(n, field, seed):
    rng = random.Random(seed)
    low, high = {"near": (0.0, 1.0), "far": (2.0, 10.0), "wide": (0.0, 10.0)}[field]
    return [rng.uniform(low, high) for _ in range(n)]


def flux_map():
    bl = [i / 10 for i in range(11)]
    return bl, [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - r * r)) for r in bl]


def case_call(finitemu, function, n, field, serial):
    """The callable and arguments of one case; `serial` makes every separation (nearly) free."""
    rstar = 0.0 if serial else 0.1
    f = getattr(finitemu, function)
    if function == "witt_mao_magnification":
        return f, (separations(n, "wide", 1), 1.0, rstar)
    if function == "multi_witt_mao_magnification":
        rng = random.Random(2)
        rstars = [rstar if serial else rng.uniform(0.05, 0.5) for _ in range(n)]
        return f, (separations(MULTI_L, "wide", 1), [1.0], rstars)
    if function in INTEGRATED[:2]:
        return f, (separations(n, field, 3), 1.0, rstar)
    if function in INTEGRATED[2:]:
        return f, (separations(n, field, 3), 1.0, rstar, *flux_map())
    if function == "discrete_flux_map_heyrovsky_magnification":
        l = [x * 1.2 for x in separations(n, "near", 5)]
        bl = [0.05 + 0.1 * j for j in range(RINGS)]
        bf = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - r * r)) for r in bl]
        if serial:
            # rstar = 0 is an error here (a ring of infinite radius): the serial part is that of
            # the integrated flux map of the same size, whose conversions and result are the same.
            return finitemu.integrated_flux_map_heyrovsky_magnification, (l, 1.0, 0.0, bl, bf)
        return f, (l, 1.0, rstar, bl, bf)
    if function == "heyrovsky_magnification":
        return f, (0.7, 0.5, 1.0, 0.1)
    raise ValueError(function)


# ---------------------------------------------------------------------------------------------
# The child: a loop of requests on stdin, one JSON line each, answered with one JSON line.

def child():
    import finitemu

    finitemu.witt_mao_magnification([], 1.0, 0.1)  # creates the pool
    cache = {}
    budget = 0.02  # seconds of calls per request

    def call_of(key):
        if key not in cache:
            cache[key] = case_call(finitemu, *key)
        return cache[key]

    def times(f, args, gap):
        f(*args)  # warm: first touch of the arguments, the result's memory
        t = time.perf_counter()
        f(*args)
        once = time.perf_counter() - t
        calls = max(3, min(200, int(budget / max(once + gap, 1e-9))))
        out = []
        for _ in range(calls):
            if gap:
                time.sleep(gap)  # the workers stop polling and sleep; so may the cores
            t = time.perf_counter()
            result = f(*args)
            out.append(time.perf_counter() - t)
            del result
        return out

    def threads(n, calls):
        f = finitemu.integrated_witt_mao_magnification
        ls = [separations(n, "near", 10 + k) for k in range(calls)]
        results = [None] * calls

        def one(k):
            results[k] = f(ls[k], 1.0, 0.1)

        t = time.perf_counter()
        for k in range(calls):
            one(k)
        one_after_another = time.perf_counter() - t
        expected = list(results)
        # The threads are started first and released together: starting a thread is no part
        # of calling at once.
        ready = threading.Barrier(calls + 1)

        def released(k):
            ready.wait()
            one(k)

        workers = [threading.Thread(target=released, args=(k,)) for k in range(calls)]
        for w in workers:
            w.start()
        t = time.perf_counter()
        ready.wait()
        for w in workers:
            w.join()
        at_once = time.perf_counter() - t
        if results != expected:
            raise AssertionError("threads gave other doubles than one call after another")
        return [one_after_another, at_once]

    for line in sys.stdin:
        request = json.loads(line)
        op = request["op"]
        if op == "time":
            function, n, field, serial = request["case"]
            answer = times(*call_of((function, n, field, serial)), request["gap"])
        elif op == "threads":
            answer = threads(request["n"], request["calls"])
        elif op == "serial":
            key = ("witt_mao_magnification", request["n"], "wide", request["point"])
            f, args = call_of(key)
            answer = []
            for _ in range(request["repeat"]):
                t = time.perf_counter()
                result = f(*args)
                answer.append(time.perf_counter() - t)
                del result  # freeing the million floats is not part of the call
        elif op == "drop":
            cache.clear()
            answer = None
        else:
            raise ValueError(op)
        print(json.dumps(answer), flush=True)


class Child:
    def __init__(self, workers):
        self.workers = workers
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child"],
                                        env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)

    def ask(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the W={self.workers} child ended")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()  # the child's loop ends with its input
        self.process.wait()


def interleaved(children, rounds, request):
    """Every child answers `request` once per round, in alternating order; answers per child."""
    answers = {c.workers: [] for c in children}
    for r in range(rounds):
        for c in (children if r % 2 == 0 else children[::-1]):
            answers[c.workers].append(c.ask(**request))
    return answers


# ---------------------------------------------------------------------------------------------
# 1. Hand-off

def us(seconds):
    return seconds * 1e6


def spread_rounds(children, rounds, requests):
    """Answers per request and child: every round asks every request once, so that the rounds of
    one request are spread over the whole run (a burst of load on the host then spoils one round
    of a case, not all of them)."""
    answers = {key: {c.workers: [] for c in children} for key in requests}
    for r in range(rounds):
        for case, gap in requests:
            for c in (children if r % 2 == 0 else children[::-1]):
                answers[(case, gap)][c.workers].append(
                    c.ask(op="time", case=list(case), gap=gap))
    return answers


def handoff(children, rounds, gap, functions):
    th = thresholds()
    print(f"1. Hand-off: one call, W=1 against W=2, {rounds} interleaved rounds over every case; us. "
          "Warm: the best time; cold: the median of every call (a cold call's wake varies from "
          "call to call)")
    print(f"   W=2 maps on the pool from: witt_mao {th['witt_mao']} separations; multi_witt_mao "
          f"{th['multi']} rows of {MULTI_L}; integrated near field (l in [0,1)) {th['near']}, "
          f"far field (l in [2,10)) {th['far']}; discrete flux map ({RINGS} rings) "
          f"{th['discrete']}")
    print(f"   warm: calls back to back; cold: {gap * 1e3:g} ms asleep before each call")
    print(f"   {'':<41}{'warm':-^52}  {'cold':-^23}")
    print(f"   {'function':<21}{'field':>5}{'n':>7}{'W=2':>8}{'t1':>9}{'t2':>9}{'t2/t1':>7}"
          f"{'t2-t1/2':>9}{'s':>8}{'hand-off':>9}{'zero':>7}{'t2/t1':>9}{'hand-off':>9}"
          f"{'zero':>7}")
    cases = [c for c in handoff_cases() if not functions or SHORT[c[0]] in functions]
    requests = [((function, n, field, serial), g)
                for function, n, field, _ in cases
                for serial in ((False, True) if function != "heyrovsky_magnification" else (False,))
                for g in (0.0, gap)]
    answers = spread_rounds(children, rounds, requests)
    for c in children:
        c.ask(op="drop")

    def best(case, g):
        return {w: min(min(a) for a in lists) for w, lists in answers[(case, g)].items()}

    def median(case, g):
        return {w: statistics.median(t for a in lists for t in a)
                for w, lists in answers[(case, g)].items()}

    slower, control = [], []
    for function, n, field, on_pool in cases:
        has_serial = function != "heyrovsky_magnification"
        warm = best((function, n, field, False), 0.0)
        cold = median((function, n, field, False), gap)
        if has_serial:
            warm0 = best((function, n, field, True), 0.0)
            cold0 = median((function, n, field, True), gap)
        t1, t2 = warm[1], warm[2]
        line = (f"   {SHORT[function]:<21}{field:>5}{n:>7}{'pool' if on_pool else 'here':>8}"
                f"{us(t1):9.1f}{us(t2):9.1f}{t2 / t1:7.2f}{us(t2 - t1 / 2):9.1f}")
        if has_serial:
            s = warm0[1]
            line += (f"{us(s):8.1f}{us(t2 - (s + (t1 - s) / 2)):9.1f}"
                     f"{us(warm0[2] - warm0[1]):7.1f}")
            s = cold0[1]
            line += (f"{cold[2] / cold[1]:9.2f}{us(cold[2] - (s + (cold[1] - s) / 2)):9.1f}"
                     f"{us(cold0[2] - cold0[1]):7.1f}")
        else:
            line += f"{'':>24}{cold[2] / cold[1]:9.2f}"
        for kind, (a, b) in (("warm", (t1, t2)), ("cold", (cold[1], cold[2]))):
            if b > a:
                (slower if on_pool else control).append(
                    f"{SHORT[function]} {field} n={n} {kind} {b / a:.2f}x")
        print(line, flush=True)
    print("   W=2 slower than W=1, map on the pool: " + ("; ".join(slower) or "nowhere"))
    print("   W=2 slower than W=1, both on the calling thread (the same code: noise): " +
          ("; ".join(control) or "nowhere"))


# ---------------------------------------------------------------------------------------------
# 2. Four Python threads

def four_threads(children, runs, n=2000, calls=4):
    print(f"\n2. {calls} Python threads calling integrated_witt_mao_magnification ({n} near-field "
          f"separations each) at once, against the {calls} calls one after another; median of "
          f"{runs} runs")
    answers = interleaved(children, runs, {"op": "threads", "n": n, "calls": calls})
    medians = {}
    for w in sorted(answers):
        after = statistics.median(a[0] for a in answers[w])
        once = statistics.median(a[1] for a in answers[w])
        medians[w] = (after, once)
        print(f"   W={w}: one after another {after * 1e3:7.2f} ms, at once {once * 1e3:7.2f} ms, "
              f"at once / one after another {once / after:.3f}")
    if 1 in medians and 2 in medians:
        print(f"   at once, W=2 against W=1: {medians[1][1] / medians[2][1]:.2f}; one after "
              f"another, W=2 against W=1: {medians[1][0] / medians[2][0]:.2f}")


# ---------------------------------------------------------------------------------------------
# 3. Serial part

def serial_part(children, rounds, n=1_000_000):
    print(f"\n3. witt_mao_magnification, {n} separations (best of {rounds} interleaved rounds "
          "of 3 calls)")
    best = {}
    for point in (False, True):
        answers = interleaved(children, rounds, {"op": "serial", "n": n, "point": point,
                                                 "repeat": 3})
        for w, lists in answers.items():
            best[(w, point)] = min(min(a) for a in lists)
    for c in children:
        c.ask(op="drop")
    t1, t2 = best[(1, False)], best[(2, False)]
    print(f"   W=1: {t1 * 1e3:8.2f} ms  {t1 / n * 1e9:6.1f} ns/point")
    print(f"   W=2: {t2 * 1e3:8.2f} ms  {t2 / n * 1e9:6.1f} ns/point")
    print(f"   speed-up W=2 / W=1: {t1 / t2:.2f}")
    # Amdahl: with s the serial time and p = t1 - s the time that divides among workers, two
    # workers can reach at most t1 / (s + p / 2).
    serial = min(best[(1, True)], best[(2, True)])
    bound = t1 / (serial + (t1 - serial) / 2)
    print(f"   point-source call (conversion and float objects): {serial / n * 1e9:.1f} ns/point "
          f"({serial / t1:.0%} of the W=1 call); were it all serial, at most {bound:.2f} with "
          "two workers")
    # What did not divide: t2 = s + (t1 - s) / 2 gives s = 2 t2 - t1.
    print(f"   part that does not divide, 2 t2 - t1: {(2 * t2 - t1) / n * 1e9:.1f} ns/point")


# ---------------------------------------------------------------------------------------------
# 4. Interrupt latency

INTERRUPTED = """
import json, random, signal, sys, time
import finitemu
# Python leaves SIGINT ignored when it starts with it ignored, as a background job of a shell
# does: this child must see the signal whatever way the benchmark was started.
signal.signal(signal.SIGINT, signal.default_int_handler)
n = int(sys.argv[1])
rng = random.Random(4)
l = [rng.random() for _ in range(n)]
finitemu.witt_mao_magnification([], 1.0, 0.1)  # creates the pool
print(time.monotonic(), flush=True)
try:
    finitemu.integrated_witt_mao_magnification(l, 1.0, 0.1)
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
end = time.monotonic()
print(json.dumps([outcome, end]), flush=True)
"""


def below_parent():
    """In the child: a scheduling priority below the parent's. Under `chrt -f`, the child's
    workers would otherwise hold both cores at the parent's priority, and a real-time thread of
    equal priority is not preempted: the parent could not send the signal before the call ends."""
    policy = os.sched_getscheduler(0)
    if policy in (os.SCHED_FIFO, os.SCHED_RR):
        priority = os.sched_getparam(0).sched_priority
        if priority > 1:
            os.sched_setscheduler(0, policy, os.sched_param(priority - 1))
        else:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def interrupt_latency(workers, n=400_000, after=0.3):
    """Seconds from a SIGINT sent `after` seconds into a call of n near-field separations until
    the child sees KeyboardInterrupt; with the outcome, the call's length and the signal time."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    process = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(n)], env=env,
                               stdout=subprocess.PIPE, text=True, preexec_fn=below_parent)
    start = float(process.stdout.readline())
    time.sleep(max(0.0, start + after - time.monotonic()))
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    outcome, end = json.loads(process.stdout.readline())
    process.wait()
    return end - sent, outcome, end - start, sent - start


def interrupts(n=400_000):
    print(f"\n4. Interrupt latency: SIGINT 0.3 s into integrated_witt_mao_magnification of {n} "
          "near-field separations (l in [0, 1), re = 1, rstar = 0.1)")
    for w in (1, 2):
        latency, outcome, length, sent = interrupt_latency(w, n)
        print(f"   W={w}: {outcome} {latency:.3f} s after the signal (sent at {sent:.3f} s; "
              f"the call ended at {length:.3f} s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--gap", type=float, default=0.002,
                        help="seconds asleep before each cold call (default 0.002)")
    parser.add_argument("--sections", default="1234",
                        help="which of the four parts to run (default 1234)")
    parser.add_argument("--functions", default="",
                        help="hand-off rows of these functions only, comma-separated short names "
                             "as printed (witt_mao, integrated_witt_mao, ...)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child()
        return
    functions = set(filter(None, args.functions.split(",")))
    unknown = functions - set(SHORT.values())
    if unknown:
        parser.error(f"unknown functions: {', '.join(sorted(unknown))}")
    children = [Child(1), Child(2)]
    try:
        if "1" in args.sections:
            handoff(children, args.rounds, args.gap, functions)
        if "2" in args.sections:
            four_threads(children, args.rounds)
        if "3" in args.sections:
            serial_part(children, args.rounds)
    finally:
        for c in children:
            c.close()
    if "4" in args.sections:
        interrupts()


if __name__ == "__main__":
    main()

"""Many Python threads calling the module at once, and signals that arrive during a long parallel
call.

Sixteen threads call every registered function, on success and on error paths, for a few seconds
(FINITEMU_THREAD_SECONDS, default 3) while sharing the worker pool; every result must be the one a
single thread computes, bit for bit. A SIGINT during a long call stops it within the 50 ms the call
waits between checks for signals, raises KeyboardInterrupt and leaves the pool usable; a handler
that does not raise lets the call finish."""

import json
import math
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import finitemu

THREADS = 16
SECONDS = float(os.environ.get("FINITEMU_THREAD_SECONDS", "3"))

L = [i / 97.0 for i in range(3000)]
SHORT = [0.0, 0.3, 0.999, 1.0, 1.7, 4.0]
BL = [0.0, 0.25, 0.5, 0.75, 1.0]
BF = [1.0, 0.9, 0.7, 0.4, 0.1]

# (function name, arguments) for each registered function: results from the pool, from the
# calling thread, and the error paths of the boundary and of the kernels.
CALLS = [
    ("witt_mao_magnification", (L, 1.0, 0.5)),
    ("witt_mao_magnification", ([2.0], 1.0, 0.5)),  # one item: computed on the calling thread
    ("witt_mao_magnification", ([], 1.0, 0.5)),
    ("witt_mao_magnification", (L[:500], 2.0, float("nan"))),
    ("witt_mao_magnification", ([1.0, "x"], 1.0, 0.5)),  # TypeError
    ("multi_witt_mao_magnification", (L[:300], [0.5, 1.0, 2.0], [0.1, 0.5])),
    ("multi_witt_mao_magnification", (L[:10], [1.0], [])),
    ("heyrovsky_magnification", (1.5, 0.5, 1.0, 0.5)),
    ("heyrovsky_magnification", (float("nan"), 0.5, 1.0, 0.5)),  # RuntimeError
    ("heyrovsky_magnification", (1.0, 0.5, 1.0)),  # TypeError
    ("integrated_witt_mao_magnification", (SHORT, 1.0, 0.5)),
    ("integrated_heyrovsky_magnification", (SHORT, 1.0, 0.5)),
    ("integrated_flux_map_witt_mao_magnification", (SHORT, 1.0, 0.5, BL, BF)),
    ("integrated_flux_map_heyrovsky_magnification", (SHORT, 1.0, 0.5, BL, BF)),
    ("discrete_flux_map_heyrovsky_magnification", (SHORT, 1.0, 0.5, BL, BF)),
    ("discrete_flux_map_heyrovsky_magnification", (SHORT, 1.0, 0.5, BL, BF[:2])),  # internal failure
]


def outcome(name, args):
    """What a call gives, in a form that compares bit for bit (NaN payloads included)."""
    try:
        result = getattr(finitemu, name)(*args)
    except BaseException as exception:  # the internal failure is no Exception
        return ("raised", type(exception).__name__, str(exception))
    if isinstance(result, float):
        return ("float", struct.pack("d", result))
    if result and isinstance(result[0], list):
        return ("rows", tuple(struct.pack(f"{len(row)}d", *row) for row in result))
    return ("list", struct.pack(f"{len(result)}d", *result))


def registered_calls():
    return [(name, args) for name, args in CALLS if name in finitemu.__all__]


class ManyThreads(unittest.TestCase):
    def test_sixteen_threads_get_the_single_thread_results(self):
        calls = registered_calls()
        expected = [outcome(name, args) for name, args in calls]
        # The error paths are really taken, and the kernels really answer.
        self.assertEqual(expected[4][:2], ("raised", "TypeError"))
        self.assertEqual(expected[8], ("raised", "RuntimeError", "ellipk: Arguments cannot be NAN."))
        self.assertFalse(math.isnan(struct.unpack("d", expected[0][1][8:16])[0]))

        mismatches = []
        counts = [0] * THREADS
        barrier = threading.Barrier(THREADS)
        deadline = time.monotonic() + SECONDS

        def work(index):
            barrier.wait()
            k = index  # each thread starts at another call, so that all run at once
            while time.monotonic() < deadline:
                name, args = calls[k % len(calls)]
                got = outcome(name, args)
                if got != expected[k % len(calls)]:
                    mismatches.append((index, name, got))
                counts[index] += 1
                k += 1

        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(SECONDS + 600)
        self.assertFalse(any(thread.is_alive() for thread in threads), "a thread hangs")
        self.assertEqual(mismatches[:3], [])
        # Every thread went round all the calls at least once.
        self.assertGreaterEqual(min(counts), len(calls), counts)


# The child computes a long call; the parent interrupts it once it has begun: the last argument
# announces its conversion, after which the call would compute for seconds.
INTERRUPTED = textwrap.dedent(
    """
    import json, random, signal, sys, time
    import finitemu

    class Announcing:
        def __float__(self):
            print("calling", flush=True)
            return 0.1

    rng = random.Random(1)
    l = [rng.uniform(0.0, 1.0) for _ in range({n})]  # inside the source: about 10 us each
    expected = finitemu.integrated_witt_mao_magnification(l[:3], 1.0, 0.1)
    handled = []
    if {own_handler}:
        signal.signal(signal.SIGINT, lambda signum, frame: handled.append(time.monotonic()))
    else:
        # Python keeps SIGINT ignored when it starts with it ignored (a background job of a
        # non-interactive shell does): install the interpreter's own handler explicitly.
        signal.signal(signal.SIGINT, signal.default_int_handler)
    returned = None
    try:
        result = finitemu.integrated_witt_mao_magnification(l, 1.0, Announcing())
        returned = len(result) == len(l) and result[:3] == expected
        interrupted = False
    except KeyboardInterrupt:
        interrupted = True
    print("ended", flush=True)
    # The pool still works, and so does the calling thread.
    after = finitemu.integrated_witt_mao_magnification(l[:3], 1.0, 0.1) == expected
    print(json.dumps({{"interrupted": interrupted, "returned": returned, "after": after,
                      "handled": len(handled)}}))
    """
)


def interrupt_child(own_handler, workers, n):
    """The child's report, and the seconds from the signal to the end of the call."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    with subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED.format(n=n, own_handler=own_handler)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env) as child:
        try:
            first = child.stdout.readline()
            if first.strip() != "calling":
                raise AssertionError(f"child did not start: {first!r} {child.stderr.read()}")
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            ended = child.stdout.readline()
            latency = time.monotonic() - sent
            out, err = child.stdout.read(), child.stderr.read()
            child.wait(timeout=600)
        finally:
            if child.poll() is None:
                child.kill()
    if child.returncode != 0 or ended.strip() != "ended":
        raise AssertionError(f"child failed ({child.returncode}):\n{err}")
    return json.loads(out.strip().splitlines()[-1]), latency


@unittest.skipUnless(hasattr(signal, "SIGINT") and os.name == "posix", "needs POSIX signals")
class SignalsDuringALongCall(unittest.TestCase):
    def test_keyboard_interrupt_stops_the_call_and_the_pool_survives(self):
        # 10^6 separations are 10 s of work (5 s on two workers); the call checks for signals
        # every 50 ms. The bound is generous, for a loaded machine.
        for workers in (1, 2):
            with self.subTest(workers=workers):
                result, latency = interrupt_child(False, workers, 1_000_000)
                self.assertTrue(result["interrupted"], result)
                self.assertIsNone(result["returned"])
                self.assertTrue(result["after"])
                self.assertLess(latency, 2.0)

    def test_a_handler_that_does_not_raise_lets_the_call_finish(self):
        for workers in (1, 2):
            with self.subTest(workers=workers):
                result, _ = interrupt_child(True, workers, 50_000)
                self.assertFalse(result["interrupted"], result)
                self.assertTrue(result["returned"])
                self.assertEqual(result["handled"], 1)
                self.assertTrue(result["after"])


if __name__ == "__main__":
    unittest.main()

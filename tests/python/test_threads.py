"""Python threads and the module: long calls compute without the interpreter lock, so that other
threads run meanwhile; calls from several threads at once share the worker pool and give the same
doubles as one after another, for any number of workers; a daemon thread still computing when the
interpreter shuts down does not bring the process down."""

import json
import os
import random
import struct
import subprocess
import sys
import textwrap
import threading
import unittest

import finitemu

RNG = random.Random(7)
SEPARATIONS = [RNG.uniform(0.0, 4.0) for _ in range(20_000)] + [0.0, 1.0, 2.0]
RADII = [0.0, 0.1, 0.3, 0.5, 0.7, 0.9, 1.0]
BRIGHTNESS = [1.0, 0.95, 0.9, 0.8, 0.7, 0.55, 0.4]
RINGS = [0.05 * k for k in range(1, 20)]


def bits(result):
    if result and isinstance(result[0], list):
        return b"".join(bits(row) for row in result)
    return struct.pack(f"<{len(result)}d", *result)


def long_calls(last):
    """(name, call) for every registered function but the scalar one: calls long enough to compute
    without the interpreter lock, `last` being the last argument converted (a float, or the last
    item of bf)."""
    # Each call lasts some 10 ms, long enough for another thread to be seen running meanwhile:
    # the integrated functions on separations inside the source (far ones take 0.3 us).
    l_integrated = [x for x in SEPARATIONS if x < 1.5][:2000]
    calls = {
        "witt_mao_magnification": lambda: finitemu.witt_mao_magnification(
            SEPARATIONS * 10, 1.0, last),
        "multi_witt_mao_magnification": lambda: finitemu.multi_witt_mao_magnification(
            SEPARATIONS, [1.0, 2.0, 3.0], [0.2, 0.5, 0.8, last]),
        "integrated_witt_mao_magnification": lambda: finitemu.integrated_witt_mao_magnification(
            l_integrated, 1.0, last),
        "integrated_heyrovsky_magnification": lambda: finitemu.integrated_heyrovsky_magnification(
            l_integrated, 1.0, last),
        "integrated_flux_map_witt_mao_magnification":
            lambda: finitemu.integrated_flux_map_witt_mao_magnification(
                l_integrated, 1.0, 0.5, RADII, BRIGHTNESS[:-1] + [last]),
        "integrated_flux_map_heyrovsky_magnification":
            lambda: finitemu.integrated_flux_map_heyrovsky_magnification(
                l_integrated, 1.0, 0.5, RADII, BRIGHTNESS[:-1] + [last]),
        "discrete_flux_map_heyrovsky_magnification":
            lambda: finitemu.discrete_flux_map_heyrovsky_magnification(
                SEPARATIONS[:20_000], 1.0, 0.5, RINGS, [1.0] * (len(RINGS) - 1) + [last]),
    }
    return [(name, call) for name, call in calls.items() if hasattr(finitemu, name)]


class SignalingFloat:
    """0.5 as a float; converting it tells `event` that the call is about to compute."""

    def __init__(self, event, value=0.5):
        self.event = event
        self.value = value

    def __float__(self):
        self.event.set()
        return self.value


class LockReleasedDuringLongCalls(unittest.TestCase):
    """A thread makes a long call; the main thread counts while it runs. With a switch interval
    far longer than the test, the interpreter never takes the lock from a thread: the main thread
    can count during the call only if the call gave the lock up."""

    def setUp(self):
        self.interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)

    def tearDown(self):
        sys.setswitchinterval(self.interval)

    @staticmethod
    def counted_during(make_call):
        entered = threading.Event()
        done = threading.Event()
        state = {"count": 0, "seen": None, "result": None}

        def caller():
            state["result"] = make_call(SignalingFloat(entered))()
            state["seen"] = state["count"]  # no switch from the call's return to this read
            done.set()

        thread = threading.Thread(target=caller, daemon=True)
        thread.start()
        if not entered.wait(600):
            raise AssertionError("the call did not convert its last argument")
        while not done.wait(0.0001):  # gives the lock up while it waits
            state["count"] += 1
            if not thread.is_alive() and not done.is_set():
                raise AssertionError("the call raised")
        thread.join()
        return state["seen"], state["result"]

    def test_other_threads_run_during_the_call(self):
        for name, _ in long_calls(0.5):
            with self.subTest(name):
                expected = bits(dict(long_calls(0.5))[name]())
                # A busy machine may not run the counting thread during one call; a call that
                # keeps the lock never lets it.
                for _attempt in range(5):
                    seen, result = self.counted_during(lambda last: dict(long_calls(last))[name])
                    self.assertEqual(bits(result), expected)
                    if seen > 0:
                        break
                self.assertGreater(seen, 0, f"{name} kept the interpreter lock while computing")


class ConcurrentCalls(unittest.TestCase):
    def test_threads_at_once_give_the_sequential_doubles(self):
        calls = [(name, call) for name, call in long_calls(0.5)]
        calls += [("witt_mao_magnification rstar=2", lambda: finitemu.witt_mao_magnification(
            SEPARATIONS, 1.0, 2.0)), ("witt_mao_magnification short",
                                      lambda: finitemu.witt_mao_magnification([0.5, 1.0], 1.0, 0.5)),
                  ("heyrovsky_magnification", lambda: [finitemu.heyrovsky_magnification(
                      0.7, 0.5, 1.0, 0.5)])]
        expected = {name: bits(call()) for name, call in calls}
        jobs = calls * 2
        barrier = threading.Barrier(len(jobs))
        results = [None] * len(jobs)

        def run(k):
            barrier.wait()
            name, call = jobs[k]
            for _ in range(2):
                results[k] = (name, bits(call()))

        threads = [threading.Thread(target=run, args=(k,)) for k in range(len(jobs))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for name, value in results:
            with self.subTest(name):
                self.assertEqual(value, expected[name])


WORKER_DIGEST = """
import array, hashlib, json, struct, sys, threading
sys.path.insert(0, {test_dir!r})
import finitemu
from test_threads import long_calls, bits
digest = hashlib.sha256()
for name, call in long_calls(0.5):
    digest.update(name.encode() + bits(call()))
# The same from arrays, and from four threads at once.
digest.update(bits(finitemu.witt_mao_magnification(array.array("d", {l!r}), 1.0, 0.5)))
out = [None] * 4
def run(k):
    out[k] = hashlib.sha256(b"".join(bits(call()) for _, call in long_calls(0.5))).digest()
threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
[t.start() for t in threads]
[t.join() for t in threads]
assert len(set(out)) == 1
digest.update(out[0])
# The first failing (separation, ring) pair in that order gives the error. With rings of radii
# -0.5 and -1e-300 (the closed form from n and m takes negative radii) every negative separation
# has a value; ring 1 fails for l = 0 (n = 0/0 after (l + r)^2 underflows: ellippi), ring 0 for
# l = 1 (m < 0 under the root: ellipk); the separation that comes first decides.
errors = []
if hasattr(finitemu, "discrete_flux_map_heyrovsky_magnification"):
    for first, second in ((0.0, 1.0), (1.0, 0.0)):
        l = [-0.25 - 1e-4 * k for k in range(3000)]
        l[1700], l[2900] = first, second
        try:
            finitemu.discrete_flux_map_heyrovsky_magnification(l, 1.0, 1.0, [-0.5, -1e-300],
                                                               [1.0, 1.0])
        except RuntimeError as e:
            errors.append(e.args)
print(json.dumps([digest.hexdigest(), errors]))
"""


def digest_with_workers(workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    body = WORKER_DIGEST.format(test_dir=os.path.dirname(os.path.abspath(__file__)),
                                l=SEPARATIONS[:3000])
    proc = subprocess.run([sys.executable, "-c", body], env=env, capture_output=True, text=True,
                          timeout=900)
    if proc.returncode != 0:
        raise AssertionError(f"child with {workers} workers failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


class ResultsDoNotDependOnWorkersOrThreads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.children = {w: digest_with_workers(w) for w in (1, 2, 8)}

    def test_bit_identical_for_1_2_8_workers(self):
        digests = {w: child[0] for w, child in self.children.items()}
        self.assertEqual(len(set(digests.values())), 1, digests)

    @unittest.skipUnless(hasattr(finitemu, "discrete_flux_map_heyrovsky_magnification"),
                         "discrete_flux_map_heyrovsky_magnification is not registered")
    def test_discrete_rings_raise_the_first_failing_pair(self):
        for workers, (_, errors) in self.children.items():
            with self.subTest(workers=workers):
                self.assertEqual(errors, [["ellippi: Arguments cannot be NAN."],
                                          ["ellipk: Arguments cannot be NAN."]])


DAEMON_AT_SHUTDOWN = """
import os, sys, threading, time, types
import finitemu

entered = threading.Event()
daemon = []

class SignalingFloat:
    def __float__(self):
        entered.set()
        return 0.05

class AwaitDaemon:
    # Collected while the interpreter finalises, after Python threads have lost the right to take
    # the interpreter lock: waits until the daemon's thread is gone. It leaves only when its call
    # has finished and asks for the lock back, or by a crash.
    def __del__(self, daemon=daemon, exists=os.path.exists, sleep=time.sleep,
                clock=time.monotonic, write=os.write):
        task, deadline = f"/proc/self/task/{daemon[0]}", clock() + 600
        while exists(task) and clock() < deadline:
            sleep(0.01)
        write(2, b"the daemon thread is still there after 600 s\\n" if exists(task) else b"")

def compute():
    daemon.append(threading.get_native_id())
    # Some 0.3 s of work on one core; the call gives the lock up from the third separation on.
    finitemu.integrated_witt_mao_magnification([0.001 * k for k in range(12_000)], 1.0,
                                               SignalingFloat())
    print("returned", flush=True)

finitemu.witt_mao_magnification([1.0] * 10, 1.0, 0.5)  # the pool starts before the daemon
# Held by a module of its own: the daemon's frame keeps __main__'s globals alive to the end, but
# this module is dropped with sys.modules, during finalisation.
holder = sys.modules["await_daemon"] = types.ModuleType("await_daemon")
holder.keep = AwaitDaemon()
del holder
threading.Thread(target=compute, daemon=True).start()
entered.wait()
"""


class DaemonThreadAtShutdown(unittest.TestCase):
    """The interpreter exits while a daemon thread computes, and the daemon's call then ends and
    asks for the interpreter lock back during finalisation: CPython ends that thread there, by
    unwinding it through the module's frames. The process must exit with status 0 and say
    nothing on standard error.

    The order of events does not rest on timing: the main thread ends the script as soon as the
    call has converted its arguments, and the object collected during finalisation waits for the
    daemon's thread to end. Only if the call finished before the main thread even began to shut
    down (it prints "returned") is the run inconclusive; it is then repeated."""

    def run_child(self, workers):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(DAEMON_AT_SHUTDOWN)],
                              env=dict(os.environ, RAYON_NUM_THREADS=workers),
                              capture_output=True, text=True, timeout=900)

    def test_interpreter_exits_cleanly_while_a_daemon_computes(self):
        for workers in ("1", "2"):
            with self.subTest(workers=workers):
                for _attempt in range(5):
                    proc = self.run_child(workers)
                    self.assertEqual(proc.returncode, 0, proc.stderr)
                    self.assertEqual(proc.stderr, "")
                    if proc.stdout == "":
                        break
                    self.assertEqual(proc.stdout, "returned\n")
                self.assertEqual(proc.stdout, "", "the call returned before the interpreter "
                                                  "began to shut down, five times out of five")


if __name__ == "__main__":
    unittest.main()

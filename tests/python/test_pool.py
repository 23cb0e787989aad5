"""The worker pool seen from Python: its size from the environment, its creation at the first
parallel map, a failed creation, and results that do not depend on the number of workers.

Each case runs in a fresh interpreter, since the pool is made once per process."""

import json
import os
import subprocess
import sys
import textwrap
import unittest

import finitemu
from support import UNDER_ASAN

POOL_FUNCTIONS = ("witt_mao_magnification", "multi_witt_mao_magnification")

# Valid arguments for the functions that compute on the calling thread, for those registered.
OTHER_CALLS = {
    "heyrovsky_magnification": "(1.5, 0.5, 1.0, 0.5)",
    "integrated_witt_mao_magnification": "([0.5, 2.0], 1.0, 0.5)",
    "integrated_heyrovsky_magnification": "([0.5, 2.0], 1.0, 0.5)",
    "integrated_flux_map_witt_mao_magnification":
        "([0.5, 2.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.5])",
    "integrated_flux_map_heyrovsky_magnification":
        "([0.5, 2.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.5])",
    "discrete_flux_map_heyrovsky_magnification":
        "([0.5, 2.0], 1.0, 0.5, [0.25, 0.5, 0.75], [1.0, 0.8, 0.5])",
}

PRELUDE = textwrap.dedent(
    """
    import json, os, sys, time
    import finitemu

    def threads():
        return set(os.listdir("/proc/self/task"))

    def comm(tid):
        with open(f"/proc/self/task/{tid}/comm") as f:
            return f.read()
    """
)

CREATION_PREFIX = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "


def run_child(body, num_threads=None, num_cpus=None, timeout=600):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = num_cpus
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        env=env, capture_output=True, text=True, timeout=timeout,
    )
    if proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


COUNT_WORKERS = """
    before = threads()
    result = finitemu.witt_mao_magnification({l}, 1.0, 0.5)
    workers = threads() - before
    print(json.dumps({{"workers": len(workers), "result": result,
                      "names_inherited": all(comm(t) == comm(os.getpid()) for t in workers)}}))
"""


def worker_count(num_threads=None, num_cpus=None, l="[1.0, 2.0, 3.0]"):
    return run_child(COUNT_WORKERS.format(l=l), num_threads, num_cpus)["workers"]


class WorkerCountFromEnvironment(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.available = worker_count()

    def test_available_parallelism_when_unset(self):
        self.assertGreaterEqual(self.available, 1)
        self.assertLessEqual(self.available, len(os.sched_getaffinity(0)))

    def test_num_threads_gives_the_count(self):
        self.assertEqual(worker_count("4"), 4)
        self.assertEqual(worker_count("+4"), 4)
        self.assertEqual(worker_count("1"), 1)

    def test_zero_means_available_even_with_num_cpus(self):
        self.assertEqual(worker_count("0", "2"), self.available)

    def test_invalid_num_threads_falls_back_to_num_cpus(self):
        for value in ("abc", "-1", " 4", "", "+", "4 "):
            with self.subTest(RAYON_NUM_THREADS=value):
                self.assertEqual(worker_count(value, "2"), 2)
        self.assertEqual(worker_count(None, "3"), 3)
        self.assertEqual(worker_count(None, "0"), self.available)

    def test_workers_are_unnamed(self):
        result = run_child(COUNT_WORKERS.format(l="[1.0, 2.0]"), "3")
        self.assertEqual(result["workers"], 3)
        self.assertTrue(result["names_inherited"])

    def test_empty_first_call_creates_the_pool(self):
        result = run_child(COUNT_WORKERS.format(l="[]"), "3")
        self.assertEqual(result["result"], [])
        self.assertEqual(result["workers"], 3)


FAILED_CREATION = """
    import resource
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
    # Room for a few hundred 2 MiB stacks, far from the 65,535 asked for.
    limit = vm + (1 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    before = threads()
    out = {"errors": []}
    calls = [("witt_mao_magnification", ([1.0, 2.0], 1.0, 0.5)),
             ("witt_mao_magnification", ([], 1.0, 0.5)),
             ("multi_witt_mao_magnification", ([1.0, 2.0], [1.0], [0.5])),
             ("witt_mao_magnification", ([1.0], 1.0, 0.5))]
    for name, args in calls:
        try:
            getattr(finitemu, name)(*args)
            out["errors"].append(None)
        except BaseException as e:
            t = type(e)
            out["errors"].append([t.__module__, t.__name__, issubclass(t, Exception), list(e.args)])
    deadline = time.monotonic() + 10
    while threads() - before and time.monotonic() < deadline:
        time.sleep(0.01)
    out["leftover_threads"] = len(threads() - before)
    # Argument errors are still found before the pool is asked for.
    try:
        finitemu.witt_mao_magnification("abc", 1.0, 0.5)
    except BaseException as e:
        out["conversion_error"] = [type(e).__name__, str(e), e.__notes__]
    out["others"] = {}
    for name, args in OTHER_CALLS.items():
        if name in finitemu.__all__:
            try:
                out["others"][name] = repr(eval(f"finitemu.{name}{args}"))
            except BaseException as e:
                out["others"][name] = "raised " + repr(e)
    print(json.dumps(out))
"""


@unittest.skipIf(UNDER_ASAN, "AddressSanitizer's runtime aborts when a new thread finds no memory")
class FailedPoolCreation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        body = f"OTHER_CALLS = {OTHER_CALLS!r}\n" + textwrap.dedent(FAILED_CREATION)
        cls.result = run_child(body, "100000")

    def test_first_map_reports_the_cause(self):
        first = self.result["errors"][0]
        self.assertEqual(first[:3], ["pyo3_runtime", "PanicException", False])
        self.assertEqual(
            first[3],
            [CREATION_PREFIX + 'IOError(Os { code: 11, kind: WouldBlock, '
             'message: "Resource temporarily unavailable" }) }'],
        )

    def test_later_maps_fail_with_global_pool_already_initialized(self):
        for later in self.result["errors"][1:]:
            self.assertEqual(
                later,
                ["pyo3_runtime", "PanicException", False,
                 [CREATION_PREFIX + "GlobalPoolAlreadyInitialized }"]],
            )

    def test_workers_already_started_are_stopped(self):
        self.assertEqual(self.result["leftover_threads"], 0)

    def test_other_functions_keep_working(self):
        others = self.result["others"]
        self.assertEqual(set(others), set(OTHER_CALLS) & set(finitemu.__all__))
        for name, value in others.items():
            with self.subTest(name):
                # On the calling thread, the same doubles as on a working pool.
                self.assertEqual(value, repr(eval(f"finitemu.{name}{OTHER_CALLS[name]}")))

    def test_argument_errors_come_before_the_pool(self):
        self.assertEqual(self.result["conversion_error"],
                         ["TypeError", "Can't extract `str` to `Vec`", ["while processing 'l'"]])


FORKED = """
    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
    expected = finitemu.witt_mao_magnification([0.5, 1.0, 2.0, 3.0], 1.0, 0.5)
    pid = os.fork()
    if pid == 0:
        try:
            ok = finitemu.witt_mao_magnification([0.5, 1.0, 2.0, 3.0], 1.0, 0.5) == expected
            os._exit(0 if ok else 1)
        except BaseException:
            os._exit(2)
    deadline = time.monotonic() + 60
    status = None
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        status = "hung"
    after = finitemu.witt_mao_magnification([0.5, 1.0, 2.0, 3.0], 1.0, 0.5) == expected
    print(json.dumps({"child": status, "parent_after": after}))
"""


@unittest.skipIf(UNDER_ASAN, "the forked child hangs now and then under AddressSanitizer's "
                             "runtime (seen with Debian's 3.11), never in plain builds")
class ForkedChild(unittest.TestCase):
    def test_child_of_fork_makes_its_own_pool(self):
        # The parent's workers do not exist in the child; its maps must not wait for them.
        result = run_child(FORKED, "2")
        self.assertEqual(result, {"child": 0, "parent_after": True})


SAME_RESULTS = """
    import hashlib, random, struct
    rng = random.Random(20261208)
    l = [rng.uniform(0.0, 5.0) for _ in range(100_000)] + [0.0, 1.0, 2.0, 1e-300, 50.0]
    digest = hashlib.sha256()
    for re_, rstar in [(1.0, 0.5), (rng.uniform(0.1, 10), rng.uniform(0.001, 2.0)), (2.0, 2.0)]:
        values = finitemu.witt_mao_magnification(l, re_, rstar)
        digest.update(struct.pack(f"{len(values)}d", *values))
        # A one-item map runs on the calling thread: the same doubles.
        for i in (0, 12345, len(l) - 1):
            assert struct.pack("d", finitemu.witt_mao_magnification([l[i]], re_, rstar)[0]) == \\
                struct.pack("d", values[i]), i
    ls = l[:2000]
    res = [rng.uniform(0.1, 10) for _ in range(10)]
    rstars = [rng.uniform(0.001, 3.0) for _ in range(10)]
    rows = finitemu.multi_witt_mao_magnification(ls, res, rstars)
    assert len(rows) == 100 and all(len(r) == len(ls) for r in rows)
    for row in rows:
        digest.update(struct.pack(f"{len(row)}d", *row))
    row_7 = finitemu.witt_mao_magnification(ls, res[0], rstars[7])
    assert struct.pack(f"{len(ls)}d", *row_7) == struct.pack(f"{len(ls)}d", *rows[7])
    print(json.dumps({"digest": digest.hexdigest()}))
"""


class ResultsDoNotDependOnWorkerCount(unittest.TestCase):
    def test_bit_identical_for_1_2_3_8_workers(self):
        digests = {w: run_child(SAME_RESULTS, str(w))["digest"] for w in (1, 2, 3, 8)}
        self.assertEqual(len(set(digests.values())), 1, digests)


if __name__ == "__main__":
    unittest.main()

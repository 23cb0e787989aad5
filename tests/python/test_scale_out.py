"""Light curves computed in other processes (examples/scale_out.py): the functions pickle by
reference, and worker processes of concurrent.futures and of Dask's distributed scheduler return
exactly the in-process results. An internal failure in a worker reaches the caller, with its
class and text, and the pool goes on working."""

import concurrent.futures
import multiprocessing
import pickle
import sys
import time
import unittest
import warnings
from pathlib import Path

import finitemu
from support import internal_failure_class, provoke_internal_failure, run_python

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import scale_out  # noqa: E402

from groups import group  # noqa: E402

LIST_FUNCTIONS = [name for name in ("witt_mao_magnification",
                                    "integrated_witt_mao_magnification",
                                    "integrated_flux_map_heyrovsky_magnification")
                  if name in finitemu.__all__]


def jobs(name, curves=12, points=40):
    """(function, arguments) for `curves` events; flux maps get a three-node profile."""
    times = [-1.5 + 3.0 * i / (points - 1) for i in range(points)]
    arguments = scale_out.call_arguments(scale_out.make_events(curves, seed=7), times)
    if "flux_map" in name:
        arguments = [a + ([0.0, 0.5, 1.0], [1.0, 0.9, 0.5]) for a in arguments]
    return getattr(finitemu, name), arguments


def no_children_left(timeout=10.0):
    deadline = time.monotonic() + timeout
    while multiprocessing.active_children() and time.monotonic() < deadline:
        time.sleep(0.1)
    return multiprocessing.active_children() == []


class PickleByReference(unittest.TestCase):
    def test_every_function_round_trips_to_itself(self):
        for name in finitemu.__all__:
            function = getattr(finitemu, name)
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                with self.subTest(name=name, protocol=protocol):
                    payload = pickle.dumps(function, protocol)
                    self.assertIs(pickle.loads(payload), function)
                    self.assertIn(b"finitemu", payload)
                    self.assertIn(name.encode(), payload)
                    self.assertLess(len(payload), 150)  # a reference, not code


class ProcessPoolExecutorResults(unittest.TestCase):
    def test_spawned_workers_compute_the_in_process_results(self):
        for name in LIST_FUNCTIONS:
            function, arguments = jobs(name)
            with self.subTest(name=name):
                self.assertEqual(scale_out.with_process_pool(function, arguments, 2),
                                 scale_out.in_process(function, arguments))
        self.assertTrue(no_children_left())


# A flux map whose brightness list is shorter than its radius list, and its internal failure.
MISMATCH = ([1.0], 1.0, 0.5, [1.0], [])
MISMATCH_TEXT = "assertion `left == right` failed\n  left: 1\n right: 0"
CURVE = ([0.5, 1.0, 2.0], 1.0, 0.5, [0.25, 0.5, 0.75], [1.0, 0.8, 0.5])
TIMEOUT = 120  # a safety net for a lost task


class TaskFailed(Exception):
    """A task's BaseException (such as the internal failure), carried as an Exception."""


def run_task(function, *args):
    """The wrapper of docs/parallelism.md: multiprocessing.Pool hands back only Exceptions."""
    try:
        return function(*args)
    except Exception:
        raise
    except BaseException as failure:
        raise TaskFailed(failure) from None


class InternalFailureAcrossProcesses(unittest.TestCase):
    discrete = staticmethod(finitemu.discrete_flux_map_heyrovsky_magnification)

    def test_a_fresh_interpreter_unpickles_it_before_making_the_class(self):
        failure = provoke_internal_failure()
        result = run_python(f"""
            import pickle, finitemu
            failure = pickle.loads({pickle.dumps(failure)!r})
            from pyo3_runtime import PanicException
            print(type(failure) is PanicException, repr(failure))""", timeout=60)
        self.assertEqual(result.stdout.strip(), f"True {failure!r}", result.stderr)

    def test_process_pool_executor_hands_it_back_and_goes_on(self):
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            with self.assertRaises(internal_failure_class()) as caught:
                pool.submit(self.discrete, *MISMATCH).result(TIMEOUT)
            self.assertEqual(caught.exception.args, (MISMATCH_TEXT,))
            self.assertEqual(pool.submit(self.discrete, *CURVE).result(TIMEOUT),
                             self.discrete(*CURVE))

    def test_multiprocessing_pool_hands_it_back_through_the_wrapper_and_goes_on(self):
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            with self.assertRaises(TaskFailed) as caught:
                pool.apply_async(run_task, (self.discrete, *MISMATCH)).get(TIMEOUT)
            failure = caught.exception.args[0]
            self.assertEqual((type(failure), failure.args),
                             (internal_failure_class(), (MISMATCH_TEXT,)))
            self.assertEqual(pool.apply_async(run_task, (self.discrete, *CURVE)).get(TIMEOUT),
                             self.discrete(*CURVE))


@group("dask")
class DaskDistributedResults(unittest.TestCase):
    def test_local_cluster_workers_compute_the_in_process_results(self):
        function, arguments = jobs(LIST_FUNCTIONS[-1])
        with warnings.catch_warnings():  # tornado's own deprecation notices under Dask
            warnings.simplefilter("ignore", DeprecationWarning)
            distributed = scale_out.with_dask(function, arguments, 2, quiet=True)
        self.assertEqual(distributed, scale_out.in_process(function, arguments))
        self.assertTrue(no_children_left(), "a Dask worker process outlived the cluster")


if __name__ == "__main__":
    unittest.main()

"""Shared helpers of the Python test suite (not a test module itself)."""

import contextlib
import io
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import finitemu

try:
    import _testcapi
except ImportError:
    _testcapi = None

# The suite runs inside an interpreter with AddressSanitizer's runtime preloaded (the sanitizer
# build of tests/run_all.sh --sanitize).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Every function of the module, in the order of registration (and of __all__), with its
# parameters. A function whose computing routine has not landed yet is not registered.
ALL_FUNCTIONS = (
    ("witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_witt_mao_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("multi_witt_mao_magnification", ("l", "re", "rstar")),
    ("heyrovsky_magnification", ("l", "r", "re", "rstar")),
    ("integrated_heyrovsky_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("discrete_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
)
FLUX_MAP_FUNCTIONS = ("discrete_flux_map_heyrovsky_magnification",
                      "integrated_flux_map_witt_mao_magnification",
                      "integrated_flux_map_heyrovsky_magnification")
ALWAYS_REGISTERED = {"witt_mao_magnification", "multi_witt_mao_magnification",
                     "heyrovsky_magnification"}


def reference_rows(name):
    """The rows of the reference file tests/data/<name> (FINITEMU_TEST_DATA_DIR when set), each
    split into fields, without comments and blank lines."""
    directory = Path(os.environ.get("FINITEMU_TEST_DATA_DIR")
                     or Path(__file__).resolve().parents[1] / "data")
    lines = (directory / name).read_text().splitlines()
    return [line.split() for line in lines if line.strip() and not line.startswith("#")]


def registered_functions():
    """(name, parameters) of the functions the module has, in table order."""
    return [(name, params) for name, params in ALL_FUNCTIONS if hasattr(finitemu, name)]


def fail_one_allocation(call, index):
    """Calls `call` while allocation number `index` (from 0) of the interpreter fails, and
    returns what it returned or the exception it raised. Needs CPython's _testcapi."""
    _testcapi.set_nomemory(index, index + 1)
    try:
        return call()
    except BaseException as exception:  # an internal failure is not an Exception
        return exception
    finally:
        _testcapi.remove_mem_hooks()


def run_python(code, timeout=120):
    """Runs `code` (dedented) in a fresh interpreter with this one's environment and returns the
    completed process (text output). The timeout is a safety net for code that would hang."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=os.environ.copy(), timeout=timeout)


class NullStream:
    """A text stream that drops what is written (the module's reports on standard error)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def internal_failure_call():
    """A call without arguments that ends in an internal failure of the module (it returns the
    exception), or None while nothing can raise one: a flux-map function called with lists of
    different lengths."""
    for name in FLUX_MAP_FUNCTIONS:
        function = getattr(finitemu, name, None)
        if function is not None:
            return lambda: flux_map_length_mismatch(function)
    return None


def result_memory_error_call():
    """A call without arguments that runs out of memory at its last allocation that can end it in
    MemoryError (it returns the MemoryError), or None without _testcapi."""
    def call(index):
        return fail_one_allocation(lambda: finitemu.witt_mao_magnification([2.0, 0.3], 1.0, 0.5),
                                   index)

    failing = [i for i in range(60) if isinstance(call(i), MemoryError)] if _testcapi else []
    return (lambda: call(failing[-1])) if failing else None


def provoke_internal_failure():
    """An internal-failure exception raised by the module, or None while nothing can raise it."""
    call = internal_failure_call()
    return None if call is None else call()


def flux_map_length_mismatch(function):
    """The exception of a flux-map function given lists `bl` and `bf` of different lengths."""
    try:
        function([1.0], 1.0, 0.5, [0.0, 0.5], [1.0])
    except BaseException as exception:  # the internal failure is not an Exception
        return exception
    raise AssertionError(f"{function.__name__} accepted flux-map lists of different lengths")


def internal_failure_class():
    """The class pyo3_runtime.PanicException, or None while nothing can raise it."""
    exception = provoke_internal_failure()
    return None if exception is None else type(exception)

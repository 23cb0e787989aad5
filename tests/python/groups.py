"""Test groups: the tests that need more than the module and the standard library.

Each group runs as a CTest entry of its own (tests/CMakeLists.txt registers one per group and
interpreter, by asking run_suite.py --list-groups), so that a missing package shows in CTest's
summary as a skipped entry instead of passing quietly inside the suite. A test class or method
joins a group with the decorator `group(name)`; run alone (python3 -m unittest test_numpy) it is
skipped with the same reason when the group's needs are missing.

This module imports neither finitemu nor any optional package at import time: CMake reads the
group names from it before the module is built.
"""

import importlib
import os
import shutil
import sys
import unittest

# Debian ships these for /usr/bin/python3 only; the pyenv interpreters have no package index here.
APT = "apt-get install {packages} (Debian's /usr/bin/python3)"

# name: (Python modules the group imports, Debian packages that provide them, programs it runs)
GROUPS = {
    "numpy": (("numpy",), "python3-numpy", ()),
    "scipy": (("numpy", "scipy"), "python3-numpy python3-scipy", ()),
    "matplotlib": (("matplotlib",), "python3-matplotlib", ()),
    "dask": (("dask.distributed",), "python3-dask python3-distributed", ()),
    "mypy": ((), "mypy", ("mypy",)),
    # The leak soak takes minutes; it runs once, with the first interpreter (FINITEMU_SOAK=1).
    "soak": ((), None, ()),
}

_reasons = {}


def missing(name):
    """Why the tests of group `name` cannot run here, or None when they can."""
    if name not in _reasons:
        _reasons[name] = _why_not(name)
    return _reasons[name]


def _why_not(name):
    modules, packages, programs = GROUPS[name]
    if name == "soak" and os.environ.get("FINITEMU_SOAK") != "1":
        return "set FINITEMU_SOAK=1 (CTest's python-soak entry does)"
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError as error:
            broken = "" if error.name == module.split(".")[0] else f" ({error})"
            return (f"{module} is not importable under {sys.executable}{broken}; "
                    + APT.format(packages=packages))
    for program in programs:
        if shutil.which(program) is None:
            return f"the program {program} is not on PATH; " + APT.format(packages=packages)
    return None


def group(name):
    """Puts a test class or method into group `name`, skipped when the group cannot run."""
    if name not in GROUPS:
        raise ValueError(f"unknown test group {name!r}; the groups are {sorted(GROUPS)}")

    def mark(test):
        test.finitemu_group = name
        reason = missing(name)
        return unittest.skip(f"needs {name}: {reason}")(test) if reason else test

    return mark


def group_of(test):
    """The group of a test case (its method's, else its class's), or None."""
    method = getattr(test, test._testMethodName, None)
    return getattr(method, "finitemu_group", None) or getattr(type(test), "finitemu_group", None)

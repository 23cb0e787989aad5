"""Shared helpers of the Python test suite (not a test module itself)."""

import finitemu

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
ALWAYS_REGISTERED = {"witt_mao_magnification", "multi_witt_mao_magnification",
                     "heyrovsky_magnification"}


def registered_functions():
    """(name, parameters) of the functions the module has, in table order."""
    return [(name, params) for name, params in ALL_FUNCTIONS if hasattr(finitemu, name)]


def provoke_internal_failure():
    """Calls a flux-map function with lists of different lengths, which is an internal failure;
    returns the exception, or None while no flux-map function is registered."""
    for name in ("discrete_flux_map_heyrovsky_magnification",
                 "integrated_flux_map_witt_mao_magnification",
                 "integrated_flux_map_heyrovsky_magnification"):
        function = getattr(finitemu, name, None)
        if function is None:
            continue
        try:
            function([1.0], 1.0, 0.5, [0.0, 0.5], [1.0])
        except BaseException as exception:  # the internal failure is not an Exception
            return exception
        raise AssertionError(f"{name} accepted flux-map lists of different lengths")
    return None


def internal_failure_class():
    """The class pyo3_runtime.PanicException, or None while nothing can raise it."""
    exception = provoke_internal_failure()
    return None if exception is None else type(exception)

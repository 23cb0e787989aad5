"""Magnification of a finite source star by a point-mass lens (gravitational microlensing).

Units, shared by every function:

- ``l`` (and the ring radius ``r``): lens-source separation, in units of the source radius;
- ``re`` and ``rstar``: the Einstein radius and the source radius, in one length unit of the
  caller's choice (only the ratio rho = rstar / re enters the results).

Every sequence parameter takes a list, a tuple, a NumPy array, an ``array.array('d')``, a
memoryview or any other sequence of real numbers (not a ``str``); one-dimensional contiguous
float64 buffers are copied in one go, anything else is read item by item. The annotation
``_FloatSequence`` says so to type checkers without importing NumPy.

Every function checks only the types of its arguments: zero, negative and non-finite values go
through the formulas to whatever result they give (NaN, +-inf). Every function may raise:

- ``TypeError`` for a wrong number or name of arguments, a ``str`` or a non-sequence where a
  sequence is expected, or an element that is not a real number; a conversion error carries the
  note "while processing '<parameter>'";
- ``MemoryError`` when memory runs out, for the arguments, the computation or the result;
- ``pyo3_runtime.PanicException``, the module's internal-failure exception, for flux-map lists
  of different lengths or a worker pool that cannot start. It derives from ``BaseException``,
  not ``Exception``, so ``except Exception`` lets it through: catch it by name (importing
  ``finitemu`` makes ``from pyo3_runtime import PanicException`` work, and instances pickle) or
  with ``except BaseException``, re-raising anything else.
"""

from collections.abc import Iterator
from typing import Protocol, SupportsFloat

class _FloatSequence(Protocol):
    """A sequence of real numbers: list[float], tuple[float, ...], numpy.ndarray, array.array,
    memoryview, ... The module reads its items in order; the length only sizes the copy."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat: ...
    def __iter__(self) -> Iterator[SupportsFloat]: ...

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

def witt_mao_magnification(l: _FloatSequence, re: float, rstar: float) -> list[float]:
    """Magnification of a uniform disk source, one value per separation (Witt & Mao 1994).

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.

    Returns a list of len(l) magnifications (lensed over unlensed flux), in the order of l,
    computed in parallel on the module's worker pool. rstar = 0 puts every separation at the
    lens (+inf); a NaN argument gives NaN elements; nothing numerical raises.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException when the worker pool
    cannot start.

    >>> finitemu.witt_mao_magnification([2.0], 1.0, 0.5)
    [1.3810039278...]
    """

def integrated_witt_mao_magnification(l: _FloatSequence, re: float, rstar: float) -> list[float]:
    """Magnification of a limb-darkened disk, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), per separation.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.

    Returns a list of len(l) magnifications in the order of l: the uniform-disk magnification
    integrated over nested disks with the linear limb-darkening law of coefficient 0.6 (fixed;
    use a flux-map function for any other law), normalised by the unlensed flux 0.8 pi.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException for an internal failure.

    >>> finitemu.integrated_witt_mao_magnification([2.0, 3.0], 1.0, 0.5)
    [1.3768430735..., 1.1426208216...]
    """

def integrated_flux_map_witt_mao_magnification(
    l: _FloatSequence, re: float, rstar: float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """Magnification of a disk with a tabulated radial profile, by thin rings.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.
    bl: radii of the flux map, ascending, in source radii; bf: surface brightness at each radius
    (any unit: the result is normalised by the profile's own flux).

    Returns a list of len(l) magnifications in the order of l. The profile P(r) is the linear
    interpolation of (bl, bf), 0 outside [bl[0], bl[-1]]; the result is the flux integral
    int_0^1 2 pi r P(r) A(r) dr, A(r) = d(r^2 W)/d(r^2) the thin-annulus limit of the uniform-disk
    magnification W (the ring mean), divided by int_0^1 2 pi r P(r) dr (NaN when that is 0, e.g.
    for empty bl and bf). A map of one node is a constant profile over the whole disk, whatever
    its radius: the uniform disk. Equal to integrated_flux_map_heyrovsky_magnification.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException when len(bl) != len(bf)
    (message "assertion `left == right` failed\\n  left: <len(bl)>\\n right: <len(bf)>").

    >>> finitemu.integrated_flux_map_witt_mao_magnification([2.0], 1.0, 0.5, [0.0, 1.0], [1.0, 1.0])
    [1.38100392789...]
    """

def multi_witt_mao_magnification(
    l: _FloatSequence, re: _FloatSequence, rstar: _FloatSequence
) -> list[list[float]]:
    """Uniform-disk magnifications for every pair of an Einstein radius and a source radius.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radii; rstar: source radii, all in one unit.

    Returns len(re) * len(rstar) rows, one per pair in re-major order (row i * len(rstar) + j
    is for re[i], rstar[j]), each equal to witt_mao_magnification(l, re[i], rstar[j]).
    Computed in parallel over the pairs and, nested, over the separations.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException when the worker pool
    cannot start.

    >>> finitemu.multi_witt_mao_magnification([2.0], [1.0], [0.5, 0.05])
    [[1.3810039278...], [10.384950851...]]
    """

def heyrovsky_magnification(l: float, r: float, re: float, rstar: float) -> float:
    """Magnification of a thin luminous ring (Heyrovsky 2003): the mean of the point-source
    magnification over a circle.

    l: separation between the lens and the ring's centre, in source radii.
    r: radius of the ring, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.

    Returns one float; +inf when the ring passes through the lens (r == l > 0).

    Raises RuntimeError with the elliptic routine's message when it fails, e.g.
    "ellipk: Arguments cannot be NAN." for a NaN argument; TypeError for bad arguments.

    >>> finitemu.heyrovsky_magnification(0.0, 0.5, 2.0, 1.0)
    4.09314624144...
    """

def integrated_heyrovsky_magnification(l: _FloatSequence, re: float, rstar: float) -> list[float]:
    """Magnification of the limb-darkened disk I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), by rings.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.

    Returns a list of len(l) magnifications in the order of l: the flux of thin rings,
    2 pi r I(r) times the ring magnification, integrated over 0 <= r <= 1 and divided by the
    unlensed flux 0.8 pi. The same source as integrated_witt_mao_magnification, by another road.
    Failures of the ring kernel inside the integral drop those samples; nothing numerical raises.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException for an internal failure.

    >>> finitemu.integrated_heyrovsky_magnification([2.0, 3.0], 1.0, 0.5)
    [1.3768430735..., 1.1426208216...]
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _FloatSequence, re: float, rstar: float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """Magnification of a disk with a tabulated radial profile, by rings.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.
    bl: radii of the flux map, ascending, in source radii; bf: surface brightness at each radius.

    Returns a list of len(l) magnifications in the order of l: int_0^1 2 pi r P(r) H(l, r) dr
    over the ring magnification H, divided by int_0^1 2 pi r P(r) dr, with P the linear
    interpolation of (bl, bf), 0 outside [bl[0], bl[-1]]; a map of one node is a constant
    profile over the whole disk, whatever its radius: the uniform disk.

    Raises TypeError for bad arguments, pyo3_runtime.PanicException when len(bl) != len(bf)
    (message "assertion `left == right` failed\\n  left: <len(bl)>\\n right: <len(bf)>").

    >>> finitemu.integrated_flux_map_heyrovsky_magnification([2.0], 1.0, 0.5, [0.0, 1.0], [1.0, 1.0])
    [1.38100392789...]
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _FloatSequence, re: float, rstar: float, bl: _FloatSequence, bf: _FloatSequence
) -> list[float]:
    """Sum of thin-ring magnifications weighted by the flux map, without normalisation.

    l: separations between the lens and the source centre, in source radii.
    re: Einstein radius; rstar: source radius, in the same unit as re.
    bl: ring radii, in source radii; bf: weight of each ring.

    Returns a list of len(l) values sum_j bf[j] * heyrovsky_magnification(l[i], bl[j], re,
    rstar), in the order of l; weights summing to 1 give a magnification.

    Raises RuntimeError with the elliptic routine's message when a ring fails (the first
    failure, in the order of l then bl); TypeError for bad arguments;
    pyo3_runtime.PanicException when len(bl) != len(bf).

    >>> finitemu.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.5, [0.5, 1.0], [0.25, 0.75])
    [1.408406228...]
    """

"""Property-based fuzzing of the Python boundary: random argument counts, keywords and values,
hostile objects among them, against an oracle that predicts from the arguments alone what each
call must do.

The rules the oracle encodes:
  - binding problems are TypeError with the interpreter's texts, and nothing is converted;
  - parameters are converted in declaration order; the first failure is the converter's own
    exception (the very object a __float__ or __iter__ raised) with the note
    "while processing '{parameter}'", except the internal-failure exception raised by Python code,
    which comes back as a new internal-failure exception carrying its str();
  - flux maps of different lengths end in the internal failure with the three-line text;
  - RuntimeError only from heyrovsky_magnification and discrete_flux_map_heyrovsky_magnification
    (and always when a NaN reaches the ring kernel there);
  - otherwise the result has the shape of the function's result kind, and equals the result of
    the same call made with plain floats and lists of the converted values.

The seed (fixed by default) is printed on standard error; set FINITEMU_FUZZ_SEED to replay or vary
a run, and FINITEMU_FUZZ_CALLS to change the number of fuzzed calls (default 24000)."""

import array
import contextlib
import math
import os
import random
import re
import struct
import sys
import unittest

import finitemu
from support import NullStream, internal_failure_class

# Parameter kinds of every function: "f" a float, "s" a sequence of floats; and the result kind.
SIGNATURES = {
    "witt_mao_magnification": ("s f f", "list"),
    "integrated_witt_mao_magnification": ("s f f", "list"),
    "integrated_flux_map_witt_mao_magnification": ("s f f s s", "list"),
    "multi_witt_mao_magnification": ("s s s", "rows"),
    "heyrovsky_magnification": ("f f f f", "float"),
    "integrated_heyrovsky_magnification": ("s f f", "list"),
    "integrated_flux_map_heyrovsky_magnification": ("s f f s s", "list"),
    "discrete_flux_map_heyrovsky_magnification": ("s f f s s", "list"),
}
FLUX_MAPS = {name for name, (kinds, _) in SIGNATURES.items() if kinds == "s f f s s"}
RAISES_KERNEL_ERRORS = {"heyrovsky_magnification", "discrete_flux_map_heyrovsky_magnification"}
# The ring kernel passes on the messages of the two elliptic routines it calls.
KERNEL_MESSAGE = re.compile(r"(ellipk|ellippi): [^\n]+\.")

DEFAULT_SEED = 20261208
DEFAULT_CALLS = 24000
MAX_ITEMS = 6  # the integrated functions take a quadrature per separation

PANIC = None  # the internal-failure class, set in setUpModule


def setUpModule():
    global PANIC
    PANIC = internal_failure_class()


# --- Outcomes predicted for one conversion ------------------------------------------------------

class Ok:
    def __init__(self, value):
        self.value = value  # a float, or a list of floats


class Raises:
    """The conversion raises exactly `exception` (the object Python code raised), or some
    instance of `cls` when the interpreter makes the exception itself."""

    def __init__(self, cls, exception=None, message=None):
        self.cls, self.exception, self.message = cls, exception, message


class Panics:
    def __init__(self, message):
        self.message = message


# --- Hostile objects ----------------------------------------------------------------------------
# Each knows what its conversion must give. Exceptions are made afresh on every use, so that
# notes do not pile up and the oracle can check identity.

class Hostile:
    def float_outcome(self):
        return Raises(TypeError)

    def sequence_outcome(self):
        return Raises(TypeError, message=not_a_sequence_text(self))

    def __repr__(self):
        return type(self).__name__


class RaisingFloat(Hostile):
    def __init__(self):
        self.raised = None

    def __float__(self):
        self.raised = ValueError("__float__ refuses")
        raise self.raised

    def float_outcome(self):
        return Raises(ValueError, exception=lambda: self.raised)


class NonFloatFloat(Hostile):
    def __float__(self):
        return 1  # an int: the interpreter refuses it

    def float_outcome(self):
        return Raises(TypeError, message="NonFloatFloat.__float__ returned non-float (type int)")


class InterruptingFloat(Hostile):
    def __init__(self):
        self.raised = None

    def __float__(self):
        self.raised = KeyboardInterrupt()
        raise self.raised

    def float_outcome(self):
        return Raises(KeyboardInterrupt, exception=lambda: self.raised)


class PanickingFloat(Hostile):
    def __float__(self):
        raise PANIC("raised by __float__")

    def float_outcome(self):
        return Panics("raised by __float__")


class GoodFloat(Hostile):
    def __float__(self):
        return -1.0  # the error marker of PyFloat_AsDouble, with no error pending

    def float_outcome(self):
        return Ok(-1.0)


class RaisingIndex(Hostile):
    def __init__(self):
        self.raised = None

    def __index__(self):
        self.raised = ArithmeticError("__index__ refuses")
        raise self.raised

    def float_outcome(self):
        return Raises(ArithmeticError, exception=lambda: self.raised)


class HugeIndex(Hostile):
    def __index__(self):
        return 10**400

    def float_outcome(self):
        return Raises(OverflowError)


class GoodIndex(Hostile):
    def __index__(self):
        return 7

    def float_outcome(self):
        return Ok(7.0)


class HostileSequence(Hostile):
    """A sequence (it has __getitem__) whose __len__ and __iter__ misbehave as configured."""

    def __init__(self, items, length="true", stop=None, stop_with=LookupError):
        self.items = items
        self.length = length
        self.stop = stop  # index at which the iteration raises, or None
        self.stop_with = stop_with
        self.raised = None

    def __len__(self):
        if self.length == "raises":
            raise RuntimeError("__len__ refuses")
        if self.length == "lies":
            return len(self.items) + 3 if len(self.items) % 2 else max(len(self.items) - 2, 0)
        if self.length == "huge":
            return 2**62
        if self.length == "overflows":
            return 2**63  # OverflowError in len()
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.stop:
                self.raised = self.stop_with("iteration broke")
                raise self.raised
            yield item
        if self.stop is not None and self.stop >= len(self.items):
            self.raised = self.stop_with("iteration broke")
            raise self.raised

    def sequence_outcome(self):
        prefix = self.items if self.stop is None else self.items[:self.stop]
        outcome = convert_items(prefix)
        if not isinstance(outcome, Ok) or self.stop is None:
            return outcome
        return Raises(self.stop_with, exception=lambda: self.raised)

    def __repr__(self):
        return f"HostileSequence({self.items!r}, length={self.length}, stop={self.stop})"


class NotAnIterator(Hostile):
    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        return 42

    def sequence_outcome(self):
        return Raises(TypeError, message="iter() returned non-iterator of type 'int'")


class RaisingIter(Hostile):
    def __init__(self):
        self.raised = None

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        self.raised = OSError("__iter__ refuses")
        raise self.raised

    def sequence_outcome(self):
        return Raises(OSError, exception=lambda: self.raised)


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class ListSubclass(list):
    pass


class DictLike(dict):
    def __getitem__(self, key):  # still a mapping: refused
        return 1.0


def not_a_sequence_text(value):
    if value is None:
        return "'None' is not an instance of 'Sequence'"
    return f"'{type(value).__qualname__}' object is not an instance of 'Sequence'"


# --- The oracle for one conversion --------------------------------------------------------------

def convert_float(value):
    if isinstance(value, Hostile):
        return value.float_outcome()
    if isinstance(value, float):
        return Ok(float(value))
    if isinstance(value, int):
        try:
            return Ok(float(value))
        except OverflowError:
            return Raises(OverflowError, message="int too large to convert to float")
    return Raises(TypeError)


def convert_items(items):
    values = []
    for item in items:
        outcome = convert_float(item)
        if not isinstance(outcome, Ok):
            return outcome
        values.append(outcome.value)
    return Ok(values)


def convert_sequence(value):
    if isinstance(value, str):
        return Raises(TypeError, message="Can't extract `str` to `Vec`")
    if isinstance(value, Hostile):
        return value.sequence_outcome()
    if isinstance(value, memoryview):
        if value.ndim != 1:
            return Raises(NotImplementedError)
        return convert_items(value.tolist())
    if isinstance(value, (list, tuple, range, bytes, bytearray, array.array)):
        return convert_items(list(value))
    if isinstance(value, Released):
        return Raises(ValueError)
    return Raises(TypeError, message=not_a_sequence_text(value))


class Released:
    """Stands for a memoryview released before the call (made by materialise)."""


# --- Random values ------------------------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, 2.225073858507201e-308,
                  1e308, -1e308, math.inf, -math.inf, math.nan, 1.0000000001, 3.0]


def random_float(rng):
    roll = rng.random()
    if roll < 0.4:
        return rng.choice(SPECIAL_FLOATS)
    if roll < 0.8:
        return rng.uniform(0.0, 4.0)
    return rng.choice([-1, 1]) * math.exp(rng.uniform(-30.0, 30.0))


def random_number(rng):
    """Anything PyFloat_AsDouble accepts, or nearly."""
    roll = rng.randrange(10)
    if roll < 6:
        return random_float(rng)
    if roll == 6:
        return rng.choice([0, 1, -1, 3, 2**53 + 1, 10**400, -(10**400), 2**1024, True, False])
    if roll == 7:
        return rng.choice([FloatSubclass(rng.uniform(0, 3)), IntSubclass(2)])
    return rng.choice([RaisingFloat, NonFloatFloat, InterruptingFloat, GoodFloat, RaisingIndex,
                       HugeIndex, GoodIndex] + ([PanickingFloat] if PANIC else []))()


def random_items(rng, hostile):
    n = rng.randrange(MAX_ITEMS + 1)
    if not hostile:
        return [random_float(rng) for _ in range(n)]
    return [random_number(rng) if rng.random() < 0.3 else random_float(rng) for _ in range(n)]


def random_sequence(rng):
    """Anything PySequence_Check accepts, or nearly (as a recipe: generators and released
    memoryviews are made per call by materialise)."""
    roll = rng.randrange(20)
    floats = [random_float(rng) for _ in range(rng.randrange(MAX_ITEMS + 1))]
    if roll < 7:
        return floats
    if roll == 7:
        return tuple(random_items(rng, True))
    if roll == 8:
        return random_items(rng, True)
    if roll == 9:
        return rng.choice([range(rng.randrange(5)), range(3, -2, -1), bytes([1, 2, 250]),
                           bytearray(b"\x00\x07"), b"", ListSubclass(floats)])
    if roll == 10:
        return rng.choice([array.array("d", floats), array.array("f", floats[:2]),
                           array.array("i", [1, -2, 3]), array.array("q", [2**62])])
    if roll == 11:
        backing = array.array("d", floats + [0.5] * (6 - len(floats) % 6 if floats else 6))
        return rng.choice([memoryview(array.array("d", floats)), memoryview(b"\x01\x02"),
                           memoryview(backing)[::2],
                           memoryview(backing).cast("B").cast("d", [2, len(backing) // 2]),
                           Released()])
    if roll == 12:
        return HostileSequence(random_items(rng, True),
                               length=rng.choice(["true", "raises", "lies", "huge", "overflows"]))
    if roll == 13:
        items = random_items(rng, False)
        return HostileSequence(items, stop=rng.randrange(len(items) + 1),
                               stop_with=rng.choice([LookupError, KeyboardInterrupt]))
    if roll == 14:
        return rng.choice([NotAnIterator(), RaisingIter()])
    if roll == 15:
        return rng.choice(["abc", "", FloatSubclass.__name__])
    if roll == 16:
        return rng.choice([None, 5, 2.5, {1.0: 2.0}, {1.0, 2.0}, frozenset(), DictLike(),
                           "generator", object()])
    return random_number(rng)


def random_value(rng, kind, clean):
    """A value for a parameter of `kind`; a clean one converts."""
    if clean:
        if kind == "f":
            return random_float(rng) if rng.random() < 0.9 else rng.choice([2, True, GoodIndex()])
        floats = [random_float(rng) for _ in range(rng.randrange(MAX_ITEMS + 1))]
        return rng.choice([floats, floats, tuple(floats), array.array("d", floats)])
    roll = rng.random()
    if kind == "f":
        return random_number(rng) if roll < 0.85 else random_sequence(rng)
    return random_sequence(rng) if roll < 0.9 else random_number(rng)


def materialise(value):
    """The object to pass: a fresh generator or released memoryview for their recipes."""
    if isinstance(value, str) and value == "generator":
        return (x for x in (1.0, 2.0))
    if isinstance(value, Released):
        view = memoryview(array.array("d", [1.0]))
        view.release()
        return view
    return value


def prediction_of(value, kind):
    if kind == "s" and isinstance(value, str) and value == "generator":
        return Raises(TypeError, message="'generator' object is not an instance of 'Sequence'")
    return convert_float(value) if kind == "f" else convert_sequence(value)


# --- Binding ------------------------------------------------------------------------------------

def binding_error(name, params, positional, keywords):
    """The TypeError text for this binding, or None when it binds."""
    n = len(params)
    if positional > n:
        return (f"{name}() takes {n} positional arguments but {positional} "
                f"{'was' if positional == 1 else 'were'} given")
    filled = set(range(positional))
    for keyword in keywords:
        if keyword not in params:
            return f"{name}() got an unexpected keyword argument '{keyword}'"
        index = params.index(keyword)
        if index in filled:
            return f"{name}() got multiple values for argument '{keyword}'"
        filled.add(index)
    missing = [f"'{p}'" for i, p in enumerate(params) if i not in filled]
    if not missing:
        return None
    if len(missing) == 1:
        listed = missing[0]
    elif len(missing) == 2:
        listed = " and ".join(missing)
    else:
        listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
    return (f"{name}() missing {len(missing)} required positional "
            f"argument{'s' if len(missing) > 1 else ''}: {listed}")


def random_binding(rng, params):
    """(number of positional arguments, keyword names in order); a keyword is given once."""
    positional, keywords = random_binding_with_repeats(rng, params)
    return positional, list(dict.fromkeys(keywords))


def random_binding_with_repeats(rng, params):
    n = len(params)
    roll = rng.random()
    if roll < 0.8:  # binds: a positional prefix, the rest by keyword in random order
        positional = rng.randrange(n + 1)
        keywords = list(params[positional:])
        rng.shuffle(keywords)
        return positional, keywords
    if roll < 0.85:
        return n + rng.randrange(1, 3), rng.sample(list(params), rng.randrange(2))
    if roll < 0.9:
        positional = rng.randrange(n)
        keywords = list(params[positional:])
        rng.shuffle(keywords)
        return positional, keywords[:rng.randrange(len(keywords))]
    if roll < 0.95:
        positional = rng.randrange(n + 1)
        keywords = list(params[positional:])
        keywords.insert(rng.randrange(len(keywords) + 1),
                        rng.choice(["foo", "L", "r", "bl", "rho", "l_", "\u00e9"]))
        return positional, keywords
    positional = rng.randrange(1, n + 1)
    keywords = list(params[positional:]) + [params[rng.randrange(positional)]]
    rng.shuffle(keywords)
    return positional, keywords


# --- Checking one call --------------------------------------------------------------------------

def same_floats(a, b):
    return struct.pack(f"{len(a)}d", *a) == struct.pack(f"{len(b)}d", *b) or (
        len(a) == len(b) and all(x == y or (math.isnan(x) and math.isnan(y))
                                 for x, y in zip(a, b)))


def plain(value):
    return list(value) if isinstance(value, list) else value


class Fuzzer:
    def __init__(self, test, rng):
        self.test, self.rng = test, rng
        self.calls = {}
        self.outcomes = {}

    def call(self, function, positional, keywords, values):
        args = [materialise(v) for v in values]
        self.calls[function.__name__] = self.calls.get(function.__name__, 0) + 1
        names = PARAMETERS[function.__name__]
        kwargs = {k: args[names.index(k)] if k in names else 1.0 for k in keywords}
        try:
            return function(*args[:positional], **kwargs), args
        except BaseException as exception:  # the internal failure and KeyboardInterrupt too
            return exception, args

    def check(self, name, result, expected, context):
        fail = self.test.fail
        kind = type(expected).__name__
        self.outcomes[kind] = self.outcomes.get(kind, 0) + 1
        if isinstance(expected, Raises):
            if not isinstance(result, BaseException) or type(result) is not expected.cls and \
                    not (expected.exception is None and isinstance(result, expected.cls)):
                fail(f"{context}: expected {expected.cls.__name__}, got {result!r}")
            if expected.exception is not None and result is not expected.exception():
                fail(f"{context}: not the exception Python code raised: {result!r}")
            if expected.message is not None and str(result) != expected.message:
                fail(f"{context}: message {str(result)!r}, expected {expected.message!r}")
            return
        if isinstance(expected, Panics):
            if type(result) is not PANIC or result.args != (expected.message,):
                fail(f"{context}: expected the internal failure {expected.message!r}, "
                     f"got {result!r}")
            if hasattr(result, "__notes__"):
                fail(f"{context}: the internal failure carries notes {result.__notes__}")
            return
        if isinstance(result, RuntimeError) and type(result) is RuntimeError and \
                name in RAISES_KERNEL_ERRORS and expected.kernel_error_allowed:
            if len(result.args) != 1 or not KERNEL_MESSAGE.fullmatch(str(result.args[0])):
                fail(f"{context}: unknown kernel message {result.args!r}")
            return
        if expected.kernel_error_required:
            fail(f"{context}: a NaN reached the ring kernel, yet no RuntimeError: {result!r}")
        if isinstance(result, BaseException):
            fail(f"{context}: unexpected {type(result).__name__}: {result!r}")
        shape = SIGNATURES[name][1]
        if shape == "float":
            if type(result) is not float:
                fail(f"{context}: expected a float, got {result!r}")
        elif shape == "list":
            if type(result) is not list or len(result) != expected.length or \
                    any(type(x) is not float for x in result):
                fail(f"{context}: expected a list of {expected.length} floats, got {result!r}")
        else:
            rows, length = expected.length
            if type(result) is not list or len(result) != rows or any(
                    type(row) is not list or len(row) != length or
                    any(type(x) is not float for x in row) for row in result):
                fail(f"{context}: expected {rows} rows of {length} floats, got {result!r}")


PARAMETERS = {
    "witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_witt_mao_magnification": ("l", "re", "rstar", "bl", "bf"),
    "multi_witt_mao_magnification": ("l", "re", "rstar"),
    "heyrovsky_magnification": ("l", "r", "re", "rstar"),
    "integrated_heyrovsky_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
    "discrete_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
}


class Computes:
    """Conversion succeeds: the result kind, and the plain arguments of the reference call."""

    def __init__(self, name, converted):
        self.converted = converted
        l = converted[0]
        shape = SIGNATURES[name][1]
        self.length = (len(converted[1]) * len(converted[2]), len(l)) if shape == "rows" else \
            (len(l) if shape == "list" else None)
        if name == "heyrovsky_magnification":
            self.kernel_error_allowed = True
            self.kernel_error_required = math.isnan(converted[0]) or math.isnan(converted[1])
        elif name == "discrete_flux_map_heyrovsky_magnification":
            self.kernel_error_allowed = bool(l) and bool(converted[3])
            self.kernel_error_required = self.kernel_error_allowed and (
                any(math.isnan(x) for x in l) or any(math.isnan(x) for x in converted[3]))
        else:
            self.kernel_error_allowed = self.kernel_error_required = False


def predict(name, positional, keywords, values):
    params = PARAMETERS[name]
    text = binding_error(name, params, positional, keywords)
    if text is not None:
        return Raises(TypeError, message=text), None
    kinds = SIGNATURES[name][0].split()
    converted = []
    for param, kind, value in zip(params, kinds, values):
        outcome = prediction_of(value, kind)
        if not isinstance(outcome, Ok):
            return outcome, param
        converted.append(outcome.value)
    if name in FLUX_MAPS and len(converted[3]) != len(converted[4]):
        return Panics("assertion `left == right` failed\n"
                      f"  left: {len(converted[3])}\n right: {len(converted[4])}"), None
    return Computes(name, converted), None


class Fuzz(unittest.TestCase):
    def test_random_calls_raise_what_the_rules_say_or_return_the_result_kind(self):
        seed = int(os.environ.get("FINITEMU_FUZZ_SEED", DEFAULT_SEED))
        total = int(os.environ.get("FINITEMU_FUZZ_CALLS", DEFAULT_CALLS))
        print(f"\ntest_fuzz: FINITEMU_FUZZ_SEED={seed} FINITEMU_FUZZ_CALLS={total}",
              file=sys.stderr, flush=True)
        rng = random.Random(seed)
        names = list(finitemu.__all__)
        self.assertTrue(set(names) <= set(SIGNATURES), names)
        fuzzer = Fuzzer(self, rng)
        references = 0
        with contextlib.redirect_stderr(NullStream()):  # reports of resumed internal failures
            for index in range(total):
                name = names[index % len(names)]
                function = getattr(finitemu, name)
                params = PARAMETERS[name]
                positional, keywords = random_binding(rng, params)
                clean = rng.random() < 0.4
                values = [random_value(rng, kind, clean) for kind in SIGNATURES[name][0].split()]
                values += [random_number(rng) for _ in range(max(0, positional - len(params)))]
                context = (f"call {index} (seed {seed}) {name}: positional {positional}, "
                           f"keywords {keywords}, values {values!r}")
                result, args = fuzzer.call(function, positional, keywords, values)
                expected, param = predict(name, positional, keywords, values)
                fuzzer.check(name, result, expected, context)
                if isinstance(expected, Raises) and param is not None:
                    notes = getattr(result, "__notes__", [])
                    if not notes or notes[-1] != f"while processing '{param}'":
                        self.fail(f"{context}: notes {notes!r}, expected the note for {param}")
                if isinstance(expected, Raises) and param is None and \
                        hasattr(result, "__notes__"):
                    self.fail(f"{context}: a binding error carries notes {result.__notes__}")
                if isinstance(expected, Computes) and any(
                        type(a) not in (float, list) for a in args):
                    # The same call with plain floats and lists of the converted values.
                    references += 1
                    try:
                        again = function(*[plain(v) for v in expected.converted])
                    except RuntimeError as error:
                        again = error
                    if isinstance(result, RuntimeError) or isinstance(again, RuntimeError):
                        self.assertEqual(repr(result), repr(again), context)
                    elif SIGNATURES[name][1] == "float":
                        self.assertTrue(same_floats([result], [again]), context)
                    elif SIGNATURES[name][1] == "rows":
                        self.assertTrue(all(same_floats(a, b) for a, b in zip(result, again)),
                                        context)
                    else:
                        self.assertTrue(same_floats(result, again), context)
        print(f"test_fuzz: {total} calls and {references} reference calls; per function "
              f"{fuzzer.calls}; outcomes {fuzzer.outcomes}", file=sys.stderr, flush=True)
        for name in names:
            self.assertGreaterEqual(fuzzer.calls[name], total // len(names))
        self.assertGreater(fuzzer.outcomes.get("Computes", 0), total // 4)
        # Still a working interpreter and module.
        self.assertEqual(len(finitemu.witt_mao_magnification([1.0, 2.0], 1.0, 0.5)), 2)


if __name__ == "__main__":
    unittest.main()

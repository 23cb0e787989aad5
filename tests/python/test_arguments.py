"""Binding of arguments to parameters and their conversion to doubles and lists of doubles."""

import array
import contextlib
import io
import math
import os
import subprocess
import sys
import unittest

import finitemu
from support import internal_failure_class, registered_functions, run_python

witt_mao = finitemu.witt_mao_magnification
heyrovsky = finitemu.heyrovsky_magnification


def interpreter_error(value):
    """Class and text of the interpreter's own error for the float conversion of `value`."""
    try:
        math.fsum([value])  # converts with PyFloat_AsDouble, as the module does
    except BaseException as exception:
        return type(exception), str(exception)
    raise AssertionError(f"{value!r} converts to float")


def same_floats(a, b):
    """Equal element for element, NaN equal to NaN."""
    return len(a) == len(b) and all(x == y or (math.isnan(x) and math.isnan(y))
                                    for x, y in zip(a, b))


class Untouchable:
    """Fails the test if anything tries to convert it."""

    def __float__(self):
        raise AssertionError("converted although binding failed")

    def __iter__(self):
        raise AssertionError("iterated although binding failed")

    def __getitem__(self, index):
        raise AssertionError("indexed although binding failed")


class Holder:
    class NotASequence:
        pass

    class Raising:
        def __init__(self, problem):
            self.problem = problem

        def __float__(self):
            raise self.problem


class Binding(unittest.TestCase):
    def assert_type_error(self, text, call, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            call(*args, **kwargs)
        self.assertIs(type(caught.exception), TypeError)
        self.assertEqual(caught.exception.args, (text,))
        self.assertFalse(hasattr(caught.exception, "__notes__"))

    def test_missing_arguments_are_listed_in_parameter_order(self):
        prefix = "witt_mao_magnification() missing "
        self.assert_type_error(
            prefix + "3 required positional arguments: 'l', 're', and 'rstar'", witt_mao)
        self.assert_type_error(
            prefix + "2 required positional arguments: 'l' and 'rstar'", witt_mao, re=1.0)
        self.assert_type_error(
            prefix + "1 required positional argument: 'rstar'", witt_mao, [1.0], 1.0)
        self.assert_type_error(
            prefix + "1 required positional argument: 'l'", witt_mao, rstar=0.5, re=1.0)
        self.assert_type_error(
            "heyrovsky_magnification() missing 4 required positional arguments: "
            "'l', 'r', 're', and 'rstar'", heyrovsky)
        self.assert_type_error(
            "heyrovsky_magnification() missing 2 required positional arguments: 'r' and 're'",
            heyrovsky, 0.0, rstar=1.0)

    def test_every_function_names_its_missing_parameters(self):
        for name, params in registered_functions():
            with self.subTest(name=name):
                quoted = [f"'{p}'" for p in params]
                listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
                self.assert_type_error(
                    f"{name}() missing {len(params)} required positional arguments: {listed}",
                    getattr(finitemu, name))

    def test_surplus_positional_arguments_come_first(self):
        text = "witt_mao_magnification() takes 3 positional arguments but 4 were given"
        self.assert_type_error(text, witt_mao, [1.0], 1.0, 0.5, 2.0)
        self.assert_type_error(text, witt_mao, [1.0], 1.0, 0.5, 2.0, foo=1)
        self.assert_type_error(text, witt_mao, [1.0], 1.0, 0.5, 2.0, l=[1.0])
        self.assert_type_error(
            "heyrovsky_magnification() takes 4 positional arguments but 6 were given",
            heyrovsky, 0.0, 0.5, 2.0, 1.0, 5, 6)

    def test_unexpected_keyword(self):
        prefix = "witt_mao_magnification() got an unexpected keyword argument "
        self.assert_type_error(prefix + "'foo'", witt_mao, [1.0], 1.0, 0.5, foo=1)
        self.assert_type_error(prefix + "'L'", witt_mao, L=[1.0], re=1.0, rstar=0.5)
        self.assert_type_error(prefix + "'rstär'", witt_mao, [1.0], 1.0, **{"rstär": 0.5})
        # A name that UTF-8 cannot encode matches no parameter and is shown as it is.
        self.assert_type_error(prefix + "'\udc80'", witt_mao, [1.0], 1.0, 0.5, **{"\udc80": 1})

    def test_multiple_values(self):
        self.assert_type_error(
            "witt_mao_magnification() got multiple values for argument 'l'",
            witt_mao, [1.0], 1.0, l=[2.0])  # although rstar is missing too
        self.assert_type_error(
            "heyrovsky_magnification() got multiple values for argument 're'",
            heyrovsky, 0.0, 0.5, 2.0, rstar=1.0, re=2.0)

    def test_keywords_are_examined_in_the_order_given(self):
        self.assert_type_error(
            "witt_mao_magnification() got an unexpected keyword argument 'foo'",
            witt_mao, [1.0], foo=1, l=[2.0])
        self.assert_type_error(
            "witt_mao_magnification() got multiple values for argument 'l'",
            witt_mao, [1.0], l=[2.0], foo=1)
        self.assert_type_error(
            "witt_mao_magnification() got an unexpected keyword argument 'foo'",
            witt_mao, foo=1)

    def test_nothing_is_converted_when_binding_fails(self):
        self.assertRaises(TypeError, witt_mao, Untouchable(), Untouchable())
        self.assertRaises(TypeError, witt_mao, Untouchable(), Untouchable(), 0.5, foo=1)
        self.assertRaises(TypeError, heyrovsky, Untouchable(), Untouchable(), 1.0, 1.0, 1.0)

    def test_keyword_and_mixed_calls_equal_positional_ones(self):
        expected = witt_mao([2.0, 0.3], 1.0, 0.5)
        self.assertEqual(witt_mao(rstar=0.5, re=1.0, l=[2.0, 0.3]), expected)
        self.assertEqual(witt_mao([2.0, 0.3], 1.0, rstar=0.5), expected)
        self.assertEqual(heyrovsky(rstar=1.0, re=2.0, r=0.5, l=1.0), heyrovsky(1.0, 0.5, 2.0, 1.0))
        self.assertEqual(
            finitemu.multi_witt_mao_magnification(rstar=[0.5, 0.1], l=[1.0], re=[1.0]),
            finitemu.multi_witt_mao_magnification([1.0], [1.0], [0.5, 0.1]))


class SequenceConversion(unittest.TestCase):
    def assert_refused(self, text, value, parameter="l"):
        with self.assertRaises(TypeError) as caught:
            witt_mao(value, 1.0, 0.5) if parameter == "l" else witt_mao([1.0], value, 0.5)
        self.assertIs(type(caught.exception), TypeError)
        self.assertEqual(caught.exception.args, (text,))
        self.assertEqual(caught.exception.__notes__, [f"while processing '{parameter}'"])

    def test_str_is_refused(self):
        class Text(str):
            pass

        for value in ("abc", "", "1.0", Text("12")):
            with self.subTest(value=value):
                self.assert_refused("Can't extract `str` to `Vec`", value)

    def test_non_sequences_are_named_by_qualified_type_name(self):
        def numbers():
            yield 1.0

        cases = [
            (5, "int"), (1.5, "float"), ({1.0: 2.0}, "dict"), ({1.0}, "set"),
            (frozenset([1.0]), "frozenset"), (numbers(), "generator"),
            (iter([1.0]), "list_iterator"), ({}.keys(), "dict_keys"),
            (Holder.NotASequence(), "Holder.NotASequence"),
        ]
        for value, type_name in cases:
            with self.subTest(type_name=type_name):
                self.assert_refused(f"'{type_name}' object is not an instance of 'Sequence'", value)

    def test_none_has_its_own_text(self):
        self.assert_refused("'None' is not an instance of 'Sequence'", None)

    def test_only_the_first_failing_parameter_is_reported(self):
        with self.assertRaises(TypeError) as caught:
            witt_mao("abc", "x", 0.5)
        self.assertEqual(str(caught.exception), "Can't extract `str` to `Vec`")
        self.assertEqual(caught.exception.__notes__, ["while processing 'l'"])
        with self.assertRaises(TypeError) as caught:
            finitemu.multi_witt_mao_magnification([1.0], [1.0], None)
        self.assertEqual(caught.exception.__notes__, ["while processing 'rstar'"])

    def test_sequences_of_numbers_are_accepted(self):
        class Squares:
            """The old sequence protocol: __getitem__ until IndexError."""

            def __getitem__(self, index):
                if index >= 3:
                    raise IndexError(index)
                return index * index

            def __len__(self):
                return 3

        class Floats(list):
            pass

        cases = [
            ((1, 2.5), [1.0, 2.5]),
            (b"\x01\x02", [1.0, 2.0]),
            (bytearray(b"\x00\x07"), [0.0, 7.0]),
            (range(3), [0.0, 1.0, 2.0]),
            (array.array("d", [0.25, -3.0]), [0.25, -3.0]),
            (memoryview(b"\x05"), [5.0]),
            (Squares(), [0.0, 1.0, 4.0]),
            (Floats([True, 2]), [1.0, 2.0]),
            ([], []),
        ]
        for value, floats in cases:
            with self.subTest(value=value):
                self.assertTrue(same_floats(witt_mao(value, 1.0, 0.5), witt_mao(floats, 1.0, 0.5)))

    def test_length_is_what_the_iteration_yields(self):
        class Lying(list):
            def __init__(self, items, length):
                super().__init__(items)
                self.length = length

            def __len__(self):
                if isinstance(self.length, Exception):
                    raise self.length
                return self.length

        expected = witt_mao([2.0, 0.5], 1.0, 0.5)
        for length in (0, 1, 1000, 2**62, ValueError("no length"), KeyError("no length")):
            with self.subTest(length=length):
                self.assertEqual(witt_mao(Lying([2.0, 0.5], length), 1.0, 0.5), expected)

    def test_a_list_changed_while_it_converts_gives_what_its_iteration_gives(self):
        # Converting an item may run Python code that grows, shrinks or rewrites the list; the
        # separations are the items the list's own iterator would have yielded, in that order.
        def changing(action):
            class Changer:
                def __float__(self):
                    action(items)
                    return 1.5

            items = [2.0, Changer(), 3.0, 4.0, 5.0]
            return items

        def grow(items):
            items.append(0.25)

        def shrink(items):
            del items[3:]

        def rewrite(items):
            items[2] = 7.0
            items.insert(0, 9.0)  # shifts the items still to come

        for action in (grow, shrink, rewrite):
            with self.subTest(action=action.__name__):
                iterated = [float(x) for x in changing(action)]
                self.assertEqual(witt_mao(changing(action), 1.0, 0.0), witt_mao(iterated, 1.0, 0.0))
                self.assertNotEqual(len(iterated), 5)  # the change did happen

    def test_failed_iteration_is_the_error(self):
        problem = ValueError("stream broke")

        class Broken:
            def __getitem__(self, index):
                if index == 2:
                    raise problem
                return 1.0

        with self.assertRaises(ValueError) as caught:
            witt_mao(Broken(), 1.0, 0.5)
        self.assertIs(caught.exception, problem)
        self.assertEqual(caught.exception.__notes__, ["while processing 'l'"])

    def test_unconvertible_item_gives_the_interpreter_error(self):
        for item in ("x", None, [1.0], 10**400):
            with self.subTest(item=item):
                expected_class, expected_text = interpreter_error(item)
                with self.assertRaises(expected_class) as caught:
                    witt_mao([1.0, item, 2.0], 1.0, 0.5)
                self.assertIs(type(caught.exception), expected_class)
                self.assertEqual(str(caught.exception), expected_text)
                self.assertEqual(caught.exception.__notes__, ["while processing 'l'"])


class FloatConversion(unittest.TestCase):
    def test_numbers_and_number_like_objects_are_accepted(self):
        class Real(float):
            pass

        class WithFloat:
            def __float__(self):
                return 1.0

        class WithIndex:
            def __index__(self):
                return 1

        for value in (1, True, Real(1.0), WithFloat(), WithIndex()):
            with self.subTest(value=value):
                self.assertEqual(witt_mao([2.0], value, 0.5), witt_mao([2.0], 1.0, 0.5))
                self.assertEqual(heyrovsky(1.0, 0.5, 2.0, value), heyrovsky(1.0, 0.5, 2.0, 1.0))

    def test_minus_one_is_a_value(self):
        class MinusOne:
            def __float__(self):
                return -1.0

        expected = witt_mao([2.0], -1.0, 0.5)
        self.assertEqual(len(expected), 1)
        self.assertTrue(same_floats(witt_mao([2.0], MinusOne(), 0.5), expected))
        self.assertTrue(same_floats(witt_mao([2.0], -1, 0.5), expected))

    def test_unconvertible_values_give_the_interpreter_error(self):
        class NotAFloat:
            def __float__(self):
                return 1  # not a float

        for value in ("x", None, [1.0], 10**400, -(10**400), NotAFloat(), 1j):
            with self.subTest(value=value):
                expected_class, expected_text = interpreter_error(value)
                for parameter, call in (("re", lambda v: witt_mao([1.0], v, 0.5)),
                                        ("r", lambda v: heyrovsky(0.0, v, 2.0, 1.0))):
                    with self.assertRaises(expected_class) as caught:
                        call(value)
                    self.assertIs(type(caught.exception), expected_class)
                    self.assertEqual(str(caught.exception), expected_text)
                    self.assertEqual(caught.exception.__notes__,
                                     [f"while processing '{parameter}'"])

    def test_overflow_is_reported_as_overflow_error(self):
        with self.assertRaises(OverflowError) as caught:
            witt_mao([1.0], 1.0, 10**400)
        self.assertEqual(caught.exception.__notes__, ["while processing 'rstar'"])


class RaisedByPythonCode(unittest.TestCase):
    """Exceptions that Python code called by a conversion raises."""

    def test_the_exception_itself_reaches_the_caller_with_the_note_added(self):
        problem = LookupError("from __float__")
        problem.add_note("raised by the test")

        class Raising:
            def __float__(self):
                raise problem

        with self.assertRaises(LookupError) as caught:
            heyrovsky(0.0, 0.5, Raising(), 1.0)
        self.assertIs(caught.exception, problem)
        self.assertEqual(problem.__notes__, ["raised by the test", "while processing 're'"])

    def test_base_exceptions_pass_through(self):
        class Interrupting:
            def __float__(self):
                raise KeyboardInterrupt

        with self.assertRaises(KeyboardInterrupt) as caught:
            witt_mao([Interrupting()], 1.0, 0.5)
        self.assertEqual(caught.exception.__notes__, ["while processing 'l'"])

    def test_interrupts_from_len_and_add_note_pass_through(self):
        # A failing __len__ (only a length hint) and add_note are passed over if they raise an
        # Exception, but an interrupt there is a real Ctrl-C.
        class Interrupting(list):
            def __len__(self):
                raise SystemExit(3)

        with self.assertRaises(SystemExit) as caught:
            witt_mao(Interrupting([2.0, 0.5]), 1.0, 0.5)
        self.assertEqual(caught.exception.__notes__, ["while processing 'l'"])

        class Interrupted(Exception):
            def add_note(self, note):
                raise KeyboardInterrupt

        problem = Interrupted()
        with self.assertRaises(KeyboardInterrupt) as caught:
            witt_mao([1.0], Holder.Raising(problem), 0.5)
        self.assertIs(caught.exception.__context__, problem)

    def test_a_failing_add_note_is_ignored(self):
        class Stubborn(Exception):
            def add_note(self, note):
                raise RuntimeError("no notes")

        problem = Stubborn("original")

        class Raising:
            def __float__(self):
                raise problem

        with self.assertRaises(Stubborn) as caught:
            witt_mao([1.0], Raising(), 0.5)
        self.assertIs(caught.exception, problem)
        self.assertFalse(hasattr(problem, "__notes__"))

    def test_internal_failure_raised_by_python_code_is_resumed(self):
        internal = internal_failure_class()
        if internal is None:
            self.skipTest("no registered function can raise the internal failure yet")

        original = internal("raised in __float__")

        class Panicking:
            def __float__(self):
                raise original

        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr), self.assertRaises(internal) as caught:
            witt_mao([1.0, Panicking()], 1.0, 0.5)
        self.assertIs(type(caught.exception), internal)
        self.assertIsNot(caught.exception, original)
        self.assertEqual(caught.exception.args, ("raised in __float__",))
        self.assertFalse(hasattr(caught.exception, "__notes__"))
        lines = stderr.getvalue().splitlines()
        self.assertEqual(lines[:2], [
            "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
            "Python stack trace below:",
        ])
        self.assertIn("Traceback (most recent call last):", lines)
        self.assertIn("in __float__", stderr.getvalue())
        self.assertEqual(lines[-1], "pyo3_runtime.PanicException: raised in __float__")

    def test_internal_failure_without_str_gets_a_fixed_text(self):
        internal = internal_failure_class()
        if internal is None:
            self.skipTest("no registered function can raise the internal failure yet")

        class Unprintable:
            def __str__(self):
                raise ValueError("no text")

        class Panicking:
            def __float__(self):
                raise internal(Unprintable())

        with contextlib.redirect_stderr(io.StringIO()), self.assertRaises(internal) as caught:
            heyrovsky(Panicking(), 0.5, 2.0, 1.0)
        self.assertEqual(caught.exception.args, ("Unwrapped panic from Python code",))

    def test_subclass_of_the_internal_failure_is_an_ordinary_error(self):
        internal = internal_failure_class()
        if internal is None:
            self.skipTest("no registered function can raise the internal failure yet")

        class Derived(internal):
            pass

        problem = Derived("derived")

        class Raising:
            def __float__(self):
                raise problem

        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr), self.assertRaises(Derived) as caught:
            witt_mao([1.0], 1.0, Raising())
        self.assertIs(caught.exception, problem)
        self.assertEqual(problem.__notes__, ["while processing 'rstar'"])
        self.assertEqual(stderr.getvalue(), "")


# A fork while another thread is inside the first import of collections.abc, held there by an
# import hook until the fork has happened: the child's first refusal must not wait for it.
FORK_DURING_FIRST_USE = """
    import builtins, os, signal, threading, warnings, finitemu
    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
    parent, inside, forked = os.getpid(), threading.Event(), threading.Event()
    original_import = builtins.__import__

    def held_import(name, *args, **kwargs):
        if name == "collections.abc" and os.getpid() == parent and not inside.is_set():
            inside.set()
            forked.wait(60)
        return original_import(name, *args, **kwargs)

    def refuse():
        try:
            finitemu.witt_mao_magnification({}, 1.0, 0.5)
        except TypeError:
            return 0
        return 1

    builtins.__import__ = held_import
    threading.Thread(target=refuse).start()
    inside.wait(60)
    if (pid := os.fork()) == 0:
        signal.alarm(60)  # a hung child ends by SIGALRM
        os._exit(refuse())
    forked.set()
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""

# Two threads make two objects at once, and an import hook calls the module from inside each
# maker for the other's object: thread 1 imports collections.abc (first refusal) and copies an
# array there, thread 2 imports array (first array copy) and is refused there.
CROSSED_FIRST_USES = """
    import array, builtins, threading, finitemu
    original_import, both_inside, done = builtins.__import__, threading.Barrier(2, timeout=60), []

    def refuse():
        try:
            finitemu.witt_mao_magnification({}, 1.0, 0.5)
        except TypeError:
            done.append("refused")

    def copy():
        done.append(finitemu.witt_mao_magnification(array.array("d", [2.0]), 1.0, 0.5))

    inner_call = {"collections.abc": copy, "array": refuse}

    def crossing_import(name, *args, **kwargs):
        if call := inner_call.pop(name, None):
            both_inside.wait()
            call()
        return original_import(name, *args, **kwargs)

    builtins.__import__ = crossing_import
    threads = [threading.Thread(target=f, daemon=True) for f in (refuse, copy)]
    [thread.start() for thread in threads]
    [thread.join(30) for thread in threads]
    print(sorted(map(str, done)))
"""


class FirstUse(unittest.TestCase):
    def test_many_threads_meeting_the_first_refusal_at_once(self):
        # The first refusal imports collections.abc and interns "add_note"; threads that arrive
        # meanwhile make them too, and all use the ones stored first.
        code = (
            "import sys, threading, finitemu\n"
            "sys.setswitchinterval(1e-6)\n"
            "barrier = threading.Barrier(8)\n"
            "seen = []\n"
            "def refuse():\n"
            "    barrier.wait()\n"
            "    try:\n"
            "        finitemu.witt_mao_magnification(5, 1.0, 0.5)\n"
            "    except TypeError as e:\n"
            "        seen.append((str(e), e.__notes__))\n"
            "threads = [threading.Thread(target=refuse) for _ in range(8)]\n"
            "for t in threads: t.start()\n"
            "for t in threads: t.join()\n"
            "print(len(seen), len(set(map(repr, seen))), seen[0])\n"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=os.environ.copy(), timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(),
                         "8 1 (\"'int' object is not an instance of 'Sequence'\", "
                         "[\"while processing 'l'\"])")

    def test_child_forked_during_a_first_import_refuses_at_once(self):
        result = run_python(FORK_DURING_FIRST_USE)
        self.assertEqual(result.stdout.strip(), "0", result.stderr)

    def test_import_hooks_calling_the_module_from_two_makers(self):
        result = run_python(CROSSED_FIRST_USES)
        copied = str(finitemu.witt_mao_magnification([2.0], 1.0, 0.5))
        self.assertEqual(result.stdout.strip(), str(sorted([copied, copied, "refused", "refused"])),
                         result.stderr)


if __name__ == "__main__":
    unittest.main()

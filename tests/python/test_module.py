"""The module object: docstring, function table, __all__, method records and re-import."""

import importlib.util
import inspect
import sys
import types
import unittest

import finitemu
from support import ALWAYS_REGISTERED, _testcapi, fail_one_allocation, registered_functions

IMPORT_SYSTEM_NAMES = {"__name__", "__doc__", "__file__", "__loader__", "__package__",
                       "__spec__"}


def fresh_module_object():
    """A new, not yet executed module object for the extension, with its spec."""
    spec = importlib.util.find_spec("finitemu")
    return spec, importlib.util.module_from_spec(spec)


class ModuleDefinition(unittest.TestCase):
    def test_docstring_is_one_sentence_naming_the_language(self):
        self.assertEqual(finitemu.__doc__, "A Python module implemented in C++.")

    def test_the_three_kernel_functions_are_registered(self):
        self.assertLessEqual(ALWAYS_REGISTERED, set(finitemu.__all__))

    def test_all_lists_the_registered_functions_in_table_order(self):
        self.assertIs(type(finitemu.__all__), list)
        self.assertEqual(finitemu.__all__, [name for name, _ in registered_functions()])

    def test_namespace_holds_only_all_and_the_functions(self):
        expected = IMPORT_SYSTEM_NAMES | {"__all__"} | set(finitemu.__all__)
        self.assertEqual(set(vars(finitemu)), expected)

    def test_functions_are_builtins_bound_to_the_module(self):
        for name in finitemu.__all__:
            with self.subTest(name=name):
                function = getattr(finitemu, name)
                self.assertIs(type(function), types.BuiltinFunctionType)
                self.assertEqual(function.__name__, name)
                self.assertEqual(function.__qualname__, name)
                self.assertIs(function.__self__, finitemu)
                self.assertEqual(function.__module__, finitemu.__name__)


class TextSignatures(unittest.TestCase):
    def test_doc_is_the_signature_alone(self):
        for name, params in registered_functions():
            with self.subTest(name=name):
                function = getattr(finitemu, name)
                self.assertEqual(function.__text_signature__, "(" + ", ".join(params) + ")")
                self.assertIsNone(function.__doc__)

    def test_inspect_signature_lists_required_positional_or_keyword_parameters(self):
        for name, params in registered_functions():
            with self.subTest(name=name):
                signature = inspect.signature(getattr(finitemu, name))
                self.assertEqual(tuple(signature.parameters), params)
                for parameter in signature.parameters.values():
                    self.assertIs(parameter.kind, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                    self.assertIs(parameter.default, inspect.Parameter.empty)
                self.assertIs(signature.return_annotation, inspect.Signature.empty)


class ExecStep(unittest.TestCase):
    def test_reimport_after_removal_gives_a_new_working_module(self):
        first = sys.modules.pop("finitemu")
        try:
            second = importlib.import_module("finitemu")
            self.assertIsNot(second, first)
            self.assertIsNot(second.__all__, first.__all__)
            self.assertEqual(second.__all__, first.__all__)
            for name in first.__all__:
                self.assertIsNot(getattr(second, name), getattr(first, name))
                self.assertIs(getattr(second, name).__self__, second)
            self.assertEqual(second.witt_mao_magnification([2.0, 0.5], 1.0, 0.5),
                             first.witt_mao_magnification([2.0, 0.5], 1.0, 0.5))
            self.assertEqual(second.heyrovsky_magnification(1.0, 0.5, 2.0, 1.0),
                             first.heyrovsky_magnification(1.0, 0.5, 2.0, 1.0))
        finally:
            sys.modules["finitemu"] = first

    def test_existing_all_list_is_extended(self):
        spec, module = fresh_module_object()

        class Names(list):
            pass

        existing = Names(["already_here"])
        module.__all__ = existing
        spec.loader.exec_module(module)
        self.assertIs(module.__all__, existing)
        self.assertEqual(existing, ["already_here"] + finitemu.__all__)

    def test_all_that_is_not_a_list_is_refused(self):
        spec, module = fresh_module_object()
        module.__all__ = ("a", "b")
        with self.assertRaises(TypeError) as caught:
            spec.loader.exec_module(module)
        self.assertEqual(str(caught.exception), "'tuple' object is not an instance of 'list'")
        self.assertFalse(hasattr(module, "witt_mao_magnification"))

    def test_failure_reading_all_is_raised_unchanged(self):
        spec, module = fresh_module_object()
        problem = LookupError("no __all__ today")

        def module_getattr(name):
            raise problem

        module.__getattr__ = module_getattr
        with self.assertRaises(LookupError) as caught:
            spec.loader.exec_module(module)
        self.assertIs(caught.exception, problem)

    def test_attribute_error_reading_all_creates_it(self):
        spec, module = fresh_module_object()

        def module_getattr(name):
            raise AttributeError(name)

        module.__getattr__ = module_getattr
        spec.loader.exec_module(module)
        self.assertEqual(module.__all__, finitemu.__all__)
        self.assertEqual(module.witt_mao_magnification([], 1.0, 0.5), [])

    @unittest.skipIf(_testcapi is None, "needs CPython's _testcapi to make allocations fail")
    def test_allocation_failures_during_exec(self):
        # Whichever allocation fails, the exec step completes, raises MemoryError, or (when
        # __all__ cannot grow) ends in the internal failure naming the append.
        append_failures = 0
        for index in range(200):
            spec, module = fresh_module_object()
            outcome = fail_one_allocation(lambda: spec.loader.exec_module(module), index)
            if outcome is None:
                self.assertEqual(module.__all__, finitemu.__all__)
            elif not isinstance(outcome, MemoryError):
                self.assertEqual(type(outcome).__name__, "PanicException")
                self.assertTrue(outcome.args[0].startswith(
                    "could not append __name__ to __all__: MemoryError"), outcome.args)
                append_failures += 1
        self.assertGreater(append_failures, 0)


if __name__ == "__main__":
    unittest.main()

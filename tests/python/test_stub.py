"""The type stub finitemu.pyi against the module: names, parameter lists, annotations that the
converters agree with, the docstrings' examples run as doctests, and mypy's verdict on calls with
every kind of sequence (lists, tuples, NumPy arrays, array.array('d')) and on a wrong type."""

import array
import ast
import doctest
import os
import re
import shutil
import subprocess
import tempfile
import textwrap
import unittest
from pathlib import Path

import finitemu
from groups import group
from support import ALL_FUNCTIONS

SOURCE_STUB = Path(__file__).resolve().parents[2] / "src" / "finitemu.pyi"
BESIDE_MODULE = Path(finitemu.__file__).with_name("finitemu.pyi")
SEQUENCE = "_FloatSequence"
RESULT_KINDS = {"float", "list[float]", "list[list[float]]"}

# A value for each parameter, by annotation, for which every function answers.
SAMPLE = {
    ("l", "float"): 2.0, ("r", "float"): 0.5, ("re", "float"): 1.0, ("rstar", "float"): 0.5,
    ("l", SEQUENCE): [2.0, 3.0], ("re", SEQUENCE): [1.0], ("rstar", SEQUENCE): [0.5, 0.25],
    ("bl", SEQUENCE): [0.0, 1.0], ("bf", SEQUENCE): [1.0, 1.0],
}


def stub_path():
    """The stub a type checker would read: beside the module when installed, else the source."""
    if os.environ.get("FINITEMU_EXPECT_STUB_BESIDE_MODULE") or BESIDE_MODULE.exists():
        return BESIDE_MODULE
    return SOURCE_STUB


def parse_stub():
    tree = ast.parse(stub_path().read_text(), filename=str(stub_path()))
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    exported = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            exported = ast.literal_eval(node.value)
    return tree, functions, exported


def conforms(value, kind):
    """Whether `value` has the shape of the annotation text `kind`."""
    if kind == "float":
        return type(value) is float
    if kind.startswith("list[") and kind.endswith("]"):
        return type(value) is list and all(conforms(item, kind[5:-1]) for item in value)
    raise AssertionError(f"unexpected result annotation {kind}")


class StubMatchesModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree, functions, cls.exported = parse_stub()
        cls.functions = {f.name: f for f in functions}
        cls.order = [f.name for f in functions]

    def test_stub_is_found_where_type_checkers_look(self):
        self.assertTrue(stub_path().is_file(), stub_path())
        if os.environ.get("FINITEMU_EXPECT_STUB_BESIDE_MODULE"):
            self.assertEqual(stub_path().read_bytes(), SOURCE_STUB.read_bytes())

    def test_stub_declares_the_eight_functions_once_in_table_order(self):
        self.assertEqual(len(self.order), len(set(self.order)), self.order)
        self.assertEqual(self.order, [name for name, _ in ALL_FUNCTIONS])
        self.assertEqual(self.exported, self.order)

    def test_every_registered_function_is_in_the_stub(self):
        self.assertLessEqual(set(finitemu.__all__), set(self.functions))
        if len(finitemu.__all__) == len(ALL_FUNCTIONS):
            self.assertEqual(finitemu.__all__, self.exported)

    def test_parameter_lists_equal_the_text_signatures(self):
        for name in finitemu.__all__:
            with self.subTest(name=name):
                arguments = self.functions[name].args
                self.assertEqual((arguments.posonlyargs, arguments.kwonlyargs, arguments.defaults,
                                  arguments.kw_defaults, arguments.vararg, arguments.kwarg),
                                 ([], [], [], [], None, None))
                stub_signature = "(" + ", ".join(a.arg for a in arguments.args) + ")"
                self.assertEqual(stub_signature, getattr(finitemu, name).__text_signature__)

    def test_annotations_are_the_documented_kinds(self):
        for name, function in self.functions.items():
            with self.subTest(name=name):
                for argument in function.args.args:
                    self.assertIn(ast.unparse(argument.annotation), {"float", SEQUENCE},
                                  argument.arg)
                self.assertIn(ast.unparse(function.returns), RESULT_KINDS)

    def test_the_module_accepts_and_returns_what_the_annotations_say(self):
        for name in finitemu.__all__:
            function, stub = getattr(finitemu, name), self.functions[name]
            kinds = [(a.arg, ast.unparse(a.annotation)) for a in stub.args.args]
            arguments = [SAMPLE[kind] for kind in kinds]
            with self.subTest(name=name):
                result = function(*arguments)
                self.assertTrue(conforms(result, ast.unparse(stub.returns)), result)
            # Other sequences the annotation admits give the same result.
            for convert in (tuple, lambda values: array.array("d", values)):
                same_values = [convert(a) if isinstance(a, list) else a for a in arguments]
                with self.subTest(name=name, sequence=type(same_values[0]).__name__):
                    self.assertEqual(function(*same_values), result)
            # Each argument of the other kind is refused by the converter.
            for index, (parameter, kind) in enumerate(kinds):
                wrong = list(arguments)
                wrong[index] = [1.0] if kind == "float" else 1.0
                with self.subTest(name=name, parameter=parameter), self.assertRaises(TypeError):
                    function(*wrong)


class StubDocstrings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree, functions, _ = parse_stub()
        cls.docs = {f.name: ast.get_docstring(f) for f in functions}
        cls.parameters = {f.name: [a.arg for a in f.args.args] for f in functions}

    def test_module_docstring_gives_the_units(self):
        doc = ast.get_docstring(self.tree)
        self.assertIn("source radius", doc)
        self.assertIn("pyo3_runtime.PanicException", doc)

    def test_each_docstring_describes_every_parameter_result_and_exception(self):
        for name, doc in self.docs.items():
            with self.subTest(name=name):
                self.assertTrue(doc, "no docstring")
                for parameter in self.parameters[name]:
                    self.assertRegex(doc, rf"(^|\s){parameter}:", f"parameter {parameter}")
                self.assertIn("Returns", doc)
                self.assertIn("Raises", doc)
                self.assertIn("TypeError", doc)
                self.assertEqual(len(re.findall(r"^>>> ", doc, re.MULTILINE)), 1, "one example")

    def test_examples_give_what_the_module_gives(self):
        parser = doctest.DocTestParser()
        checker = doctest.OutputChecker()
        for name in finitemu.__all__:
            with self.subTest(name=name):
                test = parser.get_doctest(self.docs[name], {"finitemu": finitemu}, name,
                                          str(stub_path()), 0)
                self.assertEqual(len(test.examples), 1)
                example = test.examples[0]
                got = repr(eval(example.source, {"finitemu": finitemu}))
                self.assertTrue(checker.check_output(example.want, got + "\n", doctest.ELLIPSIS),
                                f"{example.source.strip()} gives {got}, the stub says "
                                f"{example.want.strip()}")


# Each kind of sequence a caller may pass, as source text; the floats stay floats.
SEQUENCE_KINDS = {
    "list": "[0.5, 1.0, 2.0]",
    "tuple": "(0.5, 1.0, 2.0)",
    "ndarray": "np.linspace(0.0, 3.0, 10) / 0.05",
    "array": "array.array('d', [0.5, 1.0, 2.0])",
}


def calls_with(kind, functions):
    """Source lines calling every function in `functions` (name: [(parameter, annotation)]) with
    sequences of `kind` and floats."""
    lines = []
    for name, parameters in functions.items():
        arguments = [SEQUENCE_KINDS[kind] if annotation == SEQUENCE else "0.5"
                     for _, annotation in parameters]
        lines.append(f"finitemu.{name}({', '.join(arguments)})")
    return lines


@group("mypy")
class MypyVerdicts(unittest.TestCase):
    """mypy (with --strict) on code calling every function: the stub admits each kind of sequence
    and refuses a str where a float or a sequence of numbers belongs."""

    @classmethod
    def setUpClass(cls):
        _, functions, _ = parse_stub()
        cls.functions = {f.name: [(a.arg, ast.unparse(a.annotation)) for a in f.args.args]
                         for f in functions}
        cls.directory = tempfile.TemporaryDirectory()
        cls.stubs = Path(cls.directory.name) / "stubs"
        cls.stubs.mkdir()
        shutil.copy(stub_path(), cls.stubs / "finitemu.pyi")

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def mypy(self, name, body):
        """(exit status, error lines) of mypy --strict on a module `name` holding `body`."""
        source = Path(self.directory.name) / f"{name}.py"
        source.write_text("import array\n\nimport numpy as np\n\nimport finitemu\n\n" + body)
        proc = subprocess.run(["mypy", "--strict", "--no-error-summary", "--show-error-codes",
                               str(source)], capture_output=True, text=True, timeout=600,
                              cwd=self.directory.name,
                              env=dict(os.environ, MYPYPATH=str(self.stubs)))
        report = [line for line in proc.stdout.splitlines() if ": error: " in line]
        if any('module named "numpy"' in line for line in report):
            self.skipTest(f"mypy finds no NumPy for its interpreter: {report[0]}")
        return proc.returncode, report

    def test_every_kind_of_sequence_is_accepted(self):
        lines = [line for kind in SEQUENCE_KINDS for line in calls_with(kind, self.functions)]
        # What the functions return is typed too.
        lines += ["curve: list[float] = finitemu.witt_mao_magnification([2.0], 1.0, 0.5)",
                  "ring: float = finitemu.heyrovsky_magnification(0.0, 0.5, 2.0, 1.0)",
                  "rows: list[list[float]] = finitemu.multi_witt_mao_magnification("
                  "(2.0,), [1.0], np.array([0.5]))"]
        status, report = self.mypy("accepted", "\n".join(lines) + "\n")
        self.assertEqual((status, report), (0, []), "\n".join(report))

    def test_a_str_for_a_float_or_for_the_separations_is_refused(self):
        body = textwrap.dedent("""\
            finitemu.witt_mao_magnification([1.0, 2.0], 1.0, 0.5)
            finitemu.witt_mao_magnification([1.0, 2.0], "1.0", 0.5)
            finitemu.witt_mao_magnification("1.0 2.0", 1.0, 0.5)
            ring: str = finitemu.heyrovsky_magnification(0.0, 0.5, 2.0, 1.0)
            """)
        status, report = self.mypy("refused", body)
        self.assertEqual(status, 1, report)
        # The lines of body, after the six of the header; the first call is right.
        expected = [(8, 'Argument 2 to "witt_mao_magnification" has incompatible type "str"; '
                        'expected "float"'),
                    (9, 'Argument 1 to "witt_mao_magnification" has incompatible type "str"; '
                        'expected "_FloatSequence"'),
                    (10, 'Incompatible types in assignment (expression has type "float", variable '
                        'has type "str")')]
        self.assertEqual(len(report), len(expected), "\n".join(report))
        for (line, message), got in zip(expected, report):
            self.assertRegex(got, rf"^refused\.py:{line}: error: {re.escape(message)}")


if __name__ == "__main__":
    unittest.main()

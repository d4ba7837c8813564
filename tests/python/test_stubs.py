"""The type stubs: current with the built modules, and what mypy makes of them.

The stubs come from scripts/stubs.py; mypy checks against the stubs installed with the
module (the stub-only package <module>-stubs), as a user's mypy does.
"""
import difflib
import importlib.util
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MISUSES = os.path.join(ROOT, "tests", "typing", "misuses.py")
EXAMPLES = sorted(os.path.join(ROOT, "examples", f) for f in os.listdir(os.path.join(ROOT, "examples"))
                  if f.endswith(".py"))


def load_generator():
    spec = importlib.util.spec_from_file_location("stubs", os.path.join(ROOT, "scripts", "stubs.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


stubs = load_generator()


@pytest.mark.parametrize("module", stubs.MODULES)
def test_committed_stubs_are_current(module):
    with open(stubs.committed_path(module), encoding="utf-8") as f:
        committed = f.read()
    built = stubs.generate(module)
    if built != committed:
        diff = difflib.unified_diff(committed.splitlines(True), built.splitlines(True), "committed", "built")
        pytest.fail("stale stubs, run scripts/stubs.py:\n" + "".join(list(diff)[:60]))


@pytest.mark.parametrize("module", stubs.MODULES)
def test_installed_stubs_are_the_committed_ones(module):
    spec = importlib.util.find_spec(module)
    site = os.path.dirname(spec.origin)
    with open(stubs.committed_path(module), encoding="utf-8") as f:
        committed = f.read()
    # the sanitizer run imports the module from its build tree; the stubs are installed in the venv
    installed = [os.path.join(d, module + "-stubs", "__init__.pyi") for d in sys.path + [site]]
    installed = [p for p in installed if os.path.isfile(p)]
    assert installed, f"no {module}-stubs package on sys.path"
    with open(installed[0], encoding="utf-8") as f:
        assert f.read() == committed


@pytest.mark.parametrize("line, expected", [
    ("def f(arg0: int, arg1: tuple[int, int]) -> None:", "def f(arg0: int, arg1: tuple[int, int], /) -> None:"),
    ("    def m(self, arg0: list[int], arg1: float) -> float:", "    def m(self, arg0: list[int], arg1: float, /) -> float:"),
    ("    def m(self, arg0: int, axis: int = 0) -> int:", "    def m(self, arg0: int, /, axis: int = 0) -> int:"),
    ("    def numel(self) -> int:", "    def numel(self) -> int:"),
    ("def f(x: int) -> int:", "def f(x: int) -> int:"),
])
def test_unnamed_arguments_become_positional_only(line, expected):
    assert stubs.positional_only(line) == expected


@pytest.mark.parametrize("line, params, result, expected", [
    ("def f(path: typing.Any, *, optimization: str = 'all') -> typing.Any:", {"path": "str | bytes", "optimization": "L"},
     "M", "def f(path: str | bytes, *, optimization: L = 'all') -> M:"),
    ("    def m(self, a: tuple[int, int], b: typing.Any = None) -> list:", {"b": "int | None"}, None,
     "    def m(self, a: tuple[int, int], b: int | None = None) -> list:"),
    ("def g(c: typing.Any) -> typing.Any:", {}, "int", "def g(c: typing.Any) -> int:"),
])
def test_retype_replaces_annotations_and_keeps_defaults(line, params, result, expected):
    assert stubs.retype(line, params, result) == expected


@pytest.mark.parametrize("line, refused", [
    ("def gemv(arg0: float, arg1: float, arg2: vecd, arg3: vecd, arg4: vecd, /) -> vecd:", True),
    ("def gemv(arg0: float, arg1: float, arg2: viewz, arg3: vecz, arg4: matz, /) -> matz:", True),
    ("def gemv(arg0: float, arg1: float, arg2: matd, arg3: vecd, arg4: viewd, /) -> viewd:", False),
    ("def matvec(arg0: views, arg1: vecs, arg2: vecs, /) -> vecs:", True),
    ("def matvec(arg0: matc, arg1: viewc, arg2: vecc, /) -> vecc:", False),
    ("def axpy(arg0: float, arg1: vecd, arg2: vecd, /) -> vecd:", False),
])
def test_overloads_that_always_raise_are_left_out(line, refused):
    assert stubs.refused_always(["@typing.overload", line, '    """', "    gemv", '    """']) is refused


def test_positional_arguments_get_readable_names_per_function_and_class_kind():
    lines = ["def gemv(arg0: float, arg1: float, arg2: matd, arg3: vecd, arg4: vecd, /) -> vecd:",
             "class matd:", "    def __init__(self, arg0: int, arg1: int, /) -> None:", "        ...",
             "class vecd:", "    def __init__(self, arg0: int, /) -> None:",
             "    def __setitem__(self, arg0: slice, arg1: float, /) -> None:",
             "class model:", "    def set(self, arg0: int, arg1: list[int], arg2: float, /) -> None:",
             "def dot(arg0: vecd, arg1: viewd, /) -> float:"]
    assert stubs.readable_names(lines) == [
        "def gemv(alpha: float, beta: float, A: matd, x: vecd, y: vecd, /) -> vecd:",
        "class matd:", "    def __init__(self, rows: int, cols: int, /) -> None:", "        ...",
        "class vecd:", "    def __init__(self, size: int, /) -> None:",
        "    def __setitem__(self, key: slice, value: float, /) -> None:",
        "class model:", "    def set(self, input: int, index: list[int], value: float, /) -> None:",
        "def dot(x: vecd, y: viewd, /) -> float:"]


@pytest.mark.parametrize("line", ["def newop(arg0: vecd, /) -> None:", "def dot(arg0: vecd, arg1: vecd, arg2: int, /) -> float:"])
def test_an_argument_without_a_readable_name_stops_the_generator(line):
    with pytest.raises(RuntimeError, match="READABLE_NAMES"):
        stubs.readable_names([line])


def test_statements_keep_decorators_and_bodies_together():
    lines = ["import typing", "@typing.overload", "def f(x: int) -> int:", '    """', "", "    f", '    """', "class C:",
             "    def m(self) -> None:", "        ..."]
    assert stubs.statements(lines) == [lines[:1], lines[1:7], lines[7:]]


def mypy(tmp_path, *paths):
    """mypy's error lines for the given files, checked against the interpreter's site-packages."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # mypy never loads the module
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", sys.executable, "--check-untyped-defs",
         "--no-error-summary", "--hide-error-context", "--no-color-output", "--no-pretty",
         "--cache-dir", str(tmp_path / ".mypy_cache"), *paths],
        capture_output=True, text=True, env=env, cwd=tmp_path)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return [line for line in done.stdout.splitlines() if ": error:" in line]


def test_mypy_accepts_the_examples(tmp_path):
    assert mypy(tmp_path, *EXAMPLES) == []


def misuses():
    with open(MISUSES, encoding="utf-8") as f:
        lines = f.read().splitlines()
    first = next(i for i, line in enumerate(lines) if "# misuse:" in line)
    return "\n".join(lines[:first]) + "\n", [line for line in lines[first:] if "# misuse:" in line]


def test_mypy_rejects_each_misuse(tmp_path):
    preamble, calls = misuses()
    files = []
    for i, call in enumerate(calls):
        path = tmp_path / f"misuse_{i:02d}.py"
        path.write_text(preamble + call + "\n")
        files.append(str(path))
    errors = mypy(tmp_path, *files)
    # every error is on the misuse's own line (the preamble is clean) ...
    line = preamble.count("\n") + 1
    assert all(re.match(rf".*misuse_\d\d\.py:{line}: error:", e) for e in errors), errors
    # ... and every misuse has one
    accepted = [call for i, call in enumerate(calls) if not any(f"misuse_{i:02d}.py:" in e for e in errors)]
    assert accepted == []


def test_mypy_accepts_the_misuse_preamble(tmp_path):
    preamble, _ = misuses()
    path = tmp_path / "preamble.py"
    path.write_text(preamble + "vk.scale(2.0, vk.vecd(2))\nvk.hdot(vk.vecz(1), vk.vecz(1))\n")
    assert mypy(tmp_path, str(path)) == []

"""The module surface: import check, attributes, class methods and their signatures."""
import os
import subprocess
import sys

import pytest

import vekracore as vk
from conftest import CONTAINER_CLASSES, SUFFIXES

CLASSES = ["model"] + CONTAINER_CLASSES
# in the order of their first registration: hdot first appears with the complex types
FUNCTIONS = ["scale", "sum", "dot", "copy", "swap", "axpy", "matvec", "gemv", "ls", "gemm", "matmul", "hdot"]


PYENV_PYTHONS = {(3, 9): "3.9.18", (3, 10): "3.10.13", (3, 11): "3.11.7", (3, 12): "3.12.1", (3, 13): "3.13.0"}


def other_python():
    """An interpreter of the next minor version (3.10 for 3.9), or for the newest, the one before."""
    minor = sys.version_info[1]
    other = PYENV_PYTHONS.get((3, minor + 1)) or PYENV_PYTHONS.get((3, minor - 1))
    for candidate in (
        os.path.expanduser(f"~/.pyenv/versions/{other}/bin/python"),
        f"/root/.pyenv/versions/{other}/bin/python",
    ):
        if os.path.exists(candidate):
            return candidate
    return None


@pytest.mark.skipif(other_python() is None, reason="no interpreter of another minor version installed")
def test_import_refused_by_another_interpreter_version():
    path = vk.__file__
    code = (
        "import importlib.machinery, importlib.util, sys\n"
        f"loader = importlib.machinery.ExtensionFileLoader('vekracore', {path!r})\n"
        "spec = importlib.util.spec_from_loader('vekracore', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, str(e), sep='|')\n"
        "    print(sys.version, end='')\n"
    )
    out = subprocess.run([other_python(), "-c", code], capture_output=True, text=True, check=True).stdout
    kind, message, version = out.split("\n", 1)[0].split("|") + [out.split("\n", 1)[1]]
    built_for = "{}.{}".format(*sys.version_info[:2])  # 3.9 for the module built for 3.9
    assert kind == "ImportError"
    if sys.version_info[:2] >= (3, 12):
        # 3.13 dropped a function of 3.12's C API that the module calls and added ones that
        # a module built for 3.13 calls: between these two the loader refuses the module (an
        # ImportError naming the missing function) before its own version check can run.
        assert message.startswith(f"{path}: undefined symbol: "), message
        return
    assert message == (
        f"Python version mismatch: module was compiled for Python {built_for}, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_module_attributes_in_registration_order():
    public = [name for name in vars(vk) if not name.startswith("__")]
    assert public == CLASSES + FUNCTIONS
    assert vk.__doc__ is None
    for name in CLASSES:
        cls = getattr(vk, name)
        assert cls.__module__ == "vekracore"
        assert cls.__doc__ is None


def methods(cls):
    """Methods the class itself defines, in definition order (slot wrappers left out)."""
    return [name for name, attr in vars(cls).items()
            if not name.startswith("_pybind11") and name not in ("__module__", "__doc__", "__dict__", "__weakref__")
            and type(attr).__name__ != "wrapper_descriptor"]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_class_methods_in_order(suffix):
    assert methods(getattr(vk, "vec" + suffix)) == [
        "__init__", "numel", "dim", "__getitem__", "__setitem__", "__repr__"]
    assert methods(getattr(vk, "view" + suffix)) == ["numel", "dim", "__getitem__", "__setitem__", "__repr__"]
    assert methods(getattr(vk, "mat" + suffix)) == [
        "__init__", "dim", "numel", "__getitem__", "__setitem__", "__repr__"]


def signatures(method):
    return [line for line in method.__doc__.splitlines() if "->" in line]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_rendered_signatures(suffix):
    scalar = "complex" if suffix in "cz" else "float"
    vec, view, mat = (getattr(vk, k + suffix) for k in ("vec", "view", "mat"))
    for cls in (vec, view):
        name = f"vekracore.{cls.__name__}"
        assert signatures(cls.numel) == [f"numel(self: {name}) -> int"]
        assert signatures(cls.dim) == [f"dim(self: {name}, arg0: int) -> int"]
        assert signatures(cls.__getitem__) == [
            f"1. __getitem__(self: {name}, arg0: int) -> {scalar}",
            f"2. __getitem__(self: {name}, arg0: slice) -> vekracore.view{suffix}",
        ]
        assert signatures(cls.__setitem__) == [f"__setitem__(self: {name}, arg0: int, arg1: {scalar}) -> None"]
        assert signatures(cls.__repr__) == [f"__repr__(self: {name}) -> str"]
    assert signatures(vec.__init__) == [f"__init__(self: vekracore.vec{suffix}, arg0: int) -> None"]
    m = f"vekracore.mat{suffix}"
    assert signatures(mat.__init__) == [f"__init__(self: {m}, arg0: int, arg1: int) -> None"]
    assert signatures(mat.dim) == [f"dim(self: {m}, arg0: int) -> int"]
    assert signatures(mat.__getitem__) == [f"__getitem__(self: {m}, arg0: Tuple[int, int]) -> {scalar}"]
    assert signatures(mat.__setitem__) == [
        f"__setitem__(self: {m}, arg0: Tuple[int, int], arg1: {scalar}) -> None"]
    assert signatures(mat.__repr__) == [f"__repr__(self: {m}) -> str"]


def test_model_signatures():
    assert signatures(vk.model.__init__) == ["__init__(self: vekracore.model, arg0: str) -> None"]
    assert signatures(vk.model.run) == ["run(self: vekracore.model) -> None"]
    assert signatures(vk.model.set) == [
        "set(self: vekracore.model, arg0: int, arg1: List[int], arg2: float) -> None"]
    assert signatures(vk.model.get) == ["get(self: vekracore.model, arg0: int, arg1: List[int]) -> float"]


def test_arguments_are_positional_only():
    with pytest.raises(TypeError):
        vk.vecd(size=3)


@pytest.mark.parametrize("name", CONTAINER_CLASSES + ["model"])
def test_instances_made_without_init_are_refused(name):
    """__new__ alone leaves an instance holding nothing; no method or operation may use it."""
    cls = getattr(vk, name)
    empty = cls.__new__(cls)
    calls = {
        "model": [lambda: empty.run(), lambda: empty.set(0, [0], 1.0), lambda: empty.get(0, [0])],
    }.get(name, [lambda: empty.numel(), lambda: repr(empty), lambda: empty.dim(0),
                 lambda: vk.scale(1.0 if name[-1] in "sd" else 1j, empty),
                 lambda: vk.copy(getattr(vk, "vec" + name[-1])(4), empty)])
    for call in calls:
        with pytest.raises(TypeError, match=f"^vekracore.{name} instance was created without __init__ and holds nothing$"):
            call()

"""The fast call path of the operations and container methods against pybind11's dispatcher.

A plain call `f(*args)` takes the fast path; `type(f).__call__(f, *args)` goes through the
function type's tp_call, which is pybind11's dispatcher walking the overload chain. Both
must pick the same overload: same result (the very argument object where one is returned),
same exception with the same text, same effect on every container.
"""
import random

import numpy as np
import pytest

import vekracore as vk
from conftest import CONTAINER_CLASSES as CLASSES, SUFFIXES

ARITY = {"scale": 2, "sum": 2, "dot": 2, "copy": 2, "swap": 2, "axpy": 3, "hdot": 2, "ls": 2,
         "matvec": 3, "gemv": 5, "gemm": 5, "matmul": 3}
SCALAR_POSITIONS = {"scale": 1, "axpy": 1, "gemv": 2, "gemm": 2}


class FloatSub(float):
    pass


class ComplexSub(complex):
    pass


class Index:
    def __index__(self):
        return 1


SCALARS = [1.5, -2.0, 3, True, 2 + 1j, 0j, np.float64(0.5), np.complex128(1 - 1j), np.float32(2.0),
           FloatSub(1.25), ComplexSub(0.5 + 0.5j), None, "1.0", Index(), 10 ** 400]


def make(spec):
    """A fresh container from (class name, shape), filled deterministically."""
    name, shape = spec
    kind, suffix = name[:-1], name[-1]
    if kind == "mat":
        c = getattr(vk, name)(*shape)
        for i in range(shape[0]):
            for j in range(shape[1]):
                c[i, j] = (i + 1) * 0.5 + 2 * j + 3 * (i == j) + (0.25j * j if suffix in "cz" else 0)
        return c
    base = getattr(vk, "vec" + suffix)(shape[0] + 2)
    for i in range(shape[0] + 2):
        base[i] = i * 0.75 - 1 + (0.5j if suffix in "cz" else 0)
    return base[1 : shape[0] + 1] if kind == "view" else base


def random_spec(rng, suffix, matrices):
    """Mostly shapes that fit each other, so that calls succeed as well as fail."""
    kind = "mat" if matrices and rng.random() < 0.85 else rng.choice(["vec", "view", "mat"])
    if kind == "mat":
        return kind + suffix, (2, 2) if rng.random() < 0.7 else (rng.choice([2, 3]), rng.choice([1, 2, 3]))
    return kind + suffix, (rng.choice([2, 2, 2, 3, 4, 6]),)


def random_call(rng, name):
    """An argument plan: ('c', spec) for a container, ('s', value) for anything else."""
    arity = ARITY[name]
    if rng.random() < 0.05:
        arity += rng.choice([-1, 1])
    suffix = rng.choice(SUFFIXES)
    plan = []
    for position in range(arity):
        if position < SCALAR_POSITIONS.get(name, 0):
            plan.append(("s", rng.choice(SCALARS)))
        elif rng.random() < 0.04:
            plan.append(("s", rng.choice(SCALARS)))
        else:
            mixed = rng.random() < 0.08
            plan.append(("c", random_spec(rng, rng.choice(SUFFIXES) if mixed else suffix, name in ("gemm", "matmul"))))
    return plan


def outcome(call, plan):
    args = [make(v) if kind == "c" else v for kind, v in plan]
    try:
        result = call(*args)
        if any(result is a for a in args):
            got = ("returns argument", next(i for i, a in enumerate(args) if result is a))
        else:
            got = ("returns", type(result).__name__, result)
    except Exception as e:  # noqa: BLE001 - the exception itself is what is compared
        got = ("raises", type(e).__name__, str(e))
    return got, [repr(a) for a in args if type(a).__module__ == "vekracore"]


@pytest.mark.parametrize("name", sorted(ARITY))
def test_fast_path_picks_the_same_overload_as_the_chain(name):
    f = getattr(vk, name)
    slow = type(f).__call__
    rng = random.Random(name)
    kinds = set()
    for _ in range(400):
        plan = random_call(rng, name)
        fast_outcome = outcome(f, plan)
        slow_outcome = outcome(lambda *a: slow(f, *a), plan)
        assert fast_outcome == slow_outcome, plan
        kinds.add(fast_outcome[0][0] + (fast_outcome[0][1] if fast_outcome[0][0] == "raises" else ""))
    # the corpus reached successes as well as both kinds of failure
    assert {"raisesTypeError"} <= kinds and ({"returns argument", "returns"} & kinds)


@pytest.mark.parametrize("name", ["gemv", "axpy", "scale"])
def test_keyword_arguments_are_refused_like_the_chain(name):
    f = getattr(vk, name)
    with pytest.raises(TypeError) as fast:
        f(arg0=1.0)
    with pytest.raises(TypeError) as slow:
        type(f).__call__(f, arg0=1.0)
    assert str(fast.value) == str(slow.value)


def test_each_scalar_kind_reaches_the_same_overload():
    """Every scalar kind in front of every container class: first pass, conversion pass, refusal."""
    for name in ("scale", "axpy", "gemv"):
        f = getattr(vk, name)
        for cls in CLASSES:
            for scalar in SCALARS:
                spec = (cls, (2, 2) if cls.startswith("mat") else (2,))
                containers = [("c", spec)] * (ARITY[name] - SCALAR_POSITIONS[name])
                if name == "gemv":
                    containers = [("c", (cls[:-1].replace("vec", "mat").replace("view", "mat") + cls[-1], (2, 2))),
                                  ("c", spec), ("c", spec)]
                plan = [("s", scalar)] * SCALAR_POSITIONS[name] + containers
                assert outcome(f, plan) == outcome(lambda *a: type(f).__call__(f, *a), plan), plan


KEYS = [0, 1, 3, 7, -1, True, 2 ** 64, 2 ** 70, 1.0, np.int64(2), Index(), None, "1", (0, 1), [1, 0], (1, 2, 3),
        (0, -1), (2 ** 63, 1), ("a", "b"), "ab", slice(1, 3), slice(None), slice(3, 1), slice(0, 4, 2),
        slice(None, None, -1), slice(0, 2, 0), slice(1.5, None), slice(np.int64(1), Index())]
VALUES = [2.5, 3, True, 1 - 2j, np.float32(0.5), np.complex64(1j), FloatSub(4.0), "x", None, 10 ** 400]


def method_outcome(call, spec, *rest):
    obj = make(spec)
    try:
        result = call(obj, *rest)
        got = ("returns", type(result).__name__, repr(result))
    except Exception as e:  # noqa: BLE001 - the exception itself is what is compared
        got = ("raises", type(e).__name__, str(e))
    return got, repr(obj)


@pytest.mark.parametrize("cls", CLASSES)
def test_methods_take_the_same_overload_as_the_chain(cls):
    spec = (cls, (2, 3) if cls.startswith("mat") else (4,))
    methods = {name: vars(getattr(vk, cls))[name].__func__
               for name in ("numel", "dim", "__getitem__", "__setitem__", "__repr__")}

    def both(name, *rest):
        f = methods[name]
        fast = method_outcome(lambda obj, *a: getattr(obj, name)(*a), spec, *rest)
        slow = method_outcome(lambda obj, *a: type(f).__call__(f, obj, *a), spec, *rest)
        assert fast == slow, (name, rest)

    both("numel")
    both("__repr__")
    for key in KEYS:
        both("dim", key)
        both("__getitem__", key)
        for value in VALUES:
            both("__setitem__", key, value)
    # the subscript syntax reaches the same code
    obj = make(spec)
    key = (1, 2) if cls.startswith("mat") else 3
    obj[key] = 2
    assert obj[key] == methods["__getitem__"](obj, key) == 2


LOCATIONS = [[0, 1], (0, 2), [0, 3], [1, 0], [0], [], [0, -1], [0.0, 1], "01", b"01", None, [0, 2 ** 70], [np.int64(0), 1],
             (0, True), [0, 2 ** 63], [-(2 ** 63), 0], [0, 1, 0, 0, 0, 0, 0, 0, 0], (), range(2), [0, Index()]]
NUMBERS = [0, 1, 2, 5, -1, True, 1.0, None, Index()]


@pytest.mark.parametrize("model_file", ["affine", "int64_input", "scalar"])
def test_model_methods_take_the_same_path_as_the_chain(model_file, tmp_path):
    import os
    import subprocess
    import sys
    # the model prints its report on the process's standard output: run in a child process
    code = f"""
import numpy as np, vekracore as vk, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from test_dispatch import LOCATIONS, NUMBERS, VALUES
m = vk.model({os.path.join(os.path.dirname(__file__), '..', 'data', model_file + '.onnx')!r})
f = {{name: vars(vk.model)[name].__func__ for name in ("set", "get", "run")}}

def outcome(call):
    try:
        return ("returns", repr(call()))
    except Exception as e:
        return ("raises", type(e).__name__, str(e))

lines = []
for number in NUMBERS:
    for location in LOCATIONS:
        for value in VALUES:
            fast = outcome(lambda: m.set(number, location, value))
            slow = outcome(lambda: type(f["set"]).__call__(f["set"], m, number, location, value))
            lines.append(repr((fast == slow, "set", number, location, value, fast, slow)))
        assert outcome(m.run) == outcome(lambda: type(f["run"]).__call__(f["run"], m))
        fast = outcome(lambda: m.get(number, location))
        slow = outcome(lambda: type(f["get"]).__call__(f["get"], m, number, location))
        lines.append(repr((fast == slow, "get", number, location, fast, slow)))
sys.stderr.write("\\n".join(line for line in lines if line.startswith("(False")))
"""
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""


class CountingIndex:
    """An index that counts how often it is converted."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        return self.value


@pytest.mark.parametrize("cls", CLASSES)
def test_subscript_syntax_matches_the_methods_call_for_call(cls):
    """x[k] and x[k] = v go through the class's slots: same results, errors and hook calls as the method."""
    matrix = cls.startswith("mat")
    spec = (cls, (2, 3) if matrix else (4,))
    methods = {name: vars(getattr(vk, cls))[name].__func__ for name in ("__getitem__", "__setitem__")}
    keys = KEYS + [(CountingIndex(1), CountingIndex(2)) if matrix else CountingIndex(3)]
    for key in keys:
        def read(obj, key=key):
            return obj[key]

        def write(obj, value, key=key):
            obj[key] = value

        counters = [k for k in (key if isinstance(key, tuple) else (key,)) if isinstance(k, CountingIndex)]
        for call, slow, rest in [(read, methods["__getitem__"], ()),
                                 *((write, methods["__setitem__"], (value,)) for value in VALUES)]:
            for k in counters:
                k.calls = 0
            fast = method_outcome(call, spec, *rest)
            counts = [k.calls for k in counters]
            slow_outcome = method_outcome(lambda obj, *a: type(slow).__call__(slow, obj, key, *a), spec, *rest)
            slow_counts = [k.calls for k in counters]
            assert fast == slow_outcome, (key, rest)
            assert [2 * c for c in counts] == slow_counts, (key, rest)
    # deletion keeps Python's own refusal
    obj = make(spec)
    with pytest.raises(AttributeError, match="__delitem__"):
        del obj[(0, 0) if matrix else 0]
    assert repr(obj) == repr(make(spec))


def test_replacing_getitem_on_a_class_takes_effect_in_a_child(tmp_path):
    import subprocess
    import sys
    code = """
import vekracore as vk
v = vk.vecd(3)
v[1] = 2.0
vk.vecd.__getitem__ = lambda self, k: ("replaced", k)
assert v[1] == ("replaced", 1), v[1]
vk.vecd.__setitem__ = lambda self, k, x: None
v[1] = 5.0
del vk.vecd.__getitem__
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr


CONVERSION_SCALARS = [1.5, 0.0, -0.0, float("nan"), float("inf"), -float("inf"), 1e308, 2 + 1j,
                      complex(float("nan"), 1), 3, 10 ** 400, -(10 ** 400), True, np.float64(0.5),
                      np.float32(float("nan")), np.complex64(1j), FloatSub(2.5), ComplexSub(1j)]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_remembered_conversion_winners_match_the_chain(suffix):
    """Scalars converted in the second pass, each kind repeated (so that a remembered winner is
    taken) and interleaved with kinds whose conversion depends on the value."""
    f, slow = vk.gemv, type(vk.gemv).__call__
    specs = [("mat" + suffix, (2, 2)), (("view" if suffix in "sc" else "vec") + suffix, (2,)),
             ("mat" + suffix, (2, 1))]
    rng = random.Random(suffix)
    order = CONVERSION_SCALARS * 3
    rng.shuffle(order)
    for alpha in order:
        beta = rng.choice(CONVERSION_SCALARS)
        plan = [("s", alpha), ("s", beta)] + [("c", s) for s in specs]
        fast = outcome(f, plan)
        assert fast == outcome(lambda *a: slow(f, *a), plan), plan
        assert fast == outcome(f, plan), plan


def test_a_remembered_conversion_winner_refuses_an_empty_instance():
    f, slow = vk.gemv, type(vk.gemv).__call__
    A, x, y = vk.matz(2, 2), vk.matz(2, 1), vk.matz(2, 1)
    assert f(1.5, 0.5, A, x, y) is y  # the winner is remembered for these types
    empty = vk.matz.__new__(vk.matz)
    for args in [(1.5, 0.5, empty, x, y), (1.5, 0.5, A, x, empty)]:
        with pytest.raises(TypeError) as fast:
            f(*args)
        assert "holds nothing" in str(fast.value)
        with pytest.raises(TypeError):
            slow(f, *args)
    assert f(1.5, 0.5, A, x, y) is y


@pytest.mark.parametrize("cls", [c for c in CLASSES if not c.startswith("mat")])
def test_a_slice_is_a_full_instance_of_the_view_class(cls):
    """Each slice is a new view object that operations hand back as itself and that keeps its
    elements alive after the vector is gone."""
    import gc
    import weakref
    base = make((cls, (6,)))
    before = [base[i] for i in range(base.numel())]
    w, w2 = base[1:4], base[1:4]
    assert type(w) is getattr(vk, "view" + cls[-1]) and w is not w2
    assert vk.scale(2.0, w) is w and w2[0] == 2 * before[1]
    ref = weakref.ref(w2)
    del base, w2
    gc.collect()
    assert ref() is None
    assert [w[i] for i in range(3)] == [2 * x for x in before[1:4]]


# ---- complex numbers where a real scalar is expected ---------------------------------------------

class OnlyComplex:
    def __complex__(self):
        return 2j


COMPLEX_SCALARS = [np.complex128(2j), np.complex64(1 + 5j), np.clongdouble(1j), np.complex64(3),
                   np.array(2j), np.array(1 + 0j, dtype=np.complex64), ComplexSub(2), OnlyComplex()]


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("value", COMPLEX_SCALARS, ids=repr)
@pytest.mark.parametrize("name", [k + s for s in "sd" for k in ("vec", "view", "mat")])
def test_a_complex_number_is_never_a_real_scalar(name, value):
    """Refused as a Python complex is, whatever its imaginary part, by the fast path and the
    chain alike, with every operand as it was. (numpy's own warning is silenced: it is what
    used to be the only sign of the imaginary part dropped.)"""
    mat = name.startswith("mat")
    elem = (0, 0) if mat else 0
    real = "mat" + name[-1]
    calls = [(vk.scale, lambda v: (value, v)), (vk.axpy, lambda v: (value, v, make((name, (2, 2) if mat else (2,))))),
             (vk.gemv, lambda v: (value, 1.0, make((real, (2, 2))), make(("vec" + name[-1], (2,))),
                                  make(("vec" + name[-1], (2,))))),
             (vars(getattr(vk, name))["__setitem__"].__func__, lambda v: (v, elem, value))]
    for f, args in calls:
        for call in (f, type(f).__call__.__get__(f)):
            x = make((name, (2, 2) if mat else (2,)))
            operands = args(x)
            before = [repr(o) for o in operands]
            with pytest.raises(TypeError, match="incompatible function arguments"):
                call(*operands)
            assert [repr(o) for o in operands] == before
    x = make((name, (2, 2) if mat else (2,)))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        x[elem] = value


@pytest.mark.parametrize("value", [np.float32(2), np.float16(2), np.longdouble(2), np.int8(2), np.bool_(True),
                                   np.array(2.0), np.array(2, dtype=np.uint64)], ids=repr)
def test_real_numpy_scalars_are_still_real_scalars(value):
    x = make(("vecd", (2,)))
    expected = [x[0] * float(value), x[1] * float(value)]
    vk.scale(value, x)
    assert [x[0], x[1]] == expected
    x[0] = value
    assert x[0] == float(value)

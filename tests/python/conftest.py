"""Shared fixtures and helpers for the Python tests.

Element types by suffix (s d c z) with their numpy dtype and tolerance; container kinds
(vec view mat); and `Operand`, which builds a container of any kind from a numpy array,
surrounded by sentinel elements that no operation may change, and reads it back.
"""
import ctypes
import os
import re
import sys
import threading

import numpy as np
import pytest

import vekracore as vk

# The helpers the tests share with scripts and child processes (fuzzing, the ONNX Runtime
# oracle, the functions worker processes run); a spawned child inherits this path.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

# ---- element types ------------------------------------------------------------------------

SUFFIXES = "sdcz"
COMPLEX = "cz"
KINDS = ("vec", "view", "mat")
# every container class, in registration order (the kinds of each element type in turn)
CONTAINER_CLASSES = [kind + suffix for suffix in SUFFIXES for kind in KINDS]
DTYPE = {"s": np.float32, "d": np.float64, "c": np.complex64, "z": np.complex128}
RTOL = {"s": 2e-5, "d": 1e-12, "c": 2e-5, "z": 1e-12}


# ---- the ONNX Runtime library vekracore runs on --------------------------------------------


def _ort_version():
    """The version of the libonnxruntime that vekracore loaded, from its OrtGetApiBase()."""
    with open("/proc/self/maps") as maps:
        libraries = {line.split()[-1] for line in maps if "libonnxruntime" in line}
    assert len(libraries) == 1, libraries
    library = ctypes.CDLL(libraries.pop())
    library.OrtGetApiBase.restype = ctypes.POINTER(ctypes.c_void_p * 2)
    get_version = ctypes.CFUNCTYPE(ctypes.c_char_p)(library.OrtGetApiBase().contents[1])
    return tuple(int(part) for part in get_version().decode().split("."))


ORT_VERSION = _ort_version()

# ---- comparisons with onnxruntime's own package --------------------------------------------------
# The oracle, onnxruntime from PyPI, is another release than the ONNX Runtime vekracore runs on,
# and ONNX Runtime's kernels differ by release and by CPU (AVX2, AVX-512, AMD or Intel): the same
# model and inputs agree bit for bit only when both are the same release. Otherwise a result
# matches the oracle's when every element is within ORACLE_ULPS units in the last place of the
# output's largest magnitude (the rounding of a sum taken in another order); integers and
# booleans are always exact.
ORACLE_ULPS = 64


# Memory-growth checks mean nothing when AddressSanitizer is preloaded: it keeps freed blocks
# in quarantine, so the resident set grows with every allocation.
skip_under_asan = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="AddressSanitizer keeps freed memory in quarantine")


def _oracle_version():
    from importlib import metadata

    return tuple(int(part) for part in metadata.version("onnxruntime").split(".")[:3])


ORACLE_VERSION = _oracle_version()


def assert_matches_oracle(got, expected, err_msg=""):
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape, (got.dtype, got.shape, expected.dtype,
                                                                         expected.shape, err_msg)
    if ORACLE_VERSION == ORT_VERSION or got.dtype.kind not in "fc" or got.size == 0:
        np.testing.assert_array_equal(got, expected, err_msg=err_msg)
        return
    finite = np.isfinite(expected)
    np.testing.assert_array_equal(np.isfinite(got), finite, err_msg=err_msg)
    np.testing.assert_array_equal(got[~finite], expected[~finite], err_msg=err_msg)
    scale = float(np.max(np.abs(expected[finite]), initial=0.0))
    ulp = float(np.spacing(np.asarray(scale, dtype=got.real.dtype))) if scale else float(np.finfo(got.real.dtype).tiny)
    np.testing.assert_allclose(got[finite], expected[finite], rtol=0, atol=ORACLE_ULPS * ulp, err_msg=err_msg)


@pytest.fixture(params=SUFFIXES)
def suffix(request):
    return request.param


@pytest.fixture(params=COMPLEX)
def complex_suffix(request):
    return request.param


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


@pytest.fixture(params=KINDS)
def kind2(request):
    return request.param


def cls(kind, suffix):
    return getattr(vk, kind + suffix)


def random_values(suffix, shape, seed=0):
    """Random elements of the suffix's dtype; complex ones have both parts non-zero."""
    rng = np.random.default_rng(seed)
    values = rng.uniform(-2, 2, shape)
    if suffix in COMPLEX:
        values = values + 1j * rng.uniform(-2, 2, shape)
    return values.astype(DTYPE[suffix])


def assert_close(actual, expected, suffix):
    np.testing.assert_allclose(actual, expected, rtol=RTOL[suffix], atol=10 * RTOL[suffix])


def raises_exact(exc, text):
    return pytest.raises(exc, match="^" + re.escape(text) + "$")


# ---- containers from numpy arrays and back -------------------------------------------------

SENTINEL = 777.25 - 3.5j


def sentinel(suffix):
    return SENTINEL if suffix in COMPLEX else SENTINEL.real


def fill_vector(v, values, start=0):
    for i, value in enumerate(values.tolist()):
        v[start + i] = value


def read_vector(v):
    return np.array([v[i] for i in range(v.numel())])


def matrix(suffix, values):
    """A mat of the suffix holding the 2-D array `values`."""
    values = np.asarray(values, dtype=DTYPE[suffix])
    m = cls("mat", suffix)(*values.shape)
    for (i, j), value in np.ndenumerate(values):
        m[i, j] = value.item()
    return m


def read_matrix(m):
    return np.array([[m[i, j] for j in range(m.dim(1))] for i in range(m.dim(0))]).reshape(m.dim(0), m.dim(1))


def storage(m):
    """A matrix's elements in storage order (column-major)."""
    return read_matrix(m).flatten(order="F")


class Operand:
    """A container of one kind whose operand elements are `values` (1-D).

    vec  -- a vector of exactly those elements;
    view -- a window into a longer vector whose other elements are sentinels;
    mat  -- with column=False, a matrix whose storage order holds the values (as flat as the
            factors of the length allow); with column=True, the first column of a matrix with
            two further columns of sentinels (the way gemv and ls see a matrix).
    `.obj` is the container; `.values()` reads the operand back; `.surroundings_intact()`
    says whether every element outside the operand still holds its sentinel.
    """

    PAD = 2

    def __init__(self, kind, suffix, values, column=False):
        values = np.asarray(values, dtype=DTYPE[suffix])
        self.kind, self.suffix, self.n = kind, suffix, len(values)
        s = sentinel(suffix)
        if kind == "vec":
            self.obj = self.parent = cls("vec", suffix)(self.n)
            fill_vector(self.obj, values)
        elif kind == "view":
            self.parent = cls("vec", suffix)(self.n + 2 * self.PAD)
            fill_vector(self.parent, np.full(self.n + 2 * self.PAD, s, dtype=DTYPE[suffix]))
            fill_vector(self.parent, values, self.PAD)
            self.obj = self.parent[self.PAD:self.PAD + self.n]
        elif column:
            grid = np.full((self.n, 3), s, dtype=DTYPE[suffix])
            grid[:, 0] = values
            self.obj = self.parent = matrix(suffix, grid)
        else:
            rows = next((d for d in range(1, self.n + 1) if self.n % d == 0 and d * d >= self.n), 0)
            shape = (rows, self.n // rows) if rows else (0, 1)
            self.obj = self.parent = matrix(suffix, values.reshape(shape, order="F"))

    def _all(self):
        return storage(self.parent) if self.kind == "mat" else read_vector(self.parent)

    def values(self):
        everything = self._all()
        start = self.PAD if self.kind == "view" else 0
        return everything[start:start + self.n]

    def surroundings_intact(self):
        everything = self._all()
        start = self.PAD if self.kind == "view" else 0
        outside = np.concatenate([everything[:start], everything[start + self.n:]])
        return bool(np.all(outside == sentinel(self.suffix)))


def in_threads(*targets, timeout=120):
    """Runs each target in a thread of its own, started together; re-raises the first failure."""
    failures = []
    start = threading.Barrier(len(targets))

    def body(target):
        try:
            start.wait()
            target()
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=body, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread did not end in time"
    if failures:
        raise failures[0]


def chain_nodes(links):
    """ONNX nodes x -> links times (MatMul by the initializer "w", then Tanh) -> y."""
    from onnx import helper

    nodes, current = [], "x"
    for k in range(links):
        out = "y" if k == links - 1 else f"t{k}"
        nodes += [helper.make_node("MatMul", [current, "w"], [f"m{k}"]), helper.make_node("Tanh", [f"m{k}"], [out])]
        current = out
    return nodes

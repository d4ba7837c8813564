"""scale, axpy, sum, copy and swap on every pairing of container kinds, numpy as the oracle."""
import numpy as np
import pytest

import vekracore as vk
from conftest import COMPLEX, DTYPE, Operand, assert_close, cls, random_values, raises_exact

SIZES = (0, 1, 7)


@pytest.mark.parametrize("n", SIZES)
def test_scale(suffix, kind, n):
    values = random_values(suffix, n, seed=n)
    s = (1.5 - 0.5j) if suffix in COMPLEX else 1.5
    x = Operand(kind, suffix, values)
    assert vk.scale(s, x.obj) is x.obj
    assert_close(x.values(), s * values, suffix)
    assert x.surroundings_intact()


def apply(op, a, x, y):
    """The numpy result of op on flat arrays: (new x, new first len(x) elements of y)."""
    return {"axpy": (x, a * x + y), "sum": (x, x + y), "copy": (x, x), "swap": (y, x)}[op]


@pytest.mark.parametrize("op", ["axpy", "sum", "copy", "swap"])
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("extra", [0, 3], ids=["same-length", "longer-y"])
def test_two_operand_ops(op, suffix, kind, kind2, n, extra):
    xv = random_values(suffix, n, seed=1)
    yv = random_values(suffix, n + extra, seed=2)
    a = (0.5 + 2j) if suffix in COMPLEX else -2.5
    x, y = Operand(kind, suffix, xv), Operand(kind2, suffix, yv)
    args = (a, x.obj, y.obj) if op == "axpy" else (x.obj, y.obj)
    result = getattr(vk, op)(*args)
    assert result is (None if op == "swap" else y.obj)
    new_x, new_y = apply(op, a, xv, yv[:n])
    assert_close(x.values(), new_x, suffix)
    assert_close(y.values()[:n], new_y, suffix)
    assert np.array_equal(y.values()[n:], yv[n:])  # only the first n elements take part
    assert x.surroundings_intact() and y.surroundings_intact()


def test_hand_computed_cases(suffix):
    x, y = Operand("vec", suffix, [1, 2, 3]), Operand("vec", suffix, [10, 20, 30])
    vk.axpy(2, x.obj, y.obj)
    assert x.values().tolist() == [1, 2, 3] and y.values().tolist() == [12, 24, 36]
    vk.sum(x.obj, y.obj)
    assert y.values().tolist() == [13, 26, 39]


def test_complex_scalar_is_not_conjugated(complex_suffix):
    x, y = Operand("vec", complex_suffix, [1 + 1j]), Operand("vec", complex_suffix, [0])
    vk.axpy(1j, x.obj, y.obj)
    assert y.values().tolist() == [-1 + 1j]
    vk.sum(x.obj, y.obj)  # adds 1 + 0i times x
    assert y.values().tolist() == [2j]


def test_copy_between_vector_and_matrix_in_storage_order(suffix):
    v = Operand("vec", suffix, [1, 2, 3])
    m = cls("mat", suffix)(2, 3)
    vk.copy(v.obj, m)
    assert [m[i, j] for j in range(3) for i in range(2)] == [1, 2, 3, 0, 0, 0]
    m[1, 2] = 6
    w = cls("vec", suffix)(6)
    vk.copy(m, w)
    assert [w[i] for i in range(6)] == [1, 2, 3, 0, 0, 6]


@pytest.mark.parametrize("op", ["axpy", "sum", "copy", "swap"])
def test_shorter_second_operand_is_refused(op, suffix, kind, kind2):
    xv, yv = random_values(suffix, 4, seed=3), random_values(suffix, 3, seed=4)
    x, y = Operand(kind, suffix, xv), Operand(kind2, suffix, yv)
    args = (2, x.obj, y.obj) if op == "axpy" else (x.obj, y.obj)
    text = f"In {op}, the second operand holds 3 elements, fewer than the 4 of the first operand"
    with raises_exact(RuntimeError, text):
        getattr(vk, op)(*args)
    assert np.array_equal(x.values(), xv) and np.array_equal(y.values(), yv)
    assert x.surroundings_intact() and y.surroundings_intact()


def test_scalar_conversion(suffix):
    v = Operand("vec", suffix, [1, 1])
    assert vk.scale(2, v.obj) is v.obj  # int through the conversion pass
    vk.scale(0.1, v.obj)  # a float, for complex containers too
    assert v.values().tolist() == [DTYPE[suffix](2) * DTYPE[suffix](0.1)] * 2


def test_mixed_element_types_and_non_containers_are_type_errors():
    with pytest.raises(TypeError):
        vk.sum(vk.vecs(2), vk.vecd(2))
    with pytest.raises(TypeError):
        vk.copy(vk.vecc(2), None)
    with pytest.raises(TypeError):
        vk.scale(1j, vk.vecd(2))

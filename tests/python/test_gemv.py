"""gemv and matvec: y <- a A x + b y with x and y of every kind, shape checks and messages."""
import numpy as np
import pytest

import vekracore as vk
from conftest import COMPLEX, Operand, assert_close, cls, matrix, random_values, raises_exact

SHAPES = [(1, 1), (3, 2), (2, 5), (4, 4)]


@pytest.mark.parametrize("m, n", SHAPES)
def test_gemv_against_numpy(suffix, kind, kind2, m, n):
    A = random_values(suffix, (m, n), seed=10)
    xv, yv = random_values(suffix, n, seed=11), random_values(suffix, m, seed=12)
    a, b = ((1.5 - 1j), (0.5 + 0.25j)) if suffix in COMPLEX else (1.5, -0.5)
    x, y = Operand(kind, suffix, xv, column=True), Operand(kind2, suffix, yv, column=True)
    Am = matrix(suffix, A)
    assert vk.gemv(a, b, Am, x.obj, y.obj) is y.obj
    assert_close(y.values(), a * A @ xv + b * yv, suffix)
    assert np.array_equal(x.values(), xv)
    assert x.surroundings_intact() and y.surroundings_intact()


@pytest.mark.parametrize("m, n", SHAPES + [(0, 3), (3, 0), (0, 0)])
def test_matvec_adds_to_y(suffix, kind, kind2, m, n):
    A = random_values(suffix, (m, n), seed=13)
    xv, yv = random_values(suffix, n, seed=14), random_values(suffix, m, seed=15)
    x, y = Operand(kind, suffix, xv, column=True), Operand(kind2, suffix, yv, column=True)
    assert vk.matvec(matrix(suffix, A), x.obj, y.obj) is y.obj
    assert_close(y.values(), A @ xv + yv, suffix)
    assert x.surroundings_intact() and y.surroundings_intact()


def test_hand_computed_cases(suffix):
    A = matrix(suffix, [[1, 2, 3], [4, 5, 6]])
    x, y = Operand("vec", suffix, [1, 1, 1]), Operand("vec", suffix, [1, 1])
    vk.gemv(2, 3, A, x.obj, y.obj)  # int scalars through the conversion pass
    assert y.values().tolist() == [15, 33]
    y = Operand("view", suffix, [1, 1])
    vk.matvec(A, x.obj, y.obj)
    assert y.values().tolist() == [7, 16]


def test_complex_matrix_is_not_conjugated(complex_suffix):
    y = Operand("vec", complex_suffix, [0])
    vk.gemv(1, 0, matrix(complex_suffix, [[1j]]), Operand("vec", complex_suffix, [1]).obj, y.obj)
    assert y.values().tolist() == [1j]


X_MISMATCH = "In gemv expression y = aAx + by, matrix A dimension 1: 3, doesn't match vector x dimension 0: 2"
Y_MISMATCH = "In gemv expression y = aAx + by, matrix A dimension 0: 2, doesn't match vector y dimension 0: 3"


@pytest.mark.parametrize("op", ["gemv", "matvec"])
@pytest.mark.parametrize("nx, ny, text", [(2, 2, X_MISMATCH), (3, 3, Y_MISMATCH), (2, 3, X_MISMATCH)])
def test_shape_messages_leave_y_untouched(op, suffix, kind, kind2, nx, ny, text):
    A = matrix(suffix, random_values(suffix, (2, 3), seed=16))
    yv = random_values(suffix, ny, seed=17)
    x, y = Operand(kind, suffix, np.ones(nx), column=True), Operand(kind2, suffix, yv, column=True)
    args = (A, x.obj, y.obj) if op == "matvec" else (1.0, 0.0, A, x.obj, y.obj)
    with raises_exact(RuntimeError, text):
        getattr(vk, op)(*args)
    assert np.array_equal(y.values(), yv) and y.surroundings_intact()


def test_matrix_column_without_storage_is_refused(suffix):
    A = matrix(suffix, np.ones((2, 3)))
    with raises_exact(RuntimeError, "In gemv expression y = aAx + by, vector x dimension 0: 3, "
                                    "exceeds its number of elements: 0"):
        vk.matvec(A, cls("mat", suffix)(3, 0), cls("vec", suffix)(2))
    with raises_exact(RuntimeError, "In gemv expression y = aAx + by, vector y dimension 0: 2, "
                                    "exceeds its number of elements: 0"):
        vk.gemv(1, 1, A, cls("vec", suffix)(3), cls("mat", suffix)(2, 0))


@pytest.mark.parametrize("a_kind", ["vec", "view"])
def test_vector_as_A_is_refused(suffix, a_kind, kind, kind2):
    A = Operand(a_kind, suffix, np.ones(3))
    yv = random_values(suffix, 3, seed=18)
    x, y = Operand(kind, suffix, np.ones(3), column=True), Operand(kind2, suffix, yv, column=True)
    text = "In gemv expression y = aAx + by, A must be a matrix, not a vector or view"
    with raises_exact(RuntimeError, text):
        vk.matvec(A.obj, x.obj, y.obj)
    with raises_exact(RuntimeError, text):
        vk.gemv(1.0, 1.0, A.obj, x.obj, y.obj)
    assert np.array_equal(y.values(), yv)


def test_mixed_element_types_are_type_errors():
    with pytest.raises(TypeError):
        vk.matvec(vk.matd(2, 2), vk.vecs(2), vk.vecd(2))
    with pytest.raises(TypeError):
        vk.gemv(1.0, 0.0, vk.matc(2, 2), vk.vecc(2), None)

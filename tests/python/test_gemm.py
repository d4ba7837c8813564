"""gemm and matmul: Y <- a A X + b Y on matrices, shape checks in order, size limit."""
import numpy as np
import pytest

import vekracore as vk
from conftest import COMPLEX, assert_close, matrix, random_values, raises_exact, read_matrix

SHAPES = [(1, 1, 1), (2, 3, 4), (5, 2, 3), (0, 2, 3), (3, 0, 2), (2, 3, 0)]  # (M, K, N)


@pytest.mark.parametrize("M, K, N", SHAPES)
def test_gemm_and_matmul_against_numpy(suffix, M, K, N):
    A, X, Y = (random_values(suffix, shape, seed=s) for s, shape in enumerate([(M, K), (K, N), (M, N)]))
    a, b = ((0.5 + 1j), (2 - 0.5j)) if suffix in COMPLEX else (0.5, 2.0)
    Am, Xm, Ym = matrix(suffix, A), matrix(suffix, X), matrix(suffix, Y)
    assert vk.gemm(a, b, Am, Xm, Ym) is Ym
    expected = a * A @ X + b * Y
    assert_close(read_matrix(Ym), expected, suffix)
    assert vk.matmul(Am, Xm, Ym) is Ym
    assert_close(read_matrix(Ym), A @ X + expected, suffix)
    assert np.array_equal(read_matrix(Am), A) and np.array_equal(read_matrix(Xm), X)


def test_hand_computed_cases(suffix):
    A = matrix(suffix, [[1, 2, 3], [4, 5, 6]])
    X = matrix(suffix, [[1, 0], [0, 1], [1, 1]])
    Y = matrix(suffix, np.full((2, 2), 9))
    vk.gemm(1, 0, A, X, Y)  # b = 0: what Y held plays no part
    assert read_matrix(Y).tolist() == [[4, 5], [10, 11]]
    Y = matrix(suffix, np.ones((2, 2)))
    vk.matmul(A, X, Y)
    assert read_matrix(Y).tolist() == [[5, 6], [11, 12]]
    Y = matrix(suffix, np.ones((2, 2)))
    vk.gemm(2, 1, A, X, Y)
    assert read_matrix(Y).tolist() == [[9, 11], [21, 23]]


def test_complex_operands_are_not_conjugated(complex_suffix):
    Y = matrix(complex_suffix, [[0]])
    vk.gemm(1, 0, matrix(complex_suffix, [[1j]]), matrix(complex_suffix, [[1j]]), Y)
    assert read_matrix(Y).tolist() == [[-1]]


PREFIX = "In gemm expression Y = aAX + bY, "


@pytest.mark.parametrize("op", ["gemm", "matmul"])
@pytest.mark.parametrize("x_shape, y_shape, text", [
    ((3, 2), (3, 2), "matrix A dimension 0: 2, doesn't match matrix Y dimension 0: 3"),
    ((3, 2), (2, 3), "matrix X dimension 1: 2, doesn't match matrix Y dimension 1: 3"),
    ((2, 2), (2, 2), "matrix A dimension 1: 3, doesn't match matrix X dimension 0: 2"),
    ((2, 4), (3, 3), "matrix A dimension 0: 2, doesn't match matrix Y dimension 0: 3"),
])
def test_shape_messages_leave_Y_untouched(op, suffix, x_shape, y_shape, text):
    A = matrix(suffix, np.ones((2, 3)))
    Yv = random_values(suffix, y_shape, seed=20)
    X, Y = matrix(suffix, np.ones(x_shape)), matrix(suffix, Yv)
    args = (A, X, Y) if op == "matmul" else (1.0, 1.0, A, X, Y)
    with raises_exact(RuntimeError, PREFIX + text):
        getattr(vk, op)(*args)
    assert np.array_equal(read_matrix(Y), Yv)


def test_dimensions_beyond_the_blas_range_are_refused():
    A, Y = vk.matd(2**31, 0), vk.matd(2**31, 0)  # no elements, so nothing is allocated
    with raises_exact(RuntimeError, "In gemm, matrix A dimension 0: 2147483648 exceeds the 32-bit "
                                    "BLAS/LAPACK size limit 2147483647"):
        vk.matmul(A, vk.matd(0, 0), Y)
    with raises_exact(RuntimeError, "In gemm, matrix X dimension 1: 2147483648 exceeds the 32-bit "
                                    "BLAS/LAPACK size limit 2147483647"):
        vk.gemm(1.0, 1.0, vk.matd(0, 0), vk.matd(0, 2**31), vk.matd(0, 2**31))


def test_vectors_and_mixed_types_are_type_errors():
    with pytest.raises(TypeError):
        vk.gemm(1.0, 0.0, vk.matd(1, 1), vk.vecd(1), vk.matd(1, 1))
    with pytest.raises(TypeError):
        vk.matmul(vk.mats(1, 1), vk.matd(1, 1), vk.matd(1, 1))

"""gemv, matvec, gemm and matmul refuse an output that shares elements with an input, before
writing anything; operands that are only read twice, or windows that merely touch, are fine."""
import numpy as np
import pytest

import vekracore as vk
from conftest import assert_close, cls, fill_vector, matrix, raises_exact, read_matrix, read_vector

A3 = [[1, 2, 3], [4, 5, 6], [7, 8, 9]]
TAIL = " in memory: the output must not share elements with an input"
GEMV = "In gemv expression y = aAx + by, vector y overlaps "
GEMM = "In gemm expression Y = aAX + bY, matrix Y overlaps "


def vector(suffix, values):
    v = cls("vec", suffix)(len(values))
    fill_vector(v, np.asarray(values))
    return v


def call(op, A, x, y):
    return getattr(vk, op)(A, x, y) if op in ("matvec", "matmul") else getattr(vk, op)(1, 0, A, x, y)


@pytest.mark.parametrize("op", ["gemv", "matvec"])
def test_gemv_output_overlapping_an_input_is_refused_untouched(suffix, op):
    A = matrix(suffix, A3)
    x = vector(suffix, [1, 2, 3])
    with raises_exact(RuntimeError, GEMV + "vector x" + TAIL):
        call(op, A, x, x)
    v = vector(suffix, range(1, 8))
    for first, second in ((v[0:3], v[2:5]), (v[2:5], v[0:3]), (v[1:4], v[1:4])):
        with raises_exact(RuntimeError, GEMV + "vector x" + TAIL):
            call(op, A, first, second)
    with raises_exact(RuntimeError, GEMV + "matrix A" + TAIL):
        call(op, A, x, A)  # A's first column as y
    with raises_exact(RuntimeError, GEMV + "matrix A" + TAIL):
        call(op, A, A, A)
    assert read_vector(x).tolist() == [1, 2, 3]
    assert read_vector(v).tolist() == list(range(1, 8))
    assert read_matrix(A).tolist() == A3


def test_gemv_operands_that_do_not_overlap(suffix):
    A = matrix(suffix, A3)
    v = vector(suffix, [1, 2, 3, 0, 0, 0, 7])
    assert vk.gemv(1, 0, A, v[0:3], v[3:6]) is not None  # adjacent windows
    assert read_vector(v).tolist() == [1, 2, 3, 14, 32, 50, 7]
    y = vector(suffix, [0, 0, 0])
    vk.gemv(1, 0, A, A, y)  # A read twice: as the matrix and through its first column as x
    assert_close(read_vector(y), np.array(A3) @ [1, 4, 7], suffix)
    empty = cls("mat", suffix)(3, 0)
    vk.matvec(empty, v[0:0], v[0:3])  # nothing is read: no overlap
    assert read_vector(v).tolist() == [1, 2, 3, 14, 32, 50, 7]


@pytest.mark.parametrize("op", ["gemm", "matmul"])
def test_gemm_output_overlapping_an_input_is_refused_untouched(suffix, op):
    A, B = matrix(suffix, A3), matrix(suffix, np.array(A3) + 1)
    with raises_exact(RuntimeError, GEMM + "matrix A" + TAIL):
        call(op, B, B, B)
    with raises_exact(RuntimeError, GEMM + "matrix A" + TAIL):
        call(op, B, A, B)
    with raises_exact(RuntimeError, GEMM + "matrix X" + TAIL):
        call(op, A, B, B)
    assert read_matrix(A).tolist() == A3
    assert read_matrix(B).tolist() == (np.array(A3) + 1).tolist()
    Y = cls("mat", suffix)(3, 3)
    call(op, A, A, Y)
    assert_close(read_matrix(Y), np.array(A3) @ np.array(A3), suffix)

"""ls: least-squares and minimum-norm solutions in place, refusals before and after the solve."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vekracore as vk
from conftest import COMPLEX, DTYPE, Operand, assert_close, cls, matrix, random_values, raises_exact, read_matrix


@pytest.mark.parametrize("m, n", [(1, 1), (4, 4), (6, 3), (2, 5)])
@pytest.mark.parametrize("extra", [0, 2], ids=["exact", "longer-x"])
def test_against_numpy(suffix, kind, m, n, extra):
    A = random_values(suffix, (m, n), seed=30) + 3 * np.eye(m, n)  # well conditioned, full rank
    b = random_values(suffix, m, seed=31)
    xv = np.concatenate([b, np.full(max(m, n) - m + extra, 5, dtype=b.dtype)])
    x = Operand(kind, suffix, xv, column=True)
    Am = matrix(suffix, A)
    assert vk.ls(Am, x.obj) is None
    z = np.linalg.lstsq(A.astype(np.complex128), b.astype(np.complex128), rcond=None)[0]
    assert_close(x.values()[:n], z, suffix)
    if m > n:  # the residual part: its squared magnitudes sum to the residual sum of squares
        assert_close(np.sum(np.abs(x.values()[n:m]) ** 2), np.sum(np.abs(A @ z - b) ** 2), suffix)
    assert np.array_equal(x.values()[max(m, n):], xv[max(m, n):])
    assert x.surroundings_intact()
    assert read_matrix(Am).shape == (m, n)
    if min(m, n) > 1:  # A now holds its factorization
        assert not np.array_equal(read_matrix(Am), A)


def test_hand_computed_cases(suffix):
    x = Operand("vec", suffix, [2, 4])
    vk.ls(matrix(suffix, [[2, 0], [0, 4]]), x.obj)
    assert_close(x.values(), [1, 1], suffix)
    x = Operand("vec", suffix, [1, 1, 0])
    vk.ls(matrix(suffix, [[1, 0], [0, 1], [1, 1]]), x.obj)
    assert_close(x.values()[:2], [1 / 3, 1 / 3], suffix)
    assert_close(abs(x.values()[2]) ** 2, 4 / 3, suffix)
    x = Operand("view", suffix, [2, 0])
    vk.ls(matrix(suffix, [[1, 1]]), x.obj)
    assert_close(x.values(), [1, 1], suffix)


def test_empty_system_gives_the_zero_solution(suffix):
    x = Operand("vec", suffix, [3, 4])
    vk.ls(cls("mat", suffix)(0, 2), x.obj)
    assert x.values().tolist() == [0, 0]


def test_only_the_first_column_of_a_matrix_x_changes(suffix):
    X = random_values(suffix, (3, 4), seed=32)
    Xm = matrix(suffix, X)
    vk.ls(matrix(suffix, [[1, 0], [0, 1], [1, 1]]), Xm)
    assert np.array_equal(read_matrix(Xm)[:, 1:], X[:, 1:])
    assert not np.array_equal(read_matrix(Xm)[:, 0], X[:, 0])


@pytest.mark.parametrize("shape", [(3, 2), (2, 3)])
def test_too_short_x_is_refused_untouched(suffix, kind, shape):
    A = random_values(suffix, shape, seed=33)
    xv = random_values(suffix, 2, seed=34)
    Am, x = matrix(suffix, A), Operand(kind, suffix, xv)
    with raises_exact(RuntimeError, f"In ls, x holds 2 elements, fewer than the 3 that matrix A of size {shape} needs"):
        vk.ls(Am, x.obj)
    assert np.array_equal(read_matrix(Am), A) and np.array_equal(x.values(), xv) and x.surroundings_intact()


def test_rank_deficient_matrix_is_reported(suffix):
    x = Operand("vec", suffix, [1, 2, 3])
    with raises_exact(RuntimeError, "In ls, LAPACKE gels returned status 2: matrix A is rank-deficient, "
                                    "x holds no solution"):
        vk.ls(matrix(suffix, [[1, 0], [2, 0], [3, 0]]), x.obj)


RANK_DEFICIENT = "In ls, LAPACKE gels returned status 2: matrix A is rank-deficient, x holds no solution"
NAN = float("nan")


@pytest.mark.parametrize(
    "A, xv, text",
    [
        ([[1, 0], [2, 0], [3, 0]], [1, 2, 3], RANK_DEFICIENT),
        ([[1, 2, 3], [0, 0, 0]], [1, 2, 3], RANK_DEFICIENT),
        ([[1, 2], [NAN, 1]], [1, 2], "In ls, matrix A holds a NaN"),
        ([[1, 0], [0, 1], [1, 1]], [1, 2, NAN], "In ls, x holds a NaN among its first 3 elements"),
        ([[1, 0, 0], [0, 1, 0]], [1, 2, NAN], "In ls, x holds a NaN among its first 3 elements"),
        ([[NAN]], [NAN], "In ls, matrix A holds a NaN"),
    ],
    ids=["tall-deficient", "wide-deficient", "nan-in-A", "nan-in-x", "nan-in-x-beyond-m", "nan-in-both"],
)
def test_failed_solve_leaves_the_operands_as_they_were(suffix, kind, A, xv, text):
    A = np.array(A, dtype=np.float64).astype(DTYPE[suffix])
    if suffix in COMPLEX:
        A = A * (1 - 0.5j)
    Am, x = matrix(suffix, A), Operand(kind, suffix, xv, column=True)
    with raises_exact(RuntimeError, text):
        vk.ls(Am, x.obj)
    np.testing.assert_array_equal(read_matrix(Am), A)  # NaNs compare equal here
    np.testing.assert_array_equal(x.values(), np.asarray(xv, dtype=DTYPE[suffix]))
    assert x.surroundings_intact()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer needs more address space than the limit leaves")
def test_failed_allocation_of_the_saved_copy_is_a_memory_error_before_the_solve():
    # A 1 x 32M system (256 MiB each for A and x) under an address-space limit that leaves
    # less than the 512 MiB copy (OpenBLAS and LAPACKE set up beforehand, on a small system):
    # MemoryError, and A and x still hold what they held.
    code = """
        import resource, vekracore as vk
        vk.ls(vk.matd(2, 3), vk.vecd(3))
        n = 1 << 25
        A, x = vk.matd(1, n), vk.vecd(n)
        A[0, 0], A[0, 5], x[0] = 2.0, 1.0, 4.0
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (300 << 20), resource.RLIM_INFINITY))
        try:
            vk.ls(A, x)
        except MemoryError:
            print(A[0, 0], A[0, 5], A[0, 1], x[0], x[5], x[1])
        """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["2.0", "1.0", "0.0", "4.0", "0.0", "0.0"]


def test_vector_as_A_and_mixed_types_are_type_errors():
    with pytest.raises(TypeError):
        vk.ls(vk.vecd(2), vk.matd(2, 1))
    with pytest.raises(TypeError):
        vk.ls(vk.matd(1, 1), vk.vecs(1))

"""dot (no conjugation) and hdot (conjugates its first operand) on every pairing of kinds."""
import numpy as np
import pytest

import vekracore as vk
from conftest import COMPLEX, Operand, RTOL, cls, random_values, raises_exact


@pytest.mark.parametrize("n", [0, 1, 9])
@pytest.mark.parametrize("extra", [0, 2], ids=["same-length", "longer-y"])
def test_dot_and_hdot_against_numpy(suffix, kind, kind2, n, extra):
    xv, yv = random_values(suffix, n, seed=5), random_values(suffix, n + extra, seed=6)
    x, y = Operand(kind, suffix, xv), Operand(kind2, suffix, yv)
    result = vk.dot(x.obj, y.obj)
    assert type(result) is (complex if suffix in COMPLEX else float)
    assert np.isclose(result, np.dot(xv, yv[:n]), rtol=RTOL[suffix], atol=10 * RTOL[suffix])
    if suffix in COMPLEX:
        assert np.isclose(vk.hdot(x.obj, y.obj), np.vdot(xv, yv[:n]), rtol=RTOL[suffix], atol=10 * RTOL[suffix])
    else:
        with pytest.raises(TypeError):
            vk.hdot(x.obj, y.obj)
    assert np.array_equal(x.values(), xv) and np.array_equal(y.values(), yv)


def test_conjugation_conventions(complex_suffix):
    x = Operand("vec", complex_suffix, [1 + 2j, 3 - 1j]).obj
    assert vk.dot(x, x) == 5 - 2j
    assert vk.hdot(x, x) == 15 + 0j
    i, one = Operand("vec", complex_suffix, [1j]).obj, Operand("vec", complex_suffix, [1]).obj
    assert vk.hdot(i, one) == -1j and vk.hdot(one, i) == 1j
    assert vk.dot(i, one) == vk.dot(one, i) == 1j


def test_matrix_pairs_in_storage_order(suffix):
    m = cls("mat", suffix)(2, 3)
    v = cls("vec", suffix)(6)
    for k in range(6):
        m[k % 2, k // 2] = k + 1
        v[k] = 10 ** k
    assert vk.dot(m, m) == sum((k + 1) ** 2 for k in range(6))
    assert vk.dot(v, m) == 654321


def test_empty_first_operand_gives_zero(suffix):
    assert vk.dot(cls("vec", suffix)(0), cls("mat", suffix)(0, 3)) == 0


@pytest.mark.parametrize("op", ["dot", "hdot"])
def test_shorter_second_operand_is_refused(op, complex_suffix, kind, kind2):
    x = Operand(kind, complex_suffix, random_values(complex_suffix, 5, seed=7))
    y = Operand(kind2, complex_suffix, random_values(complex_suffix, 2, seed=8))
    text = f"In {op}, the second operand holds 2 elements, fewer than the 5 of the first operand"
    with raises_exact(RuntimeError, text):
        getattr(vk, op)(x.obj, y.obj)


def test_real_dot_refuses_a_shorter_second_operand():
    with raises_exact(RuntimeError, "In dot, the second operand holds 0 elements, fewer than the 1 of the first operand"):
        vk.dot(vk.vecs(1), vk.vecs(0))

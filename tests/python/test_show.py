"""The text form of vectors, views and matrices (repr)."""
import math

import pytest

import vekracore as vk
from conftest import SUFFIXES


def fmt(x):
    """One element as printf's %.14e would write it, padded to width 14."""
    if isinstance(x, complex):
        return ("(%s,%s)" % (fmt_real(x.real), fmt_real(x.imag))).rjust(14)
    return fmt_real(x).rjust(14)


def fmt_real(x):
    if math.isnan(x):
        return "-nan" if math.copysign(1, x) < 0 else "nan"
    return "%.14e" % x


def expected_vector(values):
    return "".join([f"Column vector of size: {len(values)}\n"] + [f"[{fmt(x)}]\n" for x in values])


def expected_matrix(rows):
    cols = len(rows[0]) if rows else 0
    out = [f"Matrix of size: ({len(rows)}, {cols})\n"]
    for row in rows:
        shown = [fmt(x) for x in row]
        if cols > 4:
            shown = shown[:3] + ["..."] + shown[-1:]
        out.append("[" + ", ".join(shown) + "]\n")
    return "".join(out)


def test_documented_examples():
    v = vk.vecd(3)
    for i, x in enumerate([1, -2.5, 0.001]):
        v[i] = x
    assert repr(v) == (
        "Column vector of size: 3\n"
        "[1.00000000000000e+00]\n"
        "[-2.50000000000000e+00]\n"
        "[1.00000000000000e-03]\n"
    )
    a = vk.matd(2, 6)
    for i in range(2):
        for j in range(6):
            a[i, j] = 6 * i + j + 1
    assert repr(a) == (
        "Matrix of size: (2, 6)\n"
        "[1.00000000000000e+00, 2.00000000000000e+00, 3.00000000000000e+00, ..., 6.00000000000000e+00]\n"
        "[7.00000000000000e+00, 8.00000000000000e+00, 9.00000000000000e+00, ..., 1.20000000000000e+01]\n"
    )
    z = vk.vecz(1)
    z[0] = 1 - 2j
    assert repr(z) == "Column vector of size: 1\n[(1.00000000000000e+00,-2.00000000000000e+00)]\n"


def test_float_shows_its_exact_single_precision_value():
    v = vk.vecs(2)
    v[0], v[1] = 0.1, 1e-40  # 1e-40 is subnormal in single precision
    assert repr(v) == "Column vector of size: 2\n[1.00000001490116e-01]\n[9.99994610111476e-41]\n"
    c = vk.vecc(1)
    c[0] = complex(0.1, -3)
    assert repr(c) == "Column vector of size: 1\n[(1.00000001490116e-01,-3.00000000000000e+00)]\n"


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_vectors_and_views(suffix):
    is_complex = suffix in "cz"
    values = [complex(k * 1.5, -k) if is_complex else k * 1.5 - 2 for k in range(6)]
    v = getattr(vk, "vec" + suffix)(6)
    for i, x in enumerate(values):
        v[i] = x
    assert repr(v) == expected_vector(values)
    assert repr(v[1:4]) == expected_vector(values[1:4])
    assert repr(v[1:4][1:2]) == expected_vector(values[2:3])
    assert repr(v[3:3]) == "Column vector of size: 0\n"
    assert repr(getattr(vk, "vec" + suffix)(0)) == "Column vector of size: 0\n"


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("rows, cols", [(0, 0), (0, 5), (1, 1), (3, 1), (2, 4), (2, 5), (3, 7)])
def test_matrices(suffix, rows, cols):
    is_complex = suffix in "cz"
    a = getattr(vk, "mat" + suffix)(rows, cols)
    table = []
    for i in range(rows):
        row = []
        for j in range(cols):
            x = complex(i + 0.5, j) if is_complex else 10.0 * i - j
            a[i, j] = x
            row.append(x)
        table.append(row)
    text = repr(a)
    if rows == 0:
        assert text == f"Matrix of size: (0, {cols})\n"
    else:
        assert text == expected_matrix(table)


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_rows_without_columns_render_empty_brackets(suffix):
    assert repr(getattr(vk, "mat" + suffix)(2, 0)) == "Matrix of size: (2, 0)\n[]\n[]\n"


def test_non_finite_values_are_padded_to_width_14():
    v = vk.vecd(4)
    v[0], v[1], v[2], v[3] = math.inf, -math.inf, math.nan, -math.nan
    assert repr(v) == (
        "Column vector of size: 4\n[           inf]\n[          -inf]\n[           nan]\n[          -nan]\n"
    )
    z = vk.matz(1, 2)
    z[0, 0] = complex(math.inf, math.nan)
    z[0, 1] = complex(1, math.inf)
    assert repr(z) == (
        "Matrix of size: (1, 2)\n[     (inf,nan), (1.00000000000000e+00,inf)]\n"
    )

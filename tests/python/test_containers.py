"""Vectors, views and matrices: construction, element access, slicing, lifetimes, errors."""
import gc
import subprocess
import sys
import textwrap

import pytest

import vekracore as vk
from conftest import COMPLEX, raises_exact


def value(suffix, k):
    """A value exactly representable in every element type, distinct per k."""
    return complex(k + 0.5, -k) if suffix in COMPLEX else k + 0.25


def vec(suffix, n):
    v = getattr(vk, "vec" + suffix)(n)
    for i in range(n):
        v[i] = value(suffix, i)
    return v


class TestVector:
    def test_new_vector_is_zero_with_sizes(self, suffix):
        v = getattr(vk, "vec" + suffix)(5)
        assert (v.numel(), v.dim(0)) == (5, 5)
        assert [v[i] for i in range(5)] == [0] * 5
        assert type(v[0]) is (complex if suffix in COMPLEX else float)

    def test_write_then_read(self, suffix):
        v = vec(suffix, 4)
        assert [v[i] for i in range(4)] == [value(suffix, i) for i in range(4)]

    def test_index_out_of_range(self, suffix):
        v = vec(suffix, 5)
        with raises_exact(RuntimeError, "index 5 exceeds max number of elements 5"):
            v[5]
        with raises_exact(RuntimeError, "index 7 exceeds max number of elements 5"):
            v[7] = value(suffix, 1)
        assert [v[i] for i in range(5)] == [value(suffix, i) for i in range(5)]

    def test_empty_vector(self, suffix):
        v = getattr(vk, "vec" + suffix)(0)
        assert v.numel() == 0
        with raises_exact(RuntimeError, "index 0 exceeds max number of elements 0"):
            v[0]

    def test_dim_other_than_zero(self, suffix):
        v = vec(suffix, 3)
        with raises_exact(RuntimeError, "dimension 1 invalid for vector"):
            v.dim(1)
        with raises_exact(RuntimeError, "dimension 9 invalid for vector"):
            v[0:2].dim(9)

    @pytest.mark.parametrize("key", [-1, 1.0, (0,), "0", None])
    def test_bad_keys_are_type_errors(self, suffix, key):
        v = vec(suffix, 3)
        with pytest.raises(TypeError):
            v[key]
        with pytest.raises(TypeError):
            v[key] = value(suffix, 0)

    @pytest.mark.parametrize("size", [-1, 2.0, "3", None])
    def test_bad_sizes_are_type_errors(self, suffix, size):
        with pytest.raises(TypeError):
            getattr(vk, "vec" + suffix)(size)

    @pytest.mark.parametrize("cls", ["vecs", "vecd", "vecc", "vecz", "mats"])
    def test_huge_sizes_are_memory_errors(self, cls):
        args = (2**62,) if cls.startswith("vec") else (2**40, 2**40)
        with pytest.raises(MemoryError):
            getattr(vk, cls)(*args)

    def test_index_conversions(self, suffix):
        v = vec(suffix, 3)
        v[True] = value(suffix, 9)
        assert v[1] == value(suffix, 9)

        class Idx:
            def __index__(self):
                return 2

        assert v[Idx()] == value(suffix, 2)

    def test_value_conversions(self):
        v = vk.vecd(2)
        v[1] = 3
        assert v[1] == 3.0 and type(v[1]) is float
        z = vk.vecz(2)
        z[0] = 1.5
        z[1] = 2
        assert (z[0], z[1]) == (1.5 + 0j, 2 + 0j)
        with pytest.raises(TypeError):
            vk.vecs(1)[0] = 1j
        with pytest.raises(TypeError):
            vk.vecd(1)[0] = "1"

    def test_single_precision_rounding(self):
        s, c = vk.vecs(1), vk.vecc(1)
        s[0] = 0.1
        c[0] = complex(0.1, 0.2)
        assert s[0] == 0.10000000149011612
        assert c[0] == complex(0.10000000149011612, 0.20000000298023224)

    def test_no_len_iteration_stops_with_runtime_error(self, suffix):
        v = vec(suffix, 5)
        with pytest.raises(TypeError):
            len(v)
        seen = []
        with raises_exact(RuntimeError, "index 5 exceeds max number of elements 5"):
            for x in v:
                seen.append(x)
        assert seen == [value(suffix, i) for i in range(5)]

    def test_no_dynamic_attributes(self, suffix):
        with pytest.raises(AttributeError):
            vec(suffix, 1).extra = 1


class TestView:
    def test_view_classes_cannot_be_constructed(self, suffix):
        with raises_exact(TypeError, f"vekracore.view{suffix}: No constructor defined!"):
            getattr(vk, "view" + suffix)()

    @pytest.mark.parametrize(
        "key, indices",
        [
            (slice(None), [0, 1, 2, 3, 4]),
            (slice(1, None), [1, 2, 3, 4]),
            (slice(-2, None), [3, 4]),
            (slice(1, 4), [1, 2, 3]),
            (slice(None, -1, 1), [0, 1, 2, 3]),
            (slice(2, 2), []),
            (slice(10, 20), []),
            (slice(3, 1), []),
            (slice(-1, 0), []),
            (slice(-100, 100), [0, 1, 2, 3, 4]),
        ],
    )
    def test_slices_match_python_lists(self, suffix, key, indices):
        v = vec(suffix, 5)
        w = v[key]
        assert type(w) is getattr(vk, "view" + suffix)
        assert w.numel() == w.dim(0) == len(indices) == len(range(5)[key])
        assert [w[i] for i in range(w.numel())] == [value(suffix, i) for i in indices]

    def test_writes_through_views_are_shared(self, suffix):
        v = vec(suffix, 6)
        w = v[1:5]
        u = w[1:3]
        other = v[2:4]
        u[0] = value(suffix, 42)
        assert v[2] == w[1] == other[0] == value(suffix, 42)
        v[3] = value(suffix, 43)
        assert u[1] == value(suffix, 43)
        assert v[0] == value(suffix, 0) and v[5] == value(suffix, 5)

    def test_view_bounds_are_its_own(self, suffix):
        v = vec(suffix, 10)
        w = v[2:8]
        with raises_exact(RuntimeError, "index 6 exceeds max number of elements 6"):
            w[6]
        u = w[1:3]
        assert (u.numel(), u[1]) == (2, value(suffix, 4))
        with raises_exact(RuntimeError, "index 2 exceeds max number of elements 2"):
            u[2] = value(suffix, 0)
        assert [v[i] for i in range(10)] == [value(suffix, i) for i in range(10)]

    @pytest.mark.parametrize("step", [2, -1, 3])
    def test_steps_other_than_one(self, suffix, step):
        v = vec(suffix, 5)
        with raises_exact(RuntimeError, "stepsizes larger than 1 invalid for vector"):
            v[::step]
        with raises_exact(RuntimeError, "stepsizes larger than 1 invalid for vector"):
            v[1:4][0:2:step]

    def test_slice_unpacking_errors_propagate(self, suffix):
        v = vec(suffix, 5)
        with pytest.raises(ValueError):
            v[::0]
        with pytest.raises(TypeError):
            v[1.5:]

    def test_view_survives_its_vector(self, suffix):
        v = vec(suffix, 5)
        w = v[1:4]
        del v
        gc.collect()
        assert [w[i] for i in range(3)] == [value(suffix, i) for i in (1, 2, 3)]
        w[2] = value(suffix, 7)
        assert w[2] == value(suffix, 7)

    def test_same_slice_twice_gives_distinct_objects(self, suffix):
        v = vec(suffix, 3)
        a, b = v[0:2], v[0:2]
        assert a is not b
        a[0] = value(suffix, 5)
        assert b[0] == value(suffix, 5)


class TestMatrix:
    def test_sizes_and_zero_elements(self, suffix):
        a = getattr(vk, "mat" + suffix)(2, 3)
        assert (a.dim(0), a.dim(1), a.numel()) == (2, 3, 6)
        assert all(a[i, j] == 0 for i in range(2) for j in range(3))
        with raises_exact(RuntimeError, "dimension 2 invalid for matrix"):
            a.dim(2)

    def test_index_forms_and_storage_order(self, suffix):
        a = getattr(vk, "mat" + suffix)(2, 3)
        for i in range(2):
            for j in range(3):
                a[i, j] = value(suffix, 10 * i + j)
        assert a[[1, 2]] == a[(1, 2)] == a[1, 2] == value(suffix, 12)
        # column-major storage: copying into a vector of 6 shows it, once copy exists
        if hasattr(vk, "copy") and vk.copy.__doc__:
            v = getattr(vk, "vec" + suffix)(6)
            vk.copy(a, v)
            assert [v[k] for k in range(6)] == [value(suffix, x) for x in (0, 10, 1, 11, 2, 12)]

    @pytest.mark.parametrize(
        "index, message",
        [
            ((2, 0), "index for dimension 02exceeds max number of elements for that dimension 2"),
            ((5, 0), "index for dimension 05exceeds max number of elements for that dimension 2"),
            ((0, 3), "requested array index 6exceeds max number of elements 6"),
            ((6, 0), "requested array index 6exceeds max number of elements 6"),
            ((1, 2**63), "index for dimension 19223372036854775808exceeds max number of elements for that dimension 3"),
        ],
    )
    def test_three_step_index_check(self, suffix, index, message):
        a = getattr(vk, "mat" + suffix)(2, 3)
        with raises_exact(RuntimeError, message):
            a[index]
        with raises_exact(RuntimeError, message):
            a[index] = value(suffix, 1)
        assert all(a[i, j] == 0 for i in range(2) for j in range(3))

    def test_empty_matrix(self, suffix):
        a = getattr(vk, "mat" + suffix)(0, 3)
        assert (a.numel(), a.dim(1)) == (0, 3)
        with raises_exact(RuntimeError, "requested array index 0exceeds max number of elements 0"):
            a[0, 0]

    @pytest.mark.parametrize("key", [(-1, 0), 1, (0, 1, 2), (slice(0, 1), 0), (0.0, 1), "ab"])
    def test_bad_keys_are_type_errors(self, suffix, key):
        a = getattr(vk, "mat" + suffix)(2, 3)
        with pytest.raises(TypeError):
            a[key]

    def test_no_iteration_or_len(self, suffix):
        a = getattr(vk, "mat" + suffix)(2, 2)
        with pytest.raises(TypeError):
            list(a)
        with pytest.raises(TypeError):
            len(a)

    def test_overflowing_sizes_are_memory_errors(self):
        with pytest.raises(MemoryError):
            vk.matd(2**32, 2**32)
        with pytest.raises(MemoryError):
            vk.matz(2**63, 3)


def test_sizes_at_the_top_of_the_range_are_memory_errors():
    """Sizes whose element count wraps around once the buffer's bookkeeping is added. Run in a
    child interpreter: a wrapped allocation would be written far past its end."""
    code = """
        import vekracore as vk
        top = 2**64 - 1
        for s in "sdcz":
            for cls, args in (("vec", (top,)), ("vec", (top - 1,)), ("mat", (1, top)), ("mat", (top, 1))):
                try:
                    getattr(vk, cls + s)(*args)
                except MemoryError:
                    continue
                raise SystemExit(f"{cls}{s}{args} did not raise MemoryError")
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr

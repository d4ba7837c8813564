"""vekra_numpy: arrays over containers and model tensors (no copies, lifetimes, layouts),
containers from array-likes, and models loaded with session options, against onnxruntime
from PyPI at the same optimisation level (in a child interpreter, see ort_oracle)."""
import gc
import glob
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest

import vekracore as vk
import vekra_numpy as vn
from conftest import (COMPLEX, DTYPE, KINDS, SUFFIXES, Operand, assert_matches_oracle, cls, raises_exact,
                      random_values, read_matrix, read_vector, sentinel)

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
LEVELS = ("disable", "basic", "extended", "all")


def path(name):
    return os.path.join(DATA, name + ".onnx")


def child(code, **kwargs):
    """Runs `code` in a fresh interpreter (same environment); returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, **kwargs)


# ---- the module on its own ----------------------------------------------------------------------


def test_vekracore_alone_imports_neither_numpy_nor_the_bridge():
    done = child("""
        import sys, vekracore
        vekracore.vecd(3); vekracore.model
        print(sorted(m for m in ("numpy", "vekra_numpy") if m in sys.modules))
        """, check=True)
    assert done.stdout == b"[]\n"
    done = child("""
        import sys, vekra_numpy
        print(sorted(m for m in ("numpy", "vekracore") if m in sys.modules))
        """, check=True)
    assert done.stdout == b"['numpy', 'vekracore']\n"  # the bridge brings both in


def test_functions_take_their_documented_keywords():
    v = vn.vector(a=[1.0, 2.0], dtype=np.float32)
    assert type(v) is vk.vecs
    assert type(vn.matrix(a=[[1]], dtype="complex128")) is vk.matz
    assert vn.asarray(c=v).shape == (2,)
    m = vn.load_model(path=path("affine"), optimization="basic", threads=1, report=False)
    assert vn.input_names(m=m) == ["x"] and vn.output_names(m=m) == ["y"]
    assert len(vn.inputs(m=m)) == len(vn.outputs(m=m)) == 1
    for name in ("asarray", "vector", "matrix", "inputs", "outputs", "input_names", "output_names", "load_model"):
        assert getattr(vn, name).__doc__.startswith(name + "(")
    with pytest.raises(TypeError):
        vn.load_model(path("affine"), "all")  # the options are keyword-only


def test_signatures_name_the_classes_and_types_each_function_takes_and_gives():
    """help() and the stubs see what pybind11 declares: no parameter or result is a bare object."""
    functions = [f for name, f in vars(vn).items() if type(f) is type(vn.asarray) and not name.startswith("_")]
    assert len(functions) == 10
    for f in functions:
        signature = f.__doc__.splitlines()[0]
        assert "object" not in signature and "typing.Any)" not in signature, signature
    assert vn.inputs.__doc__.startswith("inputs(m: vekracore.model) -> list[Optional[numpy.ndarray]]")
    assert vn.asarray.__doc__.startswith("asarray(c: " + " | ".join(
        f"vekracore.{k}{s}" for k in ("vec", "view", "mat") for s in SUFFIXES) + ") -> numpy.ndarray")
    assert vn.vector.__doc__.startswith("vector(a: numpy.typing.ArrayLike, dtype: numpy.typing.DTypeLike = None) -> "
                                        + " | ".join(f"vekracore.vec{s}" for s in SUFFIXES))


# ---- asarray ------------------------------------------------------------------------------------


def container(kind, suffix, values):
    """An Operand of the kind whose matrix is 2 x n/2 (vectors and views: n elements)."""
    if kind == "mat":
        op = Operand("vec", suffix, values[:0])
        op.kind, op.obj = "mat", cls("mat", suffix)(2, len(values) // 2)
        op.parent = op.obj
        return op
    return Operand(kind, suffix, values)


def test_asarray_is_the_containers_memory_both_ways(kind, suffix):
    values = random_values(suffix, 6, seed=1)
    op = container(kind, suffix, np.zeros(6, DTYPE[suffix]))
    a = vn.asarray(op.obj)
    assert a.dtype == DTYPE[suffix] and a.flags.writeable and not a.flags.owndata
    if kind == "mat":
        assert a.shape == (2, 3) and a.flags.f_contiguous
        a[...] = values.reshape(2, 3)
        np.testing.assert_array_equal(read_matrix(op.obj), values.reshape(2, 3))
        op.obj[1, 2] = values[0].item()
        assert a[1, 2] == values[0]
        assert vn.asarray(op.obj).ctypes.data == a.ctypes.data
    else:
        assert a.shape == (6,)
        a[:] = values
        np.testing.assert_array_equal(op.values(), values)
        op.obj[4] = values[0].item()
        assert a[4] == values[0]
        assert op.surroundings_intact()


def test_asarray_over_a_view_covers_exactly_its_window(suffix):
    parent = cls("vec", suffix)(10)
    vn.asarray(parent)[:] = sentinel(suffix)
    window = parent[3:7]
    inner = window[1:3]  # offsets compose: parent[4:6]
    a, b = vn.asarray(window), vn.asarray(inner)
    itemsize = np.dtype(DTYPE[suffix]).itemsize
    assert a.shape == (4,) and b.shape == (2,)
    assert a.ctypes.data == vn.asarray(parent).ctypes.data + 3 * itemsize
    assert b.ctypes.data == a.ctypes.data + itemsize
    a[:] = 1
    b[:] = 2
    expected = np.full(10, sentinel(suffix), DTYPE[suffix])
    expected[3:7] = [1, 2, 2, 1]
    np.testing.assert_array_equal(read_vector(parent), expected)


def test_asarray_maps_matrices_column_major(suffix):
    m = cls("mat", suffix)(3, 2)
    a = vn.asarray(m)
    a[...] = np.arange(6).reshape(3, 2)
    assert a.strides == (a.itemsize, 3 * a.itemsize)
    flat = np.frombuffer(a.T.tobytes(), DTYPE[suffix])  # storage order
    np.testing.assert_array_equal(flat, [0, 2, 4, 1, 3, 5])
    assert [m[i, j] for i in range(3) for j in range(2)] == list(range(6))


@pytest.mark.parametrize("make, shape", [(lambda c: c("vec", 0), (0,)), (lambda c: c("mat", 0, 3), (0, 3)),
                                         (lambda c: c("mat", 3, 0), (3, 0)),
                                         (lambda c: c("vec", 5)[2:2], (0,))])
def test_asarray_of_empty_containers(make, shape, suffix):
    assert vn.asarray(make(lambda k, *n: cls(k, suffix)(*n))).shape == shape


def test_arrays_outlive_their_containers(kind, suffix):
    values = random_values(suffix, 6, seed=2)
    op = container(kind, suffix, np.zeros(6, DTYPE[suffix]))
    a = vn.asarray(op.obj)
    a.reshape(-1, order="A")[:] = values
    tail = a[1:]  # an array over the array keeps the buffer too
    del op
    gc.collect()
    junk = [cls("vec", suffix)(n) for n in range(1, 16) for _ in range(8)]
    junk += [cls("mat", suffix)(2, 3) for _ in range(20)]
    for j in junk:
        vn.asarray(j)[...] = sentinel(suffix)
    np.testing.assert_array_equal(a.reshape(-1, order="A"), values)
    del a
    gc.collect()
    tail[...] = 0
    assert not tail.any()


def test_a_container_outlives_its_arrays(suffix):
    v = cls("vec", suffix)(4)
    for _ in range(3):
        vn.asarray(v)[:] = 5
    gc.collect()
    assert read_vector(v).tolist() == [5] * 4


@pytest.mark.parametrize("bad", [3.0, None, [1.0, 2.0], np.zeros(3), "vecd", vk.vecd, vk.model])
def test_asarray_refuses_what_is_not_a_container(bad):
    with pytest.raises(TypeError, match="^asarray\\(\\) argument must be a vekracore vector, view or matrix, not "):
        vn.asarray(bad)


def test_instances_made_without_init_are_refused():
    for obj in (vk.vecd.__new__(vk.vecd), vk.viewc.__new__(vk.viewc), vk.mats.__new__(vk.mats)):
        with pytest.raises(TypeError, match="instance was created without __init__ and holds nothing$"):
            vn.asarray(obj)
    empty = vk.model.__new__(vk.model)
    for f in (vn.inputs, vn.outputs, vn.input_names, vn.output_names):
        with raises_exact(TypeError, "vekracore.model instance was created without __init__ and holds nothing"):
            f(empty)
        with pytest.raises(TypeError, match="argument must be a vekracore.model, not vekracore.vecd$"):
            f(vk.vecd(1))


# ---- vector and matrix ----------------------------------------------------------------------------


def test_vector_and_matrix_copy_their_own_dtype(suffix):
    values = random_values(suffix, 6, seed=3)
    v = vn.vector(values)
    assert type(v) is cls("vec", suffix)
    np.testing.assert_array_equal(read_vector(v), values)
    grid = values.reshape(2, 3)
    m = vn.matrix(grid)
    assert type(m) is cls("mat", suffix) and (m.dim(0), m.dim(1)) == (2, 3)
    np.testing.assert_array_equal(read_matrix(m), grid)
    values[:] = 0  # copies: the containers keep their elements
    assert read_vector(v).any() and read_matrix(m).any()


@pytest.mark.parametrize("source, dtype, expected", [
    ([1, 2, 3], None, "d"),
    (np.arange(3, dtype=np.int8), None, "d"),
    (np.arange(3, dtype=np.uint64), None, "d"),
    (np.array([1, 0, 1], dtype=bool), None, "d"),
    (np.arange(3, dtype=np.float16), None, "d"),
    (np.arange(3, dtype=np.longdouble), None, "d"),
    ([1j, 2, 3], None, "z"),
    (np.array([1j, 2, 3], dtype=np.clongdouble), None, "z"),
    (np.arange(3, dtype=np.int32), np.complex64, "c"),
    (np.arange(3, dtype=np.float64), "float32", "s"),
    (np.arange(3, dtype=np.float32), np.float64, "d"),
    (np.arange(3, dtype=">f8"), None, "d"),
    ((1.5, 2.5, 3.5), np.complex128, "z"),
])
def test_other_dtypes_convert(source, dtype, expected):
    v = vn.vector(source, dtype=dtype)
    assert type(v) is cls("vec", expected)
    np.testing.assert_array_equal(read_vector(v), np.asarray(source).astype(DTYPE[expected]))
    grid = np.stack([np.asarray(source)] * 2)
    m = vn.matrix(grid, dtype=dtype)
    assert type(m) is cls("mat", expected)
    np.testing.assert_array_equal(read_matrix(m), grid.astype(DTYPE[expected]))


def test_matrix_from_any_layout(suffix):
    big = random_values(suffix, (6, 8), seed=4)
    for a in (big, np.asfortranarray(big), big[::2, ::-3], big.T, big[1:2, :], big[:, :0]):
        m = vn.matrix(a)
        assert (m.dim(0), m.dim(1)) == a.shape
        np.testing.assert_array_equal(read_matrix(m), a)
        np.testing.assert_array_equal(vn.asarray(m), a)
    assert vn.vector(big[:, 3]).numel() == 6 and vn.vector([]).numel() == 0


BAD_INPUTS = [
    (vn.vector, np.zeros((2, 2)), None, ValueError, "vector() needs a 1-D array-like, got 2 dimensions"),
    (vn.vector, 3.0, None, ValueError, "vector() needs a 1-D array-like, got 0 dimensions"),
    (vn.matrix, [1.0, 2.0], None, ValueError, "matrix() needs a 2-D array-like, got 1 dimension"),
    (vn.matrix, np.zeros((1, 1, 1)), None, ValueError, "matrix() needs a 2-D array-like, got 3 dimensions"),
    (vn.vector, ["a", "b"], None, TypeError, "vector() needs numeric data, got an array of dtype <U1"),
    (vn.vector, [1.0, None], None, TypeError, "vector() needs numeric data, got an array of dtype object"),
    (vn.matrix, vk.matd(2, 2), None, TypeError, "matrix() needs numeric data, got an array of dtype object"),
    (vn.vector, np.array(["2026-01-01"], "datetime64[D]"), None, TypeError,
     "vector() needs numeric data, got an array of dtype datetime64[D]"),
    (vn.vector, [1, 2], np.int32, TypeError,
     "vector() dtype must be float32, float64, complex64 or complex128, not int32"),
    (vn.matrix, [[1, 2]], "float16", TypeError,
     "matrix() dtype must be float32, float64, complex64 or complex128, not float16"),
    (vn.vector, [1, 2], ">f8", TypeError,
     "vector() dtype must be float32, float64, complex64 or complex128, not >f8"),
    (vn.vector, [1j, 2], np.float64, TypeError, "vector() cannot store complex data as float64"),
    (vn.matrix, np.ones((2, 2), np.complex64), "float32", TypeError, "matrix() cannot store complex data as float32"),
]


@pytest.mark.parametrize("function, source, dtype, exc, message", BAD_INPUTS)
def test_bad_inputs_raise(function, source, dtype, exc, message):
    with raises_exact(exc, message):
        function(source, dtype=dtype)


def test_bad_inputs_from_numpy_itself():
    with pytest.raises(ValueError):
        vn.vector([[1.0], [2.0, 3.0]])  # ragged
    with pytest.raises(TypeError):
        vn.vector([1.0], dtype="no such type")


def test_a_refused_input_allocates_no_container():
    # Sources of 2**27 elements that take no memory themselves (stride 0): a container made
    # before the checks would take 512 MiB or more, zero-filled, of resident memory.
    done = child("""
        import resource, sys, numpy as np, vekracore, vekra_numpy as vn
        n = 2 ** 27
        cases = [(vn.vector, np.broadcast_to(np.complex64(1j), (n,)), np.float32),
                 (vn.vector, np.broadcast_to(np.int64(1), (n,)), np.int16),
                 (vn.matrix, np.broadcast_to(np.complex128(1j), (2 ** 13, 2 ** 14)), np.float64)]
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for f, a, dtype in cases:
            try:
                f(a, dtype=dtype)
            except TypeError:
                pass
            else:
                sys.exit("accepted")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
        """, check=True)
    assert int(done.stdout) < 64 * 1024  # KiB


# ---- model tensors --------------------------------------------------------------------------------

ELEMENT_DTYPES = ["float32", "uint8", "int8", "uint16", "int16", "int32", "int64", "bool", "float64",
                  "uint32", "uint64"]


def test_tensors_of_every_element_type():
    m = vn.load_model(path("element_types"))
    names = [n.replace("float32", "float").replace("float64", "double") for n in ELEMENT_DTYPES] + ["string"]
    assert vn.input_names(m) == ["in_" + n for n in names]
    assert vn.output_names(m) == ["out_" + n for n in names]
    ins, outs = vn.inputs(m), vn.outputs(m)
    assert ins[-1] is None and outs[-1] is None  # strings have no plain array
    rng = np.random.default_rng(5)
    for dtype, a, o in zip(ELEMENT_DTYPES, ins, outs):
        assert a.dtype == dtype and o.dtype == dtype and a.shape == o.shape == (2, 3)
        assert a.flags.c_contiguous and a.flags.writeable and not a.any() and not o.any()
        a[...] = rng.integers(0, 2 if dtype == "bool" else 100, (2, 3)).astype(dtype)
    m.run()
    for a, o in zip(ins[:-1], outs[:-1]):
        np.testing.assert_array_equal(o, a)


def set_everything(m, arrays):
    for i, a in enumerate(arrays):
        for location in np.ndindex(*a.shape):
            m.set(i, list(location), float(a[location]))


@pytest.mark.parametrize("name", ["affine", "two_inputs", "scalar", "several_outputs", "no_inputs", "conv_bn"])
def test_writing_input_arrays_is_what_set_does(name):
    bridged, element_wise = vk.model(path(name)), vk.model(path(name))
    rng = np.random.default_rng(6)
    feeds = [rng.standard_normal(a.shape).astype(np.float32) for a in vn.inputs(bridged)]
    for a, f in zip(vn.inputs(bridged), feeds):
        np.copyto(a, f)
    set_everything(element_wise, feeds)
    bridged.run()
    element_wise.run()
    for o, (got, other) in enumerate(zip(vn.outputs(bridged), vn.outputs(element_wise))):
        expected = np.array([element_wise.get(o, list(loc)) for loc in np.ndindex(*other.shape)], np.float32)
        np.testing.assert_array_equal(got.ravel(), expected)
        np.testing.assert_array_equal(got, other)


def test_arrays_stay_the_tensors_across_runs():
    m = vn.load_model(path("two_inputs"))
    (a, b), (total, prod) = vn.inputs(m), vn.outputs(m)
    assert a.base is m and total.base is m
    for k in range(3):
        a[...], b[...] = k, 2
        m.run()
        np.testing.assert_array_equal(total, np.full((2, 2), k + 2.0))
        assert m.get(1, [1, 0]) == 2.0 * k
    m.set(0, [0, 1], 10.0)
    assert a[0, 1] == 10.0
    total[...] = -1  # outputs are overwritten by every run
    m.run()
    assert total[0, 0] == 4.0 and total[0, 1] == 12.0


def test_arrays_outlive_their_model():
    m = vn.load_model(path("several_outputs"))
    x, outs = vn.inputs(m)[0], vn.outputs(m)
    x[...] = [[1, -2, 3], [-4, 5, -6]]
    run = m.run
    del m
    gc.collect()
    run()
    np.testing.assert_array_equal(outs[0], [[1, 0, 3], [0, 5, 0]])
    np.testing.assert_array_equal(outs[2], [2, -5])
    del run, outs
    gc.collect()
    x[...] = 0
    assert not x.any()


def test_scalar_tensors_are_zero_dimensional():
    m = vn.load_model(path("scalar"))
    s, y = vn.inputs(m)[0], vn.outputs(m)[0]
    assert s.shape == () and y.shape == ()
    s[...] = 3.0
    m.run()
    assert y[()] == 9.0


# The arrays are laid out from the tensors' element sizes, whatever numpy reports for a dtype:
# under numpy 2, a dtype's itemsize field moved, and reading it the numpy 1 way gives 0, which
# made every array's strides 0 (all writes landing on the first element).

# Every element type a model tensor can have that numpy has a dtype for (the model refuses
# float16 tensors, and ONNX Runtime loads no complex ones).
TENSOR_DTYPES = ["float32", "float64", "bool", "int8", "uint8", "int16", "uint16", "int32", "uint32",
                 "int64", "uint64"]
# Shapes that tell rows, columns and planes apart, with a scalar and a single element.
TENSOR_SHAPES = [(), (1,), (5,), (3, 4), (2, 3, 4)]


def identity_model(folder, dtype):
    """An Identity per shape of TENSOR_SHAPES over tensors of `dtype`, written with IR version 8
    and opset 13 (what the ONNX Runtime beside the module loads, whatever onnx writes by default)."""
    import onnx
    from onnx import helper

    elem = helper.np_dtype_to_tensor_dtype(np.dtype(dtype))
    names = [f"t{k}" for k in range(len(TENSOR_SHAPES))]
    graph = helper.make_graph(
        [helper.make_node("Identity", ["in_" + n], ["out_" + n]) for n in names], "g",
        [helper.make_tensor_value_info("in_" + n, elem, s) for n, s in zip(names, TENSOR_SHAPES)],
        [helper.make_tensor_value_info("out_" + n, elem, s) for n, s in zip(names, TENSOR_SHAPES)])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    onnx.checker.check_model(model)
    file = os.path.join(folder, f"identity_{dtype}.onnx")
    onnx.save(model, file)
    return file


def declared_shapes(file):
    import onnx

    graph = onnx.load(file).graph
    shape = lambda v: tuple(d.dim_value for d in v.type.tensor_type.shape.dim)
    return [shape(v) for v in graph.input], [shape(v) for v in graph.output]


def distinct_values(shape, dtype, offset):
    """Values that differ between neighbouring elements (bool: alternating), starting at offset."""
    count = int(np.prod(shape, dtype=np.int64))
    values = np.arange(offset, offset + count) % (2 if dtype == "bool" else 100)
    return values.astype(dtype).reshape(shape)


def assert_laid_out_as_declared(arrays, shapes, dtype):
    for a, shape in zip(arrays, shapes):
        assert a.dtype == dtype and a.shape == shape
        assert a.strides == np.zeros(shape, dtype).strides  # row-major, by element size
        assert a.flags.c_contiguous and a.nbytes == np.dtype(dtype).itemsize * a.size


@pytest.mark.parametrize("dtype", TENSOR_DTYPES)
def test_tensor_arrays_of_every_dtype_address_every_element(tmp_path, dtype):
    file = identity_model(str(tmp_path), dtype)
    m = vn.load_model(file)
    ins, outs = vn.inputs(m), vn.outputs(m)
    in_shapes, out_shapes = declared_shapes(file)
    assert_laid_out_as_declared(ins, in_shapes, dtype)
    assert_laid_out_as_declared(outs, out_shapes, dtype)
    written = [distinct_values(a.shape, dtype, k) for k, a in enumerate(ins)]
    for a, w in zip(ins, written):
        for location in np.ndindex(*a.shape):
            a[location] = w[location]
    for a, w in zip(ins, written):  # each element kept its own value
        np.testing.assert_array_equal(a, w)
    m.run()
    for o, w in zip(outs, written):  # the runtime read them where they were written, and so do we
        for location in np.ndindex(*o.shape):
            assert o[location] == w[location], (o.shape, location)


FLOAT_MODELS = ["affine", "two_inputs", "several_outputs", "scalar", "conv_bn", "passthrough"]


@pytest.mark.parametrize("name", FLOAT_MODELS)
def test_tensor_arrays_agree_with_set_and_get_element_by_element(name):
    m = vn.load_model(path(name))
    ins, outs = vn.inputs(m), vn.outputs(m)
    in_shapes, out_shapes = declared_shapes(path(name))
    float_ins = [(i, a) for i, a in enumerate(ins) if a is not None and a.dtype == np.float32]
    float_outs = [(o, a) for o, a in enumerate(outs) if a.dtype == np.float32]
    assert_laid_out_as_declared([a for _, a in float_ins], [in_shapes[i] for i, _ in float_ins], "float32")
    assert_laid_out_as_declared([a for _, a in float_outs], [out_shapes[o] for o, _ in float_outs], "float32")
    for i, a in float_ins:
        values = distinct_values(a.shape, "float32", 3 * i + 1) / 8
        for location in np.ndindex(*a.shape):
            m.set(i, list(location), float(values[location]))
        for location in np.ndindex(*a.shape):
            assert a[location] == values[location], (i, location)
    m.run()
    for o, a in float_outs:
        for location in np.ndindex(*a.shape):
            assert a[location] == m.get(o, list(location)), (o, location)


# ---- load_model ----------------------------------------------------------------------------------


def test_load_model_gives_a_vekracore_model(tmp_path):
    for p in (path("affine"), path("affine").encode(), pathlib.Path(path("affine"))):
        m = vn.load_model(p)
        assert type(m) is vk.model
        m.set(0, [0, 1], 2.0)
        m.run()
        assert m.get(0, [0, 1]) == 5.0
        np.testing.assert_array_equal(vn.outputs(m)[0], [[1.0, 5.0, 1.0]])
    target = tmp_path / "modèle ü.onnx"
    target.write_bytes(pathlib.Path(path("affine")).read_bytes())
    assert vn.input_names(vn.load_model(target)) == ["x"]


def test_load_model_failures_are_onnxruntimes():
    with pytest.raises(TypeError):
        vn.load_model(3)
    with raises_exact(RuntimeError, f"Load model from {path('missing')} failed:Load model {path('missing')} failed. "
                                    "File doesn't exist"):
        vn.load_model(path("missing"))
    with raises_exact(RuntimeError, "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'"):
        vn.load_model(path("float16_input"))
    with raises_exact(RuntimeError, "model path contains a NUL character"):
        vn.load_model(path("affine") + "\0")


def test_the_report_is_printed_only_when_asked():
    code = """
        import sys, vekracore, vekra_numpy as vn
        for p in sys.argv[1:]:
            for report in (False, True):
                for optimization in ("disable", "all"):
                    try:
                        vn.load_model(p, optimization=optimization, report=report)
                    except RuntimeError:
                        pass
                    sys.stdout.write("|")
                    sys.stdout.flush()
            try:
                vekracore.model(p)
            except RuntimeError:
                pass
            sys.stdout.flush()
            print("#", flush=True)
        """
    names = ["affine", "int64_input", "float16_input", "sequence_output", "no_inputs"]
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [path(n) for n in names],
                          capture_output=True, check=True)
    assert done.stderr == b""
    blocks = done.stdout.split(b"#\n")[:-1]
    assert len(blocks) == len(names)
    for block in blocks:
        quiet1, quiet2, loud1, loud2, specified = block.split(b"|")
        assert quiet1 == b"" and quiet2 == b"" and loud1 != b""
        assert loud1 == loud2 == specified  # what vekracore.model(path) prints, at either level
        assert quiet1 + quiet2 == b""


def ort_outputs(jobs, level):
    """onnxruntime's outputs for each (model path, [input arrays]) job at `level`, in a child
    interpreter without the sanitizer runtime (see ort_oracle)."""
    code = """
        import sys, numpy as np, onnxruntime as ort
        feeds, results, level = sys.argv[1:4]
        levels = {"disable": "ORT_DISABLE_ALL", "basic": "ORT_ENABLE_BASIC",
                  "extended": "ORT_ENABLE_EXTENDED", "all": "ORT_ENABLE_ALL"}
        out = {}
        with np.load(feeds) as data:
            for j, p in enumerate(sys.argv[4:]):
                options = ort.SessionOptions()
                options.graph_optimization_level = getattr(ort.GraphOptimizationLevel, levels[level])
                options.log_severity_level = 4
                s = ort.InferenceSession(p, options, providers=["CPUExecutionProvider"])
                got = s.run(None, {m.name: data[f"{j}/{k}"] for k, m in enumerate(s.get_inputs())})
                out.update({f"{j}/{k}": o for k, o in enumerate(got)})
                out[f"{j}/count"] = np.array(len(got))
        np.savez(results, **out)
        """
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with tempfile.TemporaryDirectory() as folder:
        feeds, results = os.path.join(folder, "feeds.npz"), os.path.join(folder, "results.npz")
        np.savez(feeds, **{f"{j}/{k}": a for j, (_, arrays) in enumerate(jobs) for k, a in enumerate(arrays)})
        subprocess.run([sys.executable, "-c", textwrap.dedent(code), feeds, results, level] + [p for p, _ in jobs],
                       env=env, capture_output=True, check=True)
        with np.load(results) as data:
            return [[data[f"{j}/{k}"] for k in range(int(data[f"{j}/count"]))] for j in range(len(jobs))]


def light_models():
    import importlib.util

    spec = importlib.util.find_spec("onnx")
    folder = os.path.join(os.path.dirname(spec.origin), "backend", "test", "data", "light")
    return {os.path.basename(p)[len("light_"):-len(".onnx")]: p for p in glob.glob(os.path.join(folder, "light_*.onnx"))}


# Light model-zoo networks that load and run in well under a second at every level.
ZOO = ["squeezenet", "shufflenet", "inception_v1"]


@pytest.mark.parametrize("level", LEVELS)
def test_outputs_equal_onnxruntime_at_the_same_level(level):
    zoo = light_models()
    names = [path(n) for n in ("affine", "two_inputs", "several_outputs", "int64_input", "conv_bn")]
    names += [zoo[n] for n in ZOO]
    rng = np.random.default_rng(8)
    jobs, ours = [], []
    for p in names:
        m = vn.load_model(p, optimization=level)
        feeds = []
        for a in vn.inputs(m):
            a[...] = (rng.standard_normal(a.shape) * 3).astype(a.dtype)
            feeds.append(a.copy())
        m.run()
        jobs.append((p, feeds))
        ours.append([o.copy() for o in vn.outputs(m)])
    for (p, _), got, expected in zip(jobs, ours, ort_outputs(jobs, level)):
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert_matches_oracle(g, e, err_msg=f"{p} at {level}")


def test_the_level_reaches_the_session():
    # Folding the normalisation into the convolution (basic and above) changes the rounding.
    x = np.random.default_rng(9).standard_normal((1, 3, 8, 8)).astype(np.float32)
    results = {}
    for level in LEVELS:
        m = vn.load_model(path("conv_bn"), optimization=level)
        vn.inputs(m)[0][...] = x
        m.run()
        results[level] = vn.outputs(m)[0].copy()
    assert not np.array_equal(results["disable"], results["basic"])
    np.testing.assert_allclose(results["disable"], results["all"], rtol=1e-5, atol=1e-5)
    m = vk.model(path("conv_bn"))  # the constructor of vekracore itself: optimisations off
    vn.inputs(m)[0][...] = x
    m.run()
    np.testing.assert_array_equal(vn.outputs(m)[0], results["disable"])


def test_the_thread_count_reaches_the_session():
    # ONNX Runtime starts n - 1 intra-op worker threads for a session of n threads (the caller
    # is the n-th), when the session is created. Its first session in a process may also start
    # a thread of its own that stays: one is made before counting.
    done = child(f"""
        import os, vekracore, vekra_numpy as vn
        def threads():
            return len(os.listdir("/proc/self/task"))
        vn.load_model({path("affine")!r}, threads=1)
        models, added = [], []
        for n in (1, 2, 4, 1, 3):
            before = threads()
            models.append(vn.load_model({path("conv_bn")!r}, threads=n))
            models[-1].run()
            added.append(threads() - before)
        print(added)
        """, check=True)
    assert done.stdout == b"[0, 1, 3, 0, 2]\n"


# ---- daemon threads when the interpreter ends -------------------------------------------------------

DAEMONS = {
    "load_model": f"vn.load_model({path('conv_bn')!r})",
    "load_model of a missing file": f"vn.load_model({path('missing')!r})",
    "vector": "vn.vector(big)",
    "matrix": "vn.matrix(big.reshape(2000, 2000), dtype=np.float64)",
}


@pytest.mark.parametrize("work", DAEMONS.values(), ids=DAEMONS.keys())
def test_daemon_threads_inside_the_bridge_at_exit(work):
    """Two daemon threads loop over a call that releases the interpreter lock while the main
    thread ends: the interpreter ends them as they retake it, which must not end the process
    abnormally. Several runs, since where the threads are at the end varies."""
    code = f"""
        import threading, time
        import numpy as np
        import vekra_numpy as vn
        big = np.ones(4_000_000, dtype=np.float32)
        def loop():
            while True:
                try:
                    {work}
                except Exception:
                    pass
        for _ in range(2):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.2)
        print("end")
    """
    for run in range(6):
        done = child(code, text=True, timeout=120)
        assert (done.returncode, done.stdout) == (0, "end\n"), (run, done.stderr[-2000:])


def test_the_bridge_works_from_a_destructor_at_shutdown():
    """numpy is looked up when the bridge is imported, not at every call (importing is no longer
    possible once the interpreter is shutting down)."""
    done = child("""
        import vekracore as vk
        import vekra_numpy as vn
        class Late:
            def __del__(self):
                print(vn.vector([1.0, 2.0]).numel(), vn.matrix([[1.0]], dtype="float32").numel(),
                      vn.asarray(vk.vecd(3)).shape, flush=True)
        keep = Late()
    """, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "2 1 (3,)\n", "")


# ---- paths and names that are not UTF-8 ----------------------------------------------------------

def test_paths_that_are_not_utf8(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/model-\xff\xfe.onnx"
    with open(path("affine"), "rb") as src, open(raw, "wb") as dst:
        dst.write(src.read())
    (listed,) = os.listdir(tmp_path)  # a str with surrogate escapes
    for given in (raw, os.fsdecode(raw), pathlib.Path(os.fsdecode(raw)), tmp_path / listed):
        m = vn.load_model(given)
        assert vn.input_names(m) == ["x"]
    missing = os.fsencode(str(tmp_path)) + b"/missing-\xff.onnx"
    for load, given in ((vn.load_model, missing), (vn.load_model, os.fsdecode(missing)), (vk.model, missing)):
        with pytest.raises(RuntimeError) as e:
            load(given)
        assert "missing-\ufffd.onnx" in str(e.value) and "File doesn't exist" in str(e.value)


def test_tensor_names_that_are_not_utf8(tmp_path):
    from onnx import TensorProto, helper
    graph = helper.make_graph([helper.make_node("Identity", ["in_QQ"], ["out_QQ"])], "g",
                              [helper.make_tensor_value_info("in_QQ", TensorProto.FLOAT, [2])],
                              [helper.make_tensor_value_info("out_QQ", TensorProto.FLOAT, [2])])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    file = tmp_path / "names.onnx"
    file.write_bytes(model.SerializeToString().replace(b"_QQ", b"_\xff\xfe"))
    m = vn.load_model(file)
    assert vn.input_names(m) == [os.fsdecode(b"in_\xff\xfe")]
    assert vn.output_names(m) == [os.fsdecode(b"out_\xff\xfe")]
    assert os.fsencode(vn.input_names(m)[0]) == b"in_\xff\xfe"


# ---- tensors of a rank numpy cannot hold, thread counts, dtype hooks, huge shapes -------------------

# The most dimensions a numpy array can have: 32 in numpy 1.x, 64 in 2.x.
NUMPY_MAX_DIMS = 32 if np.lib.NumpyVersion(np.__version__) < "2.0.0" else 64


def test_a_tensor_beyond_numpys_rank_is_none_and_the_others_come_back(tmp_path):
    from onnx import TensorProto, helper
    rank = NUMPY_MAX_DIMS + 1
    deep = [1] * rank
    graph = helper.make_graph([helper.make_node("Identity", ["deep"], ["deep_out"]),
                               helper.make_node("Identity", ["flat"], ["flat_out"])], "g",
                              [helper.make_tensor_value_info("deep", TensorProto.FLOAT, deep),
                               helper.make_tensor_value_info("flat", TensorProto.FLOAT, [3])],
                              [helper.make_tensor_value_info("deep_out", TensorProto.FLOAT, deep),
                               helper.make_tensor_value_info("flat_out", TensorProto.FLOAT, [3])])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    file = tmp_path / "deep.onnx"
    file.write_bytes(model.SerializeToString())
    m = vn.load_model(file)
    inputs = vn.inputs(m)
    assert inputs[0] is None and inputs[1].shape == (3,)
    inputs[1][:] = [1, 2, 3]
    m.set(0, [0] * rank, 5.0)
    m.run()
    outputs = vn.outputs(m)
    assert outputs[0] is None and outputs[1].tolist() == [1, 2, 3]
    assert m.get(0, [0] * rank) == 5.0


def test_load_model_refuses_more_threads_than_the_limit():
    """Refused before a session is made (in a child: a session would start them all)."""
    done = child(f"""
        import vekra_numpy as vn
        for threads in (1025, 100000, 2 ** 31 - 1):
            for file in ({path("affine")!r}, {path("missing")!r}):
                try:
                    vn.load_model(file, threads=threads, report=False)
                except ValueError as e:
                    print(e)
    """, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == [f"threads must be at most 1024, not {n}" for n in (1025, 100000, 2 ** 31 - 1)
                                        for _ in range(2)]


def test_load_model_takes_the_most_threads_allowed():
    assert vn.input_names(vn.load_model(path("affine"), threads=1024)) == ["x"]


@pytest.mark.parametrize("function, ndim", [(vn.vector, 1), (vn.matrix, 2)])
def test_a_dtype_hook_cannot_change_what_was_checked(function, ndim):
    """Resolving dtype runs Python code (an object's .dtype); it happens before the array-like
    is checked, so a hook reshaping the array cannot make vector() return a matrix."""
    a = np.arange(4.0)  # owns its elements, so it can be reshaped in place
    a.resize((4,) if ndim == 1 else (2, 2))

    class Reshaping:
        @property
        def dtype(self):
            a.resize((2, 2) if ndim == 1 else (4,), refcheck=False)
            return np.dtype(np.float32)

    with pytest.raises(ValueError, match="needs a"):
        function(a, dtype=Reshaping())
    assert a.ndim != ndim


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_asarray_of_a_matrix_with_a_huge_empty_shape(suffix):
    for rows, cols in ((2 ** 62, 0), (2 ** 62, 1), (0, 2 ** 62), (2 ** 63, 0)):
        try:
            c = cls("mat", suffix)(rows, cols)
        except (MemoryError, ValueError, RuntimeError, OverflowError):
            continue  # too big to make at all
        try:
            a = vn.asarray(c)
        except ValueError:  # numpy refuses such a shape
            pass
        else:
            assert a.shape == (rows, cols) and a.size == 0

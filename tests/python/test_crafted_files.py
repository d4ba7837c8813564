"""What vekra_numpy reads from a model file before ONNX Runtime does (dims, shapes, describe
and the shape check of load_model): crafted files that must not make it allocate, paths that
are no regular file, describe() against onnxruntime's own sessions, dimension names that are
not UTF-8 or hold a NUL, and tensors declared without a shape. Anything that could hang or
exhaust memory runs in a child process with a timeout."""
import glob
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import onnx
import pytest
from google.protobuf.message import DecodeError
from onnx import TensorProto, helper, numpy_helper

import vekra_numpy as vn
from conftest import ORT_VERSION, raises_exact

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
F = TensorProto.FLOAT
# ONNX Runtime reads IR 10 and opset 21 from 1.18 on; 1.17 stops at IR 9 and opset 20.
IR, OPSET = ((10, 21) if ORT_VERSION >= (1, 18) else (9, 20))
TIMEOUT = 60
NOT_REGULAR = "not a regular file: dims, shapes and describe() read the model file before ONNX Runtime does"


def save(graph, folder, name, ir=IR, opset=OPSET, **kwargs):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)], ir_version=ir)
    target = os.path.join(str(folder), name)
    onnx.save_model(model, target, **kwargs)
    return target


def relu(x_shape, y_shape, x_type=F, op="Relu"):
    return helper.make_graph([helper.make_node(op, ["x"], ["y"])], "relu",
                             [helper.make_tensor_value_info("x", x_type, x_shape)],
                             [helper.make_tensor_value_info("y", x_type, y_shape)])


def child(code, *args, env=None):
    """Runs `code` in a fresh interpreter; what it prints. A hang fails the test."""
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                              timeout=TIMEOUT, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child still ran after {TIMEOUT} s")
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    return done.stdout


def varint(n):
    out = bytearray()
    while True:
        out.append((n & 0x7f) | (0x80 if n > 0x7f else 0))
        n >>= 7
        if not n:
            return bytes(out)


# ---- crafted lengths ---------------------------------------------------------------------------

# ModelProto.graph (field 7) of length 1, whose input (field 11) has a length varint that runs
# past the graph's end and says 2 GiB; inside it a name (field 1) of 1 GiB: 14 bytes.
HUGE_NAME = b"\x3a\x01\x5a" + varint(2 ** 31) + b"\x0a" + varint(2 ** 30)


def long_dim_param(length):
    """graph > input > type > tensor_type > shape > dim, each as long as its parent allows; the
    dim's dim_param (field 2) has a length varint that runs past the dim's end."""
    return b"\x3a\x0c\x5a\x0a\x12\x08\x0a\x06\x12\x04\x0a\x02\x12" + varint(length)


# In the child: address space limited to 600 MiB over what it holds after the imports (under
# AddressSanitizer, whose reserved regions make that limit moot, its own allocation limit);
# prints the exception each call raises and how much the resident set grew meanwhile (a length
# below the limit would have been zero-filled).
LIMITED = """
import resource, sys
import vekra_numpy as vn
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (600 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
for call in (lambda: vn.load_model(sys.argv[1], dims={"b": 1}), lambda: vn.describe(sys.argv[1])):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        call()
        print("no exception")
    except Exception as e:
        print(type(e).__name__, str(e).replace("\\n", " "))
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) >> 10)
"""


@pytest.mark.parametrize("crafted", [HUGE_NAME, long_dim_param(2 ** 30), long_dim_param(2 ** 28)],
                         ids=["name 1 GiB", "dim_param 1 GiB", "dim_param 256 MiB"])
def test_a_crafted_length_allocates_nothing(tmp_path, crafted):
    assert len(HUGE_NAME) == 14
    file = tmp_path / "crafted.onnx"
    file.write_bytes(crafted)
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
               ":max_allocation_size_mb=600:allocator_may_return_null=1")
    loaded, load_growth, described, describe_growth = child(LIMITED, str(file), env=env).splitlines()
    # the reader refuses the file; load_model then leaves the judgement to ONNX Runtime
    assert loaded.startswith("RuntimeError ") and "MemoryError" not in loaded, loaded
    assert described == f"RuntimeError {file} is not an ONNX model: not a protobuf message"
    assert int(load_growth) < 100 and int(describe_growth) < 100, (load_growth, describe_growth)


# ---- paths that are no regular file --------------------------------------------------------------


@pytest.fixture(params=["FIFO", "directory", "character device"])
def not_regular(request, tmp_path):
    if request.param == "FIFO":
        path = str(tmp_path / "model.onnx")
        os.mkfifo(path)
    elif request.param == "directory":
        path = str(tmp_path / "folder.onnx")
        os.mkdir(path)
    else:
        path = "/dev/zero"
    return path, request.param


@pytest.mark.parametrize("call", ["load_model(p, dims={'b': 1})", "load_model(p, shapes={'x': (1, 2)})",
                                  "load_model(p, dims={})", "describe(p)"])
def test_what_is_no_regular_file_is_refused_before_it_is_opened(not_regular, call):
    path, kind = not_regular
    code = f"""
    import sys, vekra_numpy as vn
    p = sys.argv[1]
    try:
        vn.{call}
        print("no exception")
    except Exception as e:
        print(type(e).__name__, e)
    """
    assert child(code, path).strip() == f"RuntimeError {path} is a {kind}, {NOT_REGULAR}"


def test_no_regular_file_without_pinning_goes_to_onnxruntime(tmp_path):
    with pytest.raises(RuntimeError) as e:
        vn.load_model(str(tmp_path))
    assert "not a regular file" not in str(e.value)


# ---- describe() from the file alone -----------------------------------------------------------------

# In the child (no LD_PRELOAD: the PyPI onnxruntime cannot be imported into a sanitised
# interpreter): each file's inputs and outputs as onnxruntime's session lists them.
ORACLE = """
import json, sys
import onnxruntime as ort
ort.set_default_logger_severity(4)
found = []
for path in sys.argv[1:]:
    try:
        s = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
    except Exception as e:
        found.append(None)
        continue
    found.append([[(v.name, v.type, v.shape) for v in s.get_inputs()], [(v.name, v.type, v.shape) for v in s.get_outputs()]])
print(json.dumps(found))
"""


def onnxruntime_lists(paths):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return json.loads(child(ORACLE, *paths, env=env))


def as_onnxruntime_lists(described):
    """describe()'s (name, dtype, shape) as onnxruntime's Python sessions give them: type
    'tensor(float)', shape [3, 'N', None]."""
    names = {None: None, "float32": "float", "float64": "double", "bool": "bool", "float16": "float16"}
    rows = []
    for name, dtype, shape in described:
        if shape is None and dtype is None:
            rows.append((name, None, None))
        else:
            element = names.get(dtype.name, dtype.name) if dtype is not None else None
            rows.append((name, element, list(shape)))
    return rows


def oracle_rows(listed):
    rows = []
    for name, kind, shape in listed:
        if kind.startswith("tensor("):
            element = kind[len("tensor("):-1]
            rows.append((name, None if element in ("string", "bfloat16") or element.startswith("float8")
                         else element, shape))
        else:
            rows.append((name, None, None))
    return rows


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Models written here, with what describe() must give for each."""
    folder = tmp_path_factory.mktemp("written")
    W = numpy_helper.from_array(np.ones(3, np.float32), "W")
    add = [helper.make_node("Add", ["x", "W"], ["y"])]
    x, w, y = (helper.make_tensor_value_info(n, F, [3]) for n in "xWy")
    d32 = np.dtype("float32")
    return [
        # an initializer listed among the inputs is no input, at IR 3 (where every initializer is
        # one) as later
        (save(helper.make_graph(add, "g", [w, x], [y], initializer=[W]), folder, "ir3.onnx", ir=3, opset=8),
         ([("x", d32, (3,))], [("y", d32, (3,))])),
        (save(helper.make_graph(add, "g", [x, w], [y], initializer=[W]), folder, "overridable.onnx"),
         ([("x", d32, (3,))], [("y", d32, (3,))])),
        (save(relu(["batch", None, 4], ["batch", None, 4]), folder, "dynamic.onnx"),
         ([("x", d32, ("batch", None, 4))], [("y", d32, ("batch", None, 4))])),
        (save(relu([2, 0], [2, 0], TensorProto.INT64, "Identity"), folder, "empty.onnx"),
         ([("x", np.dtype("int64"), (2, 0))], [("y", np.dtype("int64"), (2, 0))])),
    ]


def test_describe_agrees_with_onnxruntime_sessions(written):
    paths = sorted(glob.glob(os.path.join(DATA, "*.onnx"))) + [p for p, _ in written]
    for path, listed in zip(paths, onnxruntime_lists(paths)):
        inputs, outputs = vn.describe(path)
        assert listed is not None, path
        assert as_onnxruntime_lists(inputs) == oracle_rows(listed[0]), path
        assert as_onnxruntime_lists(outputs) == oracle_rows(listed[1]), path
    for path, expected in written:
        assert vn.describe(path) == expected


def test_describe_keeps_names_whole():
    assert vn.describe(os.path.join(DATA, "nul_input_name.onnx"))[0][0][0] == "x\0tail"


def test_describe_never_opens_the_external_data(tmp_path):
    graph = relu(["n", 3], ["n", 3])
    graph.initializer.append(numpy_helper.from_array(np.ones((64, 64), np.float32), "unused"))
    target = save(graph, tmp_path, "model.onnx", save_as_external_data=True, all_tensors_to_one_file=True,
                  location="model.onnx.data", size_threshold=0)
    # in its place a FIFO, whose opening would never return
    os.remove(target + ".data")
    os.mkfifo(target + ".data")
    code = "import sys, vekra_numpy as vn; print(vn.describe(sys.argv[1]))"
    assert child(code, target).strip() == ("([('x', dtype('float32'), ('n', 3))], "
                                           "[('y', dtype('float32'), ('n', 3))])")


def test_describe_tells_unranked_tensors_from_scalars_and_other_values(tmp_path):
    unranked = save(relu(None, None), tmp_path, "unranked.onnx")
    assert vn.describe(unranked) == ([("x", np.dtype("float32"), None)], [("y", np.dtype("float32"), None)])
    assert vn.describe(os.path.join(DATA, "scalar.onnx"))[0] == [("s", np.dtype("float32"), ())]
    assert vn.describe(os.path.join(DATA, "sequence_output.onnx"))[1] == [("ys", None, None)]


# numpy's dtype of each TensorProto.DataType that has one
DTYPES = {TensorProto.FLOAT: "float32", TensorProto.UINT8: "uint8", TensorProto.INT8: "int8",
          TensorProto.UINT16: "uint16", TensorProto.INT16: "int16", TensorProto.INT32: "int32",
          TensorProto.INT64: "int64", TensorProto.BOOL: "bool", TensorProto.FLOAT16: "float16",
          TensorProto.DOUBLE: "float64", TensorProto.UINT32: "uint32", TensorProto.UINT64: "uint64",
          TensorProto.COMPLEX64: "complex64", TensorProto.COMPLEX128: "complex128"}


def declared_by_protobuf(model):
    """What describe() gives, from the ModelProto that protobuf's own parser made."""
    text = lambda s: os.fsdecode(s) if isinstance(s, bytes) else s
    initialized = {t.name for t in model.graph.initializer} | {t.values.name for t in model.graph.sparse_initializer}

    def one(v):
        if v.type.WhichOneof("value") != "tensor_type":
            return (text(v.name), None, None)
        t = v.type.tensor_type
        dtype = np.dtype(DTYPES[t.elem_type]) if t.elem_type in DTYPES else None
        if not t.HasField("shape"):
            return (text(v.name), dtype, None)
        dims = tuple(d.dim_value if d.WhichOneof("value") == "dim_value" and d.dim_value >= 0 else
                     text(d.dim_param) if d.WhichOneof("value") == "dim_param" and d.dim_param else None
                     for d in t.shape.dim)
        return (text(v.name), dtype, dims)
    return [one(v) for v in model.graph.input if v.name not in initialized], [one(v) for v in model.graph.output]


def test_describe_reads_damaged_files_as_protobuf_does(tmp_path):
    """Seeded byte changes to the test models: whatever protobuf parses into a model with a
    graph, describe() reads alike (it may read more: it skips the nodes unparsed)."""
    rng = np.random.default_rng(11)
    models = [pathlib.Path(p).read_bytes() for p in sorted(glob.glob(os.path.join(DATA, "*.onnx")))]
    file = tmp_path / "damaged.onnx"
    compared = 0
    for _ in range(3000):
        data = bytearray(models[rng.integers(len(models))])
        for at in rng.integers(len(data), size=rng.integers(1, 4)):
            data[at] = rng.integers(256)
        file.write_bytes(data)
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            try:
                model = onnx.ModelProto.FromString(bytes(data))
            except DecodeError:
                model = None
        if warned:  # "Unexpected end-group tag: Not all data was converted", which ONNX Runtime refuses
            model = None
        if model is None or not model.HasField("graph"):
            continue
        assert vn.describe(str(file)) == declared_by_protobuf(model), bytes(data).hex()
        compared += 1
    assert compared > 300


@pytest.mark.parametrize("content, message", [
    (b"", "is not an ONNX model: not a protobuf message"),
    (b"\x3a\x05\x5a\x03\x0a\x01", "is not an ONNX model: not a protobuf message"),  # cut short
    (b"\x08" + b"\xff" * 10 + b"\x01", "is not an ONNX model: not a protobuf message"),  # an 11-byte varint
])
def test_describe_refuses_what_is_no_model(tmp_path, content, message):
    file = tmp_path / "bad.onnx"
    file.write_bytes(content)
    with raises_exact(RuntimeError, f"{file} {message}"):
        vn.describe(str(file))
    missing = str(tmp_path / "missing.onnx")
    with raises_exact(RuntimeError, f"cannot open {missing}: No such file or directory"):
        vn.describe(missing)


# ---- dimension names that are not UTF-8 or hold a NUL -------------------------------------------------


def with_dimension_name(folder, name, raw):
    """The relu model over (name, 3) whose dimension name is the bytes `raw` in the file."""
    placeholder = b"Q" * len(raw)
    path = save(relu([placeholder.decode(), 3], [placeholder.decode(), 3]), folder, name)
    with open(path, "rb") as f:
        content = f.read()
    assert content.count(placeholder) == 2
    with open(path, "wb") as f:
        f.write(content.replace(placeholder, raw))
    return path


@pytest.mark.parametrize("raw, shown", [(b"\xff\xfebatch", "\ufffd\ufffdbatch"), (b"b\xc3\xa4tch", "b\u00e4tch")])
def test_dimension_names_that_are_not_utf8_pin_by_their_surrogate_escapes(tmp_path, raw, shown):
    path = with_dimension_name(tmp_path, "named.onnx", raw)
    name = os.fsdecode(raw)
    assert vn.describe(path) == ([("x", np.dtype("float32"), (name, 3))], [("y", np.dtype("float32"), (name, 3))])
    for pinning in ({"dims": {name: 2}}, {"shapes": {"x": (2, 3)}}):
        m = vn.load_model(path, **pinning)
        assert [a.shape for a in vn.inputs(m) + vn.outputs(m)] == [(2, 3), (2, 3)]
    with raises_exact(ValueError, f"input 0 'x' dimension 0 is dynamic ('{shown}'): pin it with dims={{'{shown}': "
                                  "size} or give the input's whole shape with shapes={'x': (...)}"):
        vn.load_model(path)
    with raises_exact(ValueError, f"dims names 'b\ufffdd', which no input of the model has as a symbolic "
                                  f"dimension; its inputs have '{shown}'"):
        vn.load_model(path, dims={"b\udcffd": 2})


def test_a_dimension_name_holding_a_nul_is_shown_and_cannot_be_pinned(tmp_path):
    path = with_dimension_name(tmp_path, "nul.onnx", b"ba\0tch")
    assert vn.describe(path)[0] == [("x", np.dtype("float32"), ("ba\0tch", 3))]
    cannot = ("'ba\\0tch', a dimension name holding a NUL character, which ONNX Runtime cannot pin (it pins "
              "dimensions by a C string name): rename the dimension in the model file")
    with raises_exact(ValueError, "dims['ba\\0tch'] pins " + cannot):
        vn.load_model(path, dims={"ba\0tch": 2})
    with raises_exact(ValueError, "shapes['x'][0] pins " + cannot):
        vn.load_model(path, shapes={"x": (2, 3)})
    with raises_exact(ValueError, "input 0 'x' dimension 0 is dynamic ('ba\\0tch'): pin it with dims={'ba\\0tch': "
                                  "size} or give the input's whole shape with shapes={'x': (...)}"):
        vn.load_model(path)
    with raises_exact(ValueError, "dims names 'ba', which no input of the model has as a symbolic dimension; its "
                                  "inputs have 'ba\\0tch'"):
        vn.load_model(path, dims={"ba": 2})


# ---- tensors declared without a shape ----------------------------------------------------------------


def test_an_input_declared_without_a_shape_is_refused(tmp_path):
    path = save(relu(None, None), tmp_path, "unranked.onnx")
    for kwargs in ({}, {"dims": {}}, {"optimization": "disable"}):
        with raises_exact(ValueError, "input 0 'x' declares no shape in the model file: give it one there (an "
                                      "empty one for a scalar), as every tensor is allocated once, at load"):
            vn.load_model(path, **kwargs)


def test_an_output_declared_without_a_shape_needs_onnxruntime_to_infer_one(tmp_path):
    # Relu: ONNX Runtime infers the output's shape from the input's
    inferred = save(relu([2, 3], None), tmp_path, "inferred.onnx")
    assert [a.shape for a in vn.outputs(vn.load_model(inferred))] == [(2, 3)]
    # the element of a sequence of tensors of different ranks: only a run tells its shape
    pick = helper.make_graph(
        [helper.make_node("SequenceConstruct", ["a", "b"], ["both"]), helper.make_node("SequenceAt", ["both", "i"], ["y"])],
        "pick", [helper.make_tensor_value_info("a", F, [2]), helper.make_tensor_value_info("b", F, [2, 3]),
                 helper.make_tensor_value_info("i", TensorProto.INT64, [])],
        [helper.make_tensor_value_info("y", F, None)])
    unknown = save(pick, tmp_path, "unknown.onnx")
    with raises_exact(ValueError, "output 0 'y' declares no shape in the model file, and ONNX Runtime infers none: "
                                  "give it one there (an empty one for a scalar), as every tensor is allocated "
                                  "once, at load"):
        vn.load_model(unknown)


def test_map_model_learns_an_output_shape_the_file_leaves_out(tmp_path):
    da = pytest.importorskip("dask.array")
    import vekra_dask

    path = save(relu(["batch", 4], None), tmp_path, "batch.onnx")
    x = np.arange(-12.0, 12.0, dtype=np.float32).reshape(6, 4)
    (y,) = vekra_dask.map_model(vn.ModelSpec(path, threads=1), da.from_array(x, chunks=(3, 4)))
    assert y.shape == (6, 4)
    np.testing.assert_array_equal(y.compute(scheduler="sync"), np.maximum(x, 0))

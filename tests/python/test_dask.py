"""vekra_dask.map_model on a LocalCluster of two worker processes: results equal to a loop in
this process, one load per description and chunk size on each worker, a worker killed
mid-way, and the checks made before any task runs; the outputs it refuses to split by rows,
on models written here with the onnx package; a fork while a run is in flight; its stub."""
import collections
import logging
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import vekra_dask  # noqa: E402
import vekra_numpy as vn  # noqa: E402
from conftest import ORT_VERSION  # noqa: E402
from spec_workers import slow_copy  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
TIMEOUT = 120

pytestmark = [
    # The cluster's own start-up and shutdown notices, not this library's.
    pytest.mark.filterwarnings("ignore:Port 8787 is already in use:UserWarning"),
    pytest.mark.filterwarnings("ignore:.*dashboard.*:UserWarning"),
]


def path(name):
    return os.path.join(DATA, name + ".onnx")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       silence_logs=logging.CRITICAL, timeout=TIMEOUT)
    client = distributed.Client(cluster, timeout=TIMEOUT, set_as_default=False)
    try:
        client.wait_for_workers(2, timeout=TIMEOUT)
        yield client
    finally:
        client.close(timeout=TIMEOUT)
        cluster.close(timeout=TIMEOUT)


def loads_on_workers(client, since=None):
    """{worker address: the descriptions its process has loaded, in load order}, after those
    in `since` (an earlier answer)."""
    loads = client.run(vn.ModelSpec.loads)
    return {w: done[len((since or {}).get(w, [])):] for w, done in loads.items()}


def loop(spec, feeds, outputs, batch):
    """The outputs of the model run here, `batch` rows at a time over the rows of `feeds`."""
    model = spec.model()
    names = vn.output_names(model)
    rows = len(next(iter(feeds.values())))
    out = {n: [] for n in outputs}
    for start in range(0, rows, batch):
        for name, tensor in zip(vn.input_names(model), vn.inputs(model)):
            tensor[...] = feeds[name][start:start + batch]
        model.run()
        for n in outputs:
            out[n].append(np.array(vn.outputs(model)[names.index(n)]))
    return [np.concatenate(out[n]) for n in outputs]


def rng_feeds(shapes, seed=0):
    rng = np.random.default_rng(seed)
    return {name: (rng.integers(-50, 50, shape) if dtype == np.int64 else rng.uniform(-2, 2, shape)).astype(dtype)
            for name, (shape, dtype) in shapes.items()}


CASES = {
    # fixed batch 1, float input, an uneven last chunk
    "affine": ({"x": ((10, 3), np.float32)}, 4, ["y"], 1),
    # fixed batch 2, float and int64 inputs, chunks of two runs and a last one of one run
    "int64_input": ({"x": ((10,), np.float32), "k": ((10,), np.int64)}, 4, ["y"], 2),
    # several outputs, two of them asked for, in the order asked
    "several_outputs": ({"x": ((8, 3), np.float32)}, 4, ["rowsum", "relu"], 2),
    # a convolution over images, chunks of 3 images, one at a time
    "conv_bn": ({"x": ((7, 3, 8, 8), np.float32)}, 3, ["y"], 1),
}


@pytest.mark.parametrize("name", CASES)
def test_results_equal_a_loop_here(client, name):
    shapes, chunk, outputs, batch = CASES[name]
    feeds = rng_feeds(shapes)
    spec = vn.ModelSpec(path(name), threads=1)
    arrays = {n: da.from_array(a, chunks=(chunk,) + a.shape[1:]) for n, a in feeds.items()}
    x = arrays if len(arrays) > 1 else arrays["x"]
    got = vekra_dask.map_model(spec, x, outputs=outputs)
    assert [g.chunks[0] for g in got] == [arrays[next(iter(arrays))].chunks[0]] * len(outputs)
    computed = client.compute(got, sync=True)
    for g, c, e in zip(got, computed, loop(spec, feeds, outputs, batch)):
        assert c.dtype == e.dtype == g.dtype and c.shape == e.shape == g.shape
        np.testing.assert_array_equal(c, e)


@pytest.mark.skipif("shapes" not in vn.load_model.__doc__, reason="this load_model pins no dynamic dimensions")
def test_a_dynamic_batch_is_pinned_per_chunk_size(client):
    client.run(vn.ModelSpec.clear)
    before = loads_on_workers(client)
    feeds = rng_feeds({"x": ((11, 3), np.float32)}, seed=3)
    spec = vn.ModelSpec(path("dynamic"), threads=1)
    (y,) = vekra_dask.map_model(spec, da.from_array(feeds["x"], chunks=(4, 3)))  # 4, 4, 3
    for _ in range(2):  # the second computation loads nothing more
        np.testing.assert_array_equal(client.compute(y, sync=True), np.maximum(feeds["x"], 0))
    pinned = {spec.replace(shapes={"x": (4, 3)}), spec.replace(shapes={"x": (3, 3)})}
    loads = loads_on_workers(client, before)
    assert len(loads) == 2
    for worker_loads in loads.values():
        assert set(worker_loads) <= pinned
        assert max(collections.Counter(worker_loads).values(), default=1) == 1
    assert set().union(*map(set, loads.values())) == pinned
    np.testing.assert_array_equal(loop(spec.replace(shapes={"x": (1, 3)}), feeds, ["y"], 1)[0],
                                  np.maximum(feeds["x"], 0))


def test_each_worker_loads_a_description_once(client):
    client.run(vn.ModelSpec.clear)
    before = loads_on_workers(client)
    spec = vn.ModelSpec(path("affine"), threads=1)
    x = da.from_array(rng_feeds({"x": ((40, 3), np.float32)})["x"], chunks=(2, 3))  # 20 tasks
    (y,) = vekra_dask.map_model(spec, x)
    client.compute(y, sync=True)
    for worker_loads in loads_on_workers(client, before).values():
        assert worker_loads in ([], [spec])


def test_a_killed_worker_is_replaced_and_the_result_complete(client):
    spec = vn.ModelSpec(path("affine"), threads=1)
    values = rng_feeds({"x": ((60, 3), np.float32)}, seed=5)["x"]
    slow = da.from_array(values, chunks=(2, 3)).map_blocks(slow_copy, 0.1, dtype=np.float32)  # 30 tasks, 3 s
    (y,) = vekra_dask.map_model(spec, slow)
    future = client.compute(y)
    pids = client.run(os.getpid)
    time.sleep(0.8)  # a third of the way
    assert not future.done()
    victim = sorted(pids)[0]
    os.kill(pids[victim], signal.SIGKILL)
    result = future.result(timeout=TIMEOUT)
    np.testing.assert_array_equal(result, 2 * values + 1)
    assert not future.cancelled() and future.status == "finished"
    client.wait_for_workers(2, timeout=TIMEOUT)
    assert pids[victim] not in client.run(os.getpid).values()


# ---- refused before any task runs ---------------------------------------------------------------------


def refusals():
    f32 = np.zeros((6, 3), np.float32)
    pair = {"x": np.zeros(6, np.float32), "k": np.zeros(6, np.int64)}
    return [
        ("several_outputs", da.from_array(f32, chunks=(3, 3)), None, ValueError,
         "the model fixes its batch at 2, and chunks (3, 3) of the batch axis are no multiple of it: "
         "rechunk with .rechunk({0: 2}) or a multiple"),
        ("several_outputs", da.from_array(f32[:5], chunks=(2, 3)), None, ValueError,
         "the model fixes its batch at 2, which no chunking of 5 rows can meet: every chunk must be a multiple of 2"),
        ("affine", da.from_array(f32.astype(np.float64), chunks=(2, 3)), None, TypeError,
         "input 'x' takes float32, the array for it has dtype float64: convert it with .astype('float32')"),
        ("affine", da.from_array(f32, chunks=(2, 2)), None, ValueError,
         "the array for input 'x' is chunked along axis 1 too; map_model maps over whole rows of the batch axis: "
         "rechunk it with .rechunk({1: -1})"),
        ("affine", da.from_array(f32[:, :2], chunks=(2, 2)), None, ValueError,
         "input 'x' has shape (1, 3), its array (6, 2): dimension 1 differs"),
        ("affine", da.from_array(f32[:, 0], chunks=2), None, ValueError,
         "input 'x' has 2 dimensions (1, 3), its array 1 (6,)"),
        ("int64_input", {"x": da.from_array(pair["x"], chunks=2), "k": da.from_array(pair["k"], chunks=4)}, None,
         ValueError, "the arrays are not aligned on their batch chunks: 'x' has (2, 2, 2), 'k' has (4, 2); "
         "rechunk them alike along axis 0"),
        ("int64_input", da.from_array(pair["x"], chunks=2), None, TypeError,
         "the model has 2 inputs ['x', 'k']: pass a mapping of input names to dask arrays"),
        ("int64_input", {"x": da.from_array(pair["x"], chunks=2)}, None, ValueError,
         "the model's inputs are ['x', 'k']; missing: ['k'], unknown: []"),
        ("int64_input", {"x": da.from_array(pair["x"], chunks=2), "k": pair["k"]}, None, TypeError,
         "the array for input 'k' must be a dask array, not ndarray"),
        ("dynamic", da.from_array(f32, chunks=(2, 3)), None, ValueError,
         "input 'x' has dynamic dimensions, which map_model pins through ModelSpec shapes, and pinning needs "
         "optimization 'basic' or above, not 'disable'"),
        ("affine", f32, None, TypeError,
         "map_model() x must be a dask array or a mapping of input names to dask arrays, not ndarray"),
        ("affine", da.from_array(f32, chunks=(2, 3)), ["z"], ValueError, "the model has no output 'z'; its outputs are ['y']"),
        ("affine", da.from_array(f32, chunks=(2, 3)), [0], TypeError, "map_model() outputs must be output names (str), not int"),
        ("affine", da.from_array(f32, chunks=(2, 3)), 3, TypeError,
         "map_model() outputs must be an output name or a list of them, not int"),
        ("several_outputs", da.from_array(f32, chunks=(2, 3)), "rowsum", None, None),
        ("several_outputs", da.from_array(f32, chunks=(2, 3)), ["rowsum"], None, None),
    ]


@pytest.mark.parametrize("name, x, outputs, exc, message", refusals())
def test_checks_before_any_task(name, x, outputs, exc, message):
    before = vn.ModelSpec.loads()
    spec = vn.ModelSpec(path(name), optimization="disable" if name == "dynamic" else "all")
    if exc is None:
        (y,) = vekra_dask.map_model(spec, x, outputs=outputs)  # a list, however the output is named
        assert isinstance(y, da.Array) and y.shape == (6,) and y.chunks == ((2, 2, 2),)
    else:
        with pytest.raises(exc) as info:
            vekra_dask.map_model(spec, x, outputs=outputs)
        assert str(info.value) == message
    assert vn.ModelSpec.loads() == before  # nothing was loaded here


def test_a_spec_is_required_and_outputs_is_named():
    with pytest.raises(TypeError, match="map_model\\(\\) spec must be a vekra_numpy.ModelSpec, not str"):
        vekra_dask.map_model(path("affine"), da.zeros((2, 3), np.float32))
    with pytest.raises(TypeError, match="positional argument"):
        vekra_dask.map_model(vn.ModelSpec(path("affine")), da.zeros((2, 3), np.float32), ["y"])


def test_threads_of_one_process_share_the_model_safely():
    spec = vn.ModelSpec(path("affine"), threads=1)
    values = rng_feeds({"x": ((64, 3), np.float32)}, seed=9)["x"]
    (y,) = vekra_dask.map_model(spec, da.from_array(values, chunks=(1, 3)))
    np.testing.assert_array_equal(y.compute(scheduler="threads", num_workers=4), 2 * values + 1)


# ---- outputs that are not one row per input row, refused from the declared shapes -------------------

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper  # noqa: E402

F = TensorProto.FLOAT
# ONNX Runtime reads IR 10 and opset 21 from 1.18 on; 1.17 stops at IR 9 and opset 20.
IR, OPSET = ((10, 21) if ORT_VERSION >= (1, 18) else (9, 20))


def graph(nodes, inputs, outputs):
    """A model of `nodes` with float tensors: inputs and outputs as {name: declared shape}."""
    return helper.make_model(
        helper.make_graph(nodes, "g", [helper.make_tensor_value_info(n, F, s) for n, s in inputs.items()],
                          [helper.make_tensor_value_info(n, F, s) for n, s in outputs.items()]),
        opset_imports=[helper.make_opsetid("", OPSET)], ir_version=IR)


MODELS = {
    # a CLIP-style similarity: one row per image, one column per text, each a batch of its own
    "pairwise": graph([helper.make_node("Transpose", ["text"], ["text_t"]),
                       helper.make_node("MatMul", ["image", "text_t"], ["logits"]),
                       helper.make_node("Relu", ["image"], ["image_features"])],
                      {"image": ["image_batch", 3], "text": ["text_batch", 3]},
                      {"logits": ["image_batch", "text_batch"], "image_features": ["image_batch", 3]}),
    # every row against every row
    "gram": graph([helper.make_node("Transpose", ["x"], ["xt"]), helper.make_node("MatMul", ["x", "xt"], ["y"])],
                  {"x": ["batch", 3]}, {"y": ["batch", "batch"]}),
    # twice the rows, the size declared under a name of its own, or without one
    "concat_named": graph([helper.make_node("Concat", ["x", "x"], ["y"], axis=0)], {"x": ["batch", 3]},
                          {"y": ["doubled", 3]}),
    "concat_unnamed": graph([helper.make_node("Concat", ["x", "x"], ["y"], axis=0)], {"x": ["batch", 3]},
                            {"y": [None, 3]}),
    # the batch moved to dimension 1
    "transpose": graph([helper.make_node("Transpose", ["x"], ["y"])], {"x": ["batch", 3]}, {"y": [3, "batch"]}),
    # one row whatever the batch
    "total": graph([helper.make_node("ReduceSum", ["x"], ["y"], keepdims=1)], {"x": ["batch", 3]}, {"y": [1, 1]}),
    # a batch of no rows
    "empty": graph([helper.make_node("Relu", ["x"], ["y"])], {"x": [0, 3]}, {"y": [0, 3]}),
    # a batch without a name, which no ModelSpec can pin
    "unnamed_batch": graph([helper.make_node("Relu", ["x"], ["y"])], {"x": [None, 3]}, {"y": [None, 3]}),
    # an input holding the batch twice
    "square_input": graph([helper.make_node("Relu", ["x"], ["y"])], {"x": ["batch", "batch"]}, {"y": ["batch", "batch"]}),
    # two inputs sharing a feature size
    "shared_width": graph([helper.make_node("Add", ["a", "c"], ["y"])], {"a": ["batch", "width"], "c": ["batch", "width"]},
                          {"y": ["batch", "width"]}),
    # features doubled: a size that only the model tells (from the first chunk's model)
    "widened": graph([helper.make_node("Concat", ["x", "x"], ["y"], axis=1)], {"x": ["batch", 3]}, {"y": ["batch", None]}),
}


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask_models")
    made = {}
    for name, model in MODELS.items():
        made[name] = str(folder / (name + ".onnx"))
        onnx.save_model(model, made[name])
    return made


def rows(n, width=3, seed=0):
    return da.from_array(np.random.default_rng(seed).uniform(-1, 1, (n, width)).astype(np.float32), chunks=(2, width))


NOT_SPLIT = ", which map_model splits into chunks, so each task would hold only its own chunk of it; only dimension 0 " \
            "may be the batch"
NOT_ROWS = ", so map_model cannot tell that it has one row per input row"


@pytest.mark.parametrize("name, spec_args, x, outputs, message", [
    ("pairwise", {}, {"image": rows(6), "text": rows(6, seed=1)}, None,
     "output 'logits' has shape (image_batch, text_batch): its dimension 1 is the batch 'text_batch'" + NOT_SPLIT),
    ("gram", {}, rows(6), None, "output 'y' has shape (batch, batch): its dimension 1 is the batch 'batch'" + NOT_SPLIT),
    # pinned by the spec, the batch is still on dimension 1 as the file declares it
    ("gram", {"dims": {"batch": 2}}, rows(6), None,
     "output 'y' has shape (batch, batch): its dimension 1 is the batch 'batch'" + NOT_SPLIT),
    ("transpose", {}, rows(6), None, "output 'y' has shape (3, batch): its dimension 1 is the batch 'batch'" + NOT_SPLIT),
    ("square_input", {}, da.zeros((6, 6), dtype=np.float32, chunks=(2, 6)), None,
     "input 'x' has shape (batch, batch): its dimension 1 is the batch 'batch'" + NOT_SPLIT),
    ("concat_named", {}, rows(6), None, "output 'y' has shape (doubled, 3): its dimension 0 is 'doubled', which no "
     "input has on its dimension 0, not the batch 'batch' of the inputs" + NOT_ROWS),
    ("concat_unnamed", {}, rows(6), None,
     "output 'y' has shape (?, 3): its dimension 0 is dynamic without a name, not the batch 'batch' of the inputs" + NOT_ROWS),
    ("concat_unnamed", {"dims": {"batch": 2}}, rows(6), None,
     "output 'y' has shape (?, 3): its dimension 0 is dynamic without a name, not the model's batch 2" + NOT_ROWS),
    ("total", {}, rows(6), None,
     "output 'y' has shape (1, 1): its dimension 0 is fixed at 1, not the batch 'batch' of the inputs" + NOT_ROWS),
    ("empty", {}, rows(6), None, "the model fixes its batch at 0 (input 'x' has shape (0, 3)): it runs on no rows, so "
     "there are none to map over"),
    ("empty", {}, rows(0), None, "the model fixes its batch at 0 (input 'x' has shape (0, 3)): it runs on no rows, so "
     "there are none to map over"),
    ("unnamed_batch", {}, rows(6), None, "input 'x' has shape (?, 3): its dimension 0 is dynamic without a name, and "
     "ONNX Runtime pins dimensions by name only: name it in the model file (for example with "
     "onnx.tools.update_model_dims.update_inputs_outputs_dims)"),
    ("shared_width", {}, {"a": rows(6), "c": rows(6, width=4)}, None,
     "input 'c' has shape (batch, width), its array (6, 4), and the array for input 'a' makes 'width' 3: "
     "the sizes of 'width' differ"),
])
def test_what_cannot_be_split_by_rows_is_refused_before_any_load(models, name, spec_args, x, outputs, message):
    before = vn.ModelSpec.loads()
    with pytest.raises(ValueError) as info:
        vekra_dask.map_model(vn.ModelSpec(models[name], **spec_args), x, outputs=outputs)
    assert str(info.value) == message
    assert vn.ModelSpec.loads() == before


def test_the_outputs_split_by_rows_are_given_beside_one_that_is_not(models):
    image, text = rows(7, seed=2).rechunk(3), rows(7, seed=3).rechunk(3)  # chunks 3, 3, 1
    spec = vn.ModelSpec(models["pairwise"], threads=1)
    (features,) = vekra_dask.map_model(spec, {"image": image, "text": text}, outputs="image_features")
    np.testing.assert_array_equal(features.compute(scheduler="synchronous"), np.maximum(image.compute(), 0))


def test_a_size_only_the_model_tells_is_read_from_the_first_chunks_model(models):
    x = rows(5)  # chunks 2, 2, 1
    (y,) = vekra_dask.map_model(vn.ModelSpec(models["widened"], threads=1), x)
    assert y.shape == (5, 6) and y.chunks == ((2, 2, 1), (6,))
    values = x.compute()
    np.testing.assert_array_equal(y.compute(scheduler="synchronous"), np.concatenate([values, values], axis=1))


# ---- forked while a run is in flight ------------------------------------------------------------------


@pytest.mark.parametrize("held", ["model", "registry"])
def test_a_child_forked_during_a_run_maps_the_model(held):
    # a thread holds the lock while the process forks; the child maps the same description
    tool = os.path.join(HERE, "..", "tools", "dask_fork.py")
    done = subprocess.run([sys.executable, tool, path("affine"), held, str(TIMEOUT / 2)], capture_output=True,
                          text=True, timeout=TIMEOUT)
    assert done.returncode != 2, f"the forked child hung:\n{done.stderr}"
    assert done.returncode == 0, done.stderr


# ---- the stub ----------------------------------------------------------------------------------------


def test_the_stub_is_installed_and_matches_the_module(tmp_path):
    with open(os.path.join(HERE, "..", "..", "python", "vekra_dask.pyi"), encoding="utf-8") as f:
        committed = f.read()
    site = os.path.dirname(vekra_dask.__file__)
    for installed in ("vekra_dask.pyi", os.path.join("vekra_dask-stubs", "__init__.pyi")):
        with open(os.path.join(site, installed), encoding="utf-8") as f:
            assert f.read() == committed, installed
    # stubtest imports the modules as a user would, from the environment's own installation
    # (the sanitizer run's build tree cannot be imported without its preload)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vekra_dask", "--mypy-config-file", os.devnull],
                          capture_output=True, text=True, cwd=tmp_path, env=env, timeout=TIMEOUT)
    assert done.returncode == 0, done.stdout + done.stderr

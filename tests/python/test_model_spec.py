"""vekra_numpy.ModelSpec (a picklable model description, one model per process) and
vekra_numpy.describe (the tensors a file declares, dynamic dimensions included)."""
import concurrent.futures
import multiprocessing
import os
import pickle
import subprocess
import sys
import threading

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

import vekracore as vk
import vekra_numpy as vn
from spec_workers import load_and_run

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
AFFINE = os.path.join(DATA, "affine.onnx")
TIMEOUT = 120
FORK_WITH_THREADS = "ignore:This process .* is multi-threaded, use of fork:DeprecationWarning"


def path(name):
    return os.path.join(DATA, name + ".onnx")


# ---- the description ----------------------------------------------------------------------------


def test_a_spec_holds_the_arguments_only():
    spec = vn.ModelSpec(AFFINE, optimization="basic", threads=1, dims={"N": 2}, shapes={"x": [2, 3]})
    assert (spec.path, spec.optimization, spec.threads) == (AFFINE, "basic", 1)
    assert spec.dims == {"N": 2} and spec.shapes == {"x": (2, 3)}
    spec.dims["N"] = 5  # copies: the description cannot change
    assert spec.dims == {"N": 2}
    assert repr(vn.ModelSpec("m.onnx")) == "ModelSpec('m.onnx')"
    assert repr(spec) == f"ModelSpec({AFFINE!r}, optimization='basic', threads=1, dims={{'N': 2}}, shapes={{'x': (2, 3)}})"
    assert vn.ModelSpec(os.fsencode(AFFINE)).path == AFFINE
    import pathlib
    assert vn.ModelSpec(pathlib.Path(AFFINE)).path == AFFINE


def test_equal_descriptions_are_one_key():
    a = vn.ModelSpec(AFFINE, dims={"N": 2, "M": 3}, shapes={"x": (1, 3)})
    b = vn.ModelSpec(AFFINE, dims={"M": 3, "N": 2}, shapes={"x": [1, 3]})
    assert a == b and hash(a) == hash(b) and len({a, b}) == 1
    for other in (vn.ModelSpec(AFFINE), a.replace(threads=1), a.replace(optimization="disable"),
                  a.replace(dims={"N": 2}), a.replace(shapes={}), a.replace(path="other.onnx")):
        assert other != a
    assert a != AFFINE
    assert a.replace() == a and a.replace(threads=2).threads == 2


def test_bad_paths_and_keywords():
    with pytest.raises(TypeError):
        vn.ModelSpec(3)
    with pytest.raises(TypeError):
        vn.ModelSpec(AFFINE, "all")  # options are keywords only
    with pytest.raises(TypeError, match="unexpected keyword argument 'report'"):
        vn.ModelSpec(AFFINE).replace(report=True)


def test_pickling_ships_the_description_and_loads_nothing():
    before = vn.ModelSpec.loads()
    for spec in (vn.ModelSpec(AFFINE, threads=1, dims={"N": 4}, shapes={"x": (4, 3)}),
                 vn.ModelSpec("/nowhere/at/all.onnx")):  # nothing is opened either
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(spec, protocol)
            assert len(data) < 400
            back = pickle.loads(data)
            assert type(back) is vn.ModelSpec and back == spec and repr(back) == repr(spec)
    assert vn.ModelSpec.loads() == before


# ---- one model per process ------------------------------------------------------------------------


def test_model_loads_once_per_description():
    vn.ModelSpec.clear()
    spec = vn.ModelSpec(AFFINE, threads=1)
    model = spec.model()
    assert type(model) is vk.model and model is spec.model() is vn.ModelSpec(AFFINE, threads=1).model()
    other = spec.replace(optimization="disable").model()
    assert other is not model
    loads = vn.ModelSpec.loads()
    assert loads[-2:] == [spec, spec.replace(optimization="disable")]
    vn.ModelSpec.clear()
    assert spec.model() is not model and vn.ModelSpec.loads()[-1] == spec
    vn.ModelSpec.clear()


def test_a_failed_load_is_not_kept():
    spec = vn.ModelSpec(os.path.join(DATA, "missing.onnx"))
    before = vn.ModelSpec.loads()
    for _ in range(2):
        with pytest.raises(RuntimeError):
            spec.model()
    assert vn.ModelSpec.loads() == before


def test_threads_asking_at_once_share_one_load():
    spec = vn.ModelSpec(path("conv_bn"), threads=1)
    vn.ModelSpec.clear()
    before = len(vn.ModelSpec.loads())
    barrier = threading.Barrier(4)
    got = []

    def ask():
        barrier.wait()
        got.append(spec.model())

    threads = [threading.Thread(target=ask) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert len(got) == 4 and all(m is got[0] for m in got)
    assert vn.ModelSpec.loads()[before:] == [spec]
    vn.ModelSpec.clear()


def test_another_pid_loads_its_own(monkeypatch):
    spec = vn.ModelSpec(AFFINE)
    model = spec.model()
    monkeypatch.setattr(os, "getpid", lambda: -1)  # as a child forked without the fork hook sees it
    assert vn.ModelSpec.loads() == []
    assert spec.model() is not model and vn.ModelSpec.loads() == [spec]


@pytest.mark.filterwarnings(FORK_WITH_THREADS)
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_process_pool_workers_load_their_own(method):
    spec = vn.ModelSpec(AFFINE, threads=2)
    parent = spec.model()  # a forked child inherits it, and must not use it
    parent_inputs = vn.inputs(parent)[0]
    parent_inputs[...] = 7.0
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        results = list(pool.map(load_and_run, [spec] * 4, [1.0, 2.0, 3.0, 4.0], timeout=TIMEOUT))
    pids = {pid for pid, *_ in results}
    assert os.getpid() not in pids
    for pid, before, after, same, out in results:
        assert same and after == before + ([] if spec in before else [spec])  # loaded on first use only
    for pid in pids:  # each worker loaded the model itself, once (a forked one inherits no loads)
        assert sum(spec not in before for p, before, *_ in results if p == pid) == 1
    assert [out.tolist() for *_, out in results] == [[[3.0] * 3], [[5.0] * 3], [[7.0] * 3], [[9.0] * 3]]
    assert float(parent_inputs[0, 0]) == 7.0  # the parent's model was never touched


@pytest.mark.filterwarnings(FORK_WITH_THREADS)
def test_multiprocessing_pool():
    spec = vn.ModelSpec(path("dynamic"), shapes={"x": (2, 3)}) if "shapes" in vn.load_model.__doc__ else \
        vn.ModelSpec(AFFINE)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.starmap_async(load_and_run, [(spec, -1.5), (spec, 2.5)]).get(TIMEOUT)
    for (_, before, after, same, out), value in zip(results, (-1.5, 2.5)):
        assert same and after.count(spec) == 1
        assert np.all(out == (max(value, 0.0) if spec.shapes else 2 * value + 1))


# ---- declared tensors -------------------------------------------------------------------------------


def write(tmp_path, name, inputs, outputs, nodes):
    graph = helper.make_graph(nodes, "g", inputs, outputs)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    onnx.checker.check_model(model)
    file = tmp_path / (name + ".onnx")
    onnx.save(model, str(file))
    return str(file)


def test_describe_names_dynamic_dimensions(tmp_path):
    assert vn.describe(path("dynamic")) == ([("x", np.dtype("float32"), ("N", 3))],
                                            [("y", np.dtype("float32"), ("N", 3))])
    unnamed = helper.make_tensor_value_info("x", TensorProto.INT64, [None, 2])
    file = write(tmp_path, "unnamed", [unnamed], [helper.make_tensor_value_info("y", TensorProto.INT64, [None, 2])],
                 [helper.make_node("Identity", ["x"], ["y"])])
    assert vn.describe(file) == ([("x", np.dtype("int64"), (None, 2))], [("y", np.dtype("int64"), (None, 2))])


def test_describe_fixed_models_agrees_with_the_loaded_tensors():
    for name in ("affine", "two_inputs", "several_outputs", "int64_input", "conv_bn", "scalar"):
        inputs, outputs = vn.describe(path(name))
        model = vn.load_model(path(name))
        assert [n for n, _, _ in inputs] == vn.input_names(model)
        assert [n for n, _, _ in outputs] == vn.output_names(model)
        arrays = vn.inputs(model) + vn.outputs(model)
        assert [(d, s) for _, d, s in inputs + outputs] == [(a.dtype, a.shape) for a in arrays]


def test_describe_types_without_dtype():
    inputs, _ = vn.describe(path("element_types"))
    assert inputs[-1] == ("in_string", None, (2, 3))
    assert vn.describe(path("bfloat16_input"))[0][1] == ("k", None, (2,))
    assert vn.describe(path("sequence_output"))[1] == [("ys", None, None)]


def test_describe_failures():
    with pytest.raises(RuntimeError):
        vn.describe(os.path.join(DATA, "missing.onnx"))
    with pytest.raises(ValueError, match="NUL"):
        vn.describe("a\0b.onnx")
    with pytest.raises(TypeError):
        vn.describe(1)
    assert vn.describe.__doc__.startswith("describe(")


# ---- no dask here --------------------------------------------------------------------------------------


def test_the_extension_modules_never_import_dask():
    code = ("import sys, vekracore, vekra_numpy\n"
            "vekra_numpy.ModelSpec(sys.argv[1]).model()\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))\n")
    done = subprocess.run([sys.executable, "-c", code, AFFINE], capture_output=True, timeout=TIMEOUT, check=True)
    assert done.stdout == b"[]\n"


def test_a_spec_never_changes_once_made():
    """It keys dicts (vekra_dask's locks, the model cache): its hash must stay what it was."""
    spec = vn.ModelSpec(AFFINE, threads=1)
    key = hash(spec)
    with pytest.raises(AttributeError, match="cannot be changed once made"):
        spec.__init__(AFFINE, threads=2)
    for name in ("_threads", "_key", "threads", "other"):
        with pytest.raises(AttributeError):
            setattr(spec, name, 3)
        with pytest.raises(AttributeError):
            delattr(spec, name)
    assert not hasattr(spec, "__setstate__") or type(spec).__setstate__ is object.__setstate__
    assert hash(spec) == key and spec.threads == 1 and {spec: 1}[vn.ModelSpec(AFFINE, threads=1)] == 1


def test_the_load_record_stays_bounded_across_clears():
    spec = vn.ModelSpec(AFFINE, threads=1)
    vn.ModelSpec.clear()
    for _ in range(50):
        spec.model()
        vn.ModelSpec.clear()
    assert vn.ModelSpec.loads() == []
    spec.model()
    assert vn.ModelSpec.loads() == [spec]
    vn.ModelSpec.clear()

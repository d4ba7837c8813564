"""vekra_numpy.load_model on models with dynamic dimensions (pinned through `dims` and
`shapes`, or refused with a message that names what to pin) and on models whose weights lie
in an external data file. The models are written here with the onnx package, at the newest IR
version and opset the bundled ONNX Runtime reads."""
import collections.abc
import os
import subprocess
import sys
import types

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import vekracore as vk
import vekra_numpy as vn
from conftest import ORT_VERSION, raises_exact

F = TensorProto.FLOAT
# ONNX Runtime reads IR 10 and opset 21 from 1.18 on; 1.17 stops at IR 9 and opset 20.
IR, OPSET = ((10, 21) if ORT_VERSION >= (1, 18) else (9, 20))
RNG = np.random.default_rng(7)
W = RNG.standard_normal((4, 3)).astype(np.float32)
B = RNG.standard_normal(3).astype(np.float32)


def save(model, folder, name, **kwargs):
    model = helper.make_model(model, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=IR)
    target = os.path.join(str(folder), name)
    onnx.save_model(model, target, **kwargs)
    return target


def affine_graph(x_shape, y_shape):
    """y = x @ W + b over the last dimension of x."""
    return helper.make_graph(
        [helper.make_node("MatMul", ["x", "W"], ["xw"]), helper.make_node("Add", ["xw", "b"], ["y"])],
        "affine", [helper.make_tensor_value_info("x", F, x_shape)], [helper.make_tensor_value_info("y", F, y_shape)],
        initializer=[numpy_helper.from_array(W, "W"), numpy_helper.from_array(B, "b")])


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dynamic")
    made = {
        # a named dynamic batch, as exporters write it
        "batch": save(affine_graph(["batch", 4], ["batch", 3]), folder, "batch.onnx"),
        # a dynamic dimension without a name
        "unnamed": save(affine_graph([None, 4], [None, 3]), folder, "unnamed.onnx"),
        # batch and sequence length; the outputs' sizes derive from them (2 * seq, and none)
        "sequence": save(helper.make_graph(
            [helper.make_node("Concat", ["x", "x"], ["twice"], axis=1),
             helper.make_node("ReduceSum", ["x", "axes"], ["total"], keepdims=0)],
            "sequence", [helper.make_tensor_value_info("x", F, ["batch", "seq", 2])],
            [helper.make_tensor_value_info("twice", F, ["batch", "seq2", 2]),
             helper.make_tensor_value_info("total", F, None)],
            initializer=[numpy_helper.from_array(np.array([1], np.int64), "axes")]), folder, "sequence.onnx"),
        # two inputs sharing the batch name
        "shared": save(helper.make_graph(
            [helper.make_node("Add", ["a", "c"], ["s"])], "shared",
            [helper.make_tensor_value_info("a", F, ["n", 3]), helper.make_tensor_value_info("c", F, ["n", 3])],
            [helper.make_tensor_value_info("s", F, ["n", 3])]), folder, "shared.onnx"),
        # an output whose size depends on the input values
        "nonzero": save(helper.make_graph(
            [helper.make_node("NonZero", ["x"], ["y"])], "nonzero",
            [helper.make_tensor_value_info("x", F, [4])], [helper.make_tensor_value_info("y", TensorProto.INT64, None)]),
            folder, "nonzero.onnx"),
    }
    return made


def run_affine(m, x):
    vn.inputs(m)[0][...] = x
    m.run()
    return vn.outputs(m)[0].copy()


# ---- pinned through dims and through shapes ------------------------------------------------------


@pytest.mark.parametrize("pinning", [{"dims": {"batch": 5}}, {"shapes": {"x": (5, 4)}}, {"shapes": {"x": [5, 4]}},
                                     {"dims": {"batch": 5}, "shapes": {"x": (5, 4)}},
                                     {"dims": {"batch": np.int64(5)}}, {"shapes": {"x": np.array([5, 4])}}])
@pytest.mark.parametrize("optimization", ["basic", "all"])
def test_a_named_batch_is_pinned(models, pinning, optimization):
    m = vn.load_model(models["batch"], optimization=optimization, **pinning)
    assert vn.inputs(m)[0].shape == (5, 4) and vn.outputs(m)[0].shape == (5, 3)
    x = RNG.standard_normal((5, 4)).astype(np.float32)
    np.testing.assert_allclose(run_affine(m, x), x @ W + B, rtol=1e-6, atol=1e-6)


def test_derived_output_sizes_follow_the_pinned_inputs(models):
    for pinning in ({"dims": {"batch": 2, "seq": 3}}, {"shapes": {"x": (2, 3, 2)}},
                    {"dims": {"seq": 3}, "shapes": {"x": (2, 3, 2)}}):
        m = vn.load_model(models["sequence"], **pinning)
        assert [a.shape for a in vn.outputs(m)] == [(2, 6, 2), (2, 2)]
        x = RNG.standard_normal((2, 3, 2)).astype(np.float32)
        vn.inputs(m)[0][...] = x
        m.run()
        twice, total = vn.outputs(m)
        np.testing.assert_array_equal(twice, np.concatenate([x, x], axis=1))
        np.testing.assert_allclose(total, x.sum(axis=1), rtol=1e-6)


def test_one_name_pins_every_input_that_has_it(models):
    for pinning in ({"dims": {"n": 2}}, {"shapes": {"a": (2, 3)}}, {"shapes": {"a": (2, 3), "c": (2, 3)}}):
        m = vn.load_model(models["shared"], **pinning)
        assert [a.shape for a in vn.inputs(m) + vn.outputs(m)] == [(2, 3)] * 3


def test_a_fixed_input_takes_its_own_shape_only(tmp_path):
    fixed = save(affine_graph([2, 4], [2, 3]), tmp_path, "fixed.onnx")
    for pinning in ({"shapes": {"x": (2, 4)}}, {"dims": {}}, {"shapes": {}}):
        assert vn.inputs(vn.load_model(fixed, **pinning))[0].shape == (2, 4)
    with raises_exact(ValueError, "dims names 'batch', which no input of the model has as a symbolic dimension; "
                                  "its inputs have none"):
        vn.load_model(fixed, dims={"batch": 1})


# ---- still dynamic: what to pin ------------------------------------------------------------------


def test_a_dynamic_input_left_unpinned_is_named(models):
    with raises_exact(ValueError, "input 0 'x' dimension 0 is dynamic ('batch'): pin it with dims={'batch': size} "
                                  "or give the input's whole shape with shapes={'x': (...)}"):
        vn.load_model(models["batch"])
    with raises_exact(ValueError, "input 0 'x' dimension 1 is dynamic ('seq'): pin it with dims={'seq': size} "
                                  "or give the input's whole shape with shapes={'x': (...)}"):
        vn.load_model(models["sequence"], dims={"batch": 1})


def test_an_unnamed_dynamic_dimension_cannot_be_pinned(models):
    advice = ("ONNX Runtime pins dimensions by name only: name it in the model file (for example with "
              "onnx.tools.update_model_dims.update_inputs_outputs_dims), then pin that name with dims={'name': size}")
    with raises_exact(ValueError, "input 0 'x' dimension 0 is dynamic without a symbolic name, and " + advice):
        vn.load_model(models["unnamed"])
    with raises_exact(ValueError, "shapes['x'][0]: dimension 0 of input 'x' is dynamic without a symbolic name, "
                                  "and ONNX Runtime pins dimensions by name only; name it in the model file (for "
                                  "example with onnx.tools.update_model_dims.update_inputs_outputs_dims), then pin "
                                  "that name"):
        vn.load_model(models["unnamed"], shapes={"x": (2, 4)})


def test_an_output_sized_by_values_is_refused(models):
    with pytest.raises(ValueError, match=r"^output 0 'y' dimension 1 is dynamic .* once the inputs are pinned: pin the "
                                         r"input dimensions its size derives from with dims= or shapes=; an output "
                                         r"whose size depends on the input values cannot be allocated before a run$"):
        vn.load_model(models["nonzero"])


def test_vekracore_model_keeps_onnxruntimes_failure(models):
    with pytest.raises(RuntimeError, match=r"shape.Size\(\) must"):
        vk.model(models["batch"])


# ---- refused before a session is made ------------------------------------------------------------


@pytest.mark.parametrize("kwargs, message", [
    ({"dims": {"Batch": 1}}, "dims names 'Batch', which no input of the model has as a symbolic dimension; "
                             "its inputs have 'batch'"),
    ({"dims": {"batch": 1, "seq2": 1}}, "dims names 'seq2', which no input of the model has as a symbolic "
                                        "dimension; its inputs have 'batch'"),
    ({"shapes": {"y": (1, 3)}}, "shapes['y'] names no input of the model; its inputs are 'x'"),
    ({"shapes": {"W": (4, 3)}}, "shapes['W'] names no input of the model; its inputs are 'x'"),
    ({"shapes": {"x": (1, 4, 1)}}, "shapes['x'] has 3 sizes, but input 'x' has 2 dimensions"),
    ({"shapes": {"x": (5,)}}, "shapes['x'] has 1 size, but input 'x' has 2 dimensions"),
    ({"shapes": {"x": (5, 3)}}, "shapes['x'][1] is 3, but dimension 1 of input 'x' is fixed at 4"),
    ({"dims": {"batch": 2}, "shapes": {"x": (5, 4)}}, "shapes['x'][0] pins 'batch' to 5, but dims['batch'] pins it to 2"),
])
def test_wrong_values_are_value_errors(models, kwargs, message):
    with raises_exact(ValueError, message):
        vn.load_model(models["batch"], **kwargs)


def test_pinning_needs_optimization(models):
    for pinning in ({"dims": {"batch": 2}}, {"shapes": {"x": (2, 4)}}):
        with raises_exact(ValueError, "dims and shapes need optimization 'basic' or above: ONNX Runtime pins "
                                      "dimensions as a graph optimization, which 'disable' turns off"):
            vn.load_model(models["batch"], optimization="disable", **pinning)


def test_sizes_disagreeing_between_inputs_are_refused(models):
    with raises_exact(ValueError, "shapes['c'][0] pins 'n' to 3, but shapes['a'][0] pins it to 2"):
        vn.load_model(models["shared"], shapes={"a": (2, 3), "c": (3, 3)})
    with raises_exact(ValueError, "dims names 'sequence', which no input of the model has as a symbolic dimension; "
                                  "its inputs have 'batch' and 'seq'"):
        vn.load_model(models["sequence"], dims={"batch": 1, "sequence": 2})


def test_a_missing_file_is_onnxruntimes_error_still(tmp_path):
    missing = str(tmp_path / "missing.onnx")
    with raises_exact(RuntimeError, f"Load model from {missing} failed:Load model {missing} failed. "
                                    "File doesn't exist"):
        vn.load_model(missing, dims={"batch": 1})


# ---- external data --------------------------------------------------------------------------------


@pytest.fixture
def external(tmp_path):
    """The batch model with its weights in model.onnx.data beside model.onnx."""
    folder = tmp_path / "weights here"
    folder.mkdir()
    target = save(affine_graph(["batch", 4], ["batch", 3]), folder, "model.onnx", save_as_external_data=True,
                  all_tensors_to_one_file=True, location="model.onnx.data", size_threshold=0)
    assert os.path.getsize(str(folder / "model.onnx.data")) >= W.nbytes + B.nbytes
    return target


def test_external_data_loads_by_absolute_and_relative_path(external, tmp_path, monkeypatch):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    x = RNG.standard_normal((2, 4)).astype(np.float32)
    for p in (external, os.path.relpath(external), os.path.join("..", "weights here", "model.onnx")):
        for pinning in ({"dims": {"batch": 2}}, {"shapes": {"x": (2, 4)}}):
            np.testing.assert_allclose(run_affine(vn.load_model(p, **pinning), x), x @ W + B, rtol=1e-6, atol=1e-6)


def test_a_missing_external_data_file_is_a_runtime_error(external):
    os.remove(external + ".data")
    with pytest.raises(RuntimeError, match="model.onnx.data"):
        vn.load_model(external, dims={"batch": 2})


@pytest.mark.skipif(ORT_VERSION < (1, 18), reason="the example writes IR 10, which ONNX Runtime reads from 1.18 on")
def test_the_example_runs():
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "dynamic_batch.py")
    done = subprocess.run([sys.executable, example], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip().endswith("matches numpy")


def test_any_mapping_is_read_and_its_failures_come_through(models):
    class Sizes(collections.abc.Mapping):
        def __init__(self, items, broken=False):
            self.items_, self.broken = dict(items), broken

        def __getitem__(self, key):
            if self.broken:
                raise LookupError("no size today")
            return self.items_[key]

        def __iter__(self):
            return iter(self.items_)

        def __len__(self):
            return len(self.items_)

    assert vn.inputs(vn.load_model(models["batch"], dims=Sizes({"batch": 3})))[0].shape == (3, 4)
    assert vn.inputs(vn.load_model(models["batch"], shapes=types.MappingProxyType({"x": (3, 4)})))[0].shape == (3, 4)
    with raises_exact(LookupError, "no size today"):
        vn.load_model(models["batch"], dims=Sizes({"batch": 3}, broken=True))

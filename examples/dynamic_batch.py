"""Loads a model with a dynamic batch dimension, as exporters write it, through vekra_numpy.

A two-layer perceptron is written with the onnx package at IR version 10 and opset 21 (what
torch.onnx.export gives today), its input declared ["batch", 8]. vekracore allocates every
tensor once, before any run, so the batch is pinned at load: dims={"batch": 4} (or
shapes={"x": (4, 8)}). The result is checked against the same computation in numpy."""
import os
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import vekracore  # noqa: F401  (vekra_numpy works on vekracore's model class)
import vekra_numpy as vn

rng = np.random.default_rng(0)
w1, b1 = rng.standard_normal((8, 16)).astype(np.float32), rng.standard_normal(16).astype(np.float32)
w2, b2 = rng.standard_normal((16, 3)).astype(np.float32), rng.standard_normal(3).astype(np.float32)

graph = helper.make_graph(
    [helper.make_node("Gemm", ["x", "w1", "b1"], ["h"]), helper.make_node("Relu", ["h"], ["r"]),
     helper.make_node("Gemm", ["r", "w2", "b2"], ["y"])],
    "mlp",
    [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", 8])],
    [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["batch", 3])],
    initializer=[numpy_helper.from_array(a, n) for a, n in ((w1, "w1"), (b1, "b1"), (w2, "w2"), (b2, "b2"))])
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 21)], ir_version=10)

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "mlp.onnx")
    onnx.save_model(model, path)
    m = vn.load_model(path, dims={"batch": 4})

(x,), (y,) = vn.inputs(m), vn.outputs(m)
print(f"input {vn.input_names(m)[0]} {x.shape}, output {vn.output_names(m)[0]} {y.shape}")

batch = rng.standard_normal((4, 8)).astype(np.float32)
np.copyto(x, batch)
m.run()
expected = np.maximum(batch @ w1 + b1, 0) @ w2 + b2
difference = float(np.abs(y - expected).max())
assert difference < 1e-5, difference
print(f"largest difference from numpy: {difference:.1e}; the model's output matches numpy")

"""Build a small ONNX model, then load and run it with vekracore.model.

The model computes y = W x + b for a 2 x 3 weight matrix W and a bias b, followed by a ReLU.
Loading prints the model's inputs and outputs (the discovery report) on standard output.
"""
import os
import sys
import tempfile

import onnx
from onnx import TensorProto, helper

import vekracore as vk

W = [[1.0, -2.0, 0.5], [0.0, 3.0, -1.0]]
b = [0.75, 1.0]

graph = helper.make_graph(
    [
        helper.make_node("MatMul", ["W", "x"], ["Wx"]),
        helper.make_node("Add", ["Wx", "b"], ["z"]),
        helper.make_node("Relu", ["z"], ["y"]),
    ],
    "affine_relu",
    [helper.make_tensor_value_info("x", TensorProto.FLOAT, [3, 1])],
    [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2, 1])],
    initializer=[
        helper.make_tensor("W", TensorProto.FLOAT, [2, 3], [w for row in W for w in row]),
        helper.make_tensor("b", TensorProto.FLOAT, [2, 1], b),
    ],
)
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
onnx.checker.check_model(model)

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "affine_relu.onnx")
    onnx.save(model, path)

    m = vk.model(path)  # the report goes to the process's standard output
    sys.stdout.flush()

    for x in ([1.0, 1.0, 1.0], [2.0, 0.0, -2.0]):
        for i, value in enumerate(x):
            m.set(0, [i, 0], value)  # input 0, element (i, 0)
        m.run()
        y = [m.get(0, [r, 0]) for r in range(2)]  # output 0, element (r, 0)
        print(f"x = {x} -> y = relu(W x + b) = {y}")

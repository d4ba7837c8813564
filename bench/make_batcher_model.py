"""Writes a multilayer perceptron with a dynamic batch for bench/batcher.cpp: x [N, width], two
hidden layers of `width` with relu, then 10 outputs (weights from a fixed seed).

    .venv/bin/python bench/make_batcher_model.py build/bench/mlp_256.onnx 256
"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def mlp(width):
    rng = np.random.default_rng(5)

    def weights(name, *shape):
        return numpy_helper.from_array((rng.standard_normal(shape) / np.sqrt(shape[0])).astype(np.float32), name)

    nodes = [
        helper.make_node("Gemm", ["x", "W1", "b1"], ["h1p"]),
        helper.make_node("Relu", ["h1p"], ["h1"]),
        helper.make_node("Gemm", ["h1", "W2", "b2"], ["h2p"]),
        helper.make_node("Relu", ["h2p"], ["h2"]),
        helper.make_node("Gemm", ["h2", "W3", "b3"], ["y"]),
    ]
    graph = helper.make_graph(
        nodes, "mlp",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", width])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 10])],
        [weights("W1", width, width), weights("b1", width), weights("W2", width, width), weights("b2", width),
         weights("W3", width, 10), weights("b3", 10)],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    onnx.checker.check_model(model)
    return model


if __name__ == "__main__":
    onnx.save(mlp(int(sys.argv[2])), sys.argv[1])

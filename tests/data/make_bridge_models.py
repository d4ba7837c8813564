"""Writes the models the numpy bridge tests load besides those of make_models.py.

Run with the project's venv: .venv/bin/python tests/data/make_bridge_models.py
element_types: one Identity per element type that has a numpy dtype, and one over strings.
conv_bn: Conv, BatchNormalization and Relu with random weights; ONNX Runtime's basic
optimisations fold the normalisation into the convolution, which changes the rounding.
"""

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from make_models import save

OPSET = 13
IR_VERSION = 8

ELEMENT_TYPES = {
    "float": TensorProto.FLOAT, "uint8": TensorProto.UINT8, "int8": TensorProto.INT8,
    "uint16": TensorProto.UINT16, "int16": TensorProto.INT16, "int32": TensorProto.INT32,
    "int64": TensorProto.INT64, "bool": TensorProto.BOOL, "double": TensorProto.DOUBLE,
    "uint32": TensorProto.UINT32, "uint64": TensorProto.UINT64, "string": TensorProto.STRING,
}


def _model(nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, "g", inputs, outputs, initializer=list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=IR_VERSION)
    onnx.checker.check_model(model)
    return model


def element_types():
    names = list(ELEMENT_TYPES)
    return _model(
        [helper.make_node("Identity", ["in_" + n], ["out_" + n]) for n in names],
        [helper.make_tensor_value_info("in_" + n, ELEMENT_TYPES[n], [2, 3]) for n in names],
        [helper.make_tensor_value_info("out_" + n, ELEMENT_TYPES[n], [2, 3]) for n in names],
    )


def conv_bn():
    rng = np.random.default_rng(7)

    def init(name, *shape, low=-1.0):
        return numpy_helper.from_array(rng.uniform(low, 1.0, shape).astype(np.float32), name)

    return _model(
        [
            helper.make_node("Conv", ["x", "w", "b"], ["c"], pads=[1, 1, 1, 1]),
            helper.make_node("BatchNormalization", ["c", "scale", "bias", "mean", "var"], ["n"]),
            helper.make_node("Relu", ["n"], ["y"]),
        ],
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 8, 8])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4, 8, 8])],
        [init("w", 4, 3, 3, 3), init("b", 4), init("scale", 4), init("bias", 4), init("mean", 4),
         init("var", 4, low=0.5)],
    )


MODELS = {"element_types": element_types, "conv_bn": conv_bn}


if __name__ == "__main__":
    save(MODELS)

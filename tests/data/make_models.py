"""Writes the tiny ONNX models the model tests load (tests/data/*.onnx).

Run with the project's venv: .venv/bin/python tests/data/make_models.py
The models use IR version 8 and opset 13, which ONNX Runtime 1.17 loads.
"""
import os

import onnx
from onnx import TensorProto, helper

OPSET = 13
IR_VERSION = 8
F = TensorProto.FLOAT


def _model(nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, "g", inputs, outputs, initializer=list(initializers))
    model = helper.make_model(
        graph, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=IR_VERSION
    )
    onnx.checker.check_model(model)
    return model


def _scalar(name, value):
    return helper.make_tensor(name, F, [], [value])


def affine():
    """y = 2x + 1 on a 1 x 3 tensor."""
    return _model(
        [helper.make_node("Mul", ["x", "two"], ["t"]), helper.make_node("Add", ["t", "one"], ["y"])],
        [helper.make_tensor_value_info("x", F, [1, 3])],
        [helper.make_tensor_value_info("y", F, [1, 3])],
        [_scalar("two", 2.0), _scalar("one", 1.0)],
    )


def two_inputs():
    """sum = a + b and prod = a * b on 2 x 2 tensors."""
    return _model(
        [helper.make_node("Add", ["a", "b"], ["sum"]), helper.make_node("Mul", ["a", "b"], ["prod"])],
        [helper.make_tensor_value_info("a", F, [2, 2]), helper.make_tensor_value_info("b", F, [2, 2])],
        [helper.make_tensor_value_info("sum", F, [2, 2]), helper.make_tensor_value_info("prod", F, [2, 2])],
    )


def scalar():
    """y = s * s on a tensor without dimensions."""
    return _model(
        [helper.make_node("Mul", ["s", "s"], ["y"])],
        [helper.make_tensor_value_info("s", F, [])],
        [helper.make_tensor_value_info("y", F, [])],
    )


def several_outputs():
    """Three outputs of one 2 x 3 input: relu, negation and the row sums."""
    return _model(
        [
            helper.make_node("Relu", ["x"], ["relu"]),
            helper.make_node("Neg", ["x"], ["neg"]),
            helper.make_node("ReduceSum", ["x", "axes"], ["rowsum"], keepdims=0),
        ],
        [helper.make_tensor_value_info("x", F, [2, 3])],
        [
            helper.make_tensor_value_info("relu", F, [2, 3]),
            helper.make_tensor_value_info("neg", F, [2, 3]),
            helper.make_tensor_value_info("rowsum", F, [2]),
        ],
        [helper.make_tensor("axes", TensorProto.INT64, [1], [1])],
    )


def _with_second_input(elem_type):
    """y = x + Cast(k) with x float [2] and k of the given element type [2]."""
    return _model(
        [helper.make_node("Cast", ["k"], ["kf"], to=F), helper.make_node("Add", ["x", "kf"], ["y"])],
        [helper.make_tensor_value_info("x", F, [2]), helper.make_tensor_value_info("k", elem_type, [2])],
        [helper.make_tensor_value_info("y", F, [2])],
    )


def int64_input():
    return _with_second_input(TensorProto.INT64)


def float16_input():
    return _with_second_input(TensorProto.FLOAT16)


def bfloat16_input():
    return _with_second_input(TensorProto.BFLOAT16)


def dynamic():
    """Relu over an input whose first dimension is symbolic."""
    return _model(
        [helper.make_node("Relu", ["x"], ["y"])],
        [helper.make_tensor_value_info("x", F, ["N", 3])],
        [helper.make_tensor_value_info("y", F, ["N", 3])],
    )


def no_inputs():
    """A constant output and no inputs at all."""
    value = helper.make_tensor("c", F, [2], [1.5, -2.5])
    return _model(
        [helper.make_node("Constant", [], ["y"], value=value)],
        [],
        [helper.make_tensor_value_info("y", F, [2])],
    )


def sequence_output():
    """A float input and a sequence output."""
    return _model(
        [helper.make_node("SequenceConstruct", ["x", "x"], ["ys"])],
        [helper.make_tensor_value_info("x", F, [2])],
        [helper.make_tensor_sequence_value_info("ys", F, [2])],
    )


def passthrough():
    """Outputs x and k straight from the inputs, and y = -x listed twice."""
    return _model(
        [helper.make_node("Neg", ["x"], ["y"])],
        [helper.make_tensor_value_info("x", F, [2, 2]), helper.make_tensor_value_info("k", TensorProto.INT64, [2])],
        [
            helper.make_tensor_value_info("x", F, [2, 2]),
            helper.make_tensor_value_info("y", F, [2, 2]),
            helper.make_tensor_value_info("y", F, [2, 2]),
            helper.make_tensor_value_info("k", TensorProto.INT64, [2]),
        ],
    )


def identity_graph():
    """No nodes: the one output is the input."""
    return _model([], [helper.make_tensor_value_info("x", F, [3])], [helper.make_tensor_value_info("x", F, [3])])


def string_passthrough():
    """A string input that is also the output."""
    s = helper.make_tensor_value_info("s", TensorProto.STRING, [2])
    return _model([], [s], [s])


def nul_input_name():
    """y = -x where the input's name holds a NUL: "x\0tail"."""
    return _model(
        [helper.make_node("Neg", ["x\0tail"], ["y"])],
        [helper.make_tensor_value_info("x\0tail", F, [2])],
        [helper.make_tensor_value_info("y", F, [2])],
    )


def nul_output_name():
    """y = -x where the output's name holds two NULs: "y\0\0z"."""
    return _model(
        [helper.make_node("Neg", ["x"], ["y\0\0z"])],
        [helper.make_tensor_value_info("x", F, [2])],
        [helper.make_tensor_value_info("y\0\0z", F, [2])],
    )


MODELS = {
    "affine": affine,
    "two_inputs": two_inputs,
    "scalar": scalar,
    "several_outputs": several_outputs,
    "int64_input": int64_input,
    "float16_input": float16_input,
    "bfloat16_input": bfloat16_input,
    "dynamic": dynamic,
    "no_inputs": no_inputs,
    "sequence_output": sequence_output,
    "passthrough": passthrough,
    "identity_graph": identity_graph,
    "string_passthrough": string_passthrough,
    "nul_input_name": nul_input_name,
    "nul_output_name": nul_output_name,
}


def save(models):
    """Writes each model built by models[name]() to tests/data/<name>.onnx."""
    here = os.path.dirname(os.path.abspath(__file__))
    for name, build in models.items():
        onnx.save(build(), os.path.join(here, name + ".onnx"))


if __name__ == "__main__":
    save(MODELS)

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


# Models with a batch axis, for the shared model and the batcher. "N" is the batch symbol.
I64 = TensorProto.INT64


def _ints(name, values):
    return helper.make_tensor(name, I64, [len(values)], values)


def _floats(name, dims, seed):
    """A float initializer of the given shape, values from a fixed linear recurrence."""
    count = 1
    for d in dims:
        count *= d
    values, state = [], seed
    for _ in range(count):
        state = (state * 1103515245 + 12345) % 2**31
        values.append(state / 2**31 - 0.5)
    return helper.make_tensor(name, F, dims, values)


def batch_mix():
    """A float and an int64 input with the batch on axis 0: y = relu(x W + b) [N, 3],
    kk = k * k + k [N, 2], and state = y as [1, N, 3] (the batch on axis 1, as a recurrent
    network's state)."""
    return _model(
        [
            helper.make_node("MatMul", ["x", "W"], ["xw"]),
            helper.make_node("Add", ["xw", "b"], ["pre"]),
            helper.make_node("Relu", ["pre"], ["y"]),
            helper.make_node("Mul", ["k", "k"], ["k2"]),
            helper.make_node("Add", ["k2", "k"], ["kk"]),
            helper.make_node("Unsqueeze", ["y", "axis1"], ["y3"]),
            helper.make_node("Transpose", ["y3"], ["state"], perm=[1, 0, 2]),
        ],
        [helper.make_tensor_value_info("x", F, ["N", 4]), helper.make_tensor_value_info("k", I64, ["N", 2])],
        [
            helper.make_tensor_value_info("y", F, ["N", 3]),
            helper.make_tensor_value_info("kk", I64, ["N", 2]),
            helper.make_tensor_value_info("state", F, [1, "N", 3]),
        ],
        [_floats("W", [4, 3], 7), _floats("b", [3], 11), _ints("axis1", [1])],
    )


def batch_concat():
    """twice = x [N, 3] concatenated with itself along axis 0 ([2N, 3], declared [?, 3]: no batch
    axis), and y = -x."""
    return _model(
        [helper.make_node("Concat", ["x", "x"], ["twice"], axis=0), helper.make_node("Neg", ["x"], ["y"])],
        [helper.make_tensor_value_info("x", F, ["N", 3])],
        [helper.make_tensor_value_info("twice", F, [None, 3]), helper.make_tensor_value_info("y", F, ["N", 3])],
    )


def batch_reduce():
    """total = the column sums of x [N, 3] (no batch axis: the rows cannot be told apart) and
    y = relu(x)."""
    return _model(
        [
            helper.make_node("ReduceSum", ["x", "axis0"], ["total"], keepdims=0),
            helper.make_node("Relu", ["x"], ["y"]),
        ],
        [helper.make_tensor_value_info("x", F, ["N", 3])],
        [helper.make_tensor_value_info("total", F, [3]), helper.make_tensor_value_info("y", F, ["N", 3])],
        [_ints("axis0", [0])],
    )


def batch_sequence():
    """y = relu(x) on x [N, S]: a second symbolic dimension beside the batch."""
    return _model(
        [helper.make_node("Relu", ["x"], ["y"])],
        [helper.make_tensor_value_info("x", F, ["N", "S"])],
        [helper.make_tensor_value_info("y", F, ["N", "S"])],
    )


def batch_reshape_by_input():
    """y = x [N, 4] reshaped to [-1, max(s)] with s int64 [N], declared [N, ?] (a size only the
    run knows, beside the batch): x itself while every s is 4; a run fails in Reshape once some
    row's s is larger and does not divide the element count."""
    return _model(
        [
            helper.make_node("ReduceMax", ["s"], ["m"], keepdims=1),
            helper.make_node("Concat", ["minus_one", "m"], ["target"], axis=0),
            helper.make_node("Reshape", ["x", "target"], ["y"]),
        ],
        [helper.make_tensor_value_info("x", F, ["N", 4]), helper.make_tensor_value_info("s", I64, ["N"])],
        [helper.make_tensor_value_info("y", F, ["N", None])],
        [_ints("minus_one", [-1])],
    )


def batch_uneven():
    """y = a + b with a [2, 3] and b [3]: axis 0 differs between the inputs, so no batch."""
    return _model(
        [helper.make_node("Add", ["a", "b"], ["y"])],
        [helper.make_tensor_value_info("a", F, [2, 3]), helper.make_tensor_value_info("b", F, [3])],
        [helper.make_tensor_value_info("y", F, [2, 3])],
    )


def batch_mlp():
    """A small multilayer perceptron on x [N, 64]: two hidden layers of 64 with relu, then 10
    outputs."""
    return _model(
        [
            helper.make_node("Gemm", ["x", "W1", "b1"], ["h1p"]),
            helper.make_node("Relu", ["h1p"], ["h1"]),
            helper.make_node("Gemm", ["h1", "W2", "b2"], ["h2p"]),
            helper.make_node("Relu", ["h2p"], ["h2"]),
            helper.make_node("Gemm", ["h2", "W3", "b3"], ["y"]),
        ],
        [helper.make_tensor_value_info("x", F, ["N", 64])],
        [helper.make_tensor_value_info("y", F, ["N", 10])],
        [
            _floats("W1", [64, 64], 1), _floats("b1", [64], 2), _floats("W2", [64, 64], 3),
            _floats("b2", [64], 4), _floats("W3", [64, 10], 5), _floats("b3", [10], 6),
        ],
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
    "batch_mix": batch_mix,
    "batch_concat": batch_concat,
    "batch_reduce": batch_reduce,
    "batch_sequence": batch_sequence,
    "batch_reshape_by_input": batch_reshape_by_input,
    "batch_uneven": batch_uneven,
    "batch_mlp": batch_mlp,
}


def save(models):
    """Writes each model built by models[name]() to tests/data/<name>.onnx."""
    here = os.path.dirname(os.path.abspath(__file__))
    for name, build in models.items():
        onnx.save(build(), os.path.join(here, name + ".onnx"))


if __name__ == "__main__":
    save(MODELS)

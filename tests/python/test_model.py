"""vekracore.model on the models of tests/data: the report on the C-level standard output,
results against onnxruntime from PyPI, argument conversions, errors and memory use."""
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vekracore as vk
from conftest import assert_matches_oracle, skip_under_asan
from ort_oracle import run_models

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")


def path(name):
    return os.path.join(DATA, name + ".onnx")


def in_subprocess(code):
    """Runs `code` in a fresh interpreter; returns its raw standard output and standard error."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True)
    return done.stdout, done.stderr.decode()


def report_of(name):
    """The bytes printed while constructing the model, and the error line if it failed."""
    stdout, stderr = in_subprocess(
        f"""
        import sys, vekracore
        try:
            vekracore.model({path(name)!r})
        except RuntimeError as e:
            sys.stderr.write("RuntimeError: " + str(e))
        """
    )
    return stdout, stderr


def lines(*entries):
    return "".join(e + "\n" for e in entries).encode()


def tensor_lines(direction, i, name, dims, is_float=True):
    shape = ", ".join(str(d) for d in dims)
    out = [f"Vekra::Onnx::Model:: {direction} name {i} '{name}'", f"Vekra::Onnx::Model:: {direction} shape {i} '{{{shape}}}'"]
    if is_float:
        out.append("Vekra::Onnx::MakeTensor:: making tensor of type 'float'")
    return out


@pytest.mark.parametrize(
    "name, expected",
    [
        ("affine", tensor_lines("input", 0, "x", [1, 3]) + tensor_lines("output", 0, "y", [1, 3])),
        (
            "two_inputs",
            tensor_lines("input", 0, "a", [2, 2]) + tensor_lines("input", 1, "b", [2, 2])
            + tensor_lines("output", 0, "sum", [2, 2]) + tensor_lines("output", 1, "prod", [2, 2]),
        ),
        ("scalar", tensor_lines("input", 0, "s", []) + tensor_lines("output", 0, "y", [])),
        (
            "int64_input",
            tensor_lines("input", 0, "x", [2]) + tensor_lines("input", 1, "k", [2], is_float=False)
            + tensor_lines("output", 0, "y", [2]),
        ),
        ("no_inputs", tensor_lines("output", 0, "y", [2])),
    ],
)
def test_report_is_byte_exact(name, expected):
    stdout, stderr = report_of(name)
    assert stderr == ""
    assert stdout == lines(*expected)


def test_report_before_a_failed_construction():
    before = tensor_lines("input", 0, "x", [2]) + tensor_lines("input", 1, "k", [2], is_float=False)
    for name, kind in (("float16_input", "FLOAT16"), ("bfloat16_input", "BFLOAT16")):
        stdout, stderr = report_of(name)
        assert stdout == lines(*before)
        assert stderr == f"RuntimeError: Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_{kind}'"

    stdout, stderr = report_of("dynamic")
    assert stdout == lines("Vekra::Onnx::Model:: input name 0 'x'", "Vekra::Onnx::Model:: input shape 0 '{-1, 3}'")
    assert stderr.startswith("RuntimeError: ") and "shape.Size() must" in stderr

    stdout, stderr = report_of("sequence_output")
    assert stdout == lines(*tensor_lines("input", 0, "x", [2]), "Vekra::Onnx::Model:: output name 0 'ys'")
    assert stderr == "RuntimeError: output 0 'ys' is of kind sequence, not a tensor"

    stdout, stderr = report_of("missing")
    assert stdout == b""
    assert stderr == f"RuntimeError: Load model from {path('missing')} failed:Load model {path('missing')} failed. File doesn't exist"


def run_model(name, inputs, output_shapes):
    """Sets every element of the float inputs (a list, None for a tensor left alone), runs,
    and reads every element of the outputs."""
    m = vk.model(path(name))
    for i, array in enumerate(inputs):
        if array is not None:
            for location in np.ndindex(*array.shape):
                m.set(i, list(location), float(array[location]))
    m.run()
    results = []
    for o, shape in enumerate(output_shapes):
        result = np.zeros(shape, dtype=np.float32)
        for location in np.ndindex(*shape):
            result[location] = m.get(o, list(location))
        results.append(result)
    return results


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_outputs_equal_onnxruntime(seed):
    rng = np.random.default_rng(seed)

    def rand(*shape):
        return np.asarray(rng.standard_normal(shape) * 10, dtype=np.float32)

    x = rand(1, 3)
    cases = [
        ("affine", {"x": x}, [x]),
        ("scalar", {"s": rand()}, None),
        ("several_outputs", {"x": rand(2, 3)}, None),
    ]
    a, b = rand(2, 2), rand(2, 2)
    cases.append(("two_inputs", {"a": a, "b": b}, [a, b]))
    x2 = rand(2)
    # k is never set: it is zero-filled, and the oracle is given zeros
    cases.append(("int64_input", {"x": x2, "k": np.zeros(2, np.int64)}, [x2, None]))
    results = run_models([(path(name), feeds) for name, feeds, _ in cases])
    for (name, feeds, inputs), expected in zip(cases, results):
        got = run_model(name, inputs if inputs is not None else list(feeds.values()), [e.shape for e in expected])
        for e, g in zip(expected, got):
            assert_matches_oracle(g, e, err_msg=name)


def test_tensors_start_zero_filled_and_inputs_persist():
    m = vk.model(path("two_inputs"))
    assert [m.get(o, [i, j]) for o in (0, 1) for i in (0, 1) for j in (0, 1)] == [0.0] * 8
    m.set(0, [1, 1], 3.0)
    m.run()  # b was never set: 3 + 0 and 3 * 0
    assert [m.get(0, [1, 1]), m.get(1, [1, 1]), m.get(0, [0, 0])] == [3.0, 0.0, 0.0]
    m.set(1, [1, 1], 2.0)
    m.run()  # a keeps its value from before
    assert [m.get(0, [1, 1]), m.get(1, [1, 1])] == [5.0, 6.0]


def test_argument_conversions():
    m = vk.model(path("several_outputs"))
    m.set(0, (0, 1), 2)  # a tuple location and an int value
    m.set(0, [1, True], 0.1)
    m.run()
    assert m.get(0, (0, 1)) == 2.0
    assert m.get(0, [1, 1]) == 0.10000000149011612  # the float nearest 0.1, widened
    assert m.get(True, [1, 1]) == -0.10000000149011612

    scalar = vk.model(path("scalar"))
    scalar.set(0, [], 1.5)
    scalar.run()
    assert scalar.get(0, ()) == 2.25

    with pytest.raises(TypeError):
        m.set(-1, [0, 0], 1.0)
    with pytest.raises(TypeError):
        m.set(0, [0.5, 0], 1.0)
    with pytest.raises(TypeError):
        m.set(0.0, [0, 0], 1.0)
    with pytest.raises(TypeError):
        m.set(0, "ab", 1.0)
    with pytest.raises(TypeError):
        m.set(0, [0, 0], "1.0")


def test_path_types():
    encoded = path("affine").encode()
    for p in (encoded, bytearray(encoded)):
        m = vk.model(p)
        m.run()
        assert m.get(0, [0, 0]) == 1.0
    for p in (3, None, [path("affine")]):
        with pytest.raises(TypeError):
            vk.model(p)
    with pytest.raises(RuntimeError, match="^model path contains a NUL character$"):
        vk.model(path("affine") + "\0.onnx")


def test_non_ascii_path(tmp_path):
    target = tmp_path / "modèle ü.onnx"
    with open(path("affine"), "rb") as src:
        target.write_bytes(src.read())
    m = vk.model(str(target))
    m.set(0, [0, 2], 4.0)
    m.run()
    assert m.get(0, [0, 2]) == 9.0


def test_access_errors():
    m = vk.model(path("int64_input"))
    with pytest.raises(IndexError, match=re.escape("input number 2 out of range: the model has 2 inputs")):
        m.set(2, [0], 1.0)
    with pytest.raises(IndexError, match=re.escape("output number 1 out of range: the model has 1 output")):
        m.get(1, [0])
    with pytest.raises(IndexError):
        m.get(2**64 - 1, [0])
    with pytest.raises(RuntimeError, match=re.escape("input 1 'k' is not a float tensor")):
        m.set(1, [0], 1.0)
    with pytest.raises(RuntimeError, match="^invalid location range$"):
        m.set(0, [2], 1.0)
    with pytest.raises(RuntimeError, match="^invalid location range$"):
        m.get(0, [-1])
    with pytest.raises(RuntimeError, match="^location dimensions do not match shape size$"):
        m.get(0, [0, 0])
    empty = vk.model(path("no_inputs"))
    with pytest.raises(IndexError):
        empty.set(0, [0], 1.0)
    empty.run()
    assert [empty.get(0, [0]), empty.get(0, [1])] == [1.5, -2.5]


@skip_under_asan
def test_loading_and_running_do_not_grow_memory():
    # In a fresh process, with the report sent to /dev/null: warm up, then load and destroy
    # models and run many inferences, comparing the resident set size before and after.
    code = f"""
        import gc, sys, vekracore
        def rss_kib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4
        def cycle(loads, runs):
            for _ in range(loads):
                m = vekracore.model({path("two_inputs")!r})
                del m
            m = vekracore.model({path("two_inputs")!r})
            for n in range(runs):
                m.set(0, [n % 2, 1], float(n))
                m.run()
                m.get(1, [1, 1])
            for _ in range(loads):
                try:
                    vekracore.model({path("float16_input")!r})
                except RuntimeError:
                    pass
            gc.collect()
        cycle(50, 2000)
        before = rss_kib()
        cycle(300, 60000)
        sys.stderr.write(str(rss_kib() - before))
        """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=True)
    growth_kib = int(done.stderr.decode().strip().splitlines()[-1])
    # Observed: under 1 MiB. Leaking the run options of every run alone would add about
    # 6.5 MiB here, a leaked session per load far more.
    assert growth_kib < 4 * 1024, f"resident set grew by {growth_kib} KiB"


def test_outputs_that_are_inputs_or_repeated_hold_the_runs_result():
    stdout, stderr = report_of("passthrough")
    assert stderr == ""
    assert stdout == lines(*tensor_lines("input", 0, "x", [2, 2]), *tensor_lines("input", 1, "k", [2], is_float=False),
                           *tensor_lines("output", 0, "x", [2, 2]), *tensor_lines("output", 1, "y", [2, 2]),
                           *tensor_lines("output", 2, "y", [2, 2]), *tensor_lines("output", 3, "k", [2], is_float=False))
    x = np.array([[1.5, -2], [3, 4.25]], dtype=np.float32)
    for scale in (1, -3):
        got = run_model("passthrough", [scale * x, None], [(2, 2)] * 3)
        np.testing.assert_array_equal(got[0], scale * x)
        np.testing.assert_array_equal(got[1], -scale * x)
        np.testing.assert_array_equal(got[2], -scale * x)
    (y,) = run_model("identity_graph", [np.array([1, 2, 3], dtype=np.float32)], [(3,)])
    assert y.tolist() == [1, 2, 3]
    with pytest.raises(RuntimeError, match=re.escape("output 0 's' is input 0, a string tensor, which the model cannot copy")):
        vk.model(path("string_passthrough"))


def test_names_with_a_nul_are_refused_before_their_report_line():
    stdout, stderr = report_of("nul_input_name")
    assert (stdout, stderr) == (b"", "RuntimeError: input 0 'x\\0tail' has a NUL character in its name")
    stdout, stderr = report_of("nul_output_name")
    assert stdout == lines(*tensor_lines("input", 0, "x", [2]))
    assert stderr == "RuntimeError: output 0 'y\\0\\0z' has a NUL character in its name"

"""ONNX's own backend node tests, shipped inside the onnx package, run through vekracore.model.

A case takes part when every input and output is a float tensor of fixed shape and onnxruntime
(PyPI, graph optimisation disabled) loads it and runs it on test_data_set_0. Every input
element is set, and every output element is compared with the expected data at ONNX's own
backend-test tolerance (or, where onnxruntime itself departs from that data, with
onnxruntime's result, exactly).
"""
import glob
import os

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import numpy_helper

import vekracore as vk

NODE_TESTS = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "node")


def load_tensors(case_dir, prefix):
    files = sorted(glob.glob(os.path.join(case_dir, "test_data_set_0", prefix + "_*.pb")),
                   key=lambda f: int(f.rsplit("_", 1)[1].split(".")[0]))
    return [numpy_helper.to_array(onnx.load_tensor(f)) for f in files]


def fixed_float(meta):
    return meta.type == "tensor(float)" and all(isinstance(d, int) for d in meta.shape)


def eligible_cases():
    ort.set_default_logger_severity(4)
    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    options.log_severity_level = 4
    cases = []
    for case_dir in sorted(glob.glob(os.path.join(NODE_TESTS, "test_*"))):
        try:
            session = ort.InferenceSession(os.path.join(case_dir, "model.onnx"), options,
                                           providers=["CPUExecutionProvider"])
        except Exception:  # onnxruntime cannot load it: not a case for us either
            continue
        inputs, outputs = session.get_inputs(), session.get_outputs()
        if not all(fixed_float(m) for m in inputs + outputs):
            continue
        data = load_tensors(case_dir, "input")
        if len(data) != len(inputs):
            continue
        try:
            session.run(None, {m.name: a for m, a in zip(inputs, data)})
        except Exception:
            continue
        cases.append(os.path.basename(case_dir))
    return cases


CASES = eligible_cases()

# Cases where onnxruntime 1.17.3 itself disagrees with ONNX's expected data (its seeded random
# stream, DFT from opset 19, Resize with align_corners on downsampling). For these the runner
# must reproduce onnxruntime's result exactly instead.
RUNTIME_DIFFERS = {
    "test_bernoulli_seed",
    "test_bernoulli_seed_expanded",
    "test_dft_axis_opset19",
    "test_dft_inverse_opset19",
    "test_dft_opset19",
    "test_resize_downsample_scales_cubic_align_corners",
    "test_resize_downsample_scales_linear_align_corners",
}


def close(got, want):
    return np.allclose(got, want, rtol=1e-3, atol=1e-7, equal_nan=True)


def runtime_result(case_dir, inputs):
    """onnxruntime's outputs from a fresh session, as the runner's are."""
    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    session = ort.InferenceSession(os.path.join(case_dir, "model.onnx"), options,
                                   providers=["CPUExecutionProvider"])
    return session.run(None, {m.name: a for m, a in zip(session.get_inputs(), inputs)})


def test_enough_cases_are_eligible():
    # 461 with onnx 1.15.0 and onnxruntime 1.17.3; a sharp drop means the selection broke.
    assert len(CASES) > 400


@pytest.mark.parametrize("case", CASES)
def test_node_case(case):
    case_dir = os.path.join(NODE_TESTS, case)
    inputs = load_tensors(case_dir, "input")
    expected = load_tensors(case_dir, "output")
    m = vk.model(os.path.join(case_dir, "model.onnx"))
    for i, array in enumerate(inputs):
        for location, value in zip(np.ndindex(*array.shape), array.ravel().tolist()):
            m.set(i, location, value)
    m.run()
    got = [np.array([m.get(o, location) for location in np.ndindex(*want.shape)],
                    dtype=np.float32).reshape(want.shape) for o, want in enumerate(expected)]
    if case in RUNTIME_DIFFERS:
        reference = runtime_result(case_dir, inputs)
        assert not all(close(r, e) for r, e in zip(reference, expected)), "onnxruntime agrees now"
        for o, (g, r) in enumerate(zip(got, reference)):
            np.testing.assert_array_equal(g, r, err_msg=f"output {o}")
    else:
        for o, (g, e) in enumerate(zip(got, expected)):
            np.testing.assert_allclose(g, e, rtol=1e-3, atol=1e-7, err_msg=f"output {o}")

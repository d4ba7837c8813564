"""ONNX's own backend node tests, shipped inside the onnx package, run through vekracore.model.

A case takes part when every input and output is a float tensor of fixed shape and onnxruntime
(PyPI, graph optimisation disabled) loads it and runs it on test_data_set_0. Every input
element is set, and every output element is compared with the expected data at ONNX's own
backend-test tolerance (or, where onnxruntime itself departs from that data, with
onnxruntime's result, exactly).
"""
import os

import numpy as np
import onnx
import pytest

import vekracore as vk
from conftest import ORT_VERSION, assert_matches_oracle
from ort_oracle import NODE_TESTS_RELATIVE, eligible_node_cases, load_node_tensors, run_models

NODE_TESTS = os.path.join(os.path.dirname(onnx.__file__), NODE_TESTS_RELATIVE)
CASES = eligible_node_cases()

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


# Cases whose expected data (onnx 1.15.0) the ONNX Runtime releases after 1.17 no longer match:
# average pooling with ceil_mode and count_include_pad divides the last window by another count.
NEWER_RUNTIME_DIFFERS = {
    "test_averagepool_3d_dilations_large_count_include_pad_is_1_ceil_mode_is_True",
}


def close(got, want):
    return np.allclose(got, want, rtol=1e-3, atol=1e-7, equal_nan=True)


# Per onnx release (its node tests differ): how many cases at least take part, and which of
# RUNTIME_DIFFERS do not. 461 with onnx 1.15.0 (Python 3.9); 303 with onnx 1.18.0, which writes
# many of its tests, the seeded Bernoulli ones among them, with IR versions the runtime predates.
ELIGIBLE = {(1, 15): (400, set()), (1, 18): (280, {"test_bernoulli_seed", "test_bernoulli_seed_expanded"})}


def test_enough_cases_are_eligible():
    # a sharp drop means the selection broke
    least, absent = ELIGIBLE[tuple(int(p) for p in onnx.__version__.split(".")[:2])]
    assert len(CASES) > least
    assert RUNTIME_DIFFERS - absent <= set(CASES)


@pytest.mark.parametrize("case", CASES)
def test_node_case(case):
    if case in NEWER_RUNTIME_DIFFERS and ORT_VERSION > (1, 17, 3):
        pytest.skip(f"ONNX Runtime {ORT_VERSION} no longer matches this case's expected data")
    case_dir = os.path.join(NODE_TESTS, case)
    model_path = os.path.join(case_dir, "model.onnx")
    inputs = load_node_tensors(case_dir, "input")
    expected = load_node_tensors(case_dir, "output")
    m = vk.model(model_path)
    for i, array in enumerate(inputs):
        for location, value in zip(np.ndindex(*array.shape), array.ravel().tolist()):
            m.set(i, location, value)
    m.run()
    got = [np.array([m.get(o, location) for location in np.ndindex(*want.shape)],
                    dtype=np.float32).reshape(want.shape) for o, want in enumerate(expected)]
    if case in RUNTIME_DIFFERS:
        names = [v.name for v in onnx.load(model_path).graph.input]
        (reference,) = run_models([(model_path, dict(zip(names, inputs)))])
        assert not all(close(r, e) for r, e in zip(reference, expected)), "onnxruntime agrees now"
        for o, (g, r) in enumerate(zip(got, reference)):
            assert_matches_oracle(g, r, err_msg=f"output {o}")
    else:
        for o, (g, e) in enumerate(zip(got, expected)):
            np.testing.assert_allclose(g, e, rtol=1e-3, atol=1e-7, err_msg=f"output {o}")

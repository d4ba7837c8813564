"""onnxruntime from PyPI as the tests' oracle, always run in a child interpreter.

The child never inherits LD_PRELOAD: the PyPI build of onnxruntime cannot be imported into an
interpreter that has the AddressSanitizer runtime preloaded (as for the sanitizer test run),
while vekracore in the parent can. Sessions are created with graph optimisation disabled, as
vekracore.model creates its own.
"""
import glob
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

NODE_TESTS_RELATIVE = os.path.join("backend", "test", "data", "node")
# The newest ONNX IR version that every ONNX Runtime the module is built on loads (1.17.3, the
# oldest, stops at 9). Newer onnx packages write some of their node tests with later IR
# versions, which the oracle (a newer onnxruntime) would run.
RUNTIME_MAX_IR_VERSION = 9


def _child(args):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([sys.executable, os.path.abspath(__file__)] + args, env=env,
                          capture_output=True, check=True)
    return done.stdout


def run_models(jobs):
    """Runs each (model path, {input name: array}) job in a fresh session; returns, per job,
    the list of output arrays in output order."""
    with tempfile.TemporaryDirectory() as folder:
        feeds = os.path.join(folder, "feeds.npz")
        results = os.path.join(folder, "results.npz")
        arrays = {f"{j}/{name}": a for j, (_, f) in enumerate(jobs) for name, a in f.items()}
        np.savez(feeds, **arrays)
        _child(["run", feeds, results] + [p for p, _ in jobs])
        with np.load(results) as data:
            return [[data[f"{j}/{k}"] for k in range(int(data[f"{j}/count"]))] for j in range(len(jobs))]


def eligible_node_cases():
    """Names of the onnx package's backend node tests whose inputs and outputs are all float
    tensors of fixed shape, whose IR version the module's runtime loads, and which onnxruntime
    loads and runs on test_data_set_0."""
    return json.loads(_child(["eligible"]))


# ---- the child's side --------------------------------------------------------------------


def _session(path):
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    options.log_severity_level = 4
    return ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])


def load_node_tensors(case_dir, prefix):
    import onnx
    from onnx import numpy_helper

    files = sorted(glob.glob(os.path.join(case_dir, "test_data_set_0", prefix + "_*.pb")),
                   key=lambda f: int(f.rsplit("_", 1)[1].split(".")[0]))
    return [numpy_helper.to_array(onnx.load_tensor(f)) for f in files]


def _run(feeds_path, results_path, model_paths):
    results = {}
    with np.load(feeds_path) as feeds:
        for j, path in enumerate(model_paths):
            session = _session(path)
            outputs = session.run(None, {m.name: feeds[f"{j}/{m.name}"] for m in session.get_inputs()})
            results[f"{j}/count"] = np.array(len(outputs))
            results.update({f"{j}/{k}": o for k, o in enumerate(outputs)})
    np.savez(results_path, **results)


def _eligible():
    import onnx
    import onnxruntime as ort

    ort.set_default_logger_severity(4)
    root = os.path.join(os.path.dirname(onnx.__file__), NODE_TESTS_RELATIVE)
    cases = []
    for case_dir in sorted(glob.glob(os.path.join(root, "test_*"))):
        if onnx.load(os.path.join(case_dir, "model.onnx"), load_external_data=False).ir_version > RUNTIME_MAX_IR_VERSION:
            continue
        try:
            session = _session(os.path.join(case_dir, "model.onnx"))
        except Exception:  # onnxruntime cannot load it
            continue
        inputs, outputs = session.get_inputs(), session.get_outputs()
        if not all(m.type == "tensor(float)" and all(isinstance(d, int) for d in m.shape)
                   for m in inputs + outputs):
            continue
        data = load_node_tensors(case_dir, "input")
        if len(data) != len(inputs):
            continue
        try:
            session.run(None, {m.name: a for m, a in zip(inputs, data)})
        except Exception:
            continue
        cases.append(os.path.basename(case_dir))
    return cases


if __name__ == "__main__":
    if sys.argv[1] == "run":
        _run(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif sys.argv[1] == "eligible":
        sys.stdout.write(json.dumps(_eligible()))

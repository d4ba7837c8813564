"""Runs a model-zoo network from the onnx package through vekra_numpy with a numpy input:
loaded with ONNX Runtime's optimisations, input written straight into the model's tensor,
output read as an array. Prints the scores, checked against onnxruntime's, and the latency
against onnxruntime."""
import os
import statistics
import time

import numpy as np
import onnx
import onnxruntime as ort  # type: ignore[import-untyped]

import vekracore  # noqa: F401  (vekra_numpy works on vekracore's model class)
import vekra_numpy as vn

path = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light", "light_squeezenet.onnx")
image = np.random.default_rng(0).uniform(0, 1, (1, 3, 224, 224)).astype(np.float32)

m = vn.load_model(path, optimization="all", threads=1)
(x,), (scores,) = vn.inputs(m), vn.outputs(m)
print(f"{os.path.basename(path)}: {vn.input_names(m)[0]} {x.shape} {x.dtype} -> "
      f"{vn.output_names(m)[0]} {scores.shape}")


def ours():
    np.copyto(x, image)
    m.run()
    return scores.copy()


options = ort.SessionOptions()
options.intra_op_num_threads = 1
session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])


def theirs():
    return session.run(None, {"data_0": image})[0]


# The onnx package's "light" networks have the real architectures but placeholder weights, not
# trained ones: every one of the 1000 classes gets the same score, so there is no top-5 to read.
# What can be checked is that vekracore computes what onnxruntime's InferenceSession computes.
ours_scores, their_scores = ours().ravel(), theirs().ravel()
difference = float(np.abs(ours_scores - their_scores).max())
assert difference <= 1e-6, difference
print(f"scores: {ours_scores.size} classes, from {ours_scores.min():.4f} to {ours_scores.max():.4f} (placeholder "
      f"weights, so no class stands out); onnxruntime {ort.__version__} gives the same scores "
      f"(largest difference {difference:.1e})")


def median_ms(functions, n=15):
    """Median milliseconds per call of each function, timed in turns."""
    times: list[list[float]] = [[] for _ in functions]
    for _ in range(n):
        for f, t in zip(functions, times):
            t0 = time.perf_counter()
            f()
            t.append(time.perf_counter() - t0)
    return [statistics.median(t) * 1e3 for t in times]


t_ours, t_theirs = median_ms([ours, theirs])
print(f"latency, input in and output out: vekra_numpy {t_ours:.2f} ms, onnxruntime {t_theirs:.2f} ms "
      f"({t_ours / t_theirs:.2f}x), one thread each, optimization 'all'")

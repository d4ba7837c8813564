"""Runs a model-zoo network from the onnx package through vekra_numpy with a numpy input:
loaded with ONNX Runtime's optimisations, input written straight into the model's tensor,
output read as an array. Prints the top-5 classes and the latency against onnxruntime."""
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


assert np.array_equal(ours(), theirs())
# The "light" networks carry constant weights, so every class scores the same here; the
# stable sort then lists the first five.
top5 = np.argsort(-ours().ravel(), kind="stable")[:5]
print("top-5 classes:", top5.tolist(), "scores:", [f"{s:.4f}" for s in ours().ravel()[top5]])


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

"""Runs one small network from a thread pool and from asyncio, one model per worker.

Models loaded by vekra_numpy.load_model release the interpreter lock while they run, so the
threads' runs proceed in parallel, and `await vekra_numpy.run_async(m)` keeps the event loop
free while a model runs. Each worker owns its model: a model's tensors are shared by every
thread that uses it. The results are checked against numpy."""
import asyncio
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import vekracore  # noqa: F401  (vekra_numpy works on vekracore's model class)
import vekra_numpy as vn

rng = np.random.default_rng(0)
w1, w2 = rng.standard_normal((32, 64)).astype(np.float32), rng.standard_normal((64, 4)).astype(np.float32)
graph = helper.make_graph(
    [helper.make_node("MatMul", ["x", "w1"], ["h"]), helper.make_node("Relu", ["h"], ["r"]),
     helper.make_node("MatMul", ["r", "w2"], ["y"])],
    "mlp",
    [helper.make_tensor_value_info("x", TensorProto.FLOAT, [8, 32])],
    [helper.make_tensor_value_info("y", TensorProto.FLOAT, [8, 4])],
    initializer=[numpy_helper.from_array(w1, "w1"), numpy_helper.from_array(w2, "w2")])
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)

requests = [rng.standard_normal((8, 32)).astype(np.float32) for _ in range(16)]
expected = [np.maximum(x @ w1, 0) @ w2 for x in requests]


def infer(m, x):
    """One request on a model that only the calling worker uses."""
    np.copyto(vn.inputs(m)[0], x)
    m.run()  # without the interpreter lock
    return vn.outputs(m)[0].copy()


async def serve(models, xs):
    async def one(m, x):
        np.copyto(vn.inputs(m)[0], x)
        await vn.run_async(m)  # the loop answers other tasks meanwhile
        return vn.outputs(m)[0].copy()

    results = []
    for batch in range(0, len(xs), len(models)):  # one request per model at a time
        results += await asyncio.gather(*(one(m, x) for m, x in zip(models, xs[batch:])))
    return results


with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "mlp.onnx")
    onnx.save_model(model, path)
    models = [vn.load_model(path, threads=1) for _ in range(2)]

with ThreadPoolExecutor(max_workers=2) as pool:
    # worker k serves requests k, k + 2, ... on models[k]
    halves = [pool.submit(lambda k: [infer(models[k], x) for x in requests[k::2]], k) for k in range(2)]
    threaded = [None] * len(requests)
    for k, half in enumerate(halves):
        threaded[k::2] = half.result()

awaited = asyncio.run(serve(models, requests))

for name, results in (("thread pool", threaded), ("asyncio", awaited)):
    difference = max(float(np.abs(r - e).max()) for r, e in zip(results, expected))
    assert difference < 1e-4, (name, difference)
    print(f"{name}: {len(results)} requests on 2 models, largest difference from numpy {difference:.1e}")

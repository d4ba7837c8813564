"""Batch inference on Dask: the light squeezenet of the onnx package over 512 random images in
chunks of 16, one intra-op thread and optimization "all" everywhere.

    .venv/bin/python bench/bench_dask.py [--images 512] [--repeat 2]

Times one process looping over the images (vekra_numpy), then vekra_dask.map_model on a
LocalCluster of 1 and of 2 worker processes (one thread each), and the same clusters running
onnxruntime's InferenceSession in a task function that keeps one session per worker process.
The images are made on the workers (a seeded dask random array), so no image crosses a process
boundary; each cluster runs once untimed (models load) before the timed runs, whose best is
kept. Replaces its section of results.md.
"""
import argparse
import glob
import logging
import os
import sys
import time

import numpy as np
import results_section  # noqa: E402  (bench/ is on sys.path when run as a script)

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Batch inference on Dask (bench_dask.py)"
CHUNK = 16


def squeezenet():
    import onnx

    folder = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
    return glob.glob(os.path.join(folder, "light_squeezenet.onnx"))[0]


def images(count, seed=0):
    import dask.array as da

    return da.random.default_rng(seed).random((count, 3, 224, 224), dtype=np.float32, chunks=(CHUNK, 3, 224, 224))


# onnxruntime in a task: one session per worker process, kept in this module (imported by name
# on the workers), fed one image at a time as the model's fixed batch of 1 asks.
_sessions = {}


def ort_chunk(block, path):
    import onnxruntime as ort

    session = _sessions.get(path)
    if session is None:
        options = ort.SessionOptions()
        options.intra_op_num_threads = 1
        options.inter_op_num_threads = 1
        options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        session = _sessions[path] = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
    name = session.get_inputs()[0].name
    return np.concatenate([session.run(None, {name: block[i:i + 1]})[0] for i in range(len(block))])


def on_ort(x, path):
    return x.map_blocks(ort_chunk, path, dtype=np.float32, chunks=(x.chunks[0], (1000,), (1,), (1,)),
                        meta=np.empty((0, 0, 0, 0), np.float32))


def on_vekra(x, path):
    import vekra_dask
    import vekra_numpy as vn

    (y,) = vekra_dask.map_model(vn.ModelSpec(path, threads=1, optimization="all"), x)
    return y


def loop_here(path, count):
    import vekra_numpy as vn

    x = images(count).compute(scheduler="sync")
    model = vn.load_model(path, threads=1, optimization="all")
    fill, out = vn.inputs(model)[0], vn.outputs(model)[0]
    result = np.empty((count,) + out.shape[1:], np.float32)
    start = time.perf_counter()
    for i in range(count):
        fill[...] = x[i:i + 1]
        model.run()
        result[i] = out[0]
    return time.perf_counter() - start, result


def forgotten(client, timeout=60):
    deadline = time.monotonic() + timeout
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        if time.monotonic() > deadline:
            raise RuntimeError("the scheduler still holds tasks of the last run")
        time.sleep(0.05)


def on_cluster(workers, build, path, count, repeat):
    import distributed

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        client.wait_for_workers(workers, timeout=120)
        y = build(images(count), path)
        client.compute(y, sync=True)  # loads the models
        best, result = float("inf"), None
        for _ in range(repeat):
            forgotten(client)  # else the next run may find the results still held
            start = time.perf_counter()
            result = client.compute(y, sync=True)
            best = min(best, time.perf_counter() - start)
        return best, result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--images", type=int, default=512)
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    import onnxruntime
    import vekra_numpy  # noqa: F401

    path, n = squeezenet(), args.images
    load_before = os.getloadavg()[0]
    rows = []
    t, reference = loop_here(path, n)
    rows.append(("vekra_numpy, one process looping", "-", t))
    results = {}
    for engine, build in (("vekra_dask.map_model", on_vekra), ("onnxruntime InferenceSession in a task", on_ort)):
        for workers in (1, 2):
            t, result = on_cluster(workers, build, path, n, args.repeat)
            np.testing.assert_allclose(result, reference, rtol=1e-5, atol=1e-6)
            results[engine, workers] = t
            rows.append((engine, str(workers), t))
    vekra1, vekra2 = results["vekra_dask.map_model", 1], results["vekra_dask.map_model", 2]
    ort1, ort2 = (results["onnxruntime InferenceSession in a task", w] for w in (1, 2))
    lines = [f"## {TITLE}", "",
             f"The light squeezenet (onnx {__import__('onnx').__version__}), {n} random images in chunks of "
             f"{CHUNK}, one intra-op thread, optimization 'all'; onnxruntime {onnxruntime.__version__} from "
             f"PyPI beside vekracore's bundled runtime. Best of {args.repeat} after an untimed run that loads "
             f"the models; on a shared 2-core machine whose 1-minute load average was "
             f"{load_before:.1f} before and {os.getloadavg()[0]:.1f} after the run (other jobs beside it: above 2, "
             "the workers wait for a core and the figures say little).", "",
             "| engine | workers | time, s | images/s |", "|---|---|---|---|"]
    lines += [f"| {e} | {w} | {t:.2f} | {n / t:.1f} |" for e, w, t in rows]
    lines += ["", f"- 2 workers against 1 (vekra_dask): {vekra1 / vekra2:.2f}x the throughput (target at least 1.8x); "
                  f"onnxruntime: {ort1 / ort2:.2f}x",
              f"- vekra_dask against onnxruntime on Dask: {ort1 / vekra1:.2f}x the throughput with 1 worker, "
              f"{ort2 / vekra2:.2f}x with 2 (target at least 1.0x)",
              "- every Dask result equals the one-process loop (rtol 1e-5)"]
    print("\n".join(lines))
    target = results_section.splice(TITLE, lines)
    print("wrote", target)


if __name__ == "__main__":
    # Run as the module bench_dask, so that the workers import ort_chunk (and its sessions) by name.
    sys.path.insert(0, HERE)
    import bench_dask

    bench_dask.main()

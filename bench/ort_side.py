"""onnxruntime's side of bench_numpy.py, in a child interpreter that has the onnxruntime
release vekracore bundles (PyPI has none of the newer releases for the Python vekracore is
built for). One JSON request per line on stdin, one JSON answer per line on stdout:
  {"load": path, "level": "ORT_ENABLE_ALL"}  a session with one intra-op thread and random inputs
  {"time": "run" | "binding", "number": n}   seconds taken by n end-to-end calls of the session
  {"version": true}                          onnxruntime's version and this interpreter's
End to end as in bench_numpy: session.run(None, feeds) (new output arrays), or IOBinding with
the inputs bound from numpy and the preallocated outputs copied out."""
import json
import platform
import sys
import time

import numpy as np
import onnxruntime as ort  # type: ignore[import-untyped]

TYPES = {"tensor(float)": np.float32, "tensor(double)": np.float64, "tensor(int64)": np.int64}


def load(path, level):
    options = ort.SessionOptions()
    options.graph_optimization_level = getattr(ort.GraphOptimizationLevel, level)
    options.intra_op_num_threads = 1
    session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
    rng = np.random.default_rng(3)
    feeds = {i.name: rng.uniform(0, 1, i.shape).astype(TYPES[i.type]) for i in session.get_inputs()}
    outputs = [np.empty(o.shape, TYPES[o.type]) for o in session.get_outputs()]
    binding = session.io_binding()
    for o, y in zip(session.get_outputs(), outputs):
        binding.bind_output(o.name, "cpu", 0, y.dtype, y.shape, y.ctypes.data)

    def run():
        return session.run(None, feeds)

    def bound():
        for name, x in feeds.items():
            binding.bind_cpu_input(name, x)
        session.run_with_iobinding(binding)
        return [y.copy() for y in outputs]

    return {"run": run, "binding": bound}


def main():
    calls = {}
    for line in sys.stdin:
        request = json.loads(line)
        if "load" in request:
            calls = load(request["load"], request["level"])
            answer = {"ok": True}
        elif "time" in request:
            f, number = calls[request["time"]], request["number"]
            t0 = time.perf_counter()
            for _ in range(number):
                f()
            answer = {"seconds": time.perf_counter() - t0}
        else:
            answer = {"onnxruntime": ort.__version__, "python": platform.python_version()}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

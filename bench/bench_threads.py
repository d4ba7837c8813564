"""Inference throughput from several Python threads: vekracore (models from vekra_numpy.load_model,
whose runs release the interpreter lock) against onnxruntime's InferenceSession.run.

Configurations, each for a fixed wall-clock time, every session with one intra-op thread:
  1, 2, 4 threads   each thread its own model (session) of the network
  2 shared          two threads on one model (session)
One call is end to end: fill the input from numpy, run, copy the outputs out to numpy
  vekracore    np.copyto(vekra_numpy.inputs(m)[0], x); m.run(); [o.copy() for o in outputs]
  onnxruntime  session.run(None, {name: x})             (returns new arrays)
Two threads sharing one vekracore model serialise their write-run-read sequences with a
threading.Lock, as a caller must (a model's tensors are shared); two threads sharing one
onnxruntime session call session.run concurrently, which onnxruntime allows.

onnxruntime's side runs the release vekracore bundles when --ort-python names an interpreter that
has it (scripts/bench-venv.sh makes one; PyPI has the newer releases only for newer Pythons): this
script then serves onnxruntime's measurements in that child interpreter (--serve), one after the
other with vekracore's. Without it, the onnxruntime of this interpreter is measured in-process.

Run alone: `.venv/bin/python bench/bench_threads.py [--seconds S] [--ort-python PY]`; it replaces
the "Threads" section of bench/results.md and draws bench/threads.png.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import json_child  # noqa: E402  (bench/ is on sys.path when run as a script)
import results_section  # noqa: E402  (bench/ is on sys.path when run as a script)

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Threads"
CONFIGS = (("1", 1, False), ("2", 2, False), ("4", 4, False), ("2 shared", 2, True))


# ---- the measurement, the same on both sides ----------------------------------------------------

def throughput(calls, seconds):
    """Calls per second of all `calls` together, each callable looped in its own thread for
    `seconds` (every call begun before the end is finished and counted)."""
    start = threading.Barrier(len(calls) + 1)
    stop = threading.Event()
    counts = [0] * len(calls)

    def body(k):
        call, n = calls[k], 0
        start.wait()
        while not stop.is_set():
            call()
            n += 1
        counts[k] = n

    threads = [threading.Thread(target=body, args=(k,)) for k in range(len(calls))]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def feeds_for(shapes, seed=3):
    rng = np.random.default_rng(seed)
    return [rng.uniform(0, 1, shape).astype(np.float32) for shape in shapes]


class OrtCalls:
    """End-to-end calls of onnxruntime sessions of one model file."""

    def __init__(self, path):
        import onnxruntime as ort  # type: ignore[import-untyped]

        self.ort, self.path, self.sessions = ort, path, []

    def session(self):
        options = self.ort.SessionOptions()
        options.graph_optimization_level = self.ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        options.intra_op_num_threads = 1
        options.log_severity_level = 3
        session = self.ort.InferenceSession(self.path, options, providers=["CPUExecutionProvider"])
        meta = session.get_inputs()
        feeds = dict(zip([i.name for i in meta], feeds_for([i.shape for i in meta])))
        session.run(None, feeds)
        return lambda: session.run(None, feeds)

    def calls(self, threads, shared):
        while len(self.sessions) < (1 if shared else threads):
            self.sessions.append(self.session())
        return [self.sessions[0 if shared else k] for k in range(threads)]


class VekraCalls:
    """End-to-end calls of vekracore models of one model file (vekra_numpy.load_model)."""

    def __init__(self, path):
        self.path, self.models, self.lock = path, [], threading.Lock()

    def model(self):
        import vekra_numpy as vn

        m = vn.load_model(self.path, threads=1)
        inputs, outputs = vn.inputs(m), vn.outputs(m)
        feeds = feeds_for([x.shape for x in inputs])

        def call():
            for x, value in zip(inputs, feeds):
                np.copyto(x, value)
            m.run()
            return [y.copy() for y in outputs]

        call()
        return call

    def calls(self, threads, shared):
        while len(self.models) < (1 if shared else threads):
            self.models.append(self.model())
        if not shared:
            return self.models[:threads]
        call, lock = self.models[0], self.lock

        def serialised():
            with lock:
                return call()

        return [serialised] * threads


def serve():
    """onnxruntime's side in a child interpreter: one JSON request per line on stdin, one JSON
    answer per line on stdout.
      {"version": true}                                        onnxruntime's version and Python's
      {"path": p, "threads": n, "shared": b, "seconds": s}     {"rate": calls per second}"""
    import onnxruntime as ort  # type: ignore[import-untyped]

    current = None
    for line in sys.stdin:
        request = json.loads(line)
        if "version" in request:
            answer = {"onnxruntime": ort.__version__, "python": platform.python_version()}
        else:
            if current is None or current.path != request["path"]:
                current = None
                current = OrtCalls(request["path"])
            answer = {"rate": throughput(current.calls(request["threads"], request["shared"]), request["seconds"])}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


class OrtChild(json_child.JsonChild):
    def __init__(self, python):
        super().__init__([python, os.path.abspath(__file__), "--serve"], "the onnxruntime side")

    def rate(self, path, threads, shared, seconds):
        return self.ask({"path": path, "threads": threads, "shared": shared, "seconds": seconds})["rate"]

    def close(self):
        self.child.stdin.close()
        self.child.wait()


class OrtHere:
    def __init__(self):
        import onnxruntime as ort  # type: ignore[import-untyped]

        self.versions = {"onnxruntime": ort.__version__, "python": platform.python_version()}
        self.current = None

    def rate(self, path, threads, shared, seconds):
        if self.current is None or self.current.path != path:
            self.current = None
            self.current = OrtCalls(path)
        return throughput(self.current.calls(threads, shared), seconds)

    def close(self):
        self.current = None


# ---- the report -------------------------------------------------------------------------------

def networks(folder):
    sys.path.insert(0, HERE)
    from bench_numpy import light_models, small_models

    mlp = [entry for entry in small_models(folder, np.random.default_rng(3)) if entry[0].startswith("MLP")]
    return light_models() + mlp


def measure(seconds, ort_python):
    """Rows of (network, {config: (vekracore rate, onnxruntime rate)}), and the versions."""
    side = OrtChild(ort_python) if ort_python else OrtHere()
    rows = []
    try:
        with tempfile.TemporaryDirectory() as folder:
            for name, path in networks(folder):
                ours, rates = VekraCalls(path), {}
                for k, (label, threads, shared) in enumerate(CONFIGS):
                    # each side goes first in every other configuration
                    if k % 2 == 0:
                        v = throughput(ours.calls(threads, shared), seconds)
                        o = side.rate(path, threads, shared, seconds)
                    else:
                        o = side.rate(path, threads, shared, seconds)
                        v = throughput(ours.calls(threads, shared), seconds)
                    rates[label] = (v, o)
                    print(f"  {name} {label}: vekracore {v:.1f}/s, onnxruntime {o:.1f}/s ({v / o:.2f})",
                          file=sys.stderr, flush=True)
                rows.append((name, rates))
                del ours
    finally:
        side.close()
    return rows, side.versions


def section(seconds, ort_python):
    import vekracore  # noqa: F401 - loads the bundled ONNX Runtime, whose version is reported

    sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
    from conftest import ORT_VERSION

    load_before = os.getloadavg()[0]
    rows, versions = measure(seconds, ort_python)
    load_after = os.getloadavg()[0]
    bundled = ".".join(map(str, ORT_VERSION))
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    lines = ["", f"## {TITLE}", "",
             f"Inference calls per second, end to end (fill the input from numpy, run, copy the outputs out), "
             f"summed over all threads, each configuration run for {seconds:g} s, once; every session has one "
             f"intra-op thread. `N`: N Python threads, each with its own model; `2 shared`: two threads on one "
             f"model (vekracore's serialise their write-run-read sequences with a lock; onnxruntime's call "
             f"session.run concurrently). Ratios are vekracore's throughput over onnxruntime's (above 1: "
             f"vekracore faster).", "",
             f"vekracore (Python {platform.python_version()}) runs on the ONNX Runtime {bundled} it bundles; "
             f"onnxruntime is {versions['onnxruntime']} from PyPI on Python {versions['python']}"
             + (", in a child interpreter measured in turns with vekracore" if ort_python else ", in this interpreter")
             + f". {cpu}, {os.cpu_count()} logical cores, shared with other work while this ran (load average "
             f"{load_before:.1f} before, {load_after:.1f} after): the figures are noisy, the ratios measured "
             f"side by side are the ones to read, and {os.cpu_count()} cores bound what more threads can add.", ""]
    header = ["network"]
    for label, _, _ in CONFIGS:
        header += [f"{label}: vekracore/s", "ort/s", "÷"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "---|" * len(header))
    for name, rates in rows:
        cells = [name]
        for label, _, _ in CONFIGS:
            v, o = rates[label]
            cells += [f"{v:.1f}", f"{o:.1f}", f"{v / o:.2f}"]
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    scaling = [rates["2"][0] / rates["1"][0] for _, rates in rows]
    lines.append(f"vekracore's 2-thread throughput over its 1-thread throughput: {min(scaling):.2f} to "
                 f"{max(scaling):.2f}; 2-thread ratio to onnxruntime: "
                 f"{min(r['2'][0] / r['2'][1] for _, r in rows):.2f} to {max(r['2'][0] / r['2'][1] for _, r in rows):.2f}.")
    lines.append("")
    draw(rows, versions["onnxruntime"])
    return lines


def draw(rows, version):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(12, 4.5))
    names = [name for name, _ in rows]
    xs = np.arange(len(names))
    width = 0.8 / len(CONFIGS)
    for k, (label, _, _) in enumerate(CONFIGS):
        ratios = [rates[label][0] / rates[label][1] for _, rates in rows]
        ax.bar(xs + (k - (len(CONFIGS) - 1) / 2) * width, ratios, width, label=f"{label} thread(s)")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.axhline(0.95, color="grey", linewidth=0.8, linestyle="--")
    ax.set_xticks(xs)
    ax.set_xticklabels(names, rotation=30, ha="right")
    ax.set_ylabel(f"vekracore ÷ onnxruntime {version} throughput")
    ax.set_title("Inference throughput from Python threads, one intra-op thread per session")
    ax.legend(ncol=len(CONFIGS))
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(os.path.join(HERE, "threads.png"), dpi=90)


def splice(lines):
    """Replaces (or appends) this section in bench/results.md."""
    return results_section.splice(TITLE, lines)


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=2.0, help="wall-clock time of each configuration")
    ap.add_argument("--ort-python", help="an interpreter with the onnxruntime release vekracore bundles")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve()
    else:
        print("wrote", splice(section(args.seconds, args.ort_python)))

"""Model I/O through vekra_numpy against onnxruntime, side by side in one process.

End to end per call: fill the input from a numpy array, run, copy the outputs out to numpy.
  vekracore    np.copyto(vekra_numpy.inputs(m)[0], x); m.run(); [o.copy() for o in outputs]
  ort run      session.run(None, {name: x})             (returns new arrays)
  ort binding  binding.bind_cpu_input(name, x); session.run_with_iobinding(binding);
               [y.copy() for y in preallocated outputs]
Every session gets one intra-op thread (vekra_numpy.load_model(..., threads=1) and
SessionOptions.intra_op_num_threads = 1), so the 2-core machine's load matters less. The
candidates are timed in turns within every repeat, and the medians compared.

onnxruntime's side runs the release vekracore bundles: PyPI has it only for newer Pythons, so
with --ort-python (scripts/bench.sh passes the interpreter of its bench venv) it runs in that
child interpreter (bench/ort_side.py), timed there in the same turns. The onnxruntime of this
interpreter (1.17.3 on Python 3.9) is timed beside it with session.run, which shows what the
newer release changed (the networks with LRN).

Called by bench.py (a section of results.md and bench/models.png); run alone
(`.venv/bin/python bench/bench_numpy.py [--quick]`) it replaces that section in the existing
results.md and redraws the chart.
"""
import argparse
import glob
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import vekracore as vk
import vekra_numpy as vn
import json_child  # noqa: E402  (bench/ is on sys.path when run as a script)
import results_section  # noqa: E402  (bench/ is on sys.path when run as a script)

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "numpy bridge and model I/O"
LEVELS = {"disable": "ORT_DISABLE_ALL", "all": "ORT_ENABLE_ALL"}


def interleaved(candidates, repeat, budget=0.1):
    """Median seconds per call of each candidate, timed in turns; each repeat starts with the
    next candidate, so none always runs first (after the others). A candidate is a callable,
    or a Timer (which times `number` calls itself, as in another process)."""
    timers = {k: f if isinstance(f, Timer) else Timer(lambda n, f=f: _time(f, n)) for k, f in candidates.items()}
    number = 1
    slowest = max(timers.values(), key=lambda t: t(1))
    while slowest(number) < budget / 5 and number < 1 << 16:
        number *= 4
    times = {k: [] for k in timers}
    order = list(timers)
    for r in range(repeat):
        for k in order[r % len(order):] + order[:r % len(order)]:
            times[k].append(timers[k](number) / number)
    return {k: statistics.median(v) for k, v in times.items()}


class Timer:
    """Seconds taken by `number` calls, measured by `seconds(number)`."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __call__(self, number):
        return self.seconds(number)


class OrtSide(json_child.JsonChild):
    """onnxruntime in a child interpreter (bench/ort_side.py), one session at a time."""

    def __init__(self, python):
        super().__init__([python, os.path.join(HERE, "ort_side.py")], "bench/ort_side.py")

    def load(self, path, level):
        self.ask({"load": path, "level": LEVELS[level]})
        return {kind: Timer(lambda n, kind=kind: self.ask({"time": kind, "number": n})["seconds"])
                for kind in ("run", "binding")}


def _time(f, number):
    t0 = time.perf_counter()
    for _ in range(number):
        f()
    return time.perf_counter() - t0


def light_models():
    import onnx

    folder = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
    paths = sorted(glob.glob(os.path.join(folder, "light_*.onnx")))
    return [(os.path.basename(p)[len("light_"):-len(".onnx")], p) for p in paths]


def small_models(folder, rng):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    def save(name, nodes, inputs, outputs, inits=()):
        model = helper.make_model(helper.make_graph(nodes, name, inputs, outputs, list(inits)),
                                  opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
        path = os.path.join(folder, name + ".onnx")
        onnx.save(model, path)
        return path

    f = TensorProto.FLOAT
    weights = [numpy_helper.from_array(rng.standard_normal(s).astype(np.float32), n)
               for n, s in (("w1", (64, 256)), ("b1", (256,)), ("w2", (256, 10)), ("b2", (10,)))]
    mlp = save("mlp", [helper.make_node("MatMul", ["x", "w1"], ["h0"]), helper.make_node("Add", ["h0", "b1"], ["h1"]),
                       helper.make_node("Relu", ["h1"], ["h2"]), helper.make_node("MatMul", ["h2", "w2"], ["h3"]),
                       helper.make_node("Add", ["h3", "b2"], ["y"])],
               [helper.make_tensor_value_info("x", f, [1, 64])], [helper.make_tensor_value_info("y", f, [1, 10])],
               weights)
    relu = save("relu", [helper.make_node("Relu", ["x"], ["y"])], [helper.make_tensor_value_info("x", f, [1, 64])],
                [helper.make_tensor_value_info("y", f, [1, 64])])
    # alexnet's first LRN alone: the operator whose kernel got slower after onnxruntime 1.20
    lrn = save("lrn", [helper.make_node("LRN", ["x"], ["y"], size=5, alpha=1e-4, beta=0.75, bias=1.0)],
               [helper.make_tensor_value_info("x", f, [1, 96, 55, 55])],
               [helper.make_tensor_value_info("y", f, [1, 96, 55, 55])])
    return [("MLP 64-256-10", mlp), ("Relu on 64 floats", relu), ("LRN alone, 96x55x55", lrn)]


def end_to_end(path, level, rng, repeat, side=None):
    """Per-call medians: "ours", onnxruntime's "run" and "binding" (in `side` if given, else in
    this interpreter), and, with a side, this interpreter's onnxruntime "run_here"."""
    import onnxruntime as ort

    m = vn.load_model(path, optimization=level, threads=1)
    inp, outs = vn.inputs(m)[0], vn.outputs(m)
    name = vn.input_names(m)[0]
    x = rng.standard_normal(inp.shape).astype(inp.dtype)

    def ours():
        np.copyto(inp, x)
        m.run()
        return [o.copy() for o in outs]

    options = ort.SessionOptions()
    options.graph_optimization_level = getattr(ort.GraphOptimizationLevel, LEVELS[level])
    options.intra_op_num_threads = 1
    options.log_severity_level = 3
    session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
    binding = session.io_binding()
    preallocated = [np.empty(o.shape, np.float32) for o in session.get_outputs()]
    for meta, y in zip(session.get_outputs(), preallocated):
        binding.bind_output(meta.name, "cpu", 0, np.float32, list(y.shape), y.ctypes.data)

    def ort_run():
        return session.run(None, {name: x})

    def ort_binding():
        binding.bind_cpu_input(name, x)
        session.run_with_iobinding(binding)
        return [y.copy() for y in preallocated]

    for r, o, b in zip(ours(), ort_run(), ort_binding()):  # same results before timing
        np.testing.assert_allclose(r, o, rtol=1e-4, atol=1e-5)
        np.testing.assert_allclose(r, b, rtol=1e-4, atol=1e-5)
    if side is None:
        return interleaved({"ours": ours, "run": ort_run, "binding": ort_binding}, repeat)
    return interleaved({"ours": ours, **side.load(path, level), "run_here": ort_run}, repeat)


def fill_alone(path, repeat):
    m = vn.load_model(path, threads=1)
    inp = vn.inputs(m)[0]
    x = np.random.default_rng(0).standard_normal(inp.shape).astype(np.float32)
    plain = np.empty_like(x)
    locations = [list(loc) for loc in np.ndindex(*inp.shape)]
    t = interleaved({"bridge": lambda: np.copyto(inp, x), "copyto": lambda: np.copyto(plain, x)}, repeat)
    values = x.ravel().tolist()
    t0 = time.perf_counter()
    for loc, v in zip(locations, values):
        m.set(0, loc, v)
    t["set"] = time.perf_counter() - t0
    return t, x.size, x.nbytes


def ms(s):
    return f"{s * 1e3:.2f}"


def us(s):
    return f"{s * 1e6:.2f}"


def section(report, quick=False, ort_python=None):
    """Adds the section to `report` (bench.py's Report) and draws bench/models.png."""
    import onnxruntime as ort

    rng = np.random.default_rng(3)
    repeat = 3 if quick else 9
    side = OrtSide(ort_python) if ort_python else None
    here = ort.__version__
    there = side.versions["onnxruntime"] if side else here
    report.section(TITLE, "Medians of interleaved timings, one intra-op thread per session; ratios are "
                   "vekracore's time over onnxruntime's (below 1: vekracore faster). End to end = fill the "
                   "input from numpy, run, copy the outputs out to numpy.")
    where = (f"onnxruntime {there} from PyPI on Python {side.versions['python']}, in a child interpreter "
             f"timed in the same turns" if side else f"onnxruntime {here} from PyPI, in this interpreter")
    report.lines.append(f"vekracore runs on the ONNX Runtime library it bundles; onnxruntime's columns are {where}"
                        + (f"; the last two columns are onnxruntime {here}'s session.run in this interpreter "
                           "(the release before the LRN slowdown, see bench/README.md)" if side else "")
                        + ". The machine is shared with other work: ratios are the figures to read.")
    report.lines.append("")
    rows, chart = [], {level: [] for level in LEVELS}
    models = light_models()
    with tempfile.TemporaryDirectory() as folder:
        for name, path in models + small_models(folder, rng):
            small = not any(name == n for n, _ in models)
            for level in LEVELS:
                t = end_to_end(path, level, rng, repeat, side)
                fmt = us if small else ms
                row = [name, level, fmt(t["ours"]), fmt(t["run"]), fmt(t["binding"]),
                       f"{t['ours'] / t['run']:.2f}", f"{t['ours'] / t['binding']:.2f}"]
                if side:
                    row += [fmt(t["run_here"]), f"{t['ours'] / t['run_here']:.2f}"]
                rows.append(row)
                if not small:
                    chart[level].append((name, t))
                print(f"  {name} {level}: {t['ours'] * 1e3:.3f} / {t['run'] * 1e3:.3f} / {t['binding'] * 1e3:.3f} ms",
                      file=sys.stderr)
        header = ["model", "level", "vekracore", f"ort {there} run", f"ort {there} IOBinding", "÷ run", "÷ IOBinding"]
        if side:
            header += [f"ort {here} run", f"÷ {here} run"]
        report.table(header, rows)
        report.lines.append("Times in ms for the model-zoo networks, µs for the MLP, the Relu and the LRN.")
        report.lines.append("")
        t, count, nbytes = fill_alone(dict(models)["squeezenet"], repeat)
        report.lines.append(f"Filling squeezenet's input ({count} floats, {nbytes / 2**20:.2f} MiB):")
        report.lines.append("")
        report.table(["fill", "µs", "÷ np.copyto"],
                     [["np.copyto into vekra_numpy.inputs(m)[0]", us(t["bridge"]), f"{t['bridge'] / t['copyto']:.2f}"],
                      ["np.copyto between plain arrays (same bytes)", us(t["copyto"]), "1.00"],
                      [f"{count} m.set() calls", us(t["set"]), f"{t['set'] / t['copyto']:.0f}"]])
    draw(chart, there)
    return rows


def draw(chart, version):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(chart), figsize=(12, 4.5), sharey=True)
    for ax, (level, entries) in zip(axes, chart.items()):
        names = [n for n, _ in entries]
        xs = np.arange(len(names))
        for k, (key, label) in enumerate((("ours", "vekracore (vekra_numpy)"), ("run", f"onnxruntime {version} run"),
                                          ("binding", f"onnxruntime {version} IOBinding"))):
            ax.bar(xs + (k - 1) * 0.27, [t[key] * 1e3 for _, t in entries], 0.27, label=label)
        ax.set_xticks(xs)
        ax.set_xticklabels(names, rotation=40, ha="right")
        ax.set_yscale("log")
        ax.set_title(f'optimization="{level}"')
        ax.grid(axis="y", alpha=0.3)
    axes[0].set_ylabel("end-to-end latency per inference, ms (log)")
    axes[0].legend()
    fig.tight_layout()
    fig.savefig(os.path.join(HERE, "models.png"), dpi=90)


def splice(lines):
    """Replaces (or appends) this section in bench/results.md."""
    return results_section.splice(TITLE, lines)


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    from bench import Report

    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    ap.add_argument("--ort-python", help="an interpreter with the onnxruntime release vekracore bundles")
    args = ap.parse_args()
    report = Report()
    section(report, args.quick, args.ort_python)
    print("wrote", splice([line for line in report.lines]))

"""Side-by-side benchmarks of vekracore against numpy, scipy and onnxruntime.

Everything runs in one process, so each ratio compares figures taken under the same machine
load. Writes bench/results.md (medians and ratios), bench/gemm.png (gemm throughput) and
bench/models.png (end-to-end model latency, from bench_numpy.py).
Nothing here asserts on time.
"""
import argparse
import gc
import os
import platform
import resource
import statistics
import sys
import tempfile
import time

import numpy as np
import scipy.linalg
import scipy.linalg.blas as sblas
import scipy.linalg.lapack as slapack
from threadpoolctl import threadpool_info, threadpool_limits

import vekracore as vk

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_numpy  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DTYPES = {"s": np.float32, "d": np.float64, "c": np.complex64, "z": np.complex128}


def per_call(fn, number=None, repeat=7, budget=0.05):
    """Median seconds per call of fn() over `repeat` timed batches."""
    if number is None:
        number = 1
        while True:
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            if time.perf_counter() - t0 > budget / 5 or number >= 1 << 22:
                break
            number *= 4
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return statistics.median(times)


def fill(container, array):
    flat = np.asarray(array).ravel(order="F")
    if hasattr(container, "dim") and container.__class__.__name__.startswith("mat"):
        rows = container.dim(0)
        for k, x in enumerate(flat):
            container[k % rows, k // rows] = x.item()
    else:
        for k, x in enumerate(flat):
            container[k] = x.item()
    return container


def make(kind, suffix, n, rng):
    dtype = DTYPES[suffix]
    data = rng.standard_normal(n).astype(dtype)
    if suffix in "cz":
        data = data + 1j * rng.standard_normal(n).astype(dtype)
    if kind == "vec":
        return fill(getattr(vk, "vec" + suffix)(n), data), data
    if kind == "view":
        base = getattr(vk, "vec" + suffix)(n + 2)
        view = base[1 : n + 1]
        return fill(view, data), data
    return fill(getattr(vk, "mat" + suffix)(n, 1), data), data


def us(seconds):
    return f"{seconds * 1e6:.2f}"


class Report:
    def __init__(self):
        self.lines = []

    def section(self, title, text=""):
        self.lines += ["", f"## {title}", ""] + ([text, ""] if text else [])
        print(f"\n== {title}", flush=True)

    def table(self, header, rows):
        self.lines.append("| " + " | ".join(header) + " |")
        self.lines.append("|" + "---|" * len(header))
        for row in rows:
            self.lines.append("| " + " | ".join(str(c) for c in row) + " |")
            print("  " + "  ".join(str(c) for c in row), flush=True)
        self.lines.append("")


def machine(report, threads):
    info = threadpool_info()
    blas = "; ".join(
        f"{i.get('filepath', '?').split('/')[-1]} ({i.get('internal_api')}, {i.get('architecture')}, "
        f"{i.get('num_threads')} threads)" for i in info)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    report.lines += [
        "# vekracore benchmarks", "",
        f"- CPU: {cpu}, {os.cpu_count()} logical cores",
        f"- Python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}",
        f"- BLAS libraries loaded: {blas}",
        f"- BLAS threads pinned to {threads} for every library (threadpoolctl) during the throughput runs; "
        "call-overhead runs use the same setting",
        f"- OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')}",
        "- Figures are medians of 7 timed batches; ratios are vekracore time / peer time "
        "(below 1 means vekracore is faster), or throughput ratios where stated.",
    ]


def call_overhead(report, rng):
    report.section("Call overhead on tiny operands (n = 16)",
                   "µs per call. `position` is the overload's place in its function's chain (1-based).")
    n = 16
    rows = []
    chain = {name: [line for line in getattr(vk, name).__doc__.splitlines() if line[:1].isdigit()]
             for name in ("axpy", "dot", "scale", "gemv")}

    def position(name, args):
        names = [f"vekracore.{type(a).__name__}" for a in args if type(a).__module__ == "vekracore"]
        for line in chain[name]:
            if all(f"arg{k}: {nm}" in line for k, nm in
                   zip(range(len(args) - len(names), len(args)), names)):
                return int(line.split(".")[0])
        return "?"

    for suffix in "sdcz":
        dtype = DTYPES[suffix]
        p = {"s": "s", "d": "d", "c": "c", "z": "z"}[suffix]
        scal = 2.0 + 0.5j if suffix in "cz" else 2.0
        x_np = (rng.standard_normal(n) + (1j * rng.standard_normal(n) if suffix in "cz" else 0)).astype(dtype)
        y_np = x_np.copy()
        a_np = np.asfortranarray(rng.standard_normal((n, n)).astype(dtype))
        s_axpy, s_dot = getattr(sblas, p + "axpy"), getattr(sblas, p + ("dotu" if suffix in "cz" else "dot"))
        s_scal, s_gemv = getattr(sblas, p + "scal"), getattr(sblas, p + "gemv")
        peers = {
            "axpy": per_call(lambda: s_axpy(x_np, y_np, a=scal)),
            "dot": per_call(lambda: s_dot(x_np, y_np)),
            "scale": per_call(lambda: s_scal(scal, x_np)),
            "gemv": per_call(lambda: s_gemv(scal, a_np, x_np, beta=scal, y=y_np, overwrite_y=1)),
        }
        numpy_expr = {
            "axpy": per_call(lambda: np.add(scal * x_np, y_np, out=y_np)),
            "dot": per_call(lambda: np.dot(x_np, y_np)),
            "scale": per_call(lambda: np.multiply(x_np, scal, out=x_np)),
            "gemv": per_call(lambda: np.add(scal * (a_np @ x_np), scal * y_np, out=y_np)),
        }
        A = fill(getattr(vk, "mat" + suffix)(n, n), a_np)
        for kind in ("vec", "view", "mat"):
            x, _ = make(kind, suffix, n, rng)
            y, _ = make(kind, suffix, n, rng)
            cases = {
                "axpy": ((scal, x, y), lambda: vk.axpy(scal, x, y)),
                "dot": ((x, y), lambda: vk.dot(x, y)),
                "scale": ((scal, x), lambda: vk.scale(scal, x)),
                "gemv": ((scal, scal, A, x, y), lambda: vk.gemv(scal, scal, A, x, y)),
            }
            for name, (args, fn) in cases.items():
                t = per_call(fn)
                rows.append([name, f"{suffix}/{kind}", position(name, args), us(t), us(peers[name]),
                             f"{t / peers[name]:.2f}", us(numpy_expr[name]), f"{t / numpy_expr[name]:.2f}"])
    # the far end of the longest chain, with scalars that need the conversion pass
    Az = fill(vk.matz(n, n), np.ones((n, n)))
    xz, yz = vk.matz(n, 1), vk.matz(n, 1)
    a_np = np.ones((n, n), dtype=np.complex128, order="F")
    x_np = np.ones(n, dtype=np.complex128)
    zg = per_call(lambda: sblas.zgemv(1.0, a_np, x_np, beta=1.0, y=x_np.copy()))
    t_first = per_call(lambda: vk.gemv(1 + 0j, 1 + 0j, Az, xz, yz))
    t_second = per_call(lambda: vk.gemv(1.0, 1.0, Az, xz, yz))
    rows.append(["gemv (complex scalars)", "z/mat,mat,mat", 108, us(t_first), us(zg), f"{t_first / zg:.2f}",
                 "", ""])
    rows.append(["gemv (float scalars: conversion pass)", "z/mat,mat,mat", 108, us(t_second), us(zg),
                 f"{t_second / zg:.2f}", "", ""])
    report.table(["function", "type/kind", "position", "vekracore µs", "scipy.linalg.blas µs", "ratio",
                  "numpy µs", "ratio"], rows)
    return rows


def element_access(report, rng):
    report.section("Element access", "µs per operation, against numpy scalar indexing on an array of the same type.")
    rows = []
    for suffix in "sdcz":
        dtype = DTYPES[suffix]
        v, arr = getattr(vk, "vec" + suffix)(100), np.zeros(100, dtype=dtype)
        m, marr = getattr(vk, "mat" + suffix)(10, 10), np.zeros((10, 10), dtype=dtype, order="F")
        val = 1.5 + 1j if suffix in "cz" else 1.5
        cases = [
            ("v[i] read", lambda: v[7], lambda: arr[7]),
            ("v[i] = x", lambda: v.__setitem__(7, val), lambda: arr.__setitem__(7, val)),
            ("m[i, j] read", lambda: m[3, 4], lambda: marr[3, 4]),
            ("m[i, j] = x", lambda: m.__setitem__((3, 4), val), lambda: marr.__setitem__((3, 4), val)),
            ("v[a:b] slice", lambda: v[10:20], lambda: arr[10:20]),
        ]
        for name, ours, theirs in cases:
            a, b = per_call(ours), per_call(theirs)
            rows.append([name, suffix, us(a), us(b), f"{a / b:.2f}"])
    report.table(["operation", "type", "vekracore µs", "numpy µs", "ratio"], rows)


def gemm_throughput(report, rng, threads, sizes):
    report.section("gemm throughput", f"GFLOP/s on square matrices, {threads} BLAS thread(s) for both libraries; "
                   "ratio = vekracore / numpy.matmul throughput (above 1 means vekracore is faster).")
    rows, curves = [], {}
    plan = [("s", sizes), ("d", sizes), ("z", [n for n in sizes if n <= 1024])]
    peak = 0.0
    for suffix, ns in plan:
        dtype = DTYPES[suffix]
        flops_per = 8 if suffix in "cz" else 2
        for n in ns:
            a = np.asfortranarray(rng.standard_normal((n, n)).astype(dtype))
            b = np.asfortranarray(rng.standard_normal((n, n)).astype(dtype))
            out = np.empty((n, n), dtype=dtype, order="F")
            A, X, Y = (getattr(vk, "mat" + suffix)(n, n) for _ in range(3))
            one, zero = (1 + 0j, 0j) if suffix in "cz" else (1.0, 0.0)
            budget = 0.3
            t_vk = per_call(lambda: vk.gemm(one, zero, A, X, Y), repeat=5, budget=budget)
            t_np = per_call(lambda: np.matmul(a, b, out=out), repeat=5, budget=budget)
            flops = flops_per * n ** 3
            g_vk, g_np = flops / t_vk / 1e9, flops / t_np / 1e9
            peak = max(peak, g_vk, g_np) if suffix == "d" else peak
            curves.setdefault(suffix, []).append((n, g_vk, g_np))
            rows.append([suffix, n, f"{g_vk:.1f}", f"{g_np:.1f}", f"{g_vk / g_np:.2f}"])
    report.table(["type", "n", "vekracore GFLOP/s", "numpy GFLOP/s", "ratio"], rows)
    best = {s: max(max(g for _, g, _ in c), max(g for _, _, g in c)) for s, c in curves.items()}
    report.lines.append("Practical peak (best figure either library reached): " +
                        ", ".join(f"{s}: {g:.1f} GFLOP/s" for s, g in best.items()) + "; vekracore at n >= 512 "
                        "reaches " + ", ".join(
                            f"{s}: {min(gv for n, gv, _ in c if n >= 512) / best[s]:.0%}-"
                            f"{max(gv for n, gv, _ in c if n >= 512) / best[s]:.0%}"
                            for s, c in curves.items() if any(n >= 512 for n, _, _ in c)) + " of it.")
    report.lines.append("")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(7, 4.5))
        for s, c in curves.items():
            ns = [n for n, _, _ in c]
            ax.plot(ns, [g for _, g, _ in c], "o-", label=f"vekracore gemm ({s})")
            ax.plot(ns, [g for _, _, g in c], "x--", label=f"numpy.matmul ({s})")
        ax.set_xscale("log", base=2)
        ax.set_xlabel("n (square matrices)")
        ax.set_ylabel("GFLOP/s")
        ax.set_title(f"gemm throughput, {threads} BLAS thread(s)")
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(os.path.join(HERE, "gemm.png"), dpi=110)
        report.lines += ["![gemm throughput](gemm.png)", ""]
    except ImportError:
        pass


def least_squares(report, rng):
    report.section("Least squares", "ms per solve of one right-hand side (inputs copied fresh for every library).")
    rows = []
    for m, n in ((2000, 200), (200, 2000)):
        a = np.asfortranarray(rng.standard_normal((m, n)))
        rhs = rng.standard_normal(m)
        A = fill(vk.matd(m, n), a)
        x = vk.vecd(max(m, n))
        A_copy = vk.matd(m, n)
        X_copy = vk.vecd(max(m, n))
        fill(X_copy, np.concatenate([rhs, np.zeros(max(m, n) - m)]))

        def ours():
            vk.copy(A, A_copy)
            vk.copy(X_copy, x)
            vk.ls(A_copy, x)

        b = np.zeros(max(m, n))
        b[:m] = rhs
        cases = [
            ("vekracore ls (gels)", ours),
            ("scipy lapack dgels", lambda: slapack.dgels(a, b[:, None] if m >= n else b[:, None])),
            ("scipy lstsq gelsy", lambda: scipy.linalg.lstsq(a, rhs, lapack_driver="gelsy")),
            ("scipy lstsq gelsd", lambda: scipy.linalg.lstsq(a, rhs, lapack_driver="gelsd")),
            ("numpy lstsq", lambda: np.linalg.lstsq(a, rhs, rcond=None)),
        ]
        base = None
        for name, fn in cases:
            t = per_call(fn, repeat=5, budget=0.3)
            base = base or t
            rows.append([f"{m} x {n}", name, f"{t * 1e3:.2f}", f"{base / t:.2f}" if name != cases[0][0] else ""])
    report.table(["shape", "solver", "ms", "vekracore / this"], rows)


def model_runner(report, rng):
    import onnxruntime

    report.section("Model runner", f"µs per call; onnxruntime is the PyPI build {onnxruntime.__version__} of this "
                   "interpreter, vekracore runs on the library it bundles; both with graph optimisation disabled.")
    try:
        import onnx
        import onnxruntime as ort
        from onnx import TensorProto, helper, numpy_helper
    except ImportError:
        report.lines.append("onnx/onnxruntime not installed; skipped.")
        return
    if not hasattr(vk, "model"):
        report.lines.append("vekracore.model not available; skipped.")
        return
    tmp = tempfile.mkdtemp()
    w1 = rng.standard_normal((64, 256)).astype(np.float32)
    b1 = rng.standard_normal(256).astype(np.float32)
    w2 = rng.standard_normal((256, 10)).astype(np.float32)
    b2 = rng.standard_normal(10).astype(np.float32)
    mlp = helper.make_model(helper.make_graph(
        [helper.make_node("MatMul", ["x", "w1"], ["h0"]), helper.make_node("Add", ["h0", "b1"], ["h1"]),
         helper.make_node("Relu", ["h1"], ["h2"]), helper.make_node("MatMul", ["h2", "w2"], ["h3"]),
         helper.make_node("Add", ["h3", "b2"], ["y"])],
        "mlp", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 64])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 10])],
        [numpy_helper.from_array(w1, "w1"), numpy_helper.from_array(b1, "b1"),
         numpy_helper.from_array(w2, "w2"), numpy_helper.from_array(b2, "b2")]),
        opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    relu = helper.make_model(helper.make_graph(
        [helper.make_node("Relu", ["x"], ["y"])], "relu",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 64])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 64])]),
        opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    rows = []
    for name, proto in (("MLP 64-256-10", mlp), ("Relu on 64 floats", relu)):
        path = os.path.join(tmp, name.split()[0] + ".onnx")
        onnx.save(proto, path)
        sys.stdout.flush()
        ours = vk.model(path)
        x = rng.standard_normal((1, 64)).astype(np.float32)
        for j in range(64):
            ours.set(0, [0, j], float(x[0, j]))
        opts = ort.SessionOptions()
        opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
        sess = ort.InferenceSession(path, opts, providers=["CPUExecutionProvider"])
        t_ours = per_call(ours.run)
        t_ort = per_call(lambda: sess.run(None, {"x": x}))
        t_fill = per_call(lambda: [ours.set(0, [0, j], 0.5) for j in range(64)])
        rows.append([name, "run()", us(t_ours), us(t_ort), f"{t_ours / t_ort:.2f}"])
        rows.append([name, "run() + 64 set() calls", us(t_ours + t_fill), us(t_ort), f"{(t_ours + t_fill) / t_ort:.2f}"])
    report.table(["model", "what", "vekracore µs", "onnxruntime µs", "ratio"], rows)


def memory_growth(report, rng, calls):
    report.section("Resident memory over many small calls", f"{calls} calls each; growth of the peak RSS.")
    x, y = vk.vecd(16), vk.vecd(16)
    A = vk.matz(4, 4)
    z1, z2 = vk.vecz(4), vk.vecz(4)
    cases = [("axpy(vecd)", lambda: vk.axpy(2.0, x, y)),
             ("gemv(matz, float scalars)", lambda: vk.gemv(1.0, 0.0, A, z1, z2)),
             ("v[i] read / write", lambda: y.__setitem__(3, y[3])),
             ("slice", lambda: x[2:5]),
             ("shape error", None)]
    rows = []
    bad = vk.vecd(3)
    for name, fn in cases:
        if fn is None:
            def fn():
                try:
                    vk.gemv(1.0, 0.0, vk.matd(2, 2), bad, bad)
                except RuntimeError:
                    pass
        for _ in range(10000):
            fn()
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(calls):
            fn()
        gc.collect()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rows.append([name, calls, f"{after - before} KiB"])
    report.table(["call", "count", "peak RSS growth"], rows)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, default=1, help="BLAS threads for every library")
    ap.add_argument("--quick", action="store_true", help="smaller sizes and counts")
    ap.add_argument("--ort-python", help="an interpreter with the onnxruntime release vekracore bundles")
    args = ap.parse_args()
    rng = np.random.default_rng(1)
    report = Report()
    with threadpool_limits(limits=args.threads):
        machine(report, args.threads)
        call_overhead(report, rng)
        element_access(report, rng)
        sizes = [64, 128, 256, 512] if args.quick else [64, 128, 256, 512, 1024, 2048]
        gemm_throughput(report, rng, args.threads, sizes)
        least_squares(report, rng)
        model_runner(report, rng)
        bench_numpy.section(report, args.quick, args.ort_python)
        memory_growth(report, rng, 100000 if args.quick else 1000000)
    with open(os.path.join(HERE, "results.md"), "w") as f:
        f.write("\n".join(report.lines).lstrip() + "\n")
    print(f"\nwrote {os.path.join(HERE, 'results.md')}")


if __name__ == "__main__":
    main()

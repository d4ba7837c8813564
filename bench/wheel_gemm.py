"""gemm throughput of the installed wheel against numpy, side by side in one process.

Run by scripts/bench-wheel.sh in a fresh virtual environment holding only the wheel, numpy
and threadpoolctl; writes bench/results-wheel.md. The wheel's BLAS is the OpenBLAS it carries
in vekracore.libs/; numpy's is the OpenBLAS its own wheel carries (the scipy-openblas build).
threadpoolctl reports which library and which kernel (architecture) each one runs.
"""
import os
import statistics
import sys
import time

import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

import vekracore as vk

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (256, 512, 1024, 2048)
TYPES = {"s": np.float32, "d": np.float64}


def batch_size(fn, budget=0.05):
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        if time.perf_counter() - t0 > budget:
            return number
        number *= 2


def best_seconds(fns, rounds=15):
    """Best seconds per call of each function, the functions' batches taken in turn in each
    round, so that both see the same load on this shared machine."""
    numbers = [batch_size(fn) for fn in fns]
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, (fn, number) in enumerate(zip(fns, numbers)):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            best[k] = min(best[k], (time.perf_counter() - t0) / number)
    return best


def operands(rng, n, dtype, huge_pages):
    """numpy's operands for one product, allocated with or without its huge-page advice."""
    np.core.multiarray._set_madvise_hugepage(huge_pages)
    try:
        a = np.asfortranarray(rng.standard_normal((n, n)).astype(dtype))
        b = np.asfortranarray(rng.standard_normal((n, n)).astype(dtype))
        return a, b, np.empty((n, n), dtype=dtype, order="F")
    finally:
        np.core.multiarray._set_madvise_hugepage(True)


def main(threads):
    lines = ["# gemm: the installed wheel against numpy", "",
             f"- vekracore from {vk.__file__}",
             f"- numpy {np.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} CPUs",
             "- OPENBLAS_CORETYPE=" + os.environ.get("OPENBLAS_CORETYPE", "(unset)") +
             ", OPENBLAS_L2_SIZE=" + os.environ.get("OPENBLAS_L2_SIZE", "(unset)"),
             f"- {threads} BLAS thread(s) for both (threadpoolctl)", "",
             "| BLAS loaded | version | kernel | threading |", "|---|---|---|---|"]
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            lines.append(f"| `{os.path.relpath(info['filepath'], os.path.dirname(vk.__file__))}` | "
                         f"{info.get('version')} | {info.get('architecture')} | {info.get('threading_layer')} |")
    lines += ["", "GFLOP/s (best of 15 interleaved batches), square matrices. numpy asks the kernel for "
              "transparent huge pages on its large arrays (madvise), vekracore's buffers do not; the last two "
              "columns take numpy's arrays allocated without that, which leaves the two BLAS libraries alone "
              "to compare.", "",
              "| type | n | vekracore | numpy | ratio | numpy, 4 KiB pages | ratio |",
              "|---|---|---|---|---|---|---|"]
    rng = np.random.default_rng(0)
    worst = None
    with threadpool_limits(limits=threads):
        for suffix, dtype in TYPES.items():
            for n in SIZES:
                a, b, out = operands(rng, n, dtype, huge_pages=True)
                a4k, b4k, out4k = operands(rng, n, dtype, huge_pages=False)
                A, X, Y = (getattr(vk, "mat" + suffix)(n, n) for _ in range(3))
                times = best_seconds([lambda: vk.gemm(1.0, 0.0, A, X, Y),
                                      lambda: np.matmul(a, b, out=out),
                                      lambda: np.matmul(a4k, b4k, out=out4k)])
                g_vk, g_np, g_4k = (2 * n ** 3 / t / 1e9 for t in times)
                if n >= 512:
                    worst = min(worst or 9.0, g_vk / g_4k)
                lines.append(f"| {suffix} | {n} | {g_vk:.1f} | {g_np:.1f} | {g_vk / g_np:.2f} | "
                             f"{g_4k:.1f} | {g_vk / g_4k:.2f} |")
    lines += ["", f"Lowest ratio to numpy on 4 KiB pages at n >= 512: {worst:.2f}.", ""]
    with open(os.path.join(HERE, "results-wheel.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1)

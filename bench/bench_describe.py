"""What describe(path) costs on the light resnet50 (a 78 KiB file whose weights, about 100 MB, a
session makes at load), against what it used to cost and against its peer and floor, each in a
fresh child process so that RSS is its own:

  describe        vekra_numpy.describe(path): the declarations read from the file alone
  session         vekra_numpy.load_model(path, threads=1): a session over the file, which is
                  what describe made to answer before it read the file itself
  onnxruntime     InferenceSession(path) and its get_inputs()/get_outputs()
  read the file   the file's bytes read into memory (the floor of anything that reads it whole)

Per row: the median time of a call (over --repeat calls; a session is made 3 times) and how far
the child's peak RSS rose over its RSS before the first call.

Run alone: `.venv/bin/python bench/bench_describe.py [--ort-python PY] [--repeat N]`; it replaces
the "describe" section of bench/results.md.
"""
import argparse
import json
import os
import subprocess
import sys

from results_section import splice

TITLE = "describe"

CHILD = r"""
import json, statistics, sys, time
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))
path, what, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
if what == "describe":
    import vekra_numpy as vn
    call = lambda: vn.describe(path)
elif what == "session":
    import vekra_numpy as vn
    call = lambda: vn.load_model(path, threads=1)
elif what == "onnxruntime":
    import onnxruntime as ort
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    def call():
        s = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        return s.get_inputs(), s.get_outputs()
else:
    def call():
        with open(path, "rb") as f:
            return f.read()
base = status("VmRSS")
times = []
for _ in range(repeat):
    start = time.perf_counter()
    result = call()
    times.append(time.perf_counter() - start)
    del result
print(json.dumps({"seconds": statistics.median(times), "rss_kib": status("VmHWM") - base}))
"""


def light_resnet50():
    import onnx

    return os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light", "light_resnet50.onnx")


def measure(python, path, what, repeat):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([python, "-c", CHILD, path, what, str(repeat)], capture_output=True, text=True, env=env,
                          timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{what}: {done.stderr[-2000:]}")
    return json.loads(done.stdout)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ort-python", default=sys.executable, help="the interpreter with onnxruntime (default: this one)")
    ap.add_argument("--repeat", type=int, default=20, help="calls of describe and of the file read (default 20)")
    args = ap.parse_args(argv)
    path = light_resnet50()
    rows = [("`describe(path)`", sys.executable, "describe", args.repeat),
            ("`load_model(path, threads=1)`: the session describe made before", sys.executable, "session", 3),
            ("onnxruntime `InferenceSession(path)` + `get_inputs()`", args.ort_python, "onnxruntime", 3),
            ("the file read into memory (floor)", sys.executable, "read", args.repeat)]
    measured = [(label, measure(python, path, what, repeat)) for label, python, what, repeat in rows]
    floor = measured[-1][1]["seconds"]
    lines = [f"## {TITLE}", "",
             f"light_resnet50.onnx ({os.path.getsize(path) / 2**10:.0f} KiB on disk; its weights are made at load), each in a fresh child process "
             "(bench/bench_describe.py): median time per call and peak RSS growth.", "",
             "| call | time | × file read | RSS growth |", "| --- | --- | --- | --- |"]
    for label, m in measured:
        lines.append(f"| {label} | {m['seconds'] * 1e3:.2f} ms | {m['seconds'] / floor:.2f} | "
                     f"{m['rss_kib'] / 1024:.1f} MiB |")
    print("\n".join(lines))
    splice(TITLE, lines)


if __name__ == "__main__":
    main()

"""Element access, slicing, model.set and gemv's conversion pass against numpy and the floor.

The floor is a do-nothing C function (bench/floor.c, built here into a temporary directory,
never part of the module) taking the same arguments: what any extension pays for the call
itself. With --before DIR, a second vekracore (e.g. built from an earlier commit) is measured
too; each build runs in child processes of its own, taken in turns, and every figure is the
median over the rounds of per-round medians, so both columns share the machine's load.
Writes the section "Element access against numpy and the floor" of bench/results.md.
Nothing here asserts on time.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SECTION = "## Element access against numpy and the floor"


def build_floor(directory):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(directory, "vekra_floor" + suffix)
    subprocess.run([sysconfig.get_config_var("CC").split()[0], "-O2", "-shared", "-fPIC",
                    "-I", sysconfig.get_paths()["include"], os.path.join(HERE, "floor.c"), "-o", target],
                   check=True)
    return directory


def per_call(stmt, names, repeat=5, budget=0.02):
    """Median seconds per execution of the statement `stmt` (timeit: no call of our own around it)."""
    timer = timeit.Timer(stmt, globals=names)
    number = 1
    while timer.timeit(number) < budget and number < 1 << 22:
        number *= 4
    return statistics.median(timer.repeat(repeat, number)) / number


def cases():
    """The names the statements use, and (name, vekracore, numpy or None, floor) statements."""
    import numpy as np
    import vekra_floor
    import vekracore as vk

    names = {
        "vk": vk, "vekra_floor": vekra_floor, "f": vekra_floor.Floor(),
        "v": vk.vecd(100), "arr": np.zeros(100),
        "m": vk.matd(10, 10), "marr": np.zeros((10, 10), order="F"),
        "model": vk.model(os.path.join(ROOT, "tests", "data", "affine.onnx")),  # its report goes to the parent
        "inp": np.zeros((4, 4), dtype=np.float32),
        "A": vk.matz(4, 4), "x": vk.matz(4, 1), "y": vk.matz(4, 1),
    }
    return names, [
        ("v[i]", "v[7]", "arr[7]", "f[7]"),
        ("v[i] = x", "v[7] = 1.5", "arr[7] = 1.5", "f[7] = 1.5"),
        ("m[i, j]", "m[3, 4]", "marr[3, 4]", "f[3, 4]"),
        ("m[i, j] = x", "m[3, 4] = 1.5", "marr[3, 4] = 1.5", "f[3, 4] = 1.5"),
        ("v[a:b]", "v[10:20]", "arr[10:20]", "f[10:20]"),
        ("model.set(0, [i, j], x)", "model.set(0, [0, 1], 0.5)", "inp[0, 1] = 0.5", "f.set(0, [0, 1], 0.5)"),
        ("gemv matz, float scalars", "vk.gemv(2.0, 0.0, A, x, y)", None, "vekra_floor.gemv(2.0, 0.0, A, x, y)"),
        ("gemv matz, complex scalars", "vk.gemv(2.0j, 0j, A, x, y)", None, "vekra_floor.gemv(2.0j, 0j, A, x, y)"),
    ]


def child(columns):
    names, rows = cases()
    out = {}
    for name, ours, theirs, floor in rows:
        row = {}
        # interleaved within the child as well: ours, numpy, floor, then again
        for _ in range(3):
            for key, stmt in (("ours", ours), ("numpy", theirs), ("floor", floor)):
                if stmt is not None and key in columns:
                    row.setdefault(key, []).append(per_call(stmt, names))
        out[name] = {k: statistics.median(t) for k, t in row.items()}
    sys.stdout.flush()
    print("\n" + json.dumps(out))


def run_child(floor_dir, module_dir, columns):
    env = dict(os.environ)
    paths = [floor_dir] + ([module_dir] if module_dir else [])
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", ",".join(columns)],
                          env=env, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])  # after the model's load report


def describe(before):
    """The earlier build, by the commit it was built from where its directory names one (COMMIT)."""
    if not before:
        return "not measured"
    commit = os.path.join(before, "COMMIT")
    if os.path.exists(commit):
        return "the module built from commit " + open(commit).read().strip()[:7]
    return "the build in `" + before + "`"


def ns(t):
    return f"{t * 1e9:.0f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child")
    parser.add_argument("--before", help="directory holding an earlier vekracore build to compare")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.child.split(","))
        return
    with tempfile.TemporaryDirectory() as tmp:
        floor_dir = build_floor(tmp)
        builds = [("before", os.path.abspath(args.before))] if args.before else []
        builds.append(("after", None))
        samples = {}
        for r in range(args.rounds):
            for label, directory in builds:
                cols = ["ours"] if label == "before" else ["ours", "numpy", "floor"]
                for name, row in run_child(floor_dir, directory, cols).items():
                    for key, t in row.items():
                        samples.setdefault(name, {}).setdefault(label if key == "ours" else key, []).append(t)
    med = {name: {k: statistics.median(t) for k, t in row.items()} for name, row in samples.items()}
    header = ["operation"] + (["before ns"] if args.before else []) + \
        ["vekracore ns", "numpy ns", "floor ns", "/ numpy", "/ floor"]
    lines = [SECTION, "",
             "ns per operation (float64 containers; model input float32 (4, 4)); medians over "
             f"{args.rounds} rounds of child processes taken in turns. The floor is a do-nothing C "
             "function or slot with the same arguments (bench/floor.c). numpy: the same access on an "
             "ndarray (for model.set, an element write into a float32 array); gemv has no numpy "
             "counterpart. `before`: " + describe(args.before) + ".",
             "", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for name, row in med.items():
        cells = [name] + ([ns(row["before"])] if args.before else [])
        cells += [ns(row["after"]), ns(row["numpy"]) if "numpy" in row else "", ns(row["floor"]),
                  f"{row['after'] / row['numpy']:.2f}" if "numpy" in row else "",
                  f"{row['after'] / row['floor']:.2f}"]
        lines.append("| " + " | ".join(cells) + " |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.no_write:
        return
    path = os.path.join(HERE, "results.md")
    old = open(path).read() if os.path.exists(path) else ""
    if SECTION in old:
        head, _, rest = old.partition(SECTION)
        nxt = rest.find("\n## ")
        old = head + (rest[nxt + 1:] if nxt >= 0 else "")
    with open(path, "w") as out:
        out.write(old.rstrip("\n") + "\n\n" + text)


if __name__ == "__main__":
    main()

"""Seeded mutations of the test models, each loaded and run by vekracore.model in a child
interpreter; used by test_model_fuzz.py (a small count) and scripts/fuzz-models.py (a large one).

A worker child goes through a list of mutated model files: it loads each, sets every element
of its float inputs (up to LIMIT per input) to a fixed pattern, runs twice and reads the float
outputs back, and announces each case on its standard error before and after. A Python
exception of the kinds the module raises for bad input is a clean refusal. A child that dies
(a signal, an abort, a sanitizer report) marks the case it was in: that case is run again in a
fresh child to confirm, then given to onnxruntime's own InferenceSession in a child of its own
with the same inputs. A crash that onnxruntime shares lies in ONNX Runtime; one that it does
not is vekracore's.
"""
import os
import random
import re
import selectors
import subprocess
import sys
import tempfile

LIMIT = 4096  # elements set per input and read per output
CLEAN = (RuntimeError, MemoryError, IndexError, TypeError, ValueError, OverflowError)
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
MARK = "@@case "


def pattern(i, k):
    """The value of flat element k of input i (row-major), for vekracore and the oracle alike."""
    return ((k * 7 + i * 3) % 11 - 5) * 0.5


# ---- mutations (in the parent) -------------------------------------------------------------

DIMS = [0, 1, 2, 3, 5, -1, -7, 2**31, 2**40, 2**62, 2**63 - 1]
OPS = ["Add", "Sub", "Mul", "Div", "Mod", "Neg", "Relu", "Identity", "Cast", "Reshape", "Concat",
       "MatMul", "Gather", "ReduceSum", "Expand", "Sqrt", "Pow", "NoSuchOp", ""]
NAMES = ["", "x", "y", "k", "a", "s", "x\0tail", "\0", "y\0", "é", "x" * 300]


def _value_infos(graph):
    return list(graph.input) + list(graph.output)


def _structured(model, rng):
    import onnx
    from onnx import TensorProto

    g = model.graph
    choice = rng.randrange(11)
    infos = _value_infos(g)
    if choice == 0 and infos:  # a dimension
        t = rng.choice(infos).type.tensor_type
        if t.shape.dim:
            d = rng.choice(t.shape.dim)
            d.dim_value = rng.choice(DIMS)
        else:
            t.shape.dim.add().dim_value = rng.choice(DIMS[:5])
    elif choice == 1 and infos:  # an element type
        rng.choice(infos).type.tensor_type.elem_type = rng.randrange(0, 17)
    elif choice == 2 and infos:  # a name, in the graph's lists and possibly in a node
        info = rng.choice(infos)
        old, new = info.name, rng.choice(NAMES + [i.name for i in infos])
        info.name = new
        if rng.random() < 0.5:
            for node in g.node:
                for lst in (node.input, node.output):
                    for j, n in enumerate(lst):
                        if n == old:
                            lst[j] = new
    elif choice == 3 and g.output:  # an output listed again, or an input as an output
        source = rng.choice(list(g.output) + list(g.input))
        g.output.add().CopyFrom(source)
    elif choice == 4 and g.input:  # an input listed again, or one dropped
        if rng.random() < 0.5:
            g.input.add().CopyFrom(rng.choice(g.input))
        else:
            del g.input[rng.randrange(len(g.input))]
    elif choice == 5 and g.node:  # an operator
        rng.choice(g.node).op_type = rng.choice(OPS)
    elif choice == 6 and g.node:  # a node dropped or its inputs reordered
        node = rng.choice(g.node)
        if rng.random() < 0.5:
            g.node.remove(node)
        else:
            names = list(node.input)
            rng.shuffle(names)
            del node.input[:]
            node.input.extend(names)
    elif choice == 7:  # versions
        if rng.random() < 0.5:
            model.ir_version = rng.choice([0, 1, 3, 7, 8, 9, 10, 99])
        elif model.opset_import:
            model.opset_import[0].version = rng.choice([0, 1, 6, 11, 13, 19, 21, 999])
    elif choice == 8 and g.output:  # an output dropped
        del g.output[rng.randrange(len(g.output))]
    elif choice == 9 and g.node:  # an integer division fed by a zero-filled integer input
        node = rng.choice(g.node)
        node.op_type = rng.choice(["Div", "Mod"])
        for info in infos:
            if info.type.tensor_type.elem_type in (TensorProto.INT64, TensorProto.INT32):
                node.input[:] = [node.input[0] if node.input else info.name, info.name]
                break
    elif choice == 10 and g.initializer:  # an initializer's data or shape
        init = rng.choice(g.initializer)
        if rng.random() < 0.5:
            init.dims[:] = [rng.choice(DIMS[:5]) for _ in range(rng.randrange(3))]
        else:
            init.raw_data = bytes(rng.randrange(256) for _ in range(rng.randrange(12)))
    return model


def _bytes(data, rng):
    data = bytearray(data)
    choice = rng.randrange(3)
    if choice == 0 and data:
        for _ in range(rng.randrange(1, 5)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif choice == 1:
        del data[rng.randrange(len(data) + 1):]
    else:
        at = rng.randrange(len(data) + 1)
        data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
    return bytes(data)


def mutants(path, count, seed):
    """`count` mutated serialisations of the model at `path`, the same for the same seed."""
    import onnx

    with open(path, "rb") as f:
        original = f.read()
    rng = random.Random(f"{seed}/{os.path.basename(path)}")
    out = []
    for _ in range(count):
        if rng.random() < 0.25:
            out.append(_bytes(original, rng))
            continue
        model = onnx.load_from_string(original)
        for _ in range(rng.randrange(1, 4)):
            model = _structured(model, rng)
        data = model.SerializeToString()
        out.append(_bytes(data, rng) if rng.random() < 0.15 else data)
    return out


# ---- the children --------------------------------------------------------------------------

def _child_env(keep_preload):
    env = dict(os.environ)
    if not keep_preload:
        env.pop("LD_PRELOAD", None)
    # Under AddressSanitizer a huge allocation must fail as it does without it, not abort.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1:max_allocation_size_mb=3072"
    return env


def _report(text):
    """(direction, index, shape, is_float) per tensor, from the discovery report."""
    tensors = []
    for line in text.splitlines():
        m = re.match(r"Vekra::Onnx::Model:: (input|output) shape (\d+) '\{(.*)\}'$", line)
        if m:
            dims = [int(d) for d in m.group(3).split(", ")] if m.group(3) else []
            tensors.append([m.group(1), int(m.group(2)), dims, False])
        elif line == "Vekra::Onnx::MakeTensor:: making tensor of type 'float'" and tensors:
            tensors[-1][3] = True
    return tensors


def _exercise(path):
    import itertools

    import vekracore as vk

    with tempfile.TemporaryFile() as captured:
        saved = os.dup(1)
        os.dup2(captured.fileno(), 1)
        try:
            m = vk.model(path)
        except CLEAN:
            return "refused"
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        captured.seek(0)
        tensors = _report(captured.read().decode("utf-8", "replace"))
    for direction, i, dims, is_float in tensors:
        if direction == "input" and is_float:
            for k, loc in enumerate(itertools.islice(itertools.product(*map(range, dims)), LIMIT)):
                m.set(i, list(loc), pattern(i, k))
    try:
        m.run()
        m.run()
    except CLEAN:
        return "run failed"
    for direction, i, dims, is_float in tensors:
        if direction == "output" and is_float:
            for loc in itertools.islice(itertools.product(*map(range, dims)), LIMIT):
                m.get(i, list(loc))
    for bad in ([], [10**6] * 3, [-1]):
        try:
            m.get(0, bad)
        except CLEAN:
            pass
    return "ran"


def _worker(paths):
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, resource.RLIM_INFINITY))
    for path in paths:
        sys.stderr.write(f"{MARK}start {path}\n")
        sys.stderr.flush()
        try:
            outcome = _exercise(path)
        except Exception as e:  # not a refusal the module should make
            outcome = f"unexpected {type(e).__name__}: {e}"[:300]
        sys.stderr.write(f"{MARK}end {outcome}\n")
        sys.stderr.flush()


def _oracle(path):
    import numpy as np
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    options.log_severity_level = 4
    try:
        session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
        feeds = {}
        for i, meta in enumerate(session.get_inputs()):
            # "tensor(int16)" -> int16 and so on; the element type's own dtype, so that the
            # oracle runs what the model runner ran (zeros but for the float inputs).
            name = meta.type[len("tensor("):-1]
            dtype = {"float": np.float32, "double": np.float64, "string": object}.get(name, name)
            try:
                dtype = np.dtype(dtype)
            except TypeError:  # bfloat16 and the 8-bit floats: no numpy dtype
                dtype = np.uint8
            a = np.zeros(meta.shape, dtype=np.float32 if meta.type == "tensor(float)" else dtype)
            if meta.type == "tensor(float)":
                flat = a.reshape(-1)
                for k in range(min(LIMIT, flat.size)):
                    flat[k] = pattern(i, k)
            feeds[meta.name] = a
        session.run(None, feeds)
        session.run(None, feeds)
    except Exception:
        pass


def _run_workers(paths, timeout):
    """Runs the paths through worker children; returns {path: outcome}, where a case that
    killed its worker reads 'died <returncode>' and one that hung 'hang'."""
    outcomes, rest = {}, list(paths)
    while rest:
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "worker"] + rest,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=_child_env(True),
                                text=True, errors="replace")
        sel = selectors.DefaultSelector()
        sel.register(proc.stderr, selectors.EVENT_READ)
        current = None
        while True:
            if not sel.select(timeout):
                proc.kill()
                proc.wait()
                outcomes[current or rest[0]] = "hang"
                break
            line = proc.stderr.readline()
            if not line:
                proc.wait()
                if current is not None:
                    outcomes[current] = f"died {proc.returncode}"
                break
            if line.startswith(MARK + "start "):
                current = line[len(MARK) + 6:].rstrip("\n")
            elif line.startswith(MARK + "end ") and current is not None:
                outcomes[current] = line[len(MARK) + 4:].rstrip("\n")
                current = None
        proc.stderr.close()
        rest = [p for p in paths if p not in outcomes]
    return outcomes


def _dies(args, keep_preload, timeout):
    return _death(args, keep_preload, timeout)[0]


def _death(args, keep_preload, timeout):
    """How the child died ('died <returncode>', 'hang', or None if it did not), and its stderr."""
    try:
        done = subprocess.run([sys.executable, os.path.abspath(__file__)] + args, env=_child_env(keep_preload),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout,
                              text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return "hang", ""
    return (f"died {done.returncode}" if done.returncode != 0 else None), done.stderr


# AddressSanitizer stopping an allocation that ONNX Runtime makes with the throwing operator
# new (as its releases after 1.17 do for tensors): without the sanitizer that new throws
# std::bad_alloc, which ONNX Runtime reports as an error; the sanitizer aborts on a size beyond
# its limit even when told to let allocations fail.
_SANITIZER_REFUSED_RUNTIME_ALLOCATION = re.compile(
    r"ERROR: AddressSanitizer: [^\n]*(allocation size|out of memory)[^\n]*\n\s*#0 [^\n]*operator new[^\n]*\n"
    r"\s*#1 [^\n]*libonnxruntime")


def fuzz(count, seed, folder, timeout=60, models=None):
    """Fuzzes every test model (or those named); returns a summary dict."""
    models = models or sorted(f[:-5] for f in os.listdir(DATA) if f.endswith(".onnx"))
    paths = []
    for name in models:
        for j, data in enumerate(mutants(os.path.join(DATA, name + ".onnx"), count, seed)):
            p = os.path.join(folder, f"{name}-{j}.onnx")
            with open(p, "wb") as f:
                f.write(data)
            paths.append(p)
    return classify(paths, timeout)


def classify(paths, timeout=60):
    """Runs the model files through worker children and sorts every death or hang: into
    'onnxruntime' when onnxruntime's own package dies on the model too, else into 'ours'."""
    outcomes = _run_workers(paths, timeout)
    summary = {"cases": len(paths), "ours": [], "onnxruntime": [], "unexpected": [], "tally": {}}
    for p, outcome in outcomes.items():
        kind = outcome.split(" ")[0]
        summary["tally"][kind] = summary["tally"].get(kind, 0) + 1
        if kind == "unexpected":
            summary["unexpected"].append((p, outcome))
        elif kind in ("died", "hang"):
            again, stderr = _death(["worker", p], True, timeout)
            if again is None:  # not reproduced alone: still ours to explain
                summary["ours"].append((p, outcome + ", not reproduced alone"))
            elif _SANITIZER_REFUSED_RUNTIME_ALLOCATION.search(stderr):
                summary["onnxruntime"].append((p, again + ", AddressSanitizer refusing ONNX Runtime's allocation"))
            elif _dies(["oracle", p], False, timeout) is not None:
                summary["onnxruntime"].append((p, again))
            else:
                summary["ours"].append((p, again))
    return summary


if __name__ == "__main__":
    if sys.argv[1] == "worker":
        _worker(sys.argv[2:])
    elif sys.argv[1] == "oracle":
        _oracle(sys.argv[2])

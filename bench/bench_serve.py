"""Serving one-row requests from many clients: vekra_numpy.Batcher (requests merged into batches)
against onnxruntime's InferenceSession shared by the clients, side by side in one run.

Models (built here with the onnx package, fixed seeded weights, the batch dimension named
"batch" on axis 0 of every input and output): an MLP 256-512-512-10, a 2-layer transformer
encoder (d_model 64, 4 heads, sequence 16), an LSTM (hidden 64, sequence 16) and the light
squeezenet of the onnx package's test data with its batch made dynamic.

Clients C in {1, 4, 16, 64}, as asyncio tasks on one event loop and as threads, each sends
one-row requests in a closed loop (the next as soon as the last is answered) for a fixed time
after a warm-up. Engines, each in a fresh child process per cell (so RSS is its own):
  vekracore    one Batcher per model, workers 1 and 2 with threads=1, and workers 1 with
               ONNX Runtime's default intra-op threads (threads=0)
               threads: b.run(x); asyncio: await b.run_async(x)
  onnxruntime  one InferenceSession shared by all clients, intra_op_num_threads 1 and its default
               threads: session.run(None, x) concurrently, as onnxruntime allows;
               asyncio: loop.run_in_executor (the loop's default executor) over session.run,
               and session.run_async (its own callback API) on the default session
Per cell: requests/s, p50/p90/p99 latency, VmRSS after serving. Every client checks its answers
against its request run alone during the warm-up, and the engines' answers to one probe are
compared across engines. A memory cell: a Batcher with workers=4 over the light resnet50
against one onnxruntime session that has served the same requests, each in its own child.

onnxruntime's side runs in the interpreter --ort-python names (scripts/bench-venv.sh makes one
with the release vekracore bundles), else in this interpreter. --stand-in replaces the Batcher
with StandInBatcher, a plain-Python batcher over onnxruntime kept here to test this harness: its
figures are written apart (--out, by default a temporary folder), never as vekracore's.

Run alone: `.venv/bin/python bench/bench_serve.py [--seconds S] [--quick] [--ort-python PY]`
(about 7 minutes at the defaults on 2 cores; --quick under a minute); it replaces the "Serving"
section of bench/results.md and draws bench/serve.png.
"""
import argparse
import asyncio
import concurrent.futures
import json
import os
import platform
import queue
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = "Serving"
CLIENTS = (1, 4, 16, 64)
KINDS = ("asyncio", "threads")
MODELS = ("mlp", "transformer", "lstm", "squeezenet")
BATCHED_MODELS = ("mlp", "transformer", "lstm")  # where merging requests is expected to pay
SEQ, D_MODEL, HEADS, FFN, HIDDEN = 16, 64, 4, 128, 64
# answers compared with the request run alone, and across engines
RTOL, ATOL = 1e-3, 1e-4


# ---- the stand-in batcher (for testing this harness only) -----------------------------------------

class StandInBatcher:
    """The interface of vekra_numpy.Batcher over one onnxruntime InferenceSession, in plain Python:
    `workers` threads each take the queued requests (up to max_batch rows, waiting at most
    max_wait seconds after the first), run them as one batch and split the outputs along axis 0.
    It exists to test this benchmark without the module; it is not vekracore."""

    def __init__(self, model, *, max_batch=32, max_wait=0.001, workers=1, optimization="all", threads=1,
                 dims=None, shapes=None):
        import onnxruntime as ort  # type: ignore[import-untyped]

        levels = {"disable": "ORT_DISABLE_ALL", "basic": "ORT_ENABLE_BASIC", "extended": "ORT_ENABLE_EXTENDED",
                  "all": "ORT_ENABLE_ALL"}
        options = ort.SessionOptions()
        options.graph_optimization_level = getattr(ort.GraphOptimizationLevel, levels[optimization])
        options.intra_op_num_threads = threads
        options.log_severity_level = 3
        path = getattr(model, "path", model)
        self.session = ort.InferenceSession(os.fspath(path), options, providers=["CPUExecutionProvider"])
        self.names = [i.name for i in self.session.get_inputs()]
        self.max_batch, self.max_wait = max_batch, max_wait
        self.queue = queue.Queue()
        self.counts = {"requests": 0, "runs": 0, "rows": 0, "failures": 0}
        self.count_lock = threading.Lock()
        self.closed = False
        self.threads = [threading.Thread(target=self._work, daemon=True) for _ in range(workers)]
        for t in self.threads:
            t.start()

    def _arrays(self, inputs):
        if isinstance(inputs, (np.ndarray, np.generic)):
            inputs = [inputs]
        if hasattr(inputs, "keys"):
            missing = [n for n in self.names if n not in inputs]
            if missing or len(inputs) != len(self.names):
                raise ValueError(f"inputs must name {self.names}, not {sorted(inputs)}")
            inputs = [inputs[n] for n in self.names]
        arrays = [np.asarray(x) for x in inputs]
        if len(arrays) != len(self.names):
            raise ValueError(f"{len(self.names)} inputs expected, not {len(arrays)}")
        rows = {x.shape[0] if x.ndim else None for x in arrays}
        if len(rows) != 1 or None in rows:
            raise ValueError("every input needs the same number of rows on axis 0")
        return arrays, rows.pop()

    def submit(self, inputs):
        if self.closed:
            raise RuntimeError("the batcher is closed")
        arrays, rows = self._arrays(inputs)
        future = concurrent.futures.Future()
        self.queue.put((arrays, rows, future))
        return future

    def run(self, inputs):
        return self.submit(inputs).result()

    def run_async(self, inputs):
        return asyncio.wrap_future(self.submit(inputs))

    def _work(self):
        carried = None
        while True:
            first = carried if carried is not None else self.queue.get()
            carried = None
            if first is None:
                self.queue.put(None)  # the next worker stops too
                return
            batch, rows = [first], first[1]
            deadline = time.perf_counter() + self.max_wait
            while rows < self.max_batch:
                try:
                    item = self.queue.get(timeout=max(0.0, deadline - time.perf_counter()))
                except queue.Empty:
                    break
                if item is None or rows + item[1] > self.max_batch:
                    carried = item
                    break
                batch.append(item)
                rows += item[1]
            self._run(batch, rows)

    def _run(self, batch, rows):
        try:
            merged = [np.concatenate([item[0][k] for item in batch]) for k in range(len(self.names))]
            outputs = self.session.run(None, dict(zip(self.names, merged)))
        except Exception as e:  # every request of the batch gets the failure
            with self.count_lock:
                self.counts["failures"] += len(batch)
            for item in batch:
                item[2].set_exception(e)
            return
        with self.count_lock:
            self.counts["requests"] += len(batch)
            self.counts["runs"] += 1
            self.counts["rows"] += rows
        start = 0
        for _, n, future in batch:
            future.set_result([np.array(y[start:start + n]) for y in outputs])
            start += n

    def stats(self):
        with self.count_lock:
            counts = dict(self.counts)
        counts["mean rows per run"] = counts["rows"] / counts["runs"] if counts["runs"] else 0.0
        return counts

    def close(self):
        if not self.closed:
            self.closed = True
            self.queue.put(None)
            for t in self.threads:
                t.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- one cell, in a child process -------------------------------------------------------------

def rss_kib():
    """VmRSS and VmHWM of this process in KiB, from /proc/self/status."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields["VmRSS"], fields["VmHWM"]


def request_feeds(inputs, count=8, seed=7):
    """`count` distinct one-row requests: dicts of input name to a float32 array of shape (1, ...)."""
    rng = np.random.default_rng(seed)
    return [{name: rng.uniform(-1, 1, shape).astype(np.float32) for name, shape in inputs} for _ in range(count)]


def close_enough(got, want):
    return len(got) == len(want) and all(
        np.shape(g) == np.shape(w) and np.allclose(g, w, rtol=RTOL, atol=ATOL) for g, w in zip(got, want))


def percentiles_ms(latencies):
    if not latencies:
        return {"p50": None, "p90": None, "p99": None}
    p50, p90, p99 = np.percentile(np.asarray(latencies) * 1e3, [50, 90, 99])
    return {"p50": float(p50), "p90": float(p90), "p99": float(p99)}


class Engine:
    """What a client calls: `call(feeds)` (blocking) and `acall(feeds)` (awaitable), both returning
    the outputs as a list of arrays in session order; `stats()` the batcher's counters, or None."""

    versions: dict = {}

    def stats(self):
        return None

    def close(self):
        pass


class BatcherEngine(Engine):
    def __init__(self, cell):
        if cell.get("stand_in"):
            import onnxruntime as ort  # type: ignore[import-untyped]

            factory = StandInBatcher
            self.versions = {"python": platform.python_version(), "onnxruntime": ort.__version__}
        else:
            import vekra_numpy

            if not hasattr(vekra_numpy, "Batcher"):
                raise RuntimeError("this vekra_numpy has no Batcher; --stand-in tests the harness without it")
            factory = vekra_numpy.Batcher
            self.versions = {"python": platform.python_version()}
        self.batcher = factory(cell["path"], max_batch=cell["max_batch"], max_wait=cell["max_wait"],
                               workers=cell["workers"], optimization="all",
                               threads=cell.get("threads", 1))
        self.call = self.batcher.run
        self.acall = self.batcher.run_async

    def stats(self):
        return self.batcher.stats()

    def close(self):
        self.batcher.close()


class OrtEngine(Engine):
    def __init__(self, cell):
        import onnxruntime as ort  # type: ignore[import-untyped]

        options = ort.SessionOptions()
        options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        options.intra_op_num_threads = cell["intra"]  # 0: onnxruntime's default
        options.log_severity_level = 3
        self.session = session = ort.InferenceSession(cell["path"], options, providers=["CPUExecutionProvider"])
        self.versions = {"python": platform.python_version(), "onnxruntime": ort.__version__}
        self.call = lambda feeds: session.run(None, feeds)
        self.lock, self.started, self.returned = threading.Lock(), 0, 0
        if cell["mode"] == "run_async":
            self.acall = self._run_async
        else:
            self.acall = lambda feeds: asyncio.get_running_loop().run_in_executor(None, session.run, None, feeds)

    def _run_async(self, feeds):
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def settle(outputs, error):
            if future.cancelled():
                return
            if error:
                future.set_exception(RuntimeError(error))
            else:
                future.set_result(outputs)

        def done(outputs, _, error):  # on one of onnxruntime's threads
            loop.call_soon_threadsafe(settle, outputs, error)
            with self.lock:
                self.returned += 1

        with self.lock:
            self.started += 1
        self.session.run_async(None, feeds, done, None)
        return future

    def close(self):
        # the session must outlive every callback, and onnxruntime's work after the callback
        # returns: releasing it sooner crashes the process
        deadline = time.perf_counter() + 10
        while time.perf_counter() < deadline:
            with self.lock:
                if self.returned == self.started:
                    break
            time.sleep(0.01)
        time.sleep(0.1)
        del self.session


def counter_window(before, after):
    if before is None or after is None:
        return None
    window = {k: after[k] - before[k] for k in ("requests", "runs", "rows", "failures")
              if isinstance(after.get(k), (int, float)) and isinstance(before.get(k), (int, float))}
    if window.get("runs"):
        window["rows per run"] = window["rows"] / window["runs"]
    return window


class Clients:
    """The closed loop shared by threads and asyncio tasks. Every client sends requests from the
    start until t_end; those answered in [t_measure, t_end) are counted, with their latencies
    (the window's throughput, without the tail of requests still in flight at its end); answers
    during the warm-up are checked against each request run alone."""

    def __init__(self, engine, feeds, references, clients, warmup, seconds):
        self.engine, self.feeds, self.references = engine, feeds, references
        self.clients, self.warmup, self.seconds = clients, warmup, seconds
        # per client, so that threads never share a counter
        self.latencies = [[] for _ in range(clients)]
        self.checked, self.mismatched = [0] * clients, [0] * clients
        self.errors = []

    def start(self):
        self.t_begin = time.perf_counter()
        self.t_measure = self.t_begin + self.warmup
        self.t_end = self.t_measure + self.seconds

    def answered(self, k, j, began, outputs):
        ended = time.perf_counter()
        if ended < self.t_measure:
            self.checked[k] += 1
            self.mismatched[k] += not close_enough(outputs, self.references[j])
        elif ended < self.t_end:
            self.latencies[k].append(ended - began)

    def thread_body(self, k, barrier):
        feeds, n = self.feeds, len(self.feeds)
        j = k % n
        barrier.wait()
        try:
            while True:
                began = time.perf_counter()
                if began >= self.t_end:
                    return
                self.answered(k, j, began, self.engine.call(feeds[j]))
                j = (j + 1) % n
        except Exception as e:
            self.errors.append(f"{type(e).__name__}: {e}")

    async def task_body(self, k):
        feeds, n = self.feeds, len(self.feeds)
        j = k % n
        try:
            while True:
                began = time.perf_counter()
                if began >= self.t_end:
                    return
                self.answered(k, j, began, await self.engine.acall(feeds[j]))
                j = (j + 1) % n
        except Exception as e:
            self.errors.append(f"{type(e).__name__}: {e}")

    def run_threads(self):
        barrier = threading.Barrier(self.clients + 1)
        threads = [threading.Thread(target=self.thread_body, args=(k, barrier)) for k in range(self.clients)]
        for t in threads:
            t.start()
        self.start()
        barrier.wait()
        time.sleep(max(0.0, self.t_measure - time.perf_counter()))
        before = self.engine.stats()
        time.sleep(max(0.0, self.t_end - time.perf_counter()))
        after = self.engine.stats()
        for t in threads:
            t.join()
        return counter_window(before, after)

    def run_asyncio(self):
        async def main():
            self.start()
            tasks = [asyncio.ensure_future(self.task_body(k)) for k in range(self.clients)]
            await asyncio.sleep(max(0.0, self.t_measure - time.perf_counter()))
            before = self.engine.stats()
            await asyncio.sleep(max(0.0, self.t_end - time.perf_counter()))
            after = self.engine.stats()
            await asyncio.gather(*tasks)
            return counter_window(before, after)

        return asyncio.run(main())

    def figures(self):
        latencies = [x for per_client in self.latencies for x in per_client]
        figures = {"requests": len(latencies), "rate": len(latencies) / self.seconds,
                   "checked": sum(self.checked), "mismatched": sum(self.mismatched)}
        figures.update(percentiles_ms(latencies))
        return figures


def serve_cell(cell):
    """One configuration serving C clients of one kind: the figures as a JSON-able dict."""
    engine = (BatcherEngine if cell["engine"] == "batcher" else OrtEngine)(cell)
    try:
        feeds = request_feeds(cell["inputs"])
        references = [engine.call(f) for f in feeds]  # each request alone
        clients = Clients(engine, feeds, references, cell["clients"], cell["warmup"], cell["seconds"])
        window = clients.run_asyncio() if cell["kind"] == "asyncio" else clients.run_threads()
        rss, hwm = rss_kib()
        result = clients.figures()
        result.update({"rss_kib": rss, "hwm_kib": hwm, "batches": window, "versions": engine.versions,
                       "errors": clients.errors[:3],
                       "probe": [np.asarray(y, dtype=np.float64).ravel().tolist() for y in references[0]]})
        return result
    finally:
        engine.close()


def serve_memory(cell):
    """The memory cell: `clients` threads each send `per_client` one-row requests; RSS after
    loading, after serving, and the peak."""
    engine = (BatcherEngine if cell["engine"] == "batcher" else OrtEngine)(cell)
    try:
        feeds = request_feeds(cell["inputs"], count=4)
        loaded, _ = rss_kib()
        errors = []

        def client(k):
            try:
                for i in range(cell["per_client"]):
                    engine.call(feeds[(k + i) % len(feeds)])
            except Exception as e:
                errors.append(f"{type(e).__name__}: {e}")

        threads = [threading.Thread(target=client, args=(k,)) for k in range(cell["clients"])]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - t0
        rss, hwm = rss_kib()
        return {"loaded_kib": loaded, "rss_kib": rss, "hwm_kib": hwm, "seconds": elapsed,
                "requests": cell["clients"] * cell["per_client"], "errors": errors[:3],
                "batches": engine.stats(), "versions": engine.versions}
    finally:
        engine.close()


def child_main(text):
    cell = json.loads(text)
    try:
        result = serve_memory(cell) if cell.get("memory") else serve_cell(cell)
    except Exception as e:
        result = {"error": f"{type(e).__name__}: {e}"}
    sys.stdout.write(json.dumps(result, default=str) + "\n")
    sys.stdout.flush()


def run_child(python, cell, timeout):
    """Runs one cell in a fresh interpreter; its JSON answer, or {"error": ...}."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        done = subprocess.run([python, os.path.abspath(__file__), "--cell", json.dumps(cell)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"no answer within {timeout:.0f} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        return {"error": f"the child failed ({done.returncode}): {tail[0]}"}
    return json.loads(lines[-1])


# ---- the models -----------------------------------------------------------------------------

def light_folder():
    import onnx

    return os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")


def _save(folder, name, nodes, inputs, outputs, inits):
    import onnx
    from onnx import helper

    graph = helper.make_graph(nodes, name, inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8)
    onnx.checker.check_model(model, full_check=True)
    path = os.path.join(folder, name + ".onnx")
    onnx.save(model, path)
    return path


class Graph:
    """Nodes and initialisers of one graph under construction, with fresh value names."""

    def __init__(self, rng):
        self.rng, self.nodes, self.inits, self.count = rng, [], [], 0

    def name(self, hint):
        self.count += 1
        return f"{hint}_{self.count}"

    def const(self, hint, value):
        from onnx import numpy_helper

        name = self.name(hint)
        self.inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def weight(self, hint, shape, scale):
        return self.const(hint, (self.rng.standard_normal(shape) * scale).astype(np.float32))

    def op(self, op_type, inputs, outputs=1, **attributes):
        from onnx import helper

        names = [self.name(op_type.lower()) for _ in range(outputs)] if isinstance(outputs, int) else outputs
        self.nodes.append(helper.make_node(op_type, inputs, names, **attributes))
        return names[0] if len(names) == 1 else names

    def dense(self, x, n_in, n_out):
        w = self.weight("w", (n_in, n_out), 1 / np.sqrt(n_in))
        b = self.weight("b", (n_out,), 0.1)
        return self.op("Add", [self.op("MatMul", [x, w]), b])


def make_mlp(folder, rng):
    from onnx import TensorProto, helper

    g = Graph(rng)
    h = "x"
    sizes = (256, 512, 512, 10)
    for k in range(len(sizes) - 1):
        h = g.dense(h, sizes[k], sizes[k + 1])
        if k < len(sizes) - 2:
            h = g.op("Relu", [h])
    g.op("Identity", [h], ["y"])
    f = TensorProto.FLOAT
    return _save(folder, "mlp", g.nodes, [helper.make_tensor_value_info("x", f, ["batch", 256])],
                 [helper.make_tensor_value_info("y", f, ["batch", 10])], g.inits)


def make_transformer(folder, rng, layers=2):
    """A pre-norm encoder: per layer x + attention(LayerNorm(x)), then x + FFN(LayerNorm(x)).
    Attention per head: Q, K, V of (batch, seq, d) reshaped to (batch, seq, heads, d/heads) and
    transposed to (batch, heads, seq, d/heads); softmax(Q K^T / sqrt(d/heads)) V, heads joined
    back, then the output projection."""
    from onnx import TensorProto, helper

    g = Graph(rng)
    head = D_MODEL // HEADS
    split = g.const("split_shape", np.array([0, SEQ, HEADS, head], np.int64))
    join = g.const("join_shape", np.array([0, SEQ, D_MODEL], np.int64))
    scale = g.const("scale", np.array(1 / np.sqrt(head), np.float32))

    def norm(x):
        gamma = g.const("gamma", (1 + 0.1 * rng.standard_normal(D_MODEL)).astype(np.float32))
        beta = g.weight("beta", (D_MODEL,), 0.1)
        return g.op("LayerNormalization", [x, gamma, beta], axis=-1, epsilon=1e-5)

    def heads(x, perm):
        return g.op("Transpose", [g.op("Reshape", [x, split])], perm=perm)

    x = "x"
    for _ in range(layers):
        h = norm(x)
        q = heads(g.dense(h, D_MODEL, D_MODEL), [0, 2, 1, 3])  # (batch, heads, seq, head)
        k = heads(g.dense(h, D_MODEL, D_MODEL), [0, 2, 3, 1])  # (batch, heads, head, seq)
        v = heads(g.dense(h, D_MODEL, D_MODEL), [0, 2, 1, 3])
        weights = g.op("Softmax", [g.op("Mul", [g.op("MatMul", [q, k]), scale])], axis=-1)
        context = g.op("Transpose", [g.op("MatMul", [weights, v])], perm=[0, 2, 1, 3])
        x = g.op("Add", [x, g.dense(g.op("Reshape", [context, join]), D_MODEL, D_MODEL)])
        ffn = g.dense(g.op("Relu", [g.dense(norm(x), D_MODEL, FFN)]), FFN, D_MODEL)
        x = g.op("Add", [x, ffn])
    g.op("Identity", [x], ["y"])
    f = TensorProto.FLOAT
    return _save(folder, "transformer", g.nodes, [helper.make_tensor_value_info("x", f, ["batch", SEQ, D_MODEL])],
                 [helper.make_tensor_value_info("y", f, ["batch", SEQ, D_MODEL])], g.inits)


def make_lstm(folder, rng, features=32):
    """ONNX's LSTM (gates i, o, f, c; sigmoid, tanh, tanh) over x of (batch, seq, features).
    onnxruntime's CPU LSTM takes the sequence-first layout only, so the graph transposes x to
    (seq, batch, features) and its outputs back: y (batch, seq, hidden), h and c (batch, hidden),
    the batch on axis 0 of everything."""
    from onnx import TensorProto, helper

    g = Graph(rng)
    scale = 1 / np.sqrt(HIDDEN)
    w = g.weight("W", (1, 4 * HIDDEN, features), scale)
    r = g.weight("R", (1, 4 * HIDDEN, HIDDEN), scale)
    b = g.weight("B", (1, 8 * HIDDEN), 0.1)
    seq_first = g.op("Transpose", ["x"], perm=[1, 0, 2])
    y, y_h, y_c = g.op("LSTM", [seq_first, w, r, b], 3, hidden_size=HIDDEN)
    axis0, axis1 = g.const("axis0", np.array([0], np.int64)), g.const("axis1", np.array([1], np.int64))
    g.op("Transpose", [g.op("Squeeze", [y, axis1])], ["y"], perm=[1, 0, 2])
    g.op("Squeeze", [y_h, axis0], ["h"])
    g.op("Squeeze", [y_c, axis0], ["c"])
    f = TensorProto.FLOAT
    return _save(folder, "lstm", g.nodes, [helper.make_tensor_value_info("x", f, ["batch", SEQ, features])],
                 [helper.make_tensor_value_info("y", f, ["batch", SEQ, HIDDEN]),
                  helper.make_tensor_value_info("h", f, ["batch", HIDDEN]),
                  helper.make_tensor_value_info("c", f, ["batch", HIDDEN])], g.inits)


def dynamic_batch(source, target):
    """A copy of a light test network with axis 0 of its image input and of its outputs named
    "batch": the first dimension made symbolic, and a Reshape to a fixed (1, n) made (-1, n)."""
    import onnx
    from onnx import numpy_helper

    model = onnx.load(source)
    graph = model.graph
    inits = {i.name: i for i in graph.initializer}
    for value in [i for i in graph.input if i.name not in inits] + list(graph.output):
        value.type.tensor_type.shape.dim[0].dim_param = "batch"
    del graph.value_info[:]
    for node in graph.node:
        if node.op_type == "Reshape" and node.input[1] in inits:
            shape = numpy_helper.to_array(inits[node.input[1]])
            if shape.ndim == 1 and shape.size and shape[0] == 1:
                inits[node.input[1]].CopyFrom(numpy_helper.from_array(np.concatenate([[-1], shape[1:]]).astype(shape.dtype),
                                                                      node.input[1]))
    onnx.checker.check_model(model)
    onnx.save(model, target)
    return target


def model_inputs(path):
    """[(name, shape of one row)] of the inputs that are not initialisers, axis 0 set to 1."""
    import onnx

    model = onnx.load(path, load_external_data=False)
    inits = {i.name for i in model.graph.initializer}
    return [(i.name, [1] + [d.dim_value for d in i.type.tensor_type.shape.dim[1:]])
            for i in model.graph.input if i.name not in inits]


def build_models(folder, names, seed=2024):
    """{name: path} for the models asked for, weights from one seeded generator per model."""
    makers = {"mlp": make_mlp, "transformer": make_transformer, "lstm": make_lstm}
    paths = {}
    for k, name in enumerate(names):
        if name == "squeezenet":
            paths[name] = dynamic_batch(os.path.join(light_folder(), "light_squeezenet.onnx"),
                                        os.path.join(folder, "squeezenet.onnx"))
        else:
            paths[name] = makers[name](folder, np.random.default_rng(seed + k))
    return paths


def check_batches(path, rows=8):
    """onnxruntime (of this interpreter) runs the model at batch 1 and `rows`, and the rows of
    the batch equal the rows run one by one: the batch dimension is truly free."""
    import onnxruntime as ort  # type: ignore[import-untyped]

    options = ort.SessionOptions()
    options.log_severity_level = 3
    session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
    feeds = request_feeds(model_inputs(path), count=rows, seed=11)
    alone = [session.run(None, f) for f in feeds]
    merged = session.run(None, {name: np.concatenate([f[name] for f in feeds]) for name in feeds[0]})
    for k, y in enumerate(merged):
        if y.shape[0] != rows or not np.allclose(y, np.concatenate([a[k] for a in alone]), rtol=RTOL, atol=ATOL):
            raise AssertionError(f"{os.path.basename(path)}: output {k} of a batch of {rows} differs from its rows")
    return ort.__version__


# ---- the plan and the run -------------------------------------------------------------------

def configurations(kind, quick):
    """(side, label, cell options) of every engine configuration measured for a client kind."""
    configs = [("vekracore", f"w{w}", {"engine": "batcher", "workers": w, "threads": 1})
               for w in ((2,) if quick else (1, 2))]
    if not quick:
        # as onnxruntime's default session: ONNX Runtime's own choice of intra-op threads
        configs.append(("vekracore", "w1 default", {"engine": "batcher", "workers": 1, "threads": 0}))
    configs.append(("onnxruntime", "1t", {"engine": "ort", "intra": 1, "mode": "run"}))
    if not quick:
        configs.append(("onnxruntime", "default", {"engine": "ort", "intra": 0, "mode": "run"}))
    if kind == "asyncio":
        # onnxruntime's run_async hands runs to the intra-op pool, so the default session only
        configs.append(("onnxruntime", "run_async", {"engine": "ort", "intra": 0, "mode": "run_async"}))
    return configs


def measure(args, paths):
    """{(model, kind, C): {(side, label): figures}}, cells run one after another, the order of the
    sides alternating from cell to cell."""
    results = {}
    n = 0
    pythons = {"vekracore": sys.executable, "onnxruntime": args.ort_python or sys.executable}
    for model in args.models:
        inputs = model_inputs(paths[model])
        for kind in KINDS:
            for clients in args.clients:
                configs = configurations(kind, args.quick)
                if n % 2:
                    configs.reverse()
                n += 1
                cell_results = {}
                for side, label, options in configs:
                    cell = dict(options, path=paths[model], inputs=inputs, kind=kind, clients=clients,
                                seconds=args.seconds, warmup=args.warmup, max_batch=args.max_batch,
                                max_wait=args.max_wait, stand_in=args.stand_in)
                    r = run_child(pythons[side], cell, timeout=args.warmup + args.seconds + 120)
                    cell_results[(side, label)] = r
                    if "error" in r:
                        print(f"  {model} {kind} C={clients} {side} {label}: {r['error']}", file=sys.stderr, flush=True)
                    else:
                        print(f"  {model} {kind} C={clients} {side} {label}: {r['rate']:.1f}/s "
                              f"p50 {r['p50']:.2f} p99 {r['p99']:.2f} ms, {r['rss_kib'] / 1024:.0f} MiB",
                              file=sys.stderr, flush=True)
                results[(model, kind, clients)] = cell_results
    return results


def measure_memory(args, folder):
    path = dynamic_batch(os.path.join(light_folder(), "light_resnet50.onnx"), os.path.join(folder, "resnet50.onnx"))
    clients, per_client = (4, 1) if args.quick else (16, 4)
    common = {"memory": True, "path": path, "inputs": model_inputs(path), "clients": clients,
              "per_client": per_client, "max_batch": args.max_batch, "max_wait": args.max_wait,
              "stand_in": args.stand_in}
    timeout = 300
    ours = run_child(sys.executable, dict(common, engine="batcher", workers=4), timeout)
    theirs = run_child(args.ort_python or sys.executable, dict(common, engine="ort", intra=1, mode="run"), timeout)
    return {"vekracore": ours, "onnxruntime": theirs, "clients": clients, "per_client": per_client}


def best(cell_results, side):
    """(label, figures) of the side's configuration with the most requests/s, or (None, None)."""
    found = [(label, r) for (s, label), r in cell_results.items() if s == side and "error" not in r and r["requests"]]
    if not found:
        return None, None
    return max(found, key=lambda item: item[1]["rate"])


def target(model, clients, ours, theirs):
    """(what the row must meet, met or not), or (None, None) where no target applies."""
    if ours is None or theirs is None:
        return "a side without figures", False
    rate = ours["rate"] / theirs["rate"]
    if model in BATCHED_MODELS and clients >= 16:
        return ">= 3x req/s, p99 <= 0.5x", rate >= 3.0 and ours["p99"] <= 0.5 * theirs["p99"]
    if model not in BATCHED_MODELS or clients == 1:
        return ">= 0.95x req/s, p50 <= 1.1x", rate >= 0.95 and ours["p50"] <= 1.1 * theirs["p50"]
    return None, None


def agreement(results):
    """The (model, side, label) whose probe answer differs from the first onnxruntime answer of
    its model, and the models compared."""
    differ, compared = [], set()
    for model in dict.fromkeys(key[0] for key in results):
        probes = [(side, label, r["probe"]) for key, cell in results.items() if key[0] == model
                  for (side, label), r in cell.items() if "probe" in r]
        anchor = next((p for s, _, p in probes if s == "onnxruntime"), None)
        if anchor is None:
            continue
        compared.add(model)
        for side, label, probe in probes:
            if not close_enough([np.asarray(y) for y in probe], [np.asarray(y) for y in anchor]):
                differ.append((model, side, label))
    return sorted(set(differ)), sorted(compared)


# ---- the report -------------------------------------------------------------------------------

def fmt(x, digits=1):
    return "-" if x is None else f"{x:.{digits}f}"


def section(args, results, memory, env):
    ours_name = "stand-in" if args.stand_in else "vekracore"
    ort_v = env["ort"]
    lines = ["", f"## {TITLE}", ""]
    if args.stand_in:
        lines += ["**A test of the harness: the `stand-in` columns are StandInBatcher, a plain-Python batcher over "
                  f"onnxruntime {env['stand_in_ort']} inside bench_serve.py, not vekracore.**", ""]
    lines += [
        f"One-row requests from C clients in a closed loop (each sends the next as soon as the last is answered), "
        f"as asyncio tasks on one event loop or as threads, for {args.seconds:g} s per cell after a "
        f"{args.warmup:g} s warm-up, each configuration in a fresh child process (RSS: its VmRSS after serving). "
        f"{ours_name}: one `vekra_numpy.Batcher` per model (max_batch {args.max_batch}, max_wait "
        f"{args.max_wait:g} s), workers 1 and 2 with threads=1 (`w1`, `w2`), and workers 1 with ONNX Runtime's "
        f"default intra-op threads (`w1 default`, threads=0); clients call `b.run` or "
        f"`await b.run_async`. onnxruntime {ort_v['onnxruntime']} (Python {ort_v['python']}): one "
        f"InferenceSession shared by every client, intra-op threads 1 (`1t`) or its default (`default`), "
        f"`session.run` from the threads; for asyncio, `loop.run_in_executor` (the default executor) over it, "
        f"and its own `session.run_async` on the default session (`run_async`). Each row takes each side's best "
        f"configuration by requests/s (named beside it) and that configuration's latencies; ÷ is "
        f"{ours_name} over onnxruntime.", "",
        f"{ours_name} runs on Python {env['ours_python']}"
        + (f" with the ONNX Runtime {env['bundled']} it bundles" if env.get("bundled") else "")
        + f"; {env['cpu']}, {os.cpu_count()} logical cores, shared with other work (load average "
        f"{env['load_before']:.1f} before, {env['load_after']:.1f} after). Every model's batch of 8 equals its "
        f"rows run alone (onnxruntime {env['checked_with']}). "
        + agreement_text(results) + " " + check_text(results), ""]
    met = {True: 0, False: 0}
    for model in args.models:
        lines += [f"### {model}", "",
                  f"| clients | C | {ours_name}/s | ort/s | ÷ | {ours_name} p50 ms | ort p50 ms | {ours_name} p99 ms "
                  f"| ort p99 ms | p99 ÷ | {ours_name} MiB | ort MiB | target |",
                  "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for kind in KINDS:
            for clients in args.clients:
                cell = results.get((model, kind, clients))
                if cell is None:
                    continue
                (ol, ours), (tl, theirs) = best(cell, "vekracore"), best(cell, "onnxruntime")
                what, ok = target(model, clients, ours, theirs)
                if what is not None:
                    met[ok] += 1
                verdict = "" if what is None else f"{'met' if ok else 'missed'} ({what})"
                ratio = ours["rate"] / theirs["rate"] if ours and theirs else None
                p99 = ours["p99"] / theirs["p99"] if ours and theirs else None
                lines.append("| " + " | ".join([
                    kind, str(clients),
                    f"{fmt(ours and ours['rate'])} ({ol})" if ours else failed(cell, "vekracore"),
                    f"{fmt(theirs and theirs['rate'])} ({tl})" if theirs else failed(cell, "onnxruntime"),
                    fmt(ratio, 2), fmt(ours and ours["p50"], 2), fmt(theirs and theirs["p50"], 2),
                    fmt(ours and ours["p99"], 2), fmt(theirs and theirs["p99"], 2), fmt(p99, 2),
                    fmt(ours and ours["rss_kib"] / 1024, 0), fmt(theirs and theirs["rss_kib"] / 1024, 0),
                    verdict]) + " |")
        lines.append("")
    lines += [f"Targets: {met[True]} rows met, {met[False]} missed.", "", "Every configuration: requests/s "
              f"(p50/p90/p99 ms; RSS; {ours_name}'s mean rows per batch run in the measured window):", ""]
    labels = list(dict.fromkeys(key for cell in results.values() for key in cell))
    lines.append("| model | clients | C | " + " | ".join(f"{ours_name if s == 'vekracore' else 'ort'} {lb}"
                                                         for s, lb in labels) + " |")
    lines.append("|" + "---|" * (3 + len(labels)))
    for (model, kind, clients), cell in results.items():
        row = [model, kind, str(clients)]
        for key in labels:
            r = cell.get(key)
            if r is None:
                row.append("")
            elif "error" in r:
                row.append("failed")
            else:
                rows = (r.get("batches") or {}).get("rows per run")
                row.append(f"{r['rate']:.1f} ({fmt(r['p50'], 2)}/{fmt(r['p90'], 2)}/{fmt(r['p99'], 2)}; "
                           f"{r['rss_kib'] / 1024:.0f} MiB" + (f"; {rows:.1f} rows" if rows else "") + ")")
        lines.append("| " + " | ".join(row) + " |")
    lines += [""] + memory_lines(memory, ours_name)
    errors = sorted({f"{side} {label}: {r['error']}" for cell in results.values()
                     for (side, label), r in cell.items() if "error" in r})
    if errors:
        lines += ["", "Failed configurations: " + "; ".join(errors[:5]) + "."]
    lines.append("")
    return lines


def failed(cell, side):
    return "failed" if any(s == side for s, _ in cell) else "-"


def agreement_text(results):
    differ, compared = agreement(results)
    if not compared:
        return ""
    if not differ:
        return (f"Every configuration answers the same probe request as onnxruntime does (rtol {RTOL:g}, "
                f"atol {ATOL:g}) on {', '.join(compared)}.")
    return "Answers that differ from onnxruntime's on the probe: " + ", ".join(f"{m} {s} {lb}" for m, s, lb in differ) + "."


def check_text(results):
    checked = sum(r.get("checked", 0) for cell in results.values() for r in cell.values())
    mismatched = sum(r.get("mismatched", 0) for cell in results.values() for r in cell.values())
    return (f"Of {checked} answers checked during the warm-ups against the request run alone, "
            f"{mismatched} differed.")


def memory_lines(memory, ours_name):
    lines = [f"Memory: the light resnet50 (batch made dynamic), {memory['clients']} threads sending "
             f"{memory['per_client']} one-row request(s) each; {ours_name}'s Batcher with workers=4 (threads=1) "
             f"against one onnxruntime session (intra-op threads 1), each in its own child process.", "",
             "| engine | RSS loaded, MiB | RSS after serving, MiB | peak (VmHWM), MiB | serving, s |",
             "|---|---|---|---|---|"]
    for side in ("vekracore", "onnxruntime"):
        r = memory[side]
        name = ours_name if side == "vekracore" else "onnxruntime"
        if "error" in r or r.get("errors"):
            lines.append(f"| {name} | failed: {r.get('error') or r['errors'][0]} | | | |")
        else:
            lines.append(f"| {name} | {r['loaded_kib'] / 1024:.0f} | {r['rss_kib'] / 1024:.0f} | "
                         f"{r['hwm_kib'] / 1024:.0f} | {r['seconds']:.2f} |")
    return lines


def draw(args, results, target_path, ort_version):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ours_name = "stand-in" if args.stand_in else "vekracore"
    fig, axes = plt.subplots(1, len(args.models), figsize=(4 * len(args.models), 4), squeeze=False)
    for ax, model in zip(axes[0], args.models):
        for side, name, color in (("vekracore", ours_name, "tab:blue"), ("onnxruntime", f"onnxruntime {ort_version}",
                                                                         "tab:orange")):
            for kind, style in zip(KINDS, ("-", "--")):
                points = [(c, best(results[(model, kind, c)], side)[1]) for c in args.clients
                          if (model, kind, c) in results]
                points = [(c, r["rate"]) for c, r in points if r is not None]
                if points:
                    ax.plot(*zip(*points), style, marker="o", color=color, label=f"{name}, {kind}")
        ax.set_xscale("log")
        ax.set_xticks(args.clients)
        ax.set_xticklabels([str(c) for c in args.clients])
        ax.set_ylim(bottom=0)
        ax.set_xlabel("clients C")
        ax.set_title(model)
        ax.grid(alpha=0.3)
    axes[0][0].set_ylabel("requests/s (best configuration)")
    axes[0][0].legend(fontsize=8)
    fig.suptitle("One-row requests served from C clients in a closed loop" + (" (harness test: stand-in)"
                                                                                if args.stand_in else ""))
    fig.tight_layout()
    fig.savefig(target_path, dpi=90)


def bundled_version():
    """The ONNX Runtime release vekracore loads, read in a child (this interpreter may load another)."""
    probe = ("import sys; sys.path.insert(0, sys.argv[1]); import vekracore; from conftest import ORT_VERSION; "
             "print('.'.join(map(str, ORT_VERSION)))")
    done = subprocess.run([sys.executable, "-c", probe, os.path.join(HERE, "..", "tests", "python")],
                          capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def has_batcher():
    done = subprocess.run([sys.executable, "-c", "import vekra_numpy; vekra_numpy.Batcher"], capture_output=True)
    return done.returncode == 0


def main(args):
    import results_section  # noqa: E402  (bench/ is on sys.path when run as a script)

    if not args.stand_in and not has_batcher():
        raise SystemExit("this interpreter's vekra_numpy has no Batcher: build it, or test the harness with --stand-in")

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    env = {"load_before": os.getloadavg()[0], "cpu": cpu, "ours_python": platform.python_version(),
           "bundled": None if args.stand_in else bundled_version()}
    with tempfile.TemporaryDirectory() as folder:
        paths = build_models(folder, args.models)
        for path in paths.values():
            env["checked_with"] = check_batches(path)
        results = measure(args, paths)
        print("  memory cell", file=sys.stderr, flush=True)
        memory = measure_memory(args, folder)
    env["load_after"] = os.getloadavg()[0]
    found = [r["versions"] for cell in results.values() for (side, _), r in cell.items()
             if side == "onnxruntime" and "versions" in r]
    env["ort"] = found[0] if found else {"onnxruntime": "?", "python": "?"}
    ours = [r["versions"] for cell in results.values() for (side, _), r in cell.items()
            if side == "vekracore" and "versions" in r]
    env["stand_in_ort"] = ours[0].get("onnxruntime", "?") if ours else "?"
    out = args.out or (os.path.join(tempfile.gettempdir(), "bench-serve-stand-in") if args.stand_in else HERE)
    os.makedirs(out, exist_ok=True)
    stem = "serve-stand-in" if args.stand_in else "serve"
    draw(args, results, os.path.join(out, stem + ".png"), env["ort"]["onnxruntime"])
    target = os.path.join(out, "results-stand-in.md" if args.stand_in else "results.md")
    return results_section.splice(TITLE, section(args, results, memory, env), target)


def parse(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, help="measured time of each cell (default 2, --quick 0.2)")
    ap.add_argument("--warmup", type=float, help="time each cell serves before it is measured (default 0.5, --quick 0.1)")
    ap.add_argument("--quick", action="store_true", help="a smoke run of about a minute: C 1 and 16, fewer configurations")
    ap.add_argument("--stand-in", action="store_true", help="measure StandInBatcher (this harness's test) for the Batcher")
    ap.add_argument("--ort-python", help="an interpreter with the onnxruntime release vekracore bundles")
    ap.add_argument("--models", help=f"comma-separated, of {','.join(MODELS)}")
    ap.add_argument("--clients", help="comma-separated client counts (default 1,4,16,64; --quick 1,16)")
    ap.add_argument("--max-batch", type=int, default=32)
    ap.add_argument("--max-wait", type=float, default=0.001)
    ap.add_argument("--out", help="folder for the results file and the plot (default bench/; with --stand-in "
                                  "a temporary folder)")
    ap.add_argument("--cell", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.cell:
        return args
    args.seconds = args.seconds if args.seconds is not None else (0.2 if args.quick else 2.0)
    args.warmup = args.warmup if args.warmup is not None else (0.1 if args.quick else 0.5)
    args.models = args.models.split(",") if args.models else list(MODELS)
    unknown = [m for m in args.models if m not in MODELS]
    if unknown:
        ap.error(f"unknown models {unknown}; choose from {', '.join(MODELS)}")
    args.clients = [int(c) for c in args.clients.split(",")] if args.clients else ([1, 16] if args.quick else list(CLIENTS))
    if any(c < 1 for c in args.clients):
        ap.error("client counts are positive")
    return args


if __name__ == "__main__":
    arguments = parse()
    if arguments.cell:
        child_main(arguments.cell)
    else:
        print("wrote", main(arguments))

"""Tests of the serving benchmark's harness (bench_serve.py): its models against numpy
references, the dynamic batch of the test networks, the stand-in batcher, the client loop and
the report. Run: `.venv/bin/python -m pytest -q bench/test_bench_serve.py` (about a minute)."""
import asyncio
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_serve as bs  # noqa: E402

ort = pytest.importorskip("onnxruntime")
onnx = pytest.importorskip("onnx")


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return bs.build_models(str(tmp_path_factory.mktemp("models")), bs.MODELS)


def float_weights(path):
    """The float initialisers of a model, in the order the builder made them."""
    from onnx import numpy_helper

    return iter(numpy_helper.to_array(i) for i in onnx.load(path).graph.initializer
                if i.data_type == onnx.TensorProto.FLOAT and i.dims)


def run(path, x):
    session = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
    return session.run(None, {session.get_inputs()[0].name: x})


def mlp_reference(path, x):
    w = float_weights(path)
    h = x
    for k in range(3):
        h = h @ next(w) + next(w)
        h = np.maximum(h, 0) if k < 2 else h
    return [h]


def transformer_reference(path, x):
    w = float_weights(path)
    head = bs.D_MODEL // bs.HEADS

    def norm(v):
        gamma, beta = next(w), next(w)
        mean, var = v.mean(-1, keepdims=True), v.var(-1, keepdims=True)
        return (v - mean) / np.sqrt(var + 1e-5) * gamma + beta

    def dense(v):
        return v @ next(w) + next(w)

    for _ in range(2):
        h = norm(x)
        q, k, v = (dense(h).reshape(len(x), bs.SEQ, bs.HEADS, head).transpose(0, 2, 1, 3) for _ in range(3))
        scores = q @ k.transpose(0, 1, 3, 2) / np.sqrt(head)
        p = np.exp(scores - scores.max(-1, keepdims=True))
        p /= p.sum(-1, keepdims=True)
        x = x + dense((p @ v).transpose(0, 2, 1, 3).reshape(len(x), bs.SEQ, bs.D_MODEL))
        x = x + dense(np.maximum(dense(norm(x)), 0))
    return [x]


def lstm_reference(path, x):
    W, R, B = (a[0] for a in float_weights(path))
    H = bs.HIDDEN
    sigmoid = lambda v: 1 / (1 + np.exp(-v))  # noqa: E731
    h = c = np.zeros((len(x), H))
    ys = []
    for t in range(x.shape[1]):
        gates = x[:, t] @ W.T + h @ R.T + B[:4 * H] + B[4 * H:]
        i, o, f, g = (gates[:, k * H:(k + 1) * H] for k in range(4))  # ONNX's gate order i, o, f, c
        c = sigmoid(f) * c + sigmoid(i) * np.tanh(g)
        h = sigmoid(o) * np.tanh(c)
        ys.append(h)
    return [np.stack(ys, axis=1), h, c]


@pytest.mark.parametrize("name, reference", [("mlp", mlp_reference), ("transformer", transformer_reference),
                                             ("lstm", lstm_reference)])
def test_model_matches_numpy(paths, name, reference):
    shape = bs.model_inputs(paths[name])[0][1]
    x = np.random.default_rng(5).uniform(-1, 1, [3] + shape[1:]).astype(np.float32)
    got, want = run(paths[name], x), reference(paths[name], x.astype(np.float64))
    assert [g.shape for g in got] == [np.shape(w) for w in want]
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("network", ["light_squeezenet.onnx", "light_resnet50.onnx"])
def test_dynamic_batch_of_test_networks(tmp_path, network):
    path = bs.dynamic_batch(os.path.join(bs.light_folder(), network), str(tmp_path / network))
    model = onnx.load(path)
    inits = {i.name for i in model.graph.initializer}
    values = [v for v in model.graph.input if v.name not in inits] + list(model.graph.output)
    assert {v.type.tensor_type.shape.dim[0].dim_param for v in values} == {"batch"}
    bs.check_batches(path)  # batch 1 and 8, the batch's rows equal to the rows alone


def test_every_model_axis0_is_the_batch(paths):
    for path in paths.values():
        model = onnx.load(path)
        inits = {i.name for i in model.graph.initializer}
        for v in [v for v in model.graph.input if v.name not in inits] + list(model.graph.output):
            assert v.type.tensor_type.shape.dim[0].dim_param == "batch", (path, v.name)


# ---- the stand-in batcher ------------------------------------------------------------------

@pytest.fixture
def stand_in(paths):
    with bs.StandInBatcher(paths["lstm"], max_batch=8, max_wait=0.005, workers=2) as b:
        yield b


def test_stand_in_answers_each_request_with_its_rows(paths, stand_in):
    feeds = bs.request_feeds(bs.model_inputs(paths["lstm"]), count=24, seed=1)
    alone = [stand_in.run(f) for f in feeds]
    answers = [None] * len(feeds)
    barrier = threading.Barrier(len(feeds))

    def client(k):
        barrier.wait()
        answers[k] = stand_in.run(feeds[k])

    threads = [threading.Thread(target=client, args=(k,)) for k in range(len(feeds))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(answers, alone):
        assert bs.close_enough(got, want)
    stats = stand_in.stats()
    assert stats["requests"] == 2 * len(feeds) and stats["failures"] == 0
    assert stats["runs"] < stats["requests"]  # concurrent requests were merged
    assert stats["rows"] / stats["runs"] == stats["mean rows per run"]


@pytest.mark.parametrize("form", ["mapping", "sequence", "array"])
def test_stand_in_input_forms_and_rows(paths, stand_in, form):
    x = bs.request_feeds(bs.model_inputs(paths["lstm"]), count=1)[0]["x"]
    three = np.concatenate([x, x * 0.5, x * 2])
    given = {"mapping": {"x": three}, "sequence": [three], "array": three}[form]
    y, h, c = stand_in.run(given)
    assert y.shape == (3, bs.SEQ, bs.HIDDEN) and h.shape == c.shape == (3, bs.HIDDEN)
    assert bs.close_enough([y[1:2], h[1:2], c[1:2]], stand_in.run(three[1:2]))


def test_stand_in_async_and_submit(paths, stand_in):
    feed = bs.request_feeds(bs.model_inputs(paths["lstm"]), count=1)[0]
    want = stand_in.run(feed)

    async def main():
        return await asyncio.gather(*(stand_in.run_async(feed) for _ in range(5)))

    for got in asyncio.run(main()) + [stand_in.submit(feed).result(timeout=30)]:
        assert bs.close_enough(got, want)


@pytest.mark.parametrize("bad, error", [({"y": np.zeros((1, 16, 32), np.float32)}, ValueError),
                                        ([], ValueError),
                                        (np.float32(1.0), ValueError)])
def test_stand_in_refuses_bad_requests(stand_in, bad, error):
    with pytest.raises(error):
        stand_in.run(bad)


def test_stand_in_failed_batch_fails_its_requests_only(paths, stand_in):
    wrong = np.zeros((1, bs.SEQ, 5), np.float32)  # 5 features where the model takes 32
    futures = [stand_in.submit(wrong) for _ in range(3)]
    for f in futures:
        with pytest.raises(Exception):
            f.result(timeout=30)
    assert stand_in.stats()["failures"] == 3
    feed = bs.request_feeds(bs.model_inputs(paths["lstm"]), count=1)[0]
    assert len(stand_in.run(feed)) == 3  # it goes on serving


def test_stand_in_close_stops_workers(paths):
    b = bs.StandInBatcher(paths["mlp"], workers=3)
    b.close()
    assert not any(t.is_alive() for t in b.threads)
    with pytest.raises(RuntimeError, match="closed"):
        b.run(np.zeros((1, 256), np.float32))


# ---- the client loop and the figures --------------------------------------------------------

class EchoEngine(bs.Engine):
    """Answers a request with its own input, or with a wrong answer when `wrong`."""

    def __init__(self, wrong=False):
        self.wrong = wrong

    def call(self, feeds):
        return [feeds["x"] + (1.0 if self.wrong else 0.0)]

    async def acall(self, feeds):
        await asyncio.sleep(0)
        return self.call(feeds)


@pytest.mark.parametrize("kind", bs.KINDS)
@pytest.mark.parametrize("wrong", [False, True])
def test_clients_count_and_check(kind, wrong):
    feeds = bs.request_feeds([("x", [1, 4])], count=3)
    references = [[f["x"]] for f in feeds]
    clients = bs.Clients(EchoEngine(wrong), feeds, references, clients=4, warmup=0.05, seconds=0.05)
    clients.run_asyncio() if kind == "asyncio" else clients.run_threads()
    figures = clients.figures()
    assert clients.errors == []
    assert figures["checked"] > 0
    assert figures["mismatched"] == (figures["checked"] if wrong else 0)
    assert figures["requests"] == sum(len(x) for x in clients.latencies) > 0
    assert figures["p50"] <= figures["p90"] <= figures["p99"]


def test_clients_record_an_engine_failure():
    class Failing(EchoEngine):
        def call(self, feeds):
            raise RuntimeError("broken")

    clients = bs.Clients(Failing(), bs.request_feeds([("x", [1, 2])], count=1), [None], 3, 0.01, 0.01)
    clients.run_threads()
    assert clients.errors == ["RuntimeError: broken"] * 3


def test_percentiles_and_counter_window():
    assert bs.percentiles_ms([]) == {"p50": None, "p90": None, "p99": None}
    p = bs.percentiles_ms([i / 1000 for i in range(1, 101)])
    assert p["p50"] == pytest.approx(50.5) and p["p99"] == pytest.approx(99.01)
    before = {"requests": 10, "runs": 5, "rows": 10, "failures": 0, "mean rows per run": 2.0}
    after = {"requests": 40, "runs": 8, "rows": 40, "failures": 1, "mean rows per run": 5.0}
    assert bs.counter_window(before, after) == {"requests": 30, "runs": 3, "rows": 30, "failures": 1,
                                                "rows per run": 10.0}
    assert bs.counter_window(None, None) is None


FAST = {"rate": 3000.0, "p50": 1.0, "p99": 2.0}
SLOW = {"rate": 900.0, "p50": 1.05, "p99": 5.0}


@pytest.mark.parametrize("model, clients, ours, theirs, met", [
    ("mlp", 16, FAST, SLOW, True),                          # 3.3x, p99 0.4x
    ("mlp", 64, FAST, dict(SLOW, p99=3.0), False),          # p99 0.67x
    ("lstm", 16, dict(FAST, rate=2000.0), SLOW, False),     # 2.2x
    ("squeezenet", 16, SLOW, dict(SLOW, rate=940.0), True),  # 0.96x, same p50
    ("squeezenet", 4, SLOW, dict(SLOW, p50=0.9), False),    # p50 1.17x
    ("transformer", 1, SLOW, FAST, False),                  # 0.3x
    ("transformer", 1, FAST, SLOW, True),
    ("mlp", 4, SLOW, FAST, None),                           # no target at C=4 on the small models
])
def test_targets(model, clients, ours, theirs, met):
    what, ok = bs.target(model, clients, ours, theirs)
    assert (None if what is None else ok) == met


def test_best_ignores_failed_configurations():
    cell = {("vekracore", "w1"): {"error": "boom"}, ("vekracore", "w2"): dict(FAST, requests=5),
            ("onnxruntime", "1t"): dict(SLOW, requests=0)}
    assert bs.best(cell, "vekracore")[0] == "w2"
    assert bs.best(cell, "onnxruntime") == (None, None)


# ---- children --------------------------------------------------------------------------------

def test_child_failure_is_an_error_entry(paths):
    cell = {"engine": "ort", "intra": 1, "mode": "run", "path": "/nonexistent.onnx", "inputs": [["x", [1, 2]]],
            "kind": "threads", "clients": 1, "seconds": 0.1, "warmup": 0.1}
    assert "error" in bs.run_child(sys.executable, cell, timeout=120)


def test_run_async_children_exit_cleanly(paths):
    """onnxruntime's run_async calls back on its own threads; the process must not end while a
    callback is still returning (it crashed there at exit, most times)."""
    cell = {"engine": "ort", "intra": 0, "mode": "run_async", "path": paths["mlp"],
            "inputs": bs.model_inputs(paths["mlp"]), "kind": "asyncio", "clients": 1, "seconds": 0.1, "warmup": 0.05}
    for _ in range(6):
        result = bs.run_child(sys.executable, cell, timeout=120)
        assert "error" not in result, result
        assert result["mismatched"] == 0 and result["requests"] > 0


def test_quick_stand_in_run_writes_its_section(tmp_path):
    out = tmp_path / "out"
    done = subprocess.run([sys.executable, bs.__file__, "--stand-in", "--quick", "--models", "mlp,squeezenet",
                           "--clients", "1,4", "--seconds", "0.1", "--warmup", "0.05", "--out", str(out)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    text = (out / "results-stand-in.md").read_text()
    assert "## Serving" in text and "not vekracore" in text
    assert "### mlp" in text and "### squeezenet" in text and "failed" not in text
    assert "0 differed" in text and "answers the same probe" in text
    assert (out / "serve-stand-in.png").stat().st_size > 0


def test_without_batcher_the_run_stops_at_once(tmp_path):
    if bs.has_batcher():
        pytest.skip("this build has vekra_numpy.Batcher")
    done = subprocess.run([sys.executable, bs.__file__, "--quick", "--out", str(tmp_path)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode != 0 and "--stand-in" in done.stderr
    assert not list(tmp_path.iterdir())

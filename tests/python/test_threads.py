"""Models run from several threads and from asyncio: runs without the interpreter lock (models
from vekra_numpy.load_model, and every run_async), each model's runs one after another, results
that are always those of a single thread, errors, cancellation, Ctrl-C and the end of the
interpreter with runs in flight (the last two in child interpreters)."""
import asyncio
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import vekracore as vk
import vekra_numpy as vn
from conftest import chain_nodes, in_threads

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")


def child(code, **kwargs):
    """Runs `code` in a fresh interpreter (same environment); returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, **kwargs)


# ---- models ------------------------------------------------------------------------------------

def write_chain(path, n, links, seed=0):
    """x (n, n) -> links times (MatMul by one n x n weight, then Tanh) -> y (n, n). Tanh comes
    last, so every output element is written once per run with its final value."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(seed)
    weight = numpy_helper.from_array((rng.standard_normal((n, n)) / np.sqrt(n)).astype(np.float32), "w")
    nodes = chain_nodes(links)
    f = TensorProto.FLOAT
    graph = helper.make_graph(nodes, "chain", [helper.make_tensor_value_info("x", f, [n, n])],
                              [helper.make_tensor_value_info("y", f, [n, n])], [weight])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8)
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


def write_reshape(path):
    """y (3, 2) = Reshape(x (2, 3), shape): a run fails while the int64 input `shape` is not (3, 2)."""
    import onnx
    from onnx import TensorProto, helper

    graph = helper.make_graph([helper.make_node("Reshape", ["x", "shape"], ["y"])], "reshape",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [2, 3]),
                               helper.make_tensor_value_info("shape", TensorProto.INT64, [2])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [3, 2])])
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8), path)
    return path


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    return write_chain(str(tmp_path_factory.mktemp("models") / "chain.onnx"), 48, 6)


@pytest.fixture(scope="module")
def long_chain(tmp_path_factory):
    """Long enough (a few hundred milliseconds and more) for other work to happen during a run."""
    return write_chain(str(tmp_path_factory.mktemp("models") / "long_chain.onnx"), 384, 160)


@pytest.fixture(scope="module")
def busy_chain(tmp_path_factory):
    """Thousands of tiny nodes: a run spends its time in ONNX Runtime's per-node machinery, its
    kernel registry and type tables included, rather than in arithmetic."""
    return write_chain(str(tmp_path_factory.mktemp("models") / "busy_chain.onnx"), 4, 3000)


# How a model is made: with the interpreter lock released by its runs, or held by them.
LOADERS = {
    "load_model": lambda path: vn.load_model(path, threads=1),
    "vekracore.model": lambda path: vk.model(path),
}


@pytest.fixture(params=LOADERS.values(), ids=LOADERS.keys())
def load(request):
    return request.param


def inputs_for(path, count, seed):
    shape = vn.inputs(vn.load_model(path))[0].shape
    rng = np.random.default_rng(seed)
    return [rng.uniform(-1, 1, shape).astype(np.float32) for _ in range(count)]


def single_threaded(load, path, xs):
    """The outputs of a model made by `load`, for each input, run in this thread alone."""
    m = load(path)
    (x,), (y,) = vn.inputs(m), vn.outputs(m)
    results = []
    for value in xs:
        np.copyto(x, value)
        m.run()
        results.append(y.copy())
    return results


# ---- threads -----------------------------------------------------------------------------------

def test_two_models_of_one_file_see_their_own_inputs(load, chain):
    """Each thread writes its own inputs into its own model, runs it and reads it back, many
    times: every result is the single-threaded one of that thread's input."""
    feeds = [inputs_for(chain, 6, seed) for seed in (1, 2)]
    expected = [single_threaded(load, chain, xs) for xs in feeds]
    models = [load(chain) for _ in feeds]
    seen = [[], []]

    def work(k):
        (x,), (y,) = vn.inputs(models[k]), vn.outputs(models[k])
        for r in range(60):
            np.copyto(x, feeds[k][r % 6])
            models[k].run()
            seen[k].append((r % 6, y.copy()))

    in_threads(lambda: work(0), lambda: work(1))
    for k in (0, 1):
        assert len(seen[k]) == 60
        for i, y in seen[k]:
            np.testing.assert_array_equal(y, expected[k][i])


def test_one_model_run_by_two_threads_on_one_input(load, chain):
    """Both threads run the same model over and over and read its output: with the input fixed,
    every read is the single-threaded result, and nothing crashes."""
    x0 = inputs_for(chain, 1, 3)[0]
    expected = single_threaded(load, chain, [x0])[0]
    m = load(chain)
    np.copyto(vn.inputs(m)[0], x0)
    y = vn.outputs(m)[0]
    reads = []

    def work():
        for _ in range(150):
            m.run()
            reads.append(y.copy())

    in_threads(work, work)
    assert len(reads) == 300
    for r in reads:
        np.testing.assert_array_equal(r, expected)


def test_set_get_and_operations_beside_a_run_without_the_lock(chain):
    """While another thread runs the model without the interpreter lock, this one writes the
    input elements with the values they hold (m.set), reads outputs (m.get) and computes with
    vekracore: all of it works, and the results stay the single-threaded ones."""
    x0 = inputs_for(chain, 1, 4)[0]
    expected = single_threaded(LOADERS["load_model"], chain, [x0])[0]
    m = vn.load_model(chain, threads=1)
    np.copyto(vn.inputs(m)[0], x0)
    m.run()
    rng = np.random.default_rng(5)
    a, b = rng.standard_normal((20, 30)), rng.standard_normal((30, 10))
    A, B, C = vn.matrix(a), vn.matrix(b), vk.matd(20, 10)
    finished = threading.Event()
    checks = 0

    def runs():
        try:
            for _ in range(100):
                m.run()
        finally:
            finished.set()

    runner = threading.Thread(target=runs)
    runner.start()
    try:
        while not finished.is_set() or checks < 5:
            i, j = checks % x0.shape[0], (7 * checks) % x0.shape[1]
            m.set(0, [i, j], float(x0[i, j]))
            assert m.get(0, [j, i]) == expected[j, i]
            vk.gemm(1.0, 0.0, A, B, C)
            np.testing.assert_allclose(vn.asarray(C), a @ b, rtol=1e-12)
            checks += 1
    finally:
        runner.join()
    m.run()
    np.testing.assert_array_equal(vn.outputs(m)[0], expected)


def test_an_error_inside_a_run_without_the_lock(tmp_path):
    """ONNX Runtime's failure in a run without the lock is the RuntimeError the run with the
    lock raises, from m.run() in any thread and from run_async; the model runs on afterwards."""
    path = write_reshape(str(tmp_path / "reshape.onnx"))
    with pytest.raises(RuntimeError) as held:
        vk.model(path).run()
    m = vn.load_model(path, optimization="disable")
    with pytest.raises(RuntimeError) as released:
        m.run()
    assert str(released.value) == str(held.value) != ""
    failures = []

    def in_a_thread():
        try:
            m.run()
        except RuntimeError as e:
            failures.append(str(e))

    in_threads(in_a_thread, in_a_thread)
    assert failures == [str(held.value)] * 2

    async def awaited():
        await vn.run_async(m)

    with pytest.raises(RuntimeError) as async_failure:
        asyncio.run(awaited())
    assert str(async_failure.value) == str(held.value)
    x, shape = vn.inputs(m)
    x[...] = np.arange(6).reshape(2, 3)
    shape[...] = (3, 2)
    m.run()
    np.testing.assert_array_equal(vn.outputs(m)[0], np.arange(6).reshape(3, 2))


def test_runs_with_and_without_the_lock_of_one_model_follow_one_another(chain):
    """A vekracore.model runs with the lock held in one thread while the event loop of another
    runs it without (run_async): neither waits for the other forever, and every read is the
    single-threaded result."""
    x0 = inputs_for(chain, 1, 6)[0]
    m = vk.model(chain)
    expected = single_threaded(lambda p: m, chain, [x0])[0]
    y = vn.outputs(m)[0]
    reads = []

    def held():
        for _ in range(100):
            m.run()
            reads.append(y.copy())

    def released():
        async def runs():
            for _ in range(100):
                await vn.run_async(m)
                reads.append(y.copy())
        asyncio.run(runs())

    in_threads(held, released)
    assert len(reads) == 200
    for r in reads:
        np.testing.assert_array_equal(r, expected)


# ---- asyncio -----------------------------------------------------------------------------------

def test_run_async_of_several_models_gathered(load, chain):
    feeds = inputs_for(chain, 4, 7)
    expected = single_threaded(load, chain, feeds)
    models = [load(chain) for _ in feeds]
    for m, x in zip(models, feeds):
        np.copyto(vn.inputs(m)[0], x)

    async def main():
        for _ in range(3):
            done = await asyncio.gather(*(vn.run_async(m) for m in models))
            assert done == [None] * len(models)
            for m, e in zip(models, expected):
                np.testing.assert_array_equal(vn.outputs(m)[0], e)

    asyncio.run(main())


def ticks_during(run):
    """Ticks of a task that ticks every millisecond while `run()` (an awaitable) is pending."""
    async def main():
        pending = asyncio.ensure_future(run())
        ticks = 0
        while not pending.done():
            await asyncio.sleep(0.001)
            ticks += 1
        await pending
        return ticks

    return asyncio.run(main())


AWAITED = {
    "run_async(m)": lambda m: vn.run_async(m),
    "m.run in the executor": lambda m: asyncio.get_running_loop().run_in_executor(None, m.run),
}


@pytest.mark.parametrize("awaited", AWAITED.values(), ids=AWAITED.keys())
def test_the_event_loop_keeps_ticking_while_a_run_is_awaited(long_chain, awaited):
    """The event loop goes on while a long run is awaited, whether it runs through run_async or
    a load_model model's m.run() in another thread: neither holds the interpreter lock."""
    m = vn.load_model(long_chain, threads=1)
    x0 = inputs_for(long_chain, 1, 8)[0]
    np.copyto(vn.inputs(m)[0], x0)
    expected = single_threaded(LOADERS["load_model"], long_chain, [x0])[0]
    assert ticks_during(lambda: awaited(m)) >= 10
    np.testing.assert_array_equal(vn.outputs(m)[0], expected)


def test_a_vekracore_model_holds_the_lock_through_its_run(long_chain):
    """vekracore.model(path)'s m.run() in another thread stops the event loop for the whole run
    (a tick or two around it at most); run_async of the same model does not."""
    m = vk.model(long_chain)
    assert ticks_during(lambda: AWAITED["m.run in the executor"](m)) <= 5
    assert ticks_during(lambda: vn.run_async(m)) >= 10


def test_cancelling_the_awaiting_task_does_not_interrupt_the_run(long_chain):
    m = vn.load_model(long_chain, threads=1)
    x0 = inputs_for(long_chain, 1, 9)[0]
    np.copyto(vn.inputs(m)[0], x0)
    expected = single_threaded(LOADERS["load_model"], long_chain, [x0])[0]
    y = vn.outputs(m)[0]
    y[...] = np.nan

    async def main():
        task = asyncio.ensure_future(vn.run_async(m))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.get_running_loop().shutdown_default_executor()  # waits for the run

    asyncio.run(main())
    np.testing.assert_array_equal(y, expected)


@pytest.mark.parametrize("bad", [None, 3, "model.onnx", vk.vecs(2)], ids=repr)
def test_run_async_refuses_what_is_not_a_model(bad):
    async def main():
        with pytest.raises(TypeError, match="^run_async\\(\\) argument must be a vekracore.model, not "):
            vn.run_async(bad)

    asyncio.run(main())


def test_run_async_refuses_a_model_made_without_init():
    async def main():
        with pytest.raises(TypeError, match="created without __init__"):
            vn.run_async(vk.model.__new__(vk.model))

    asyncio.run(main())


def test_run_async_needs_a_running_event_loop(chain):
    with pytest.raises(RuntimeError, match="no running event loop"):
        vn.run_async(vn.load_model(chain))


# ---- Ctrl-C and the end of the interpreter ---------------------------------------------------------

def test_ctrl_c_during_a_run_without_the_lock_comes_when_the_run_returns(long_chain):
    """SIGINT arrives while the main thread's run is in flight: the run finishes (the outputs
    hold its result), then KeyboardInterrupt is raised."""
    # The main thread never gives the interpreter lock up on its own (a switch interval of
    # minutes), so the interrupting thread runs only while a run has released it: the signal
    # always lands inside a run, however late that thread is scheduled.
    done = child(f"""
        import os, signal, sys, threading
        import numpy as np
        import vekra_numpy as vn
        m = vn.load_model({long_chain!r}, threads=1)
        x, y = vn.inputs(m)[0], vn.outputs(m)[0]
        x[...] = np.random.default_rng(10).uniform(-1, 1, x.shape)
        m.run()
        expected = y.copy()
        y[...] = np.nan
        running = threading.Event()
        def interrupt():
            running.wait()
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        sys.setswitchinterval(600)
        try:
            running.set()
            for _ in range(1000):
                m.run()
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted", np.array_equal(y, expected))
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted True\n", "")


@pytest.mark.parametrize("how", ["m.run()", "asyncio.run(one(m))"])
def test_the_interpreter_ends_while_runs_are_in_flight(busy_chain, how):
    """Daemon threads keep running models without the lock while the main thread ends. The
    process waits for the runs in flight before exit() destroys ONNX Runtime's static objects
    (which those runs use), the interpreter ends the threads as they retake the lock, and the
    process exits normally."""
    code = f"""
        import asyncio, threading, time
        import vekra_numpy as vn
        async def one(m):
            await vn.run_async(m)
        def loop():
            m = vn.load_model({busy_chain!r}, threads=1)
            while True:
                {how}
        for _ in range(4):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.5)
        print("end")
    """
    for run in range(5):
        done = child(code)
        assert (done.returncode, done.stdout) == (0, "end\n"), (run, done.stderr[-2000:])

"""os.fork() while other threads use models: the child never waits for a run of the parent's
threads (which do not exist in the child). A model whose run was in flight at the fork refuses
to run in the child with RuntimeError; a model that was idle runs there. ModelSpec's cache and
vekra_dask's locks start afresh in the child. Each case runs in a child interpreter, which
forks in turn."""
import os
import subprocess
import sys
import textwrap

import pytest

from test_threads import write_chain

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")


@pytest.fixture(scope="module")
def long_chain(tmp_path_factory):
    return write_chain(str(tmp_path_factory.mktemp("models") / "fork_chain.onnx"), 384, 160)


def forking(code, timeout=120):
    """Runs `code` in a fresh interpreter, where `in_child(f)` forks, runs f() in the child and
    returns what f printed there (or 'hung' if the child did not end within 20 s)."""
    prelude = textwrap.dedent("""
        import os, sys, time, threading, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running (3.12+)
        import numpy as np, vekracore as vk, vekra_numpy as vn

        def in_child(f):
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(r)
                try:
                    out = f()
                except BaseException as e:
                    out = f"{type(e).__name__}: {e}"
                os.write(w, str(out).encode())
                os._exit(0)
            os.close(w)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                done, _ = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                time.sleep(0.01)
            else:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                return "hung"
            text = os.read(r, 65536).decode()
            os.close(r)
            return text
    """)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines()


def test_a_model_running_in_another_thread_at_the_fork_refuses_to_run_in_the_child(long_chain):
    lines = forking(f"""
        m = vn.load_model({long_chain!r}, threads=1)
        started, stop = threading.Event(), threading.Event()
        def serve():
            while not stop.is_set():
                started.set()
                m.run()
        t = threading.Thread(target=serve)
        t.start()
        started.wait()
        time.sleep(0.05)
        for _ in range(3):
            print(in_child(lambda: (m.run(), "ran")[1]))
        stop.set()
        t.join()
        print(in_child(lambda: (m.run(), "ran")[1]))  # idle at this fork
    """)
    assert "hung" not in lines, lines
    assert lines[-1] == "ran"
    for line in lines[:-1]:
        assert line == "ran" or line.startswith("RuntimeError: the model was running in another thread when this "
                                                "process was forked"), line
    assert any(line.startswith("RuntimeError") for line in lines[:-1]), lines


def test_a_model_idle_at_the_fork_runs_in_the_child_from_several_threads(long_chain):
    lines = forking(f"""
        m = vn.load_model({long_chain!r}, threads=1)
        m.run()
        expected = vn.outputs(m)[0].copy()
        def child():
            results = []
            def run():
                m.run()
                results.append(np.array_equal(vn.outputs(m)[0], expected))
            threads = [threading.Thread(target=run) for _ in range(3)]
            for t in threads: t.start()
            for t in threads: t.join()
            return results
        print(in_child(child))
    """)
    assert lines == ["[True, True, True]"]


def test_model_spec_loads_its_own_model_in_a_child_forked_during_a_load(long_chain):
    lines = forking(f"""
        spec = vn.ModelSpec({long_chain!r}, threads=1)
        m = spec.model()
        held = threading.Event(); release = threading.Event()
        import _vekra_numpy_spec as s
        def hold():  # a load in flight in another thread at the fork
            with s._loading:
                held.set(); release.wait()
        t = threading.Thread(target=hold); t.start(); held.wait()
        print(in_child(lambda: (spec.model() is not m, vn.ModelSpec.loads() == [spec])))
        release.set(); t.join()
    """)
    assert lines == ["(True, True)"]

"""Forks while another thread holds one of vekra_dask's locks, as a run in flight does, then
maps the model over four rows in the child with the synchronous scheduler.

    python dask_fork.py MODEL.onnx model|registry SECONDS

Exits 0 when the child's result is right, 1 when it is wrong or the child failed, 2 when the
child has not finished after SECONDS (it is killed then).
"""
import os
import signal
import sys
import threading
import time
import traceback

import dask.array as da
import numpy as np

import vekra_dask
import vekra_numpy as vn


def child(spec):
    try:
        x = np.arange(12, dtype=np.float32).reshape(4, 3)
        (y,) = vekra_dask.map_model(spec, da.from_array(x, chunks=(2, 3)))
        os._exit(0 if np.array_equal(y.compute(scheduler="synchronous"), 2 * x + 1) else 1)
    except BaseException:
        traceback.print_exc()
        os._exit(1)


def main(path, which, seconds):
    spec = vn.ModelSpec(path, threads=1)
    held, release = threading.Event(), threading.Event()

    def hold():
        # "model": the lock of the description, as a task running it holds; "registry": the
        # lock of the table of those locks, as a task looking its lock up holds
        lock = vekra_dask._lock(spec) if which == "model" else vekra_dask._locks_lock
        with lock:
            held.set()
            release.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait()
    pid = os.fork()
    if pid == 0:
        child(spec)
    release.set()
    holder.join()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return 0 if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 else 1
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], float(sys.argv[3])))

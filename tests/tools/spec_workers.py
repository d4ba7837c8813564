"""Functions that the ModelSpec tests run in worker processes (importable by spawned children)."""
import os

import numpy as np

import vekra_numpy as vn


def load_and_run(spec, value):
    """This process's pid, its loads before and after, whether model() is one object, and the
    model's first output for `value` in every element of its first input."""
    before = vn.ModelSpec.loads()
    model = spec.model()
    same = model is spec.model()
    vn.inputs(model)[0][...] = value
    model.run()
    return os.getpid(), before, vn.ModelSpec.loads(), same, np.array(vn.outputs(model)[0])


def slow_copy(block, seconds):
    """The block itself, after a pause: stretches a computation so that a worker can die mid-way."""
    import time
    time.sleep(seconds)
    return block.copy()

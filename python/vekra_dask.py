"""Batch inference with vekracore models over dask arrays, one model per worker process.

    import dask.array as da
    import vekra_dask
    from vekra_numpy import ModelSpec

    spec = ModelSpec("/models/net.onnx", threads=1)
    x = da.from_array(images, chunks=(16, 3, 224, 224))
    (scores,) = vekra_dask.map_model(spec, x)
    scores.compute()

map_model() builds one task per chunk of the batch axis (axis 0). A task gets the model of
its description from vekra_numpy.ModelSpec.model(), so each worker process loads a model
once and keeps it for every later chunk; only the description travels with the tasks.
Everything that can be checked in the client is checked there, before any task runs.
"""
import threading

import dask.array as da
from dask.base import tokenize
import numpy as np
import vekra_numpy

__all__ = ["map_model"]

# Runs of one model never overlap (its tensors are shared): one lock per description, per process.
_locks = {}
_locks_lock = threading.Lock()
# Declared inputs and outputs, per file, read once in the client.
_declared = {}


def _lock(spec):
    with _locks_lock:
        lock = _locks.get(spec)
        if lock is None:
            lock = _locks[spec] = threading.Lock()
        return lock


def _describe(path):
    found = _declared.get(path)
    if found is None:
        found = _declared[path] = vekra_numpy.describe(path)
    return found


def _pinned(shape, dims, sizes):
    """The shape with each symbolic name that dims or sizes pin replaced by its size."""
    out = []
    for d in shape:
        if isinstance(d, str) and d in dims:
            d = dims[d]
        elif isinstance(d, str) and d in sizes:
            d = sizes[d]
        out.append(d)
    return tuple(out)


def _fixed(d):
    return isinstance(d, int)


def _show(shape):
    return "(" + ", ".join("?" if d is None else str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


class _Plan:
    """What every task of one map_model call needs, and the checks made in the client."""

    def __init__(self, spec, x, outputs):
        if not isinstance(spec, vekra_numpy.ModelSpec):
            raise TypeError(f"map_model() spec must be a vekra_numpy.ModelSpec, not {type(spec).__name__}")
        declared_inputs, declared_outputs = _describe(spec.path)
        self.spec = spec
        self.input_names = [name for name, _, _ in declared_inputs]
        self.arrays = self._arrays(x)
        dims = spec.dims
        shapes = spec.shapes

        # Every input: a dask array of its dtype, chunked along the batch axis only.
        first = None
        self.batch = None  # the batch of one run when the model fixes it
        self.pin = []      # (input name, shape after its batch dimension) for each input to pin per chunk
        sizes = {}         # symbolic names bound by the data
        for (name, dtype, declared), a in zip(declared_inputs, self.arrays):
            what = f"input '{name}'"
            if dtype is None or declared is None:
                raise TypeError(f"map_model() cannot feed {what}: it has no numpy dtype")
            if a.dtype != dtype:
                raise TypeError(f"{what} takes {dtype}, the array for it has dtype {a.dtype}: "
                                f"convert it with .astype('{dtype}')")
            shape = shapes[name] if name in shapes else _pinned(declared, dims, {})
            if len(shape) == 0:
                raise ValueError(f"{what} has no dimensions, so no batch axis to map over")
            if a.ndim != len(shape):
                raise ValueError(f"{what} has {len(shape)} dimensions {_show(shape)}, its array {a.ndim} {a.shape}")
            if any(np.isnan(c) for c in a.chunks[0]):
                raise ValueError(f"the array for {what} has unknown chunk sizes along the batch axis: "
                                 "call compute_chunk_sizes() first")
            for k in range(1, a.ndim):
                if len(a.chunks[k]) != 1:
                    raise ValueError(f"the array for {what} is chunked along axis {k} too; map_model maps over "
                                     f"whole rows of the batch axis: rechunk it with .rechunk({{{k}: -1}})")
                if _fixed(shape[k]) and shape[k] != a.shape[k]:
                    raise ValueError(f"{what} has shape {_show(shape)}, its array {a.shape}: dimension {k} differs")
                if isinstance(shape[k], str):
                    sizes.setdefault(shape[k], a.shape[k])
            if first is None:
                first = a
            elif a.chunks[0] != first.chunks[0]:
                raise ValueError(f"the arrays are not aligned on their batch chunks: '{self.input_names[0]}' has "
                                 f"{first.chunks[0]}, '{name}' has {a.chunks[0]}; rechunk them alike along axis 0")
            if _fixed(shape[0]):
                if self.batch is not None and self.batch != shape[0]:
                    raise ValueError(f"the inputs fix different batch sizes ({self.batch} and {shape[0]} for {what})")
                self.batch = shape[0]
            if not all(_fixed(d) for d in shape):
                self.pin.append((name, a.shape[1:]))
        if first is None:
            raise ValueError("map_model() needs a model with inputs")
        if self.pin and spec.optimization == "disable":
            raise ValueError(f"input '{self.pin[0][0]}' has dynamic dimensions, which map_model pins through "
                             "ModelSpec shapes, and pinning needs optimization 'basic' or above, not 'disable'")
        self.chunks = first.chunks[0]
        self.rows = first.shape[0]
        if self.batch is not None:
            batch = self.batch
            if self.rows % batch:
                raise ValueError(f"the model fixes its batch at {batch}, which no chunking of {self.rows} rows "
                                 f"can meet: every chunk must be a multiple of {batch}")
            bad = [c for c in self.chunks if c % batch]
            if bad:
                raise ValueError(f"the model fixes its batch at {batch}, and chunks {tuple(bad)} of the batch axis "
                                 f"are no multiple of it: rechunk with .rechunk({{0: {batch}}}) or a multiple")

        # The outputs wanted, each with the shape of one row.
        names = [name for name, _, _ in declared_outputs]
        if outputs is None:
            wanted = names
        elif isinstance(outputs, str):
            wanted = [outputs]
        else:
            wanted = list(outputs)
        self.single = isinstance(outputs, str)
        self.wanted = []
        self.wanted_names = []
        for name in wanted:
            if not isinstance(name, str):
                raise TypeError(f"map_model() outputs must be output names (str), not {type(name).__name__}")
            if name not in names:
                raise ValueError(f"the model has no output '{name}'; its outputs are {names}")
            self.wanted.append(names.index(name))
            self.wanted_names.append(name)
        self.out_dtypes, self.out_rows = [], []
        probe_size = next((c for c in self.chunks if c), None)
        for k in self.wanted:
            name, dtype, declared = declared_outputs[k]
            what = f"output '{name}'"
            if dtype is None or declared is None:
                raise TypeError(f"map_model() cannot return {what}: it has no numpy dtype")
            if len(declared) == 0:
                raise ValueError(f"{what} has no dimensions, so no batch axis to return it along")
            self.out_dtypes.append(np.dtype(dtype))
            self.out_rows.append(_pinned(declared, dims, sizes))
        run = self.batch
        unknown = [i for i, shape in enumerate(self.out_rows)
                   if not all(_fixed(d) for d in shape[1:]) or (run is not None and not _fixed(shape[0]))]
        if unknown and probe_size is not None:
            # Sizes the names do not tell: the model for the first chunk tells them (loaded here).
            model = self.spec_for(run or probe_size).model()
            arrays = vekra_numpy.outputs(model)
            for i in unknown:
                self.out_rows[i] = tuple(arrays[self.wanted[i]].shape)
        for i, shape in enumerate(self.out_rows):
            name = declared_outputs[self.wanted[i]][0]
            if run is not None and shape[0] != run:
                raise ValueError(f"output '{name}' has shape {_show(shape)}: its first dimension is not the "
                                 f"model's batch {run}, so map_model cannot return it by rows")
            self.out_rows[i] = tuple(shape[1:])

    def _arrays(self, x):
        names = self.input_names
        if isinstance(x, da.Array):
            if len(names) != 1:
                raise TypeError(f"the model has {len(names)} inputs {names}: pass a mapping of input names "
                                "to dask arrays")
            return [x]
        if not hasattr(x, "keys"):
            raise TypeError(f"map_model() x must be a dask array or a mapping of input names to dask arrays, "
                            f"not {type(x).__name__}")
        missing = [n for n in names if n not in x]
        extra = sorted(str(k) for k in x.keys() if k not in names)
        if missing or extra:
            raise ValueError(f"the model's inputs are {names}; missing: {missing}, unknown: {extra}")
        arrays = [x[n] for n in names]
        for n, a in zip(names, arrays):
            if not isinstance(a, da.Array):
                raise TypeError(f"the array for input '{n}' must be a dask array, not {type(a).__name__}")
        return arrays

    def spec_for(self, rows):
        """The description of the model that runs `rows` rows at once."""
        if not self.pin:
            return self.spec
        shapes = self.spec.shapes
        for name, rest in self.pin:
            shapes[name] = (rows,) + tuple(rest)
        return self.spec.replace(shapes=shapes)


def _run_chunk(spec, run, wanted, out_rows, out_dtypes, *blocks):
    """One task: the chunk's rows through the model, `run` rows at a time (all at once if None)."""
    rows = blocks[0].shape[0]
    results = tuple(np.empty((rows,) + tuple(r), d) for r, d in zip(out_rows, out_dtypes))
    if rows == 0:
        return results
    step = run or rows
    model = spec.model()
    ins = vekra_numpy.inputs(model)
    outs = vekra_numpy.outputs(model)
    for tensor, block in zip(ins, blocks):
        if tensor.shape[0] != step or tensor.shape[1:] != block.shape[1:]:
            raise RuntimeError(f"the model of {spec!r} takes {tensor.shape}, not rows of {block.shape}")
    for k, r in zip(wanted, results):
        if outs[k].shape != (step,) + r.shape[1:]:
            raise RuntimeError(f"the model of {spec!r} gives {outs[k].shape}, not rows of {r.shape}")
    with _lock(spec):
        for start in range(0, rows, step):
            for tensor, block in zip(ins, blocks):
                np.copyto(tensor, block[start:start + step])
            model.run()
            for k, r in zip(wanted, results):
                r[start:start + step] = outs[k]
    return results


def _chunk_task(specs, run, wanted, out_rows, out_dtypes, *blocks):
    """One task: picks the description for the chunk's size (none for an empty chunk)."""
    return _run_chunk(specs.get(blocks[0].shape[0]), run, wanted, out_rows, out_dtypes, *blocks)


def _pick(results, index):
    return results[index]


def map_model(spec, x, outputs=None):
    """map_model(spec, x, outputs=None)

    Runs the model that `spec` (a vekra_numpy.ModelSpec) describes over the rows of `x`,
    lazily: one task per chunk of the batch axis (axis 0), each filling the model's inputs
    with the chunk's rows, running, and copying the outputs out.

    x is a dask.array for a model with one input, or a mapping of input names to dask arrays,
    every one chunked alike along axis 0 and not chunked along the others, of its input's
    dtype. A model whose batch dimension is dynamic gets it pinned to each chunk's size
    (through ModelSpec shapes: one model per distinct chunk size in each worker); a model that
    fixes its batch at b takes chunks that are multiples of b, running b rows at a time.

    Returns a list of dask arrays, one per output in session order, or per name in `outputs`
    (a list of output names); with `outputs` a single name, that output's dask array alone.
    Each has the chunks of x along axis 0. Mismatched chunks, dtypes or shapes raise
    TypeError or ValueError here, before any task runs.
    """
    plan = _Plan(spec, x, outputs)
    # The description each chunk size runs with: the spec itself, or the spec with its dynamic
    # input dimensions pinned (to the chunk's size on the batch axis when the model leaves it open).
    specs = {c: plan.spec_for(plan.batch or c) for c in set(plan.chunks) if c}
    token = tokenize(specs, plan.batch, plan.wanted, *plan.arrays)
    args, letters = [], iter("cdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
    for a in plan.arrays:
        args += [a, "b" + "".join(next(letters) for _ in range(a.ndim - 1))]
    runs = da.blockwise(_chunk_task, "b", specs, None, plan.batch, None, plan.wanted, None, plan.out_rows, None,
                        plan.out_dtypes, None, *args, concatenate=True, dtype=object, name="vekra-run-" + token,
                        meta=np.empty((0,), dtype=object))
    results = []
    for i, (rows, dtype) in enumerate(zip(plan.out_rows, plan.out_dtypes)):
        ndim = 1 + len(rows)
        results.append(da.map_blocks(
            _pick, runs, i, dtype=dtype, name=f"vekra-{plan.wanted_names[i]}-{token}", chunks=(plan.chunks,) + tuple((d,) for d in rows),
            new_axis=list(range(1, ndim)) if ndim > 1 else None, meta=np.empty((0,) * ndim, dtype=dtype)))
    return results[0] if plan.single else results

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
from __future__ import annotations

import os
import threading
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union, cast

import dask.array as da
from dask.base import tokenize
import numpy as np
import vekra_numpy

__all__ = ["map_model"]

# A declared shape: each dimension's size, its symbolic name, or None when dynamic without a name.
Shape = Tuple[Union[int, str, None], ...]
Declared = List[Tuple[str, Optional[np.dtype], Optional[Shape]]]

# Runs of one model never overlap (its tensors are shared): one lock per description, per process.
_locks: Dict[vekra_numpy.ModelSpec, threading.Lock] = {}
_locks_lock = threading.Lock()
# Declared inputs and outputs, per file, read once in the client.
_declared: Dict[str, Tuple[Declared, Declared]] = {}


def _fresh_locks() -> None:
    """In a forked child: new locks. A lock held by another thread of the parent at the fork
    stays held in the child for good, since that thread does not exist there."""
    global _locks, _locks_lock
    _locks = {}
    _locks_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fresh_locks)


def _lock(spec: vekra_numpy.ModelSpec) -> threading.Lock:
    with _locks_lock:
        lock = _locks.get(spec)
        if lock is None:
            lock = _locks[spec] = threading.Lock()
        return lock


def _describe(path: str) -> Tuple[Declared, Declared]:
    found = _declared.get(path)
    if found is None:
        found = _declared[path] = vekra_numpy.describe(path)
    return found


def _pinned(spec: vekra_numpy.ModelSpec, declared_inputs: Declared) -> Dict[str, int]:
    """The sizes the spec gives symbolic dimensions, by load_model's own check of its dims and
    shapes against the file (what a task's load_model will pin)."""
    if not spec.dims and not spec.shapes:
        return {}
    return vekra_numpy._pins(spec.path, dims=spec.dims or None, shapes=spec.shapes or None)


def _bound(shape: Shape, sizes: Mapping[str, int]) -> Shape:
    """The shape with each symbolic name that `sizes` holds replaced by its size."""
    return tuple(sizes.get(d, d) if isinstance(d, str) else d for d in shape)


def _fixed(d: object) -> bool:
    return isinstance(d, int)


def _show(shape: Sequence[object]) -> str:
    return "(" + ", ".join("?" if d is None else str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


def _not_split(what: str, shape: Shape, k: int) -> ValueError:
    return ValueError(f"{what} has shape {_show(shape)}: its dimension {k} is the batch '{shape[k]}', which map_model "
                      "splits into chunks, so each task would hold only its own chunk of it; only dimension 0 may be "
                      "the batch")


class _Plan:
    """What every task of one map_model call needs, and the checks made in the client."""

    def __init__(self, spec: vekra_numpy.ModelSpec, x: object, outputs: object) -> None:
        declared_inputs, declared_outputs = self._declarations(spec)
        self.spec = spec
        self.input_names = [name for name, _, _ in declared_inputs]
        self.arrays = self._arrays(x)
        self.pinned = _pinned(spec, declared_inputs)
        # The batch's symbolic names: those on dimension 0 of the inputs as the file declares them.
        self.batch_names = {d[0] for _, _, d in declared_inputs if d and isinstance(d[0], str)}
        shapes = self._check_inputs(declared_inputs)
        self._check_batch(shapes)
        self.wanted, self.wanted_names = self._wanted(outputs, [name for name, _, _ in declared_outputs])
        self.out_dtypes, self.out_rows = self._plan_outputs([declared_outputs[k] for k in self.wanted])

    @staticmethod
    def _declarations(spec: object) -> Tuple[Declared, Declared]:
        if not isinstance(spec, vekra_numpy.ModelSpec):
            raise TypeError(f"map_model() spec must be a vekra_numpy.ModelSpec, not {type(spec).__name__}")
        return _describe(spec.path)

    def _arrays(self, x: object) -> List[da.Array]:
        names = self.input_names
        if isinstance(x, da.Array):
            if len(names) != 1:
                raise TypeError(f"the model has {len(names)} inputs {names}: pass a mapping of input names "
                                "to dask arrays")
            return [x]
        if not hasattr(x, "keys"):
            raise TypeError(f"map_model() x must be a dask array or a mapping of input names to dask arrays, "
                            f"not {type(x).__name__}")
        feeds: Any = x
        missing = [n for n in names if n not in feeds]
        extra = sorted(str(k) for k in feeds.keys() if k not in names)
        if missing or extra:
            raise ValueError(f"the model's inputs are {names}; missing: {missing}, unknown: {extra}")
        arrays = [feeds[n] for n in names]
        for n, a in zip(names, arrays):
            if not isinstance(a, da.Array):
                raise TypeError(f"the array for input '{n}' must be a dask array, not {type(a).__name__}")
        return arrays

    def _check_inputs(self, declared_inputs: Declared) -> List[Shape]:
        """Each input's shape once the spec pins it, after checking its array against it: the
        dtype, the dimensions, and chunks along the batch axis only, alike for every input."""
        shapes = []
        first: Optional[da.Array] = None
        for (name, dtype, declared), a in zip(declared_inputs, self.arrays):
            what = f"input '{name}'"
            if dtype is None or declared is None:
                raise TypeError(f"map_model() cannot feed {what}: it has no numpy dtype")
            if a.dtype != dtype:
                raise TypeError(f"{what} takes {dtype}, the array for it has dtype {a.dtype}: "
                                f"convert it with .astype('{dtype}')")
            for k in range(1, len(declared)):
                if isinstance(declared[k], str) and declared[k] in self.batch_names:
                    raise _not_split(what, declared, k)
            shape = tuple(self.spec.shapes.get(name, _bound(declared, self.pinned)))
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
            if first is None:
                first = a
            elif a.chunks[0] != first.chunks[0]:
                raise ValueError(f"the arrays are not aligned on their batch chunks: '{self.input_names[0]}' has "
                                 f"{first.chunks[0]}, '{name}' has {a.chunks[0]}; rechunk them alike along axis 0")
            shapes.append(shape)
        if first is None:
            raise ValueError("map_model() needs a model with inputs")
        self.chunks: Tuple[int, ...] = first.chunks[0]
        self.rows: int = first.shape[0]
        return shapes

    def _check_batch(self, shapes: List[Shape]) -> None:
        """The rows of one run (fixed by the model, or each chunk's size), the inputs to pin per
        chunk, and the sizes that the arrays give the other symbolic dimensions."""
        self.batch: Optional[int] = None  # the batch of one run when the model fixes it
        self.pin: List[Tuple[str, Tuple[int, ...]]] = []  # (input, shape after its batch) to pin per chunk
        self.sizes: Dict[str, int] = dict(self.pinned)  # symbolic names bound by the spec and the data
        given: Dict[str, str] = {}  # the input that gave each name bound by the data
        for name, shape, a in zip(self.input_names, shapes, self.arrays):
            what = f"input '{name}'"
            if None in shape:
                raise ValueError(f"{what} has shape {_show(shape)}: its dimension {shape.index(None)} is dynamic "
                                 "without a name, and ONNX Runtime pins dimensions by name only: name it in the "
                                 "model file (for example with onnx.tools.update_model_dims.update_inputs_outputs_dims)")
            for k in range(1, len(shape)):
                d = shape[k]
                if not isinstance(d, str):
                    continue
                if d in given and self.sizes[d] != a.shape[k]:
                    raise ValueError(f"{what} has shape {_show(shape)}, its array {a.shape}, and the array for input "
                                     f"'{given[d]}' makes '{d}' {self.sizes[d]}: the sizes of '{d}' differ")
                given.setdefault(d, name)
                self.sizes.setdefault(d, a.shape[k])
            fixed = shape[0]
            if isinstance(fixed, int):
                if fixed == 0:
                    raise ValueError(f"the model fixes its batch at 0 ({what} has shape {_show(shape)}): it runs on "
                                     "no rows, so there are none to map over")
                if self.batch is not None and self.batch != fixed:
                    raise ValueError(f"the inputs fix different batch sizes ({self.batch} and {fixed} for {what})")
                self.batch = fixed
            if not all(_fixed(d) for d in shape):
                self.pin.append((name, a.shape[1:]))
        if self.pin and self.spec.optimization == "disable":
            raise ValueError(f"input '{self.pin[0][0]}' has dynamic dimensions, which map_model pins through "
                             "ModelSpec shapes, and pinning needs optimization 'basic' or above, not 'disable'")
        if self.batch is not None:
            batch = self.batch
            if self.rows % batch:
                raise ValueError(f"the model fixes its batch at {batch}, which no chunking of {self.rows} rows "
                                 f"can meet: every chunk must be a multiple of {batch}")
            bad = [c for c in self.chunks if c % batch]
            if bad:
                raise ValueError(f"the model fixes its batch at {batch}, and chunks {tuple(bad)} of the batch axis "
                                 f"are no multiple of it: rechunk with .rechunk({{0: {batch}}}) or a multiple")
            # every input pinned per chunk gets this batch, whatever it names it
            for d in self.batch_names:
                self.sizes.setdefault(d, batch)

    @staticmethod
    def _wanted(outputs: object, names: List[str]) -> Tuple[List[int], List[str]]:
        """The indices and names of the outputs asked for: all of them, one name, or a list of names."""
        if outputs is None:
            wanted: List[object] = list(names)
        elif isinstance(outputs, str):
            wanted = [outputs]
        elif isinstance(outputs, Iterable):
            wanted = list(outputs)
        else:
            raise TypeError(f"map_model() outputs must be an output name or a list of them, "
                            f"not {type(outputs).__name__}")
        for name in wanted:
            if not isinstance(name, str):
                raise TypeError(f"map_model() outputs must be output names (str), not {type(name).__name__}")
            if name not in names:
                raise ValueError(f"the model has no output '{name}'; its outputs are {names}")
        return [names.index(str(name)) for name in wanted], [str(name) for name in wanted]

    def _plan_outputs(self, declared_outputs: Declared) -> Tuple[List[np.dtype], List[Tuple[int, ...]]]:
        """Each output's dtype and the shape of one of its rows. An output must have the batch on
        dimension 0 and nowhere else, as the file declares it; the sizes of its other dimensions
        come from the pinned names, or else from the model for the first chunk (loaded here)."""
        dtypes: List[np.dtype] = []
        rows: List[Optional[Shape]] = []
        for name, dtype, declared in declared_outputs:
            what = f"output '{name}'"
            if dtype is None:
                raise TypeError(f"map_model() cannot return {what}: it has no numpy dtype")
            if declared is not None and len(declared) == 0:
                raise ValueError(f"{what} has no dimensions, so no batch axis to return it along")
            if declared is not None:
                self._check_output_batch(what, declared)
            dtypes.append(np.dtype(dtype))
            # no shape in the file (None): the loaded model has the one ONNX Runtime infers
            rows.append(None if declared is None else _bound(declared[1:], self.sizes))
        unknown = [i for i, row in enumerate(rows) if row is None or not all(_fixed(d) for d in row)]
        if unknown:
            size = self.batch or next((c for c in self.chunks if c), None)
            if size is None:
                name = declared_outputs[unknown[0]][0]
                raise ValueError(f"output '{name}' has sizes the file does not tell, and x has no rows to load the "
                                 "model with and learn them")
            arrays = vekra_numpy.outputs(self.spec_for(size).model())
            for i in unknown:
                shape = tuple(arrays[self.wanted[i]].shape)
                if rows[i] is None and (len(shape) == 0 or shape[0] != size):
                    raise ValueError(f"output '{declared_outputs[i][0]}' declares no shape in the model file, and "
                                     f"the model gives it {_show(shape)} for {size} rows: map_model cannot return it "
                                     "by rows")
                rows[i] = shape[1:]
        return dtypes, [cast(Tuple[int, ...], row) for row in rows]

    def _check_output_batch(self, what: str, declared: Shape) -> None:
        """Refuses an output that does not give one row per input row: its dimension 0 must be
        the batch (a batch name, or the fixed batch), and no other dimension a batch name."""
        for k in range(1, len(declared)):
            if isinstance(declared[k], str) and declared[k] in self.batch_names:
                raise _not_split(what, declared, k)
        d = declared[0]
        if d in self.batch_names or (self.batch is not None and d == self.batch):
            return
        names = " or ".join(f"'{n}'" for n in sorted(self.batch_names))
        batch = f"the batch {names} of the inputs" if self.batch is None else f"the model's batch {self.batch}"
        if d is None:
            found = "dynamic without a name"
        elif isinstance(d, str):
            found = f"'{d}', which no input has on its dimension 0"
        else:
            found = f"fixed at {d}"
        raise ValueError(f"{what} has shape {_show(declared)}: its dimension 0 is {found}, not {batch}, so map_model "
                         "cannot tell that it has one row per input row")

    def spec_for(self, rows: int) -> vekra_numpy.ModelSpec:
        """The description of the model that runs `rows` rows at once."""
        if not self.pin:
            return self.spec
        shapes: Dict[str, Tuple[int, ...]] = self.spec.shapes
        for name, rest in self.pin:
            shapes[name] = (rows,) + tuple(rest)
        return self.spec.replace(shapes=shapes)


def _run_chunk(spec: vekra_numpy.ModelSpec, run: Optional[int], wanted: List[int], out_rows: List[Tuple[int, ...]],
               out_dtypes: List[np.dtype], *blocks: np.ndarray) -> Tuple[np.ndarray, ...]:
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


def _chunk_task(specs: Dict[int, vekra_numpy.ModelSpec], run: Optional[int], wanted: List[int],
                out_rows: List[Tuple[int, ...]], out_dtypes: List[np.dtype], *blocks: np.ndarray) -> Tuple[np.ndarray, ...]:
    """One task: picks the description for the chunk's size (none for an empty chunk)."""
    rows = blocks[0].shape[0]
    if rows == 0:
        return tuple(np.empty((0,) + tuple(r), d) for r, d in zip(out_rows, out_dtypes))
    return _run_chunk(specs[rows], run, wanted, out_rows, out_dtypes, *blocks)


def _pick(results: Tuple[np.ndarray, ...], index: int) -> np.ndarray:
    return results[index]


def map_model(spec: vekra_numpy.ModelSpec, x: Union[da.Array, Mapping[str, da.Array]], *,
              outputs: Union[str, Sequence[str], None] = None) -> List[da.Array]:
    """map_model(spec, x, *, outputs=None)

    Runs the model that `spec` (a vekra_numpy.ModelSpec) describes over the rows of `x`,
    lazily: one task per chunk of the batch axis (axis 0), each filling the model's inputs
    with the chunk's rows, running, and copying the outputs out.

    x is a dask.array for a model with one input, or a mapping of input names to dask arrays,
    every one chunked alike along axis 0 and not chunked along the others, of its input's
    dtype. A model whose batch dimension is dynamic gets it pinned to each chunk's size
    (through ModelSpec shapes: one model per distinct chunk size in each worker); a model that
    fixes its batch at b takes chunks that are multiples of b, running b rows at a time.

    Returns a list of dask arrays, one per output: every output in session order, or those
    that `outputs` names (one name, or a list of names), in that order. Each has the chunks of
    x along axis 0. Every output must have one row per input row: the batch on its dimension 0
    as the file declares it, and on no other. Mismatched chunks, dtypes or shapes, and outputs
    that are not split by rows, raise TypeError or ValueError here, before any task runs.
    """
    plan = _Plan(spec, x, outputs)
    # The description each chunk size runs with: the spec itself, or the spec with its dynamic
    # input dimensions pinned (to the chunk's size on the batch axis when the model leaves it open).
    specs = {c: plan.spec_for(plan.batch or c) for c in set(plan.chunks) if c}
    token = tokenize(specs, plan.batch, plan.wanted, *plan.arrays)
    args: List[object] = []
    letters = iter("cdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
    for a in plan.arrays:
        args += [a, "b" + "".join(next(letters) for _ in range(a.ndim - 1))]
    runs = da.blockwise(_chunk_task, "b", specs, None, plan.batch, None, plan.wanted, None, plan.out_rows, None,
                        plan.out_dtypes, None, *args, concatenate=True, dtype=object, name="vekra-run-" + token,
                        meta=np.empty((0,), dtype=object))
    results = []
    for i, (rows, dtype) in enumerate(zip(plan.out_rows, plan.out_dtypes)):
        ndim = 1 + len(rows)
        results.append(da.map_blocks(
            _pick, runs, i, dtype=dtype, name=f"vekra-{plan.wanted_names[i]}-{token}",
            chunks=(plan.chunks,) + tuple((d,) for d in rows),
            new_axis=list(range(1, ndim)) if ndim > 1 else None, meta=np.empty((0,) * ndim, dtype=dtype)))
    return results

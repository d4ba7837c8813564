# Written by hand, beside the pure-Python vekra_dask.py; keep the signature in step with it.
"""
Batch inference with vekracore models over dask arrays, one model per worker process.
"""
from __future__ import annotations
import typing
import dask.array
import vekra_numpy
__all__: list[str] = ['map_model']
def map_model(spec: vekra_numpy.ModelSpec, x: dask.array.Array | typing.Mapping[str, dask.array.Array], *, outputs: str | typing.Sequence[str] | None = None) -> list[dask.array.Array]:
    """
    map_model(spec, x, *, outputs=None)

    Runs the model that `spec` describes over the rows of `x` (a dask array, or a mapping of
    input names to dask arrays, chunked alike along axis 0 only), one task per chunk. Returns
    a list of dask arrays: every output in session order, or those that `outputs` names.
    """

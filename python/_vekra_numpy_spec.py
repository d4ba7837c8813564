"""vekra_numpy.ModelSpec: a picklable description of a model, loaded once per process.

The class is vekra_numpy's (the extension module imports it from here and names it its own);
its options are checked by vekra_numpy's own check of load_model's options. vekra_numpy is
imported when a ModelSpec is made or used, never while this module is imported: the extension
imports this module as it is being made.
"""
from __future__ import annotations

import functools
import os
import sys
import threading
import typing

if typing.TYPE_CHECKING:
    import vekracore

__all__ = ["ModelSpec"]

# This process's models, by description, and the descriptions loaded here since the last
# clear(), in load order.
_models: dict = {}
_loads: list = []
_pid = os.getpid()
# Serialises loads: load_model releases the interpreter lock while ONNX Runtime reads the file.
_loading = threading.Lock()
# Models inherited from a parent process through fork. They are kept, never used and never
# destroyed: their sessions' thread pools stayed in the parent.
_inherited: list = []


def _this_process() -> None:
    """Drops (without destroying) what a forked child inherited from its parent."""
    global _models, _loads, _pid, _loading
    if os.getpid() != _pid:
        _inherited.append(_models)
        _models, _loads, _pid, _loading = {}, [], os.getpid(), threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_this_process)


def _bridge() -> typing.Any:
    # imported by the time a ModelSpec exists: ModelSpec is reached through it
    return sys.modules.get("vekra_numpy") or __import__("vekra_numpy")


class ModelSpec:
    """ModelSpec(path, *, optimization='all', threads=0, dims=None, shapes=None)

    A model described by what load_model() takes, and nothing more: the file's path and the
    session options. Pickling a ModelSpec ships that description, never a model: each process
    loads its own model from it on the first spec.model() and keeps it for every later call
    with an equal description (a forked or spawned worker loads its own). So a ModelSpec can
    go where a vekracore.model cannot: to concurrent.futures.ProcessPoolExecutor, to
    multiprocessing and to Dask workers. The path is opened by the process that loads, so
    give one that every worker can read (an absolute path on a shared file system).

    dims maps a symbolic dimension's name to its size, shapes an input's name to its full
    shape; both pin dynamic dimensions when the model loads (see load_model()). Descriptions
    are equal when all five arguments are, dims and shapes compared as mappings.
    """

    __slots__ = ("_path", "_optimization", "_threads", "_dims", "_shapes", "_key")
    __module__ = "vekra_numpy"

    def __init__(self, path: str | os.PathLike[str] | bytes, *, optimization: str = "all",
                 threads: typing.SupportsIndex = 0,
                 dims: typing.Mapping[str, typing.SupportsIndex] | None = None,
                 shapes: typing.Mapping[str, typing.Sequence[typing.SupportsIndex]] | None = None) -> None:
        if hasattr(self, "_key"):
            raise AttributeError("a ModelSpec cannot be changed once made: make another (spec.replace())")
        path = os.fspath(path)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        optimization, threads, pinned, shaped = _bridge()._load_options(
            optimization=optimization, threads=threads, dims=dims, shapes=shapes)
        key = (path, optimization, threads, tuple(sorted(pinned.items())), tuple(sorted(shaped.items())))
        for name, value in (("_path", path), ("_optimization", optimization), ("_threads", threads),
                            ("_dims", pinned), ("_shapes", shaped), ("_key", key)):
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: typing.Any) -> None:
        raise AttributeError("a ModelSpec cannot be changed once made: make another (spec.replace())")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a ModelSpec cannot be changed once made: make another (spec.replace())")

    @property
    def path(self) -> str:
        """The model file's path, as given (a str)."""
        return self._path

    @property
    def optimization(self) -> str:
        """The graph optimization level: 'disable', 'basic', 'extended' or 'all'."""
        return self._optimization

    @property
    def threads(self) -> int:
        """Intra-op threads of the session; 0 leaves the choice to ONNX Runtime."""
        return self._threads

    @property
    def dims(self) -> typing.Dict[str, int]:
        """A copy of the symbolic dimensions pinned at load, name to size."""
        return dict(self._dims)

    @property
    def shapes(self) -> typing.Dict[str, typing.Tuple[int, ...]]:
        """A copy of the input shapes pinned at load, input name to shape tuple."""
        return dict(self._shapes)

    def replace(self, **changes: typing.Any) -> ModelSpec:
        """replace(**changes)

        A new description with the given arguments (path, optimization, threads, dims,
        shapes) replaced and the others kept."""
        args = {"path": self._path, "optimization": self._optimization, "threads": self._threads,
                "dims": self._dims, "shapes": self._shapes}
        unknown = sorted(set(changes) - set(args))
        if unknown:
            raise TypeError(f"replace() got an unexpected keyword argument '{unknown[0]}'")
        args.update(changes)
        return ModelSpec(args.pop("path"), **args)

    def model(self) -> vekracore.model:
        """model()

        This process's vekracore.model for the description, loaded by load_model() on the
        first call in the process and the same object on every later one. Loading failures
        raise as load_model() does, and the next call tries again."""
        _this_process()
        model = _models.get(self._key)
        if model is None:
            with _loading:
                model = _models.get(self._key)
                if model is None:
                    pins = {}
                    if self._dims:
                        pins["dims"] = dict(self._dims)
                    if self._shapes:
                        pins["shapes"] = dict(self._shapes)
                    model = _bridge().load_model(self._path, optimization=self._optimization,
                                                 threads=self._threads, **pins)
                    _models[self._key] = model
                    _loads.append(self)
        return model

    @staticmethod
    def loads() -> list[ModelSpec]:
        """loads()

        The descriptions whose models this process has loaded since the last clear(), in load
        order; clear() forgets them with the models, so the record never outgrows the cache."""
        _this_process()
        return list(_loads)

    @staticmethod
    def clear() -> None:
        """clear()

        Forgets this process's models: each is freed once nothing else refers to it, and the
        next spec.model() loads again."""
        _this_process()
        with _loading:
            _models.clear()
            _loads.clear()

    def __reduce__(self) -> tuple:
        # made anew from its arguments, through the public constructor
        return (functools.partial(ModelSpec, self._path, optimization=self._optimization, threads=self._threads,
                                  dims=self._dims, shapes=self._shapes), ())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ModelSpec):
            return NotImplemented
        return self._key == other._key

    def __hash__(self) -> int:
        return hash(self._key)

    def __dask_tokenize__(self) -> tuple:
        # Dask names the tasks of equal descriptions alike.
        return ("vekra_numpy.ModelSpec",) + self._key

    def __repr__(self) -> str:
        text = f"ModelSpec({self._path!r}"
        if self._optimization != "all":
            text += f", optimization={self._optimization!r}"
        if self._threads:
            text += f", threads={self._threads}"
        if self._dims:
            text += f", dims={self._dims!r}"
        if self._shapes:
            text += f", shapes={self._shapes!r}"
        return text + ")"


def _clean_docstrings(cls):
    """Gives the class and its members their docstrings as inspect.cleandoc() leaves them, the
    form CPython 3.13 and later compile them to, so that every Python shows the same text."""
    import inspect

    for member in (cls, *vars(cls).values()):
        if isinstance(member, property):
            member = member.fget
        target = getattr(member, "__func__", member)  # static and class methods
        if (target is cls or inspect.isfunction(target)) and isinstance(target.__doc__, str):
            target.__doc__ = inspect.cleandoc(target.__doc__)
    for name, member in vars(cls).items():
        if isinstance(member, property):  # a property copies its getter's text when made
            setattr(cls, name, property(member.fget, member.fset, member.fdel, member.fget.__doc__))


_clean_docstrings(ModelSpec)
del _clean_docstrings

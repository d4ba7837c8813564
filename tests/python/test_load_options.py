"""The load options (optimization, threads, dims, shapes) are checked by one function: every
value load_model refuses, ModelSpec refuses with the same exception and message, and what
one takes the other takes."""
import os

import numpy as np
import pytest

import vekra_numpy as vn

from conftest import raises_exact

AFFINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "affine.onnx")

REFUSED = [
    ({"optimization": "fast"}, ValueError, "optimization must be 'disable', 'basic', 'extended' or 'all', not 'fast'"),
    ({"optimization": "ALL"}, ValueError, "optimization must be 'disable', 'basic', 'extended' or 'all', not 'ALL'"),
    ({"optimization": 1}, TypeError, "optimization must be a str, not int"),
    ({"optimization": None}, TypeError, "optimization must be a str, not NoneType"),
    ({"optimization": b"all"}, TypeError, "optimization must be a str, not bytes"),
    ({"threads": -1}, ValueError, "threads must be 0 (the default) or more, not -1"),
    ({"threads": -2 ** 70}, ValueError, f"threads must be 0 (the default) or more, not {-2 ** 70}"),
    ({"threads": 1025}, ValueError, "threads must be at most 1024, not 1025"),
    ({"threads": 2 ** 31}, ValueError, f"threads must be at most 1024, not {2 ** 31}"),
    ({"threads": 2 ** 40}, ValueError, f"threads must be at most 1024, not {2 ** 40}"),
    ({"threads": 1.0}, TypeError, "threads must be an int, not float"),
    ({"threads": "2"}, TypeError, "threads must be an int, not str"),
    ({"threads": True}, TypeError, "threads must be an int, not bool"),
    ({"threads": np.bool_(True)}, TypeError, f"threads must be an int, not {type(np.bool_(True)).__module__}.{type(np.bool_(True)).__name__}"),
    ({"dims": [("N", 1)]}, TypeError, "dims must be a mapping from dimension names to sizes, not list"),
    ({"dims": {1: 1}}, TypeError, "dims keys must be str, not int"),
    ({"dims": {"N": 0}}, ValueError, "dims['N'] must be a positive int, not 0"),
    ({"dims": {"N": -1}}, ValueError, "dims['N'] must be a positive int, not -1"),
    ({"dims": {"N": 2 ** 63}}, ValueError, f"dims['N'] must be a positive int, not {2 ** 63}"),
    ({"dims": {"N": 1.5}}, TypeError, "dims['N'] must be a positive int, not float"),
    ({"dims": {"N": "1"}}, TypeError, "dims['N'] must be a positive int, not str"),
    ({"dims": {"N": True}}, TypeError, "dims['N'] must be a positive int, not bool"),
    ({"dims": {"N": None}}, TypeError, "dims['N'] must be a positive int, not NoneType"),
    ({"shapes": "x"}, TypeError, "shapes must be a mapping from input names to shapes, not str"),
    ({"shapes": {b"x": (1, 4)}}, TypeError, "shapes keys must be str, not bytes"),
    ({"shapes": {"x": 3}}, TypeError, "shapes['x'] must be a sequence of sizes, such as (1, 3, 224, 224), not int"),
    ({"shapes": {"x": "13"}}, TypeError, "shapes['x'] must be a sequence of sizes, such as (1, 3, 224, 224), not str"),
    ({"shapes": {"x": (1, -3)}}, ValueError, "shapes['x'][1] must be a positive int, not -3"),
    ({"shapes": {"x": (0, 4)}}, ValueError, "shapes['x'][0] must be a positive int, not 0"),
    ({"shapes": {"x": (1, None)}}, TypeError, "shapes['x'][1] must be a positive int, not NoneType"),
    ({"shapes": {"x": (5, 4.0)}}, TypeError, "shapes['x'][1] must be a positive int, not float"),
    ({"shapes": {"x": (1, False)}}, TypeError, "shapes['x'][1] must be a positive int, not bool"),
]


@pytest.mark.parametrize("caller", [vn.load_model, vn.ModelSpec], ids=["load_model", "ModelSpec"])
@pytest.mark.parametrize("kwargs, exc, message", REFUSED)
def test_every_refused_option_has_one_message(caller, kwargs, exc, message):
    with raises_exact(exc, message):
        caller(AFFINE, **kwargs)


@pytest.mark.parametrize("kwargs", [{"threads": np.int64(2)}, {"threads": np.uint8(1)}, {"threads": 1024},
                                    {"optimization": "basic", "threads": 0}])
def test_what_one_takes_the_other_takes(kwargs):
    spec = vn.ModelSpec(AFFINE, **kwargs)
    assert type(spec.threads) is int and spec.threads == int(kwargs.get("threads", 0))
    assert vn.input_names(vn.load_model(AFFINE, **kwargs)) == ["x"]
    assert vn.input_names(spec.model()) == ["x"]
    vn.ModelSpec.clear()


def test_sizes_given_through_index_are_kept_as_ints():
    spec = vn.ModelSpec(AFFINE, dims={"N": np.int32(4)}, shapes={"x": [np.int64(4), 3]})
    assert spec.dims == {"N": 4} and spec.shapes == {"x": (4, 3)}
    assert all(type(v) is int for v in (*spec.dims.values(), *spec.shapes["x"]))

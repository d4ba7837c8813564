"""vekra_numpy.Batcher: concurrent requests merged into runs of one shared session. Results
against a loop of single onnxruntime runs (the oracle, in a child interpreter) for each kind of
batch a model has, from threads, asyncio tasks and futures at once; every refusal with its
message; failing runs, close(), cancellation; and, in child interpreters, the end of the
interpreter, os.fork(), Ctrl-C and memory over many requests."""
import asyncio
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import types
import weakref

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import vekra_numpy as vn
from conftest import ORT_VERSION, assert_matches_oracle, chain_nodes, in_threads, raises_exact, skip_under_asan
from ort_oracle import run_models

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
F, I64 = TensorProto.FLOAT, TensorProto.INT64
# ONNX Runtime reads IR 10 and opset 21 from 1.18 on; 1.17 stops at IR 9 and opset 20.
IR, OPSET = ((10, 21) if ORT_VERSION >= (1, 18) else (9, 20))
TIMEOUT = 120


def data(name):
    return os.path.join(DATA, name + ".onnx")


def save(folder, name, nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=IR)
    path = os.path.join(str(folder), name + ".onnx")
    onnx.save(model, path)
    return path


def write_chain(folder, name, inner, width, links):
    """x [N, inner, width] -> links times (MatMul by one width x width weight, then Tanh) -> y."""
    rng = np.random.default_rng(3)
    weight = numpy_helper.from_array((rng.standard_normal((width, width)) / np.sqrt(width)).astype(np.float32), "w")
    nodes = chain_nodes(links)
    return save(folder, name, nodes, [helper.make_tensor_value_info("x", F, ["N", inner, width])],
                [helper.make_tensor_value_info("y", F, ["N", inner, width])], [weight])


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    folder = tmp_path_factory.mktemp("batcher")
    axes = numpy_helper.from_array(np.array([0], np.int64), "axis0")
    return {
        # the batch on axis 1 of [2, N, 3] (x above -x) and of [3, N] (x transposed): an output
        # cut into requests once per index of the axes before the batch
        "axes": save(folder, "axes", [
            helper.make_node("Unsqueeze", ["x", "axis0"], ["top"]),
            helper.make_node("Neg", ["x"], ["neg"]),
            helper.make_node("Unsqueeze", ["neg", "axis0"], ["bottom"]),
            helper.make_node("Concat", ["top", "bottom"], ["pair"], axis=0),
            helper.make_node("Transpose", ["x"], ["cols"], perm=[1, 0]),
        ], [helper.make_tensor_value_info("x", F, ["N", 3])],
            [helper.make_tensor_value_info("pair", F, [2, "N", 3]), helper.make_tensor_value_info("cols", F, [3, "N"])],
            [axes]),
        # axis 0 fixed at 3 for both inputs: requests of exactly 3 rows
        "fixed": save(folder, "fixed", [
            helper.make_node("Add", ["a", "a"], ["twice"]),
            helper.make_node("Mul", ["k", "k"], ["square"]),
        ], [helper.make_tensor_value_info("a", F, [3, 2]), helper.make_tensor_value_info("k", I64, [3])],
            [helper.make_tensor_value_info("twice", F, [3, 2]), helper.make_tensor_value_info("square", I64, [3])]),
        # a few milliseconds a run: requests queue while one is in flight
        "slow": write_chain(folder, "slow", 64, 256, 20),
        # far longer than run()'s 50 ms wait between looks at the signals
        "long": write_chain(folder, "long", 512, 512, 100),
    }


# ---- requests and what the oracle says of them ---------------------------------------------------

def mix_request(rng, n):
    return {"x": rng.uniform(-2, 2, (n, 4)).astype(np.float32), "k": rng.integers(-1000, 1000, (n, 2))}


def floats(name, width):
    return lambda rng, n: {name: rng.uniform(-2, 2, (n, width)).astype(np.float32)}


# name: (model, Batcher options, request maker, rows of each request, expected stats flags)
CASES = {
    "float_and_int64": ("batch_mix", {"max_batch": 5}, mix_request, [1, 2, 3, 4, 5, 5, 1, 3, 2, 4, 1, 1],
                        {"max_batch": 5, "fixed_batch": False, "merges_requests": True}),
    "batch_on_axis_1": ("axes", {"max_batch": 6}, floats("x", 3), [1, 6, 2, 5, 3, 4, 1, 1, 6],
                        {"max_batch": 6, "fixed_batch": False, "merges_requests": True}),
    "derived_dimension": ("batch_concat", {"max_batch": 4}, floats("x", 3), [1, 4, 2, 3, 1],
                          {"max_batch": 4, "fixed_batch": False, "merges_requests": False}),
    "fixed_batch": ("fixed", {}, lambda rng, n: {"a": rng.uniform(-2, 2, (3, 2)).astype(np.float32),
                                                 "k": rng.integers(-1000, 1000, 3)}, [3] * 5,
                    {"max_batch": 3, "fixed_batch": True, "merges_requests": False}),
    "batch_pinned_to_one": ("batch_reduce", {}, floats("x", 3), [1] * 5,
                            {"max_batch": 1, "fixed_batch": True, "merges_requests": False}),
    "inputs_whole": ("batch_uneven", {}, lambda rng, n: {"a": rng.uniform(-2, 2, (2, 3)).astype(np.float32),
                                                         "b": rng.uniform(-2, 2, 3).astype(np.float32)}, [1] * 4,
                     {"max_batch": 1, "fixed_batch": True, "merges_requests": False}),
    "second_dimension_pinned": ("batch_sequence", {"max_batch": 4, "dims": {"S": 5}}, floats("x", 5), [4, 1, 3, 2, 4],
                                {"max_batch": 4, "fixed_batch": False, "merges_requests": True}),
    "long_rows": ("slow", {"max_batch": 3}, lambda rng, n: {"x": rng.uniform(-1, 1, (n, 64, 256)).astype(np.float32)},
                  [1, 3, 2], {"max_batch": 3, "fixed_batch": False, "merges_requests": True}),
}


@pytest.fixture(scope="module")
def oracle(made):
    """Per case: the model's path, its requests, and the oracle's outputs of each request run
    alone, all from one child interpreter."""
    cases, jobs = {}, []
    for seed, (case, (model, _, make, rows, _)) in enumerate(CASES.items()):
        path = made.get(model) or data(model)
        rng = np.random.default_rng(seed)
        requests = [make(rng, n) for n in rows]
        cases[case] = (path, requests)
        jobs += [(path, r) for r in requests]
    expected = iter(run_models(jobs))
    return {case: (path, requests, [next(expected) for _ in requests]) for case, (path, requests) in cases.items()}


def check(got, expected, what=""):
    assert type(got) is list and len(got) == len(expected), (what, got)
    for o, (g, e) in enumerate(zip(got, expected)):
        assert type(g) is np.ndarray, (what, o)
        assert_matches_oracle(g, e, f"{what}, output {o}")


def batcher(oracle, case, **options):
    path = oracle[case][0]
    return vn.Batcher(path, **{**CASES[case][1], **options})


def send_all(b, requests, how):
    """The outputs of each request, sent one after another (run) or all at once (submit,
    run_async)."""
    if how == "run":
        return [b.run(r) for r in requests]
    if how == "submit":
        futures = [b.submit(r) for r in requests]
        return [f.result(TIMEOUT) for f in futures]

    async def main():
        return await asyncio.gather(*(b.run_async(r) for r in requests))

    return asyncio.run(main())


@pytest.mark.parametrize("how", ["run", "submit", "run_async"])
@pytest.mark.parametrize("case", CASES)
def test_results_equal_single_runs_of_onnxruntime(oracle, case, how):
    path, requests, expected = oracle[case]
    with batcher(oracle, case) as b:
        got = send_all(b, requests, how)
        # every result is the caller's own: later runs of the same buffers left it as it was
        for i, (g, e) in enumerate(zip(got, expected)):
            check(g, e, f"request {i}")
        stats = b.stats()
    want = CASES[case][4]
    assert {k: stats[k] for k in want} == want and b.max_batch == want["max_batch"]
    assert stats["requests"] == len(requests) and stats["failures"] == 0 and stats["workers"] == 1
    assert stats["rows"] == sum(CASES[case][3])
    assert 1 <= stats["runs"] <= len(requests)
    assert stats["mean_rows_per_run"] == stats["rows"] / stats["runs"]
    if not want["merges_requests"]:
        assert stats["runs"] == len(requests)


def test_names_sizes_and_a_fresh_batchers_stats():
    b = vn.Batcher(data("batch_mix"), max_batch=7, workers=3)
    assert (b.input_names, b.output_names, b.max_batch, b.workers, b.closed) == (
        ["x", "k"], ["y", "kk", "state"], 7, 3, False)
    assert b.stats() == {"requests": 0, "runs": 0, "rows": 0, "failures": 0, "mean_rows_per_run": 0.0,
                         "max_batch": 7, "fixed_batch": False, "merges_requests": True, "workers": 3}
    b.close()
    assert b.closed


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


FORMS = {
    "dict": lambda x, k: {"x": x, "k": k},
    "mapping": lambda x, k: types.MappingProxyType({"k": k, "x": x}),
    "list": lambda x, k: [x, k],
    "tuple": lambda x, k: (x, k),
    "strided": lambda x, k: [np.repeat(x, 2, axis=0)[::2], np.repeat(k, 2, axis=0)[1::2]],
    "fortran": lambda x, k: [np.asfortranarray(x), np.asfortranarray(k)],
    "reversed_columns": lambda x, k: [x[:, ::-1].copy()[:, ::-1], k[:, ::-1].copy()[:, ::-1]],
    "read_only": lambda x, k: [read_only(x), read_only(k)],
}


@pytest.mark.parametrize("form", FORMS)
def test_every_form_of_a_request_gives_the_same_result(oracle, form):
    path, requests, expected = oracle["float_and_int64"]
    x, k = requests[4]["x"], requests[4]["k"]  # 5 rows
    inputs = FORMS[form](x, k)
    given = [a.copy() for a in (inputs.values() if hasattr(inputs, "values") else inputs)]
    with vn.Batcher(path, max_batch=5) as b:
        check(b.run(inputs), expected[4], form)
    for a, before in zip(inputs.values() if hasattr(inputs, "values") else inputs, given):
        np.testing.assert_array_equal(a, before)


def test_rows_broadcast_from_one():
    """A zero stride along the rows: five copies of one row give five copies of its outputs."""
    path = data("batch_mix")
    request = mix_request(np.random.default_rng(4), 1)
    (expected,) = run_models([(path, request)])
    with vn.Batcher(path, max_batch=5) as b:
        got = b.run({name: np.broadcast_to(a, (5,) + a.shape[1:]) for name, a in request.items()})
    for g, e, axis in zip(got, expected, (0, 0, 1)):
        assert_matches_oracle(g, np.repeat(e, 5, axis=axis))


def test_one_array_for_a_model_with_one_input(oracle):
    path, requests, expected = oracle["batch_on_axis_1"]
    with batcher(oracle, "batch_on_axis_1") as b:
        check(b.run(requests[1]["x"]), expected[1])
        check(b.submit(requests[2]["x"]).result(TIMEOUT), expected[2])


def test_a_model_spec_gives_its_own_load_options(oracle):
    path, requests, expected = oracle["second_dimension_pinned"]
    with vn.Batcher(vn.ModelSpec(path, dims={"S": 5}), max_batch=4) as b:
        assert b.max_batch == 4 and b.stats()["merges_requests"]
        check(b.run(requests[0]), expected[0])
    spec = vn.ModelSpec(path, shapes={"x": (2, 5)}, optimization="basic")
    with vn.Batcher(spec) as b:  # the batch pinned too: exactly 2 rows
        assert b.max_batch == 2 and b.stats()["fixed_batch"]
        check(b.run(requests[3]), expected[3])


def test_pinning_the_batch_makes_it_fixed(oracle):
    path, requests, expected = oracle["float_and_int64"]
    with vn.Batcher(path, dims={"N": 2}) as b:
        assert b.max_batch == 2 and b.stats()["fixed_batch"] and not b.stats()["merges_requests"]
        check(b.run(requests[1]), expected[1])
        with raises_exact(ValueError, "Batcher.run() input 'x' needs shape (n, 4) with n = 2 (the model's fixed "
                                      "batch), got 3 rows"):
            b.run(requests[2])


# ---- many callers at once -------------------------------------------------------------------------

@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("case", ["float_and_int64", "batch_on_axis_1", "derived_dimension", "fixed_batch"])
def test_threads_tasks_and_futures_at_once_each_get_their_own_rows(oracle, case, workers):
    """Threads calling run(), asyncio tasks awaiting run_async() in a loop of their own, and
    futures from submit(), all at once: each request gets back exactly its own rows."""
    path, requests, expected = oracle[case]
    rounds, count = 12, len(requests)
    b = batcher(oracle, case, workers=workers, max_wait=0.002)
    done = []  # (request, outputs), from every caller

    def caller(seed):
        order = np.random.default_rng(seed).permutation(rounds * count) % count
        return lambda: done.extend((i, b.run(requests[i])) for i in order)

    def tasks():
        async def one(i):
            return i, await b.run_async(requests[i])

        async def main():
            return await asyncio.gather(*(one(i % count) for i in range(rounds * count)))

        done.extend(asyncio.run(main()))

    def futures():
        submitted = [(i % count, b.submit(requests[i % count])) for i in range(rounds * count)]
        done.extend((i, f.result(TIMEOUT)) for i, f in submitted)

    in_threads(caller(1), caller(2), caller(3), tasks, futures)
    assert len(done) == 5 * rounds * count
    for i, outputs in done:
        check(outputs, expected[i], f"request {i}")
    b.close()
    stats = b.stats()
    assert stats["requests"] == len(done) and stats["failures"] == 0
    assert stats["rows"] == 5 * rounds * sum(CASES[case][3])
    if not CASES[case][4]["merges_requests"]:
        assert stats["runs"] == stats["requests"]


def test_requests_queued_behind_a_run_are_merged(made):
    """One worker, a run of a few milliseconds, thirty requests submitted at once: the ones
    waiting behind the first run share runs, and each still gets its own rows."""
    rng = np.random.default_rng(5)
    requests = [{"x": rng.uniform(-1, 1, (1 + i % 3, 64, 256)).astype(np.float32)} for i in range(30)]
    with vn.Batcher(made["slow"], max_batch=8) as b:
        futures = [b.submit(r) for r in requests]
        got = [f.result(TIMEOUT) for f in futures]
    stats = b.stats()
    assert stats["runs"] < 30 and stats["rows"] == sum(r["x"].shape[0] for r in requests)
    expected = run_models([(made["slow"], r) for r in requests[:8]])
    for i, (outputs, want) in enumerate(zip(got, expected)):
        check(outputs, want, f"request {i}")


# ---- refusals -------------------------------------------------------------------------------------

def X(n, dtype=np.float32, width=4):
    return np.zeros((n, width), dtype)


def K(n, dtype=np.int64):
    return np.zeros((n, 2), dtype)


TAKES = ("takes a mapping from input name to numpy array, a sequence of arrays in session order, or one array "
         "for a model with one input, not ")
NEEDS_X = "input 'x' needs shape (n, 4) with n from 1 to 4 (max_batch), got "
NEEDS_K = "input 'k' needs shape (n, 2) with n from 1 to 4 (max_batch), got "
REFUSED_REQUESTS = {
    "unknown_name": (lambda: {"x": X(1), "k": K(1), "z": X(1)}, ValueError,
                     "got an input 'z' the model does not have; its inputs are 'x' and 'k'"),
    "missing_name": (lambda: {"x": X(2)}, ValueError, "is missing input 'k'"),
    "missing_names": (lambda: {}, ValueError, "is missing inputs 'x' and 'k'"),
    "name_not_str": (lambda: {"x": X(1), b"k": K(1)}, TypeError, "input names must be str, not bytes"),
    "float64_for_float32": (lambda: [X(2, np.float64), K(2)], TypeError,
                            "input 'x' takes float32, not an array of dtype float64 (convert it with .astype())"),
    "int32_for_int64": (lambda: [X(2), K(2, np.int32)], TypeError,
                        "input 'k' takes int64, not an array of dtype int32 (convert it with .astype())"),
    "float32_for_int64": (lambda: [X(2), K(2, np.float32)], TypeError,
                          "input 'k' takes int64, not an array of dtype float32 (convert it with .astype())"),
    "wrong_width": (lambda: [X(3, width=3), K(3)], ValueError, NEEDS_X + "(3, 3)"),
    "extra_dimension": (lambda: [X(3)[None], K(3)], ValueError, NEEDS_X + "(1, 3, 4)"),
    "missing_dimension": (lambda: [X(3), np.zeros(3, np.int64)], ValueError, NEEDS_K + "(3,)"),
    "a_scalar": (lambda: [np.ones((), np.float32), K(1)], ValueError, NEEDS_X + "()"),
    "no_rows": (lambda: [X(0), K(0)], ValueError, NEEDS_X + "0 rows"),
    "too_many_rows": (lambda: [X(5), K(5)], ValueError, NEEDS_X + "5 rows"),
    "rows_differ": (lambda: [X(3), K(2)], ValueError,
                    "input 'k' has 2 rows, input 'x' 3: every input of a request has the same rows"),
    "rows_differ_by_name": (lambda: {"k": K(1), "x": X(4)}, ValueError,
                            "input 'k' has 1 row, input 'x' 4: every input of a request has the same rows"),
    "a_list": (lambda: {"x": X(1).tolist(), "k": K(1)}, TypeError, "input 'x' must be a numpy array, not list"),
    "none": (lambda: [X(1), None], TypeError, "input 'k' must be a numpy array, not NoneType"),
    "one_array_for_two_inputs": (lambda: X(1), TypeError,
                                 "got one array, but the model has 2 inputs: give a mapping from input name to "
                                 "array, or a sequence in session order"),
    "one_array_in_a_list": (lambda: [X(1)], ValueError, "got 1 arrays, but the model has 2 inputs: 'x' and 'k'"),
    "three_arrays": (lambda: (X(1), K(1), K(1)), ValueError, "got 3 arrays, but the model has 2 inputs: 'x' and 'k'"),
    "an_int": (lambda: 5, TypeError, TAKES + "int"),
    "a_str": (lambda: "xk", TypeError, TAKES + "str"),
    "a_set": (lambda: {"x", "k"}, TypeError, TAKES + "set"),
    "none_at_all": (lambda: None, TypeError, TAKES + "NoneType"),
}


def call(b, function, inputs):
    if function != "run_async":
        return getattr(b, function)(inputs)

    async def main():
        return await b.run_async(inputs)

    return asyncio.run(main())


@pytest.fixture(scope="module")
def mix():
    with vn.Batcher(data("batch_mix"), max_batch=4) as b:
        yield b


@pytest.mark.parametrize("function", ["run", "submit", "run_async"])
@pytest.mark.parametrize("fault", REFUSED_REQUESTS)
def test_a_bad_request_is_refused_before_it_is_queued(mix, fault, function):
    make, exception, message = REFUSED_REQUESTS[fault]
    before = mix.stats()
    inputs = make()
    with raises_exact(exception, f"Batcher.{function}() {message}"):
        call(mix, function, inputs)
    assert mix.stats() == before


@pytest.mark.parametrize("function", ["run", "submit", "run_async"])
def test_a_fixed_batch_takes_exactly_its_rows(oracle, function):
    with batcher(oracle, "fixed_batch") as b:
        with raises_exact(ValueError, f"Batcher.{function}() input 'a' needs shape (n, 2) with n = 3 (the model's "
                                      "fixed batch), got 2 rows"):
            call(b, function, [np.zeros((2, 2), np.float32), np.zeros(3, np.int64)])
    with batcher(oracle, "inputs_whole") as b:
        with raises_exact(ValueError, f"Batcher.{function}() input 'b' needs shape (3,), got (1, 3)"):
            call(b, function, [np.zeros((2, 3), np.float32), np.zeros((1, 3), np.float32)])


BATCHING_FAULTS = [
    ("max_batch", 0, ValueError, "max_batch must be from 1 to 65536, not 0"),
    ("max_batch", -3, ValueError, "max_batch must be from 1 to 65536, not -3"),
    ("max_batch", 65537, ValueError, "max_batch must be from 1 to 65536, not 65537"),
    ("max_batch", 2**70, ValueError, f"max_batch must be from 1 to 65536, not {2**70}"),
    ("max_batch", True, TypeError, "max_batch must be an int, not bool"),
    ("max_batch", 4.0, TypeError, "max_batch must be an int, not float"),
    ("max_batch", "4", TypeError, "max_batch must be an int, not str"),
    ("max_batch", None, TypeError, "max_batch must be an int, not NoneType"),
    ("workers", 0, ValueError, "workers must be from 1 to 256, not 0"),
    ("workers", 257, ValueError, "workers must be from 1 to 256, not 257"),
    ("workers", False, TypeError, "workers must be an int, not bool"),
    ("workers", 2.0, TypeError, "workers must be an int, not float"),
    ("max_wait", -0.001, ValueError, "max_wait must be from 0 to 1 second, not -0.001"),
    ("max_wait", 1.5, ValueError, "max_wait must be from 0 to 1 second, not 1.5"),
    ("max_wait", 2, ValueError, "max_wait must be from 0 to 1 second, not 2"),
    ("max_wait", float("nan"), ValueError, "max_wait must be from 0 to 1 second, not nan"),
    ("max_wait", float("inf"), ValueError, "max_wait must be from 0 to 1 second, not inf"),
    ("max_wait", 10**400, ValueError, f"max_wait must be from 0 to 1 second, not {10**400}"),
    ("max_wait", True, TypeError, "max_wait must be a number of seconds, not bool"),
    ("max_wait", "0.1", TypeError, "max_wait must be a number of seconds, not str"),
    ("max_wait", None, TypeError, "max_wait must be a number of seconds, not NoneType"),
]


@pytest.mark.parametrize("option, value, exception, message", BATCHING_FAULTS,
                         ids=[f"{option}={value!r}"[:24] for option, value, _, _ in BATCHING_FAULTS])
def test_batching_options_out_of_range_or_of_the_wrong_type(option, value, exception, message):
    with raises_exact(exception, message):
        vn.Batcher(data("batch_mix"), **{option: value})


@pytest.mark.parametrize("option, value", [("max_batch", np.int64(3)), ("workers", np.int32(2)), ("max_wait", 0),
                                           ("max_wait", 1), ("max_wait", np.float64(0.25)), ("max_batch", 65536)])
def test_batching_options_at_their_limits_and_of_other_number_types(option, value):
    with vn.Batcher(data("batch_mix"), **{option: value}) as b:
        assert b.run([X(1), K(1)])[1].shape == (1, 2)


LOAD_FAULTS = {
    "optimization_unknown": {"optimization": "fast"},
    "optimization_not_str": {"optimization": 3},
    "threads_negative": {"threads": -1},
    "threads_too_many": {"threads": 1025},
    "threads_bool": {"threads": True},
    "threads_float": {"threads": 1.0},
    "dims_not_a_mapping": {"dims": [("N", 2)]},
    "dims_key_not_str": {"dims": {1: 2}},
    "dims_size_zero": {"dims": {"N": 0}},
    "dims_size_bool": {"dims": {"N": True}},
    "dims_unknown_name": {"dims": {"Q": 2}},
    "shapes_not_a_mapping": {"shapes": ("x", (2, 4))},
    "shapes_of_a_str": {"shapes": {"x": "24"}},
    "shapes_other_length": {"shapes": {"x": (2, 4, 1)}},
    "shapes_unknown_input": {"shapes": {"q": (2, 4)}},
    "shapes_contradict_a_fixed_dimension": {"shapes": {"x": (2, 5)}},
    "pins_without_optimization": {"optimization": "disable", "dims": {"N": 2}},
}


@pytest.mark.parametrize("options", LOAD_FAULTS.values(), ids=LOAD_FAULTS)
def test_load_options_are_refused_as_load_model_refuses_them(options):
    with pytest.raises((TypeError, ValueError)) as by_load_model:
        vn.load_model(data("batch_mix"), **options)
    with raises_exact(by_load_model.type, str(by_load_model.value)):
        vn.Batcher(data("batch_mix"), **options)


@pytest.mark.parametrize("path", [data("nowhere"), 5])
def test_a_path_is_refused_as_load_model_refuses_it(path):
    with pytest.raises((TypeError, RuntimeError)) as by_load_model:
        vn.load_model(path)
    with raises_exact(by_load_model.type, str(by_load_model.value)):
        vn.Batcher(path)


@pytest.mark.parametrize("options", [{"optimization": "basic"}, {"threads": 0}, {"threads": 4}, {"dims": {"N": 2}},
                                     {"dims": {}}, {"shapes": {"x": (2, 4)}}, {"optimization": "all", "threads": 2},
                                     {"threads": True}, {"threads": 2**70}, {"optimization": "\udc80"}])
def test_a_model_spec_comes_without_load_options(options):
    with raises_exact(TypeError, "Batcher() takes its load options from the ModelSpec it is given: leave "
                                 "optimization, threads, dims and shapes out, or give a path"):
        vn.Batcher(vn.ModelSpec(data("batch_mix")), **options)


@pytest.mark.parametrize("model, options, exception, message", [
    ("string_passthrough", {}, RuntimeError,
     "input 0 's' is a string tensor, which a shared model cannot batch: its rows are not in one buffer"),
    ("bfloat16_input", {}, TypeError,
     "input 1 'k' has element type BFLOAT16, which numpy has no dtype for: a Batcher cannot serve it"),
    ("sequence_output", {}, RuntimeError, "output 0 'ys' is of kind sequence, not a tensor"),
    ("batch_sequence", {}, ValueError, "input 0 'x' dimension 1 is dynamic ('S'): pin it with dims={'S': size} or "
                                       "give the input's whole shape with shapes={'x': (...)}"),
    ("batch_sequence", {"dims": {"N": 2}}, ValueError, "input 0 'x' dimension 1 is dynamic ('S'): pin it with "
                                                       "dims={'S': size} or give the input's whole shape with "
                                                       "shapes={'x': (...)}"),
])
def test_models_a_batcher_cannot_serve(model, options, exception, message):
    with raises_exact(exception, message):
        vn.Batcher(data(model), **options)


# ---- failing runs, close ------------------------------------------------------------------------

def reshape_request(n, largest=4, seed=0):
    """x [n, 4] and s [n]: the model returns x while every s is 4; a run with a row whose s is
    5 fails in Reshape (5 divides no 4 n of the batches sent here)."""
    s = np.full(n, 4, np.int64)
    s[0] = largest
    return {"x": np.random.default_rng(seed).uniform(-1, 1, (n, 4)).astype(np.float32), "s": s}


def test_a_failing_run_fails_its_own_requests_and_the_batcher_goes_on():
    with vn.Batcher(data("batch_reshape_by_input"), max_batch=4) as b:
        good = reshape_request(3)
        np.testing.assert_array_equal(b.run(good)[0], good["x"])
        for function in ("run", "submit", "run_async"):
            with pytest.raises(RuntimeError, match="Reshape"):
                outputs = call(b, function, reshape_request(1, largest=5))
                if function == "submit":
                    outputs.result(TIMEOUT)
            np.testing.assert_array_equal(b.run(good)[0], good["x"])
        assert b.stats()["failures"] == 3 and b.stats()["requests"] == 7


def test_failing_requests_among_good_ones_from_threads():
    """Bad requests (1 row each: 4 n is never a multiple of 5 for n up to 4) and good ones at
    once: every bad one fails, every good one gives its own rows or fails with the run it shared
    with a bad one; failures counts exactly the failed ones."""
    b = vn.Batcher(data("batch_reshape_by_input"), max_batch=4, workers=2)
    failed, succeeded = [], []

    def sender(seed):
        def send():
            for i in range(40):
                bad = i % 5 == seed % 5
                request = reshape_request(1 if bad else 1 + (i + seed) % 3, largest=5 if bad else 4, seed=i)
                future = b.submit(request) if i % 2 else None
                try:
                    outputs = future.result(TIMEOUT) if future else b.run(request)
                except RuntimeError as e:
                    failed.append((bad, str(e)))
                    continue
                assert not bad
                succeeded.append(1)
                np.testing.assert_array_equal(outputs[0], request["x"])
        return send

    in_threads(*[sender(s) for s in range(4)])
    assert sum(bad for bad, _ in failed) == 4 * 8 and len(failed) + len(succeeded) == 160
    good = reshape_request(2)
    np.testing.assert_array_equal(b.run(good)[0], good["x"])
    b.close()
    assert b.stats()["failures"] == len(failed) and b.stats()["requests"] == 161


def test_close_lets_every_accepted_request_complete(made):
    rng = np.random.default_rng(8)
    requests = [{"x": rng.uniform(-1, 1, (1 + i % 2, 64, 256)).astype(np.float32)} for i in range(6)]
    expected = run_models([(made["slow"], r) for r in requests])
    b = vn.Batcher(made["slow"], max_batch=2)
    served, refused = [], []
    started = threading.Barrier(4)

    def caller(seed):
        started.wait()
        for i in np.random.default_rng(seed).integers(0, len(requests), 10**6):
            try:
                served.append((i, b.run(requests[i])))
            except RuntimeError as e:
                refused.append(str(e))
                return

    threads = [threading.Thread(target=caller, args=(s,)) for s in range(3)]
    for t in threads:
        t.start()
    started.wait()
    for _ in range(60 * 100):  # until the callers are under way
        if len(served) >= 3:
            break
        threading.Event().wait(0.01)
    futures = [(i % 6, b.submit(requests[i % 6])) for i in range(12)]
    b.close()
    assert all(f.done() for _, f in futures)  # close() returned once every accepted request was done
    for t in threads:
        t.join(TIMEOUT)
    assert refused == ["batcher is closed"] * 3
    for i, outputs in served + [(i, f.result(0)) for i, f in futures]:
        check(outputs, expected[i], f"request {i}")
    stats = b.stats()
    assert stats["requests"] == len(served) + 12 and stats["failures"] == 0
    assert stats["rows"] == sum(requests[i]["x"].shape[0] for i, _ in served + futures)
    b.close()  # again: nothing to do
    assert b.closed and b.stats() == stats
    for function in ("run", "submit", "run_async"):
        with raises_exact(RuntimeError, "batcher is closed"):
            call(b, function, requests[0])
    assert b.stats() == stats


def test_the_with_block_closes_and_lets_its_requests_complete(oracle):
    path, requests, expected = oracle["float_and_int64"]
    with vn.Batcher(path, max_batch=5) as b:
        assert type(b) is vn.Batcher
        futures = [b.submit(r) for r in requests]
    assert b.closed and all(f.done() for f in futures)
    for f, e in zip(futures, expected):
        check(f.result(0), e)
    with pytest.raises(ZeroDivisionError):
        with vn.Batcher(path, max_batch=5) as b:
            futures = [b.submit(r) for r in requests]
            1 / 0
    assert b.closed and all(f.done() for f in futures)
    with raises_exact(RuntimeError, "batcher is closed"):
        b.run(requests[0])


def test_dropping_the_batcher_completes_its_futures(oracle):
    path, requests, expected = oracle["float_and_int64"]
    b = vn.Batcher(path, max_batch=5)
    futures = [b.submit(r) for r in requests]
    del b
    assert all(f.done() for f in futures)
    for f, e in zip(futures, expected):
        check(f.result(0), e)


async def close_in_the_loop(b, requests):
    tasks = [asyncio.ensure_future(b.run_async(r)) for r in requests]
    await asyncio.sleep(0)
    b.close()  # blocks the loop until the requests are done; their futures complete after
    return await asyncio.gather(*tasks)


def test_close_in_the_event_loop_with_requests_awaited(oracle):
    path, requests, expected = oracle["float_and_int64"]
    b = vn.Batcher(path, max_batch=5)
    for outputs, e in zip(asyncio.run(close_in_the_loop(b, requests)), expected):
        check(outputs, e)


# ---- cancellation -------------------------------------------------------------------------------

def test_a_storm_of_cancellations_loses_no_request_and_answers_none_twice(made):
    """Tasks and futures cancelled while their requests wait in the queue or run: the others get
    their own rows, every accepted request is counted and run exactly once (the rows of the runs
    add up to theirs), and the arrays of the cancelled ones are let go."""
    rng = np.random.default_rng(11)
    distinct = [rng.uniform(-1, 1, (1 + i % 3, 64, 256)).astype(np.float32) for i in range(6)]
    expected = run_models([(made["slow"], {"x": x}) for x in distinct])
    b = vn.Batcher(made["slow"], max_batch=4, workers=2)
    sent, kept = [], []  # rows of each accepted request; weak references to the cancelled ones' arrays

    async def storm(round_):
        async def one(i):
            x = distinct[i].copy()
            sent.append(x.shape[0])
            if i % 3 == 0:
                kept.append(weakref.ref(x))
            return i, await b.run_async(x)

        tasks = [asyncio.ensure_future(one(i % 6)) for i in range(60)]
        futures = []
        for i in range(30):
            x = distinct[i % 6].copy()
            futures.append((i % 6, b.submit(x)))
            sent.append(x.shape[0])
            if i % 2:
                kept.append(weakref.ref(x))
        del x
        await asyncio.sleep(0)  # every task has sent its request
        for task in tasks[round_::3]:  # queued mostly
            task.cancel()
        for i in range(1, 30, 2):
            futures[i][1].cancel()
        await asyncio.sleep(0.002)
        for task in tasks[1 - round_::3]:  # running or done by now, some of them
            task.cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        answered = [r for r in results if not isinstance(r, asyncio.CancelledError)]
        for i, f in futures:
            if not f.cancelled():
                answered.append((i, f.result(TIMEOUT)))
        return answered, sum(isinstance(r, asyncio.CancelledError) for r in results)

    for round_ in range(2):
        answered, cancelled = asyncio.run(storm(round_))
        assert cancelled >= 20 and len(answered) >= 30
        for i, outputs in answered:
            check(outputs, expected[i], f"request {i}")
    # still serving, and every request sent is accounted for once it is done
    check(b.run(distinct[4]), expected[4])
    b.close()
    gc.collect()  # the cancelled tasks' frames, held by their exceptions' tracebacks
    stats = b.stats()
    assert stats["requests"] == len(sent) + 1 == 2 * 90 + 1 and stats["failures"] == 0
    assert stats["rows"] == sum(sent) + distinct[4].shape[0]
    assert all(ref() is None for ref in kept)


# ---- in child interpreters ----------------------------------------------------------------------

def child(code, timeout=TIMEOUT):
    """Runs `code` after the prelude in a fresh interpreter; returns the completed process."""
    source = textwrap.dedent(PRELUDE).format(mix=data("batch_mix")) + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout)


PRELUDE = """
    import asyncio, os, signal, sys, threading, time, warnings, weakref
    import numpy as np
    import vekra_numpy as vn
    MIX = {mix!r}
    def request(n, seed=0):
        rng = np.random.default_rng(seed)
        return {{"x": rng.uniform(-2, 2, (n, 4)).astype(np.float32), "k": rng.integers(-9, 9, (n, 2))}}
    async def awaited(b, inputs):
        return await b.run_async(inputs)
"""


@pytest.mark.parametrize("attempt", range(3))
def test_the_interpreter_ends_with_a_live_batcher_and_requests_in_flight(made, attempt):
    """Daemon threads keep calling run(), futures are pending and a task awaits run_async() in
    another thread's loop when the main thread ends: the process exits normally."""
    done = child(f"""
        b = vn.Batcher({made["slow"]!r}, max_batch=4, workers=2)
        x = np.ones((2, 64, 256), np.float32)
        def loop():
            while True:
                try:
                    b.run(x)
                except RuntimeError:  # closed at exit
                    return
        async def awaiting():
            while True:
                try:
                    await b.run_async(x)
                except RuntimeError:  # closed at exit
                    return
        for _ in range(3):
            threading.Thread(target=loop, daemon=True).start()
        threading.Thread(target=lambda: asyncio.run(awaiting()), daemon=True).start()
        futures = [b.submit(x) for _ in range(40)]
        futures[-1].add_done_callback(lambda f: None)
        m = vn.Batcher(MIX)  # a second batcher, idle
        time.sleep(0.05)
        print("end")
    """)
    assert (done.returncode, done.stdout) == (0, "end\n"), done.stderr[-3000:]
    assert "Fatal" not in done.stderr and "Traceback" not in done.stderr, done.stderr[-3000:]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_a_forked_child_refuses_the_parents_batcher_and_makes_its_own(made):
    done = child(f"""
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running (3.12+)
        b = vn.Batcher(MIX, max_batch=4, workers=2)
        slow = vn.Batcher({made["slow"]!r}, max_batch=2)
        expected = b.run(request(3))
        stop = threading.Event()
        def busy():
            x = np.ones((1, 64, 256), np.float32)
            while not stop.is_set():
                slow.run(x)
        t = threading.Thread(target=busy)
        t.start()
        futures = [slow.submit(np.ones((2, 64, 256), np.float32)) for _ in range(20)]
        parent = os.getpid()
        pid = os.fork()
        if pid == 0:
            for batcher in (b, slow):
                for call in (lambda: batcher.run(request(3)), lambda: batcher.submit(request(3)),
                             lambda: asyncio.run(awaited(batcher, request(3)))):
                    try:
                        call()
                        print("served")
                    except RuntimeError as e:
                        print(str(e) == (f"this Batcher was made in process {{parent}}, and this process is a fork "
                                         "of it, without its workers: make a new Batcher here"))
                print(batcher.closed)
                batcher.close()  # nothing to do here
            with vn.Batcher(MIX, max_batch=4) as own:
                got = own.run(request(3))
            print(all(np.array_equal(g, e) for g, e in zip(got, expected)))
            sys.stdout.flush()
            # Not sys.exit(): ONNX Runtime's own static objects wait at exit() for a thread of
            # the parent's that the child does not have, whatever the module does.
            os._exit(0)
        deadline = time.monotonic() + 60
        while not os.waitpid(pid, os.WNOHANG)[0]:
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                print("hung")
                break
            time.sleep(0.01)
        stop.set()
        t.join()
        print(all(f.result(60)[0].shape == (2, 64, 256) for f in futures))
        got = b.run(request(3))
        print(all(np.array_equal(g, e) for g, e in zip(got, expected)))
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["True"] * 11, done.stdout


def test_ctrl_c_during_run_raises_at_once_and_the_batcher_goes_on(made):
    """SIGINT while run() waits on a long run in the main thread: KeyboardInterrupt comes from
    run(), the request runs on with its result dropped (its arrays let go), and the batcher
    answers the next requests as before."""
    # The main thread never gives the interpreter lock up on its own (a switch interval of
    # minutes), so the interrupting thread runs only while run() waits without it.
    done = child(f"""
        b = vn.Batcher({made["long"]!r}, max_batch=2)
        x = np.random.default_rng(1).uniform(-1, 1, (1, 512, 512)).astype(np.float32)
        expected = b.run(x)[0]
        waiting = threading.Event()
        def interrupt():
            waiting.wait()
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        threading.Thread(target=interrupt).start()
        sys.setswitchinterval(600)
        dropped = x.copy()
        ref = weakref.ref(dropped)
        try:
            waiting.set()
            b.run(dropped)
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted")
        sys.setswitchinterval(0.005)
        del dropped
        print(np.array_equal(b.run(x)[0], expected), np.array_equal(b.submit(x).result(60)[0], expected))
        b.close()
        print(ref() is None, b.stats()["requests"], b.stats()["rows"], b.stats()["failures"])
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted\nTrue True\nTrue 4 4 0\n", "")


@pytest.mark.parametrize("how", ["done_callback", "garbage_collector"])
def test_the_last_reference_going_on_a_worker(how):
    """The done callback of a future runs on the worker completing it. When it drops the last
    reference to the batcher, itself or through the cyclic garbage collector, the batcher goes
    there, in the middle of completing a run: its other requests still complete, and the
    process goes on."""
    done = child(f"""
        import concurrent.futures, gc
        class Service:
            def __init__(self):
                self.batcher = vn.Batcher(MIX, max_batch=4, workers=2)
                self.me = self  # a cycle: only the collector frees it
        requests = [request(1 + i % 4, i) for i in range(200)]
        with vn.Batcher(MIX, max_batch=4) as alone:
            expected = [alone.run(r) for r in requests]
        gc.disable()
        # Nothing completes before the callback is set and the last reference left to it: the
        # workers wait for the interpreter lock, which this thread keeps meanwhile.
        sys.setswitchinterval(600)
        service = Service()
        futures = [service.batcher.submit(r) for r in requests]
        gone = weakref.ref(service)
        if {how!r} == "done_callback":
            holder = [service]
            service.me = None
            futures[0].add_done_callback(lambda f: holder.clear())
        else:
            futures[0].add_done_callback(lambda f: gc.collect())
        del service
        sys.setswitchinterval(0.005)
        concurrent.futures.wait(futures, 60)
        print(all(f.done() for f in futures), gone() is None)
        print(all(all(np.array_equal(g, e) for g, e in zip(f.result(0), want)) for f, want in zip(futures, expected)))
        with vn.Batcher(MIX) as again:
            print(all(np.array_equal(g, e) for g, e in zip(again.run(requests[5]), expected[5])))
    """)
    assert (done.returncode, done.stdout) == (0, "True True\nTrue\nTrue\n"), done.stderr[-3000:]


def test_run_from_a_done_callback_is_refused_and_submit_there_works():
    """A done callback runs on the worker completing the future: run() there would wait for
    that worker itself (with one worker, for ever)."""
    done = child("""
        import concurrent.futures
        with vn.Batcher(MIX, workers=1) as b:
            seen, later = [], []
            def callback(f):
                try:
                    b.run(request(1, 0))
                except RuntimeError as e:
                    seen.append(str(e))
                later.append(b.submit(request(2, 1)))
            b.submit(request(1, 2)).add_done_callback(callback)
            while not later:
                time.sleep(0.01)
            print(later[0].result(30)[0].shape[0], b.run(request(3, 3))[0].shape[0])
            print(seen[0])
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout == ("2 3\nBatcher.run() was called on one of this Batcher's own workers (from a future's "
                           "done callback), where it would wait for itself: use submit() there\n")


def test_a_thread_running_its_request_itself_leaves_the_queue_to_the_worker(made):
    """run() from a thread finds the one worker idle and runs on its context: requests
    submitted meanwhile wait for that run, then the worker serves them, all answered."""
    done = child(f"""
        import concurrent.futures
        with vn.Batcher({made["long"]!r}, max_batch=4, workers=1) as b:
            x = np.full((1, 512, 512), 0.5, np.float32)
            alone = b.run(x)[0]
            outcome = []
            t = threading.Thread(target=lambda: outcome.append(b.run(x)[0]))
            t.start()
            while b.stats()["requests"] < 2:
                time.sleep(0.001)
            futures = [b.submit(x) for _ in range(3)]
            t.join(60)
            concurrent.futures.wait(futures, 60)
            print(all(np.array_equal(f.result(0)[0], alone) for f in futures), np.array_equal(outcome[0], alone))
            print(b.stats()["requests"], b.stats()["failures"])
    """)
    assert (done.returncode, done.stdout) == (0, "True True\n5 0\n"), done.stderr[-3000:]


def test_an_instance_made_by_new_alone_is_refused():
    calls = ["b.run(np.zeros((1, 4), np.float32))", "b.submit([])", "b.stats()", "b.close()", "b.max_batch",
             "b.closed", "b.input_names", "b.__exit__(None, None, None)"]
    done = child(f"""
        b = vn.Batcher.__new__(vn.Batcher)
        for call in {calls!r}:
            try:
                eval(call)
            except TypeError as e:
                print(e)
    """)
    message = "vekra_numpy.Batcher instance was created without __init__ and holds nothing\n"
    assert (done.returncode, done.stdout) == (0, message * len(calls)), done.stderr[-3000:]


@pytest.mark.parametrize("attempt", range(3))
def test_at_exit_a_completion_drops_the_last_reference_to_another_batcher(attempt):
    """Closing the live batchers at exit completes futures whose callbacks let go of other live
    batchers, in whatever order they are closed: each of those is still closed, once."""
    done = child("""
        holders = []
        for i in range(16):
            a, b = vn.Batcher(MIX), vn.Batcher(MIX)
            futures = [a.submit(request(2, i)) for _ in range(30)]
            holder = [b]
            futures[-1].add_done_callback(lambda f, holder=holder: holder.clear())
            b.submit(request(1, i)).add_done_callback(lambda f: None)
            holders.append((a, futures))
            del a, b
        print("end")
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "end\n", "")


@skip_under_asan
def test_memory_stays_flat_over_ten_thousand_requests():
    done = child("""
        def rss():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) * 1024
        b = vn.Batcher(MIX, max_batch=8, workers=2)
        requests = [request(1 + i % 8, i) for i in range(16)]
        async def tasks(count):
            await asyncio.gather(*(b.run_async(requests[i % 16]) for i in range(count)))
        def round_(count):
            for i in range(count):
                b.run(requests[i % 16])
            for f in [b.submit(requests[i % 16]) for i in range(count // 10)]:
                f.result()
            asyncio.run(tasks(count // 10))
        round_(2000)
        before = rss()
        round_(10000)
        print((rss() - before) / 2**20, b.stats()["requests"])
    """)
    assert done.returncode == 0, done.stderr[-3000:]
    growth, requests = done.stdout.split()
    assert float(growth) < 20 and int(requests) == 2400 + 12000

"""The operations' overload chains: counts, order, signatures, docstrings, TypeError listings."""
import re

import pytest

import vekracore as vk
from conftest import SUFFIXES

COUNTS = {"scale": 12, "sum": 36, "dot": 36, "copy": 36, "swap": 36, "axpy": 36, "hdot": 18,
          "ls": 12, "matvec": 108, "gemv": 108, "gemm": 4, "matmul": 4}
DOCS = {"scale": "scale an object", "sum": "add objects", "dot": "dot product",
        "copy": "copy an object into another", "swap": "swap objects into another", "axpy": "axpy objects",
        "hdot": "hermetian dot product", "ls": "ls", "matvec": "matvec", "gemv": "gemv", "gemm": "gemm",
        "matmul": "matmul"}
FIRST_AND_LAST = {
    "scale": ("(arg0: float, arg1: vekracore.vecs) -> vekracore.vecs",
              "(arg0: complex, arg1: vekracore.matz) -> vekracore.matz"),
    "sum": ("(arg0: vekracore.vecs, arg1: vekracore.vecs) -> vekracore.vecs",
            "(arg0: vekracore.matz, arg1: vekracore.matz) -> vekracore.matz"),
    "dot": ("(arg0: vekracore.vecs, arg1: vekracore.vecs) -> float",
            "(arg0: vekracore.matz, arg1: vekracore.matz) -> complex"),
    "copy": ("(arg0: vekracore.vecs, arg1: vekracore.vecs) -> vekracore.vecs",
             "(arg0: vekracore.matz, arg1: vekracore.matz) -> vekracore.matz"),
    "swap": ("(arg0: vekracore.vecs, arg1: vekracore.vecs) -> None",
             "(arg0: vekracore.matz, arg1: vekracore.matz) -> None"),
    "axpy": ("(arg0: float, arg1: vekracore.vecs, arg2: vekracore.vecs) -> vekracore.vecs",
             "(arg0: complex, arg1: vekracore.matz, arg2: vekracore.matz) -> vekracore.matz"),
    "hdot": ("(arg0: vekracore.vecc, arg1: vekracore.vecc) -> complex",
             "(arg0: vekracore.matz, arg1: vekracore.matz) -> complex"),
    "ls": ("(arg0: vekracore.mats, arg1: vekracore.vecs) -> None",
           "(arg0: vekracore.matz, arg1: vekracore.matz) -> None"),
    "matvec": ("(arg0: vekracore.vecs, arg1: vekracore.vecs, arg2: vekracore.vecs) -> vekracore.vecs",
               "(arg0: vekracore.matz, arg1: vekracore.matz, arg2: vekracore.matz) -> vekracore.matz"),
    "gemv": ("(arg0: float, arg1: float, arg2: vekracore.vecs, arg3: vekracore.vecs, arg4: vekracore.vecs)"
             " -> vekracore.vecs",
             "(arg0: complex, arg1: complex, arg2: vekracore.matz, arg3: vekracore.matz, arg4: vekracore.matz)"
             " -> vekracore.matz"),
    "gemm": ("(arg0: float, arg1: float, arg2: vekracore.mats, arg3: vekracore.mats, arg4: vekracore.mats)"
             " -> vekracore.mats",
             "(arg0: complex, arg1: complex, arg2: vekracore.matz, arg3: vekracore.matz, arg4: vekracore.matz)"
             " -> vekracore.matz"),
    "matmul": ("(arg0: vekracore.mats, arg1: vekracore.mats, arg2: vekracore.mats) -> vekracore.mats",
               "(arg0: vekracore.matz, arg1: vekracore.matz, arg2: vekracore.matz) -> vekracore.matz"),
}
# The nine (first, second) kind pairings of one element type, in chain order.
PAIRS = ["vec vec", "vec view", "vec mat", "view vec", "view view", "view mat", "mat vec", "mat view", "mat mat"]


def overloads(name):
    """(signature without the name, docstring) of every overload, in chain order."""
    doc = getattr(vk, name).__doc__
    return re.findall(rf"^\d+\. {name}(\(.*)\n\n(.*)$", doc, re.M)


@pytest.mark.parametrize("name", COUNTS)
def test_counts_docstrings_and_ends_of_each_chain(name):
    chain = overloads(name)
    assert len(chain) == COUNTS[name]
    assert {doc for _, doc in chain} == {DOCS[name]}
    assert (chain[0][0], chain[-1][0]) == FIRST_AND_LAST[name]


def test_total_overload_count():
    assert sum(len(overloads(name)) for name in COUNTS) == 446


@pytest.mark.parametrize("name", ["sum", "dot", "copy", "swap", "axpy"])
def test_pair_functions_run_by_type_then_first_then_second_kind(name):
    kinds = [re.findall(r"vekracore\.(\w+)", sig)[:2] for sig, _ in overloads(name)]
    assert kinds == [[k1 + s, k2 + s] for s in SUFFIXES for k1, k2 in map(str.split, PAIRS)]


def test_ls_and_hdot_orders():
    assert [re.findall(r"vekracore\.(\w+)", sig) for sig, _ in overloads("ls")][:4] == [
        ["mats", "vecs"], ["mats", "views"], ["mats", "mats"], ["matd", "vecd"]]
    assert [re.findall(r"vekracore\.(\w+)", sig)[:2] for sig, _ in overloads("hdot")][8:10] == [
        ["matc", "matc"], ["vecz", "vecz"]]


@pytest.mark.parametrize("name", ["matvec", "gemv"])
def test_triple_order_at_landmarks(name):
    kinds = [" ".join(re.findall(r"vekracore\.(\w+)", sig)[:3]) for sig, _ in overloads(name)]
    assert kinds[1] == "vecs vecs views"
    assert kinds[3] == "vecs views vecs"
    assert kinds[9] == "views vecs vecs"
    assert kinds[18] == "mats vecs vecs"
    assert kinds[26] == "mats mats mats"
    assert kinds[27] == "vecd vecd vecd"
    assert kinds[54] == "vecc vecc vecc"


def test_type_error_lists_every_overload_in_chain_order():
    with pytest.raises(TypeError) as info:
        vk.sum(vk.vecs(1), vk.vecd(1))
    message = str(info.value)
    assert message.startswith("sum(): incompatible function arguments. "
                              "The following argument types are supported:\n")
    listed = re.findall(r"^    \d+\. (.*)$", message, re.M)
    assert listed == [sig for sig, _ in overloads("sum")]
    assert "\nInvoked with: " in message


def test_real_containers_match_no_hdot():
    with pytest.raises(TypeError, match=r"^hdot\(\): incompatible function arguments"):
        vk.hdot(vk.vecd(1), vk.vecd(1))


def test_exact_scalars_are_matched_first():
    v = vk.vecz(1)
    v[0] = 1 + 1j
    assert vk.scale(2, v) is v  # int: only the conversion pass matches
    assert vk.scale(1j, v) is v
    assert v[0] == -2 + 2j

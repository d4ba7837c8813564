"""Seeded mutations of every model in tests/data, loaded and run in child interpreters: no case
may kill its child unless onnxruntime's own package dies on it too, and every refusal is one of
the module's exception types. scripts/fuzz-models.py runs the same with a larger count."""
import os
import subprocess
import sys

import onnx
from onnx import TensorProto, helper

import model_fuzz

COUNT, SEED = 60, 11


def test_mutated_models_never_crash_in_vekracore(tmp_path, capsys):
    summary = model_fuzz.fuzz(COUNT, SEED, str(tmp_path))
    with capsys.disabled():
        for path, outcome in summary["onnxruntime"]:
            print(f"\n  inside ONNX Runtime, shared by its own package: {path}: {outcome}")
    assert summary["ours"] == []
    assert summary["unexpected"] == []
    assert summary["tally"].get("ran", 0) > 0  # the harness does reach run()


def test_a_crash_inside_onnx_runtime_is_told_apart(tmp_path):
    # An integer Mod whose divisor input stays zero dies of SIGFPE inside ONNX Runtime 1.17,
    # in onnxruntime's own package as well; the good model beside it runs. Later releases
    # refuse the division with an error instead, which the run turns into a RuntimeError.
    i64 = TensorProto.INT64
    graph = helper.make_graph([helper.make_node("Mod", ["a", "b"], ["y"])], "g",
                              [helper.make_tensor_value_info(n, i64, [2]) for n in ("a", "b")],
                              [helper.make_tensor_value_info("y", i64, [2])])
    crash = str(tmp_path / "mod_by_zero.onnx")
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], ir_version=8), crash)
    alone = subprocess.run([sys.executable, "-c", f"import vekracore; vekracore.model({crash!r}).run()"],
                           capture_output=True, text=True)
    summary = model_fuzz.classify([crash, os.path.join(model_fuzz.DATA, "affine.onnx")])
    if alone.returncode < 0:  # died of a signal
        assert [p for p, _ in summary["onnxruntime"]] == [crash]
        assert summary["tally"]["ran"] == 1
    else:
        assert "RuntimeError: Non-zero status code returned while running Mod node" in alone.stderr
        assert "Integer modulo by zero" in alone.stderr
        assert summary["onnxruntime"] == [] and summary["tally"]["ran"] == 1
    assert summary["ours"] == [] and summary["unexpected"] == []

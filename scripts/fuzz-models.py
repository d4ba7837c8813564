#!/usr/bin/env python
"""Fuzzes vekracore.model with many seeded mutations of each test model (tests/data/*.onnx),
each loaded and run in a child interpreter (tests/tools/model_fuzz.py does the work).

    .venv/bin/python scripts/fuzz-models.py [--count 300] [--seed 1] [model ...]

Prints the outcome counts, the crashes that onnxruntime's own package shares (inside ONNX
Runtime) and any crash that is vekracore's; exits 1 when there is one of those, or a refusal
with an exception type the module should not raise.
"""
import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
import model_fuzz  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=300, help="mutations per model")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", help="copy the crashing models into this folder")
    ap.add_argument("models", nargs="*", help="model names (default: all in tests/data)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        s = model_fuzz.fuzz(args.count, args.seed, folder, models=args.models or None)
        print(f"{s['cases']} cases: " + ", ".join(f"{k} {v}" for k, v in sorted(s["tally"].items())))
        for label, key in (("inside ONNX Runtime (its own package dies too)", "onnxruntime"),
                           ("vekracore's", "ours"), ("unexpected exception types", "unexpected")):
            print(f"{label}: {len(s[key])}")
            for path, outcome in s[key]:
                print(f"  {os.path.basename(path)}: {outcome}")
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    shutil.copy(path, args.keep)
    return 1 if s["ours"] or s["unexpected"] else 0


if __name__ == "__main__":
    sys.exit(main())

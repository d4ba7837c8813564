#!/usr/bin/env bash
# gemm throughput of the Python 3.9 wheel in dist/ (scripts/wheel.sh) against numpy, each with the
# OpenBLAS its own wheel carries: installs the wheel, numpy and threadpoolctl (the pins of
# requirements.txt) into a fresh virtual environment outside the checkout and runs
# bench/wheel_gemm.py there (writes bench/results-wheel.md). Argument: BLAS threads (1).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
wheels=(dist/vekracore-*-cp39-cp39-manylinux_*.whl)
[ -f "${wheels[0]}" ] || { echo "no Python 3.9 wheel in dist/: run scripts/wheel.sh first" >&2; exit 1; }
. "$root/scripts/python39.sh"
work="$(mktemp -d /tmp/vekracore-wheel-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
"$py39" -m venv "$work/venv"
grep -E '^(numpy|threadpoolctl)==' requirements.txt >"$work/requirements.txt"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$root/${wheels[0]}" \
  -r "$work/requirements.txt" >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; exit 1; }
cd "$work"
# Some machines set these for older OpenBLAS builds; they would hold both libraries to one
# kernel. Unset for this measurement only: threadpoolctl's table shows the kernel each runs.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$work/venv/bin/python" "$root/bench/wheel_gemm.py" "${1:-1}"

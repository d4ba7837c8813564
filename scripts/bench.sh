#!/usr/bin/env bash
# Sets everything up, then runs the benchmarks (bench/results.md, bench/gemm.png).
# Extra arguments go to bench/bench.py (--threads N, --quick).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
.venv/bin/python bench/bench.py "$@"

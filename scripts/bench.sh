#!/usr/bin/env bash
# Sets everything up, then runs the benchmarks (bench/results.md, bench/gemm.png): bench/bench.py,
# bench/element_access.py, bench/bench_describe.py, then the C++ benchmark of what ls's saved copy costs (one BLAS thread), appended to results.md.
# Extra arguments go to bench/bench.py (--threads N, --quick).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
. scripts/bench-venv.sh
.venv/bin/python bench/bench.py --ort-python "$ort_python" "$@"
# element access against numpy and a do-nothing C floor; VEKRA_BENCH_BEFORE=DIR (a directory
# holding an earlier build of the module) adds that build's figures beside this one's
.venv/bin/python bench/element_access.py ${VEKRA_BENCH_BEFORE:+--before "$VEKRA_BENCH_BEFORE"}
# describe(path) against a session over the same file, onnxruntime's and reading the file
.venv/bin/python bench/bench_describe.py --ort-python "$ort_python"
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/bench -G Ninja -DVEKRA_BUILD_BENCH=ON -DVEKRA_BUILD_MODULE=OFF -DVEKRA_WERROR=ON >/dev/null
cmake --build build/bench -j2 >/dev/null
OPENBLAS_NUM_THREADS=1 build/bench/vekra_ls_cost | tee -a bench/results.md

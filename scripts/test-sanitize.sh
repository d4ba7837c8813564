#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (in build/asan, the installed module is left alone), then runs both test suites with them.
# The interpreter is not instrumented, so the ASan runtime is preloaded into it, together
# with libstdc++ (ASan intercepts __cxa_throw, which the interpreter itself does not load).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEKRA_SANITIZE=ON \
  -DVEKRA_BUILD_TESTS=ON -DVEKRA_BUILD_MODULE=ON -DVEKRA_WERROR=ON \
  -DPython_EXECUTABLE="$root/.venv/bin/python" -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build build/asan -j2
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j2
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONPATH="$root/build/asan" \
  .venv/bin/python -m pytest -p no:cacheprovider "$@"

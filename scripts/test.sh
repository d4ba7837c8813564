#!/usr/bin/env bash
# Sets everything up, then runs the C++ tests (ctest) and the Python tests (pytest).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
export PATH="$root/.venv/bin:$PATH"
cmake -S . -B build/cpp -G Ninja -DVEKRA_BUILD_TESTS=ON -DVEKRA_BUILD_MODULE=OFF -DVEKRA_WERROR=ON >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2
.venv/bin/python -m pytest "$@"

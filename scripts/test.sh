#!/usr/bin/env bash
# Sets everything up, then runs the C++ tests (ctest), builds and runs a program against the
# installed CMake package (tests/cmake-consumer), then runs the Python tests (pytest).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
. scripts/ort.sh
export PATH="$root/$venv/bin:$PATH"
cmake -S . -B "$build/cpp" -G Ninja -DVEKRA_BUILD_TESTS=ON -DVEKRA_BUILD_MODULE=OFF -DVEKRA_WERROR=ON \
  -DVEKRA_ORT="$ort_release" >/dev/null
cmake --build "$build/cpp" -j2
ctest --test-dir "$build/cpp" --output-on-failure -j2

# The installed CMake package: a small program finds it with find_package, builds and runs.
rm -rf "$build/pkg"
cmake --install "$build/cpp" --prefix "$build/pkg" >/dev/null
cmake -S tests/cmake-consumer -B "$build/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/$build/pkg" >/dev/null
cmake --build "$build/consumer"
expected=$'Column vector of size: 2\n[1.30000000000000e+01]\n[2.90000000000000e+01]'
actual="$("$build/consumer/vekra_consumer")"
if [ "$actual" != "$expected" ]; then
  printf 'the CMake package consumer printed\n%s\ninstead of\n%s\n' "$actual" "$expected" >&2
  exit 1
fi
echo "CMake package consumer: built against $build/pkg, printed the expected result"
"$venv/bin/python" -m pytest "$@"

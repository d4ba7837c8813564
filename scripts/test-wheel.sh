#!/usr/bin/env bash
# Tests a wheel that scripts/wheel.sh left in dist/ as a user gets it: the one for CPython 3.9,
# or with VEKRA_PYTHON=3.X the one for 3.X. A fresh virtual environment of that Python outside
# the checkout gets the wheel alone first (with the numpy that pip picks for it), then the test
# requirements, held to that numpy (no build tools, no .deps/, no build/). Checks that pip of
# another Python refuses the wheel by its tag, that every extension module in the wheel resolves
# OpenBLAS and ONNX Runtime from the wheel's own library folder, then runs the pytest suite from
# a copy of the tests, so that `import vekracore` finds the installed wheel. Extra arguments go
# to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
log() { printf '[test-wheel] %s\n' "$*"; }
fail() { printf '[test-wheel] %s\n' "$*" >&2; exit 1; }
start=$SECONDS

. "$root/scripts/pythons.sh"
version="${VEKRA_PYTHON:-3.9}"
vekra_check_python "$version"
tag="cp${version/./}"
wheels=(dist/vekracore-*-"$tag"-"$tag"-manylinux_*.whl)
[ -f "${wheels[0]}" ] || fail "no Python $version wheel in dist/: run scripts/wheel.sh $version first"
((${#wheels[@]} == 1)) || fail "more than one Python $version wheel in dist/: ${wheels[*]}"
wheel="$root/${wheels[0]}"
interpreter="$(vekra_python_for "$version")"

# pip of another Python refuses the wheel by its tag.
other=3.10
[ "$version" != 3.10 ] || other=3.9
if refusal="$("$(vekra_python_for "$other")" -m pip install --dry-run --no-deps --no-index --disable-pip-version-check \
                "$wheel" 2>&1)"; then
  fail "pip of Python $other would install $(basename "$wheel")"
fi
grep -q "is not a supported wheel on this platform" <<<"$refusal" || fail "pip of Python $other: $refusal"

work="$(mktemp -d /tmp/vekracore-wheel-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
log "fresh Python $version virtual environment in $work/venv"
"$interpreter" -m venv "$work/venv"
py="$work/venv/bin/python"

log "installing $(basename "$wheel") alone"
"$py" -m pip install -q --disable-pip-version-check "$wheel" >"$work/pip.log" 2>&1 \
  || { cat "$work/pip.log" >&2; exit 1; }
numpy="$("$py" -c 'import numpy; print(numpy.__version__)')"
log "pip picked numpy $numpy for it"

# The test requirements: the sections of requirements.txt whose heading starts with "# tests",
# installed without moving numpy from pip's pick.
awk '/^#/ { tests = ($0 ~ /^# tests/); next } tests && NF' requirements.txt >"$work/test-requirements.txt"
echo "numpy==$numpy" >"$work/constraints.txt"
log "installing $(wc -l <"$work/test-requirements.txt") test requirements"
"$py" -m pip install -q --disable-pip-version-check -r "$work/test-requirements.txt" -c "$work/constraints.txt" \
  >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; exit 1; }

# The tests run from a copy: tests/, the examples and the committed stubs with their generator
# (the typing tests use them) and the pytest settings. No module source, nothing built.
src="$work/src"
mkdir -p "$src/python" "$src/scripts"
cp -r tests examples pyproject.toml "$src/"
cp python/*.pyi "$src/python/"
cp scripts/stubs.py "$src/scripts/"
find "$src" -name __pycache__ -prune -exec rm -rf {} +
cd "$src"

site="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
libs="$site/vekracore.libs"
found="$("$py" -c 'import sys; sys.path.insert(0, "tests/python"); import vekracore; print(vekracore.__file__)')"
[[ "$found" == "$site/"* ]] || fail "import vekracore found $found, not the installed wheel in $site"

# Every extension module the wheel installed (they must be the ones scripts/stubs.py lists):
# its shared libraries resolve, every BLAS, LAPACK(E), Fortran runtime and ONNX Runtime
# library it loads comes from the wheel's library folder, and it loads ONNX Runtime (and, for
# vekracore, OpenBLAS) from there.
exts=()
while IFS= read -r f; do exts+=("$f"); done < <(
  "$py" -c 'import importlib.metadata as m
for f in m.distribution("vekracore").files:
    if "/" not in str(f) and str(f).endswith(".so"): print(f)')
listed="$("$py" -c 'import sys; sys.path.insert(0, "scripts"); import stubs; print(" ".join(sorted(stubs.MODULES)))')"
installed="$(printf '%s\n' "${exts[@]%%.*}" | sort | xargs)"
[ "$installed" == "$listed" ] || fail "the wheel has the extension modules '$installed', scripts/stubs.py lists '$listed'"
for ext in "${exts[@]}"; do
  name="${ext%%.*}"
  deps="$(ldd "$site/$ext")"
  if grep -q "not found" <<<"$deps"; then
    fail "$name has unresolved libraries: $(grep 'not found' <<<"$deps")"
  fi
  # Every module runs models, so it loads ONNX Runtime; vekracore also does the BLAS calls
  # (the bridge makes none, and the linker keeps only what a module uses).
  required=(libonnxruntime)
  [ "$name" != vekracore ] || required+=(libopenblas)
  for lib in "${required[@]}"; do
    grep -q "^[[:space:]]*$lib" <<<"$deps" || fail "$name does not load $lib"
  done
  while read -r lib _ path _; do
    [[ "$path" == "$libs/"* ]] || fail "$name: $lib resolves to $path, outside $libs"
  done < <(grep -E "^[[:space:]]*lib(openblas|lapack|blas|gfortran|quadmath|tmglib|onnxruntime)" <<<"$deps")
  log "$name: $(grep -cE "=> $libs/" <<<"$deps") libraries load from vekracore.libs/, ${required[*]} among them"
done

log "set up in $((SECONDS - start)) s; running the tests against the installed wheel (Python $version, numpy $numpy)"
set +e
"$py" -m pytest -p no:cacheprovider "$@"
rc=$?
exit $rc

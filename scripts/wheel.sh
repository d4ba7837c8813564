#!/usr/bin/env bash
# Builds the sdist and one self-contained binary wheel per CPython version into dist/: all of
# 3.9, 3.10, 3.11, 3.12 and 3.13, or the versions named on the command line (e.g. `3.9 3.13`).
# Each wheel is built by its own interpreter, in a virtual environment of that Python (the
# checkout's .venv or .venv-3.X where bootstrap made it, else a build-only build/wheel-venv-3.X),
# incrementally in that Python's build tree (build/py-wheel for 3.9, build/py-wheel-3.X), then
# repaired by auditwheel: OpenBLAS, LAPACKE and their Fortran runtime are copied into
# vekracore.libs/ (beside ONNX Runtime, which the build installs there itself), the extensions'
# RPATH points there, and the wheel gets the manylinux tag that this machine's glibc allows.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
. scripts/pythons.sh
log() { printf '[wheel] %s\n' "$*"; }

versions=("$@")
((${#versions[@]})) || versions=("${VEKRA_PYTHONS[@]}")
for v in "${versions[@]}"; do vekra_check_python "$v"; done

raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
mkdir -p dist
rm -f dist/vekracore-*.tar.gz
for v in "${versions[@]}"; do
  tag="cp${v/./}"
  rm -f dist/vekracore-*-"$tag"-"$tag"-*.whl
done

# The build tools of requirements.txt: its sections whose heading starts with "# build" or "# wheel".
awk '/^#/ { keep = ($0 ~ /^# (build|wheel)/); next } keep && NF' requirements.txt >"$raw/build-requirements.txt"
build_hash="$(sha256sum "$raw/build-requirements.txt" | cut -d' ' -f1)"

build_venv() {
  local v="$1" venv
  venv="$(vekra_venv_for "$v")"
  # The checkout's venv of that Python where bootstrap made one (always .venv for 3.9): the
  # build tree is the one bootstrap builds in, so only what changed is rebuilt.
  if [ -x "$venv/bin/python" ]; then echo "$venv"; return; fi
  venv="build/wheel-venv-$v"
  if [ ! -x "$venv/bin/python" ]; then
    "$(vekra_python_for "$v")" -m venv "$venv" >&2
  fi
  if [ "$(cat "$venv/.requirements.sha" 2>/dev/null || true)" != "$build_hash" ]; then
    log "installing the build tools into $venv" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$raw/build-requirements.txt" >&2
    echo "$build_hash" >"$venv/.requirements.sha"
  fi
  echo "$venv"
}

all_start=$SECONDS
for v in "${versions[@]}"; do
  start=$SECONDS
  venv="$(build_venv "$v")"
  py="$root/$venv/bin/python"
  suffix=""
  [ "$v" == 3.9 ] || suffix="-$v"
  what=(--wheel)
  [ "$v" != "${versions[0]}" ] || what+=(--sdist)  # the sdist once, with the first wheel
  log "building the Python $v wheel${what[1]:+ and the sdist} with $venv"
  mkdir -p "$raw/$v"
  PATH="$root/$venv/bin:$PATH" "$py" -m build --no-isolation "${what[@]}" --outdir "$raw/$v" \
    -C build-dir="build/py-wheel$suffix" . >"$raw/build.log" 2>&1 \
    || { cat "$raw/build.log" >&2; exit 1; }
  [ ! -f "$raw/$v"/vekracore-*.tar.gz ] || mv "$raw/$v"/vekracore-*.tar.gz dist/

  log "repairing the Python $v wheel with auditwheel"
  PATH="$root/$venv/bin:$PATH" "$py" -m auditwheel repair --wheel-dir "$raw/$v/repaired" "$raw/$v"/vekracore-*.whl \
    >"$raw/repair.log" 2>&1 || { cat "$raw/repair.log" >&2; exit 1; }
  wheel="$(ls "$raw/$v/repaired"/vekracore-*-manylinux_*.whl)"

  # After the repair, auditwheel must see nothing outside the policy's own system libraries.
  PATH="$root/$venv/bin:$PATH" "$py" -m auditwheel show "$wheel" >"$raw/show.log"
  if grep -q "external shared libraries are required" "$raw/show.log"; then
    cat "$raw/show.log" >&2
    echo "the Python $v wheel still needs libraries from outside it" >&2
    exit 1
  fi
  platform="$(grep -o 'consistent with the following platform tag: "[^"]*"' <(tr '\n' ' ' <"$raw/show.log" | tr -s ' ') \
    | sed 's/.*"\(.*\)"/\1/')"
  mv "$wheel" dist/
  log "$(basename "$wheel") ($(du -h "dist/$(basename "$wheel")" | cut -f1), platform tag $platform), $((SECONDS - start)) s"
done
log "${#versions[@]} wheel(s) in dist/, $((SECONDS - all_start)) s"

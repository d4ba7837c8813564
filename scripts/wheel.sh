#!/usr/bin/env bash
# Builds the sdist and a self-contained binary wheel into dist/.
# The wheel is built from this checkout (incrementally, in build/py-wheel), then repaired by
# auditwheel: OpenBLAS, LAPACKE and their Fortran runtime are copied into vekracore.libs/
# (beside ONNX Runtime, which the build installs there itself), the extension's RPATH points
# there, and the wheel gets the manylinux tag that this machine's glibc allows.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
export PATH="$root/.venv/bin:$PATH"
log() { printf '[wheel] %s\n' "$*"; }

start=$SECONDS
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
rm -f dist/vekracore-*.whl dist/vekracore-*.tar.gz
log "building the sdist and the wheel"
python -m build --no-isolation --sdist --wheel --outdir "$raw" . >"$raw/build.log" 2>&1 \
  || { cat "$raw/build.log" >&2; exit 1; }
mkdir -p dist
mv "$raw"/vekracore-*.tar.gz dist/

log "repairing the wheel with auditwheel"
auditwheel repair --wheel-dir dist "$raw"/vekracore-*.whl >"$raw/repair.log" 2>&1 \
  || { cat "$raw/repair.log" >&2; exit 1; }
wheel="$(ls dist/vekracore-*-manylinux_*.whl)"

# After the repair, auditwheel must see nothing outside the policy's own system libraries.
auditwheel show "$wheel" >"$raw/show.log"
if grep -q "external shared libraries are required" "$raw/show.log"; then
  cat "$raw/show.log" >&2
  echo "the wheel still needs libraries from outside it" >&2
  exit 1
fi
tag="$(grep -o 'consistent with the following platform tag: "[^"]*"' <(tr '\n' ' ' <"$raw/show.log" | tr -s ' ') \
  | sed 's/.*"\(.*\)"/\1/')"
log "$(basename "$wheel") ($(du -h "$wheel" | cut -f1), platform tag $tag), $((SECONDS - start)) s"

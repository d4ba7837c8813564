#!/usr/bin/env bash
# Prepares this checkout on a Debian 12 machine and (re)builds vekracore into a virtual
# environment: .venv with CPython 3.9 by default, .venv-3.X with VEKRA_PYTHON=3.X (3.10 to 3.13).
# Every step checks what is already there, so a second run only rebuilds what changed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

log() { printf '[bootstrap] %s\n' "$*"; }
. "$root/scripts/pythons.sh"
py_version="${VEKRA_PYTHON:-3.9}"
vekra_check_python "$py_version"
venv="$(vekra_venv_for "$py_version")"

# 1. System packages.
apt_pkgs=(g++ cmake libopenblas-dev liblapacke-dev libboost-dev libgtest-dev zlib1g)
missing=()
for p in "${apt_pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 2. The chosen Python's virtual environment inside the checkout.
if [ ! -x "$venv/bin/python" ]; then
  interpreter="$(vekra_python_for "$py_version")"
  log "creating $venv with $interpreter"
  "$interpreter" -m venv "$venv"
fi

# 3. Python packages, reinstalled only when requirements.txt changes.
req_hash="$(sha256sum requirements.txt | cut -d' ' -f1)"
if [ "$(cat "$venv/.requirements.sha" 2>/dev/null || true)" != "$req_hash" ]; then
  log "installing Python packages into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements.txt
  echo "$req_hash" > "$venv/.requirements.sha"
fi

# 4. ONNX Runtime 1.17.3 shared library, from the onnxruntime-node package.
ort_lib=.deps/ort/node_modules/onnxruntime-node/bin/napi-v3/linux/x64/libonnxruntime.so.1.17.3
if [ ! -f "$ort_lib" ]; then
  log "fetching onnxruntime-node@1.17.3"
  mkdir -p .deps/ort
  npm install --prefix .deps/ort --ignore-scripts --no-audit --no-fund --silent onnxruntime-node@1.17.3
fi

# 5. Build and install the extension module (incremental: the build tree persists in build/,
# one per Python: build/py-wheel for 3.9, build/py-wheel-3.X for the others, which
# scripts/wheel.sh builds its wheels in too).
log "building vekracore for Python $py_version"
export PATH="$root/$venv/bin:$PATH"
suffix=""
[ "$py_version" == 3.9 ] || suffix="-$py_version"
extra=(--config-settings=build-dir="build/py-wheel$suffix")
if [ -n "${VEKRA_SANITIZE:-}" ]; then
  extra=(--config-settings=cmake.define.VEKRA_SANITIZE=ON
         --config-settings=cmake.build-type=RelWithDebInfo
         --config-settings=build-dir="build/py-asan$suffix")
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  ${extra[@]+"${extra[@]}"} .

#!/usr/bin/env bash
# Prepares this checkout on a Debian 12 machine and (re)builds vekracore into .venv (into
# .venv-ort<release> for another ONNX Runtime release chosen with VEKRA_ORT, see scripts/ort.sh).
# Every step checks what is already there, so a second run only rebuilds what changed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

log() { printf '[bootstrap] %s\n' "$*"; }
. "$root/scripts/ort.sh"  # the ONNX Runtime release (VEKRA_ORT), its library, venv and build dirs

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

# 2. Python 3.9 virtual environment inside the checkout.
if [ ! -x "$venv/bin/python" ]; then
  . "$root/scripts/python39.sh"
  log "creating $venv with $py39"
  "$py39" -m venv "$venv"
fi

# 3. Python packages, reinstalled only when requirements.txt changes.
req_hash="$(sha256sum requirements.txt | cut -d' ' -f1)"
if [ "$(cat "$venv/.requirements.sha" 2>/dev/null || true)" != "$req_hash" ]; then
  log "installing Python packages"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements.txt
  echo "$req_hash" > "$venv/.requirements.sha"
fi

# 4. The ONNX Runtime shared library, from the onnxruntime-node package (cmake/onnxruntime.txt).
if [ ! -f "$ort_lib" ]; then
  log "fetching onnxruntime-node@$ort_release"
  mkdir -p ".deps/ort-$ort_release"
  npm install --prefix ".deps/ort-$ort_release" --ignore-scripts --no-audit --no-fund --silent \
    "onnxruntime-node@$ort_release"
  [ -f "$ort_lib" ] || { echo "onnxruntime-node@$ort_release has no $ort_lib" >&2; exit 1; }
fi

# 5. Build and install the extension module (incremental: the build tree persists in build/).
log "building vekracore (ONNX Runtime $ort_release)"
export PATH="$root/$venv/bin:$PATH"
extra=(--config-settings=cmake.define.VEKRA_ORT="$ort_release")
if [ "$build" != build ]; then
  extra+=(--config-settings=build-dir="$build/py")
fi
if [ -n "${VEKRA_SANITIZE:-}" ]; then
  extra+=(--config-settings=cmake.define.VEKRA_SANITIZE=ON
          --config-settings=cmake.build-type=RelWithDebInfo
          --config-settings=build-dir="$build/py-asan")
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  ${extra[@]+"${extra[@]}"} .

# Sourced by the benchmark scripts after bootstrap: .venv-bench, a Python 3.12 virtual
# environment with onnxruntime from PyPI at the release vekracore bundles (PyPI has the newer
# releases only for newer Pythons), for onnxruntime's side of the end-to-end comparison.
# Sets ort_python to its interpreter.
. "$root/scripts/ort.sh"
bench_venv="$root/.venv-bench"
if [ ! -x "$bench_venv/bin/python" ]; then
  "$(pyenv root 2>/dev/null || echo /root/.pyenv)/versions/3.12.1/bin/python" -m venv "$bench_venv"
fi
if ! "$bench_venv/bin/python" -c "import onnxruntime, sys; sys.exit(onnxruntime.__version__ != '$ort_release')" 2>/dev/null; then
  "$bench_venv/bin/python" -m pip install -q --disable-pip-version-check "onnxruntime==$ort_release" numpy==1.26.4
fi
ort_python="$bench_venv/bin/python"

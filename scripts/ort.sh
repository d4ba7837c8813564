# Sourced by the scripts: the CPython chosen by VEKRA_PYTHON (default 3.9, see scripts/pythons.sh)
# and the ONNX Runtime release chosen by VEKRA_ORT (default: the first of cmake/onnxruntime.txt),
# and where that combination's build lives. The default release builds into the Python's own
# venv (.venv for 3.9, .venv-3.X) and build/; another release into <venv>-ort<release> and
# build/ort<release>/, so all of them coexist.
. "$root/scripts/pythons.sh"
py_version="${VEKRA_PYTHON:-3.9}"
vekra_check_python "$py_version"
py_suffix=""
[ "$py_version" == 3.9 ] || py_suffix="-$py_version"

ort_default="$(grep -v '^#' "$root/cmake/onnxruntime.txt" | head -n1 | cut -d' ' -f1)"
ort_release="${VEKRA_ORT:-$ort_default}"
ort_path="$(awk -v r="$ort_release" '$1 == r { print $2 }' "$root/cmake/onnxruntime.txt")"
if [ -z "$ort_path" ]; then
  echo "VEKRA_ORT=$ort_release is not a release listed in cmake/onnxruntime.txt" >&2
  exit 1
fi
ort_lib=".deps/ort-$ort_release/node_modules/onnxruntime-node/$ort_path"
venv="$(vekra_venv_for "$py_version")"
if [ "$ort_release" = "$ort_default" ]; then
  build=build
else
  venv="$venv-ort$ort_release"
  build="build/ort$ort_release"
fi

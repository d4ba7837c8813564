# Sourced by the scripts: the ONNX Runtime release selected by VEKRA_ORT (default: the first
# of cmake/onnxruntime.txt) and where its build lives. The default release builds into .venv
# and build/; another one into .venv-ort<release> and build/ort<release>/, so both coexist.
ort_default="$(grep -v '^#' "$root/cmake/onnxruntime.txt" | head -n1 | cut -d' ' -f1)"
ort_release="${VEKRA_ORT:-$ort_default}"
ort_path="$(awk -v r="$ort_release" '$1 == r { print $2 }' "$root/cmake/onnxruntime.txt")"
if [ -z "$ort_path" ]; then
  echo "VEKRA_ORT=$ort_release is not a release listed in cmake/onnxruntime.txt" >&2
  exit 1
fi
ort_lib=".deps/ort-$ort_release/node_modules/onnxruntime-node/$ort_path"
if [ "$ort_release" = "$ort_default" ]; then
  venv=.venv
  build=build
else
  venv=".venv-ort$ort_release"
  build="build/ort$ort_release"
fi

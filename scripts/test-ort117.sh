#!/usr/bin/env bash
# The C++ and Python tests against a build on ONNX Runtime 1.17.3, the oldest release the
# library supports (its own venv and build dirs, see scripts/ort.sh).
set -euo pipefail
VEKRA_ORT=1.17.3 exec "$(dirname "${BASH_SOURCE[0]}")/test.sh" "$@"

#!/usr/bin/env bash
# Sets everything up, then runs the examples.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/bootstrap.sh"
cd "$root"
for ex in examples/*.py; do
  echo "== $ex"
  .venv/bin/python "$ex"
done

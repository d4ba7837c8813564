# Sourced by the scripts: the CPython versions the project builds for, where their interpreters
# are, and which virtual environment of the checkout belongs to each.
VEKRA_PYTHONS=(3.9 3.10 3.11 3.12 3.13)

# Stops the calling script unless $1 is one of VEKRA_PYTHONS.
vekra_check_python() {
  local v
  for v in "${VEKRA_PYTHONS[@]}"; do [ "$v" == "$1" ] && return 0; done
  echo "unsupported Python '$1': one of ${VEKRA_PYTHONS[*]}" >&2
  exit 1
}

# Prints the interpreter of CPython $1 (e.g. 3.13): pyenv's newest $1.x, else python$1 on PATH.
vekra_python_for() {
  local v="$1" root c
  vekra_check_python "$v"
  root="$(pyenv root 2>/dev/null || true)"
  for c in $(ls -d "$root/versions/$v".* /root/.pyenv/versions/"$v".* 2>/dev/null | sort -Vru); do
    if [ -x "$c/bin/python" ]; then echo "$c/bin/python"; return 0; fi
  done
  c="$(command -v "python$v" || true)"
  if [ -n "$c" ]; then echo "$c"; return 0; fi
  echo "no Python $v interpreter found (pyenv $v.x or python$v on PATH)" >&2
  exit 1
}

# The checkout's virtual environment for CPython $1: .venv for 3.9, .venv-3.X for the others.
vekra_venv_for() {
  if [ "$1" == 3.9 ]; then echo .venv; else echo ".venv-$1"; fi
}

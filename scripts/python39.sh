# Sourced by the scripts: sets py39 to pyenv's CPython 3.9.18 (or any python3.9 on PATH), or
# stops the calling script when there is none.
py39=""
for c in "$(pyenv root 2>/dev/null)/versions/3.9.18/bin/python" /root/.pyenv/versions/3.9.18/bin/python \
         "$(command -v python3.9 || true)"; do
  if [ -n "$c" ] && [ -x "$c" ]; then py39="$c"; break; fi
done
[ -n "$py39" ] || { echo "no Python 3.9 interpreter found (pyenv 3.9.18)" >&2; exit 1; }

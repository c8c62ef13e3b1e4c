#!/usr/bin/env bash
# Prints every distinct CPython >= 3.12 found on PATH or under pyenv, best first, one path a line.
# With --first, prints only the first one. Fails when there is none.
set -euo pipefail

candidates=()
for name in python3.14 python3.13 python3.12 python3; do
  command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
done
if command -v pyenv >/dev/null 2>&1 || [[ -d "${PYENV_ROOT:-$HOME/.pyenv}" ]]; then
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for exe in $(ls -d "$root"/versions/3.*/bin/python3 2>/dev/null | sort -rV); do
    candidates+=("$exe")
  done
fi

seen=" "
found=0
for exe in "${candidates[@]}"; do
  version=$("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else None' 2>/dev/null || true)
  [[ -z "$version" || "$version" == None ]] && continue
  [[ "$seen" == *" $version "* ]] && continue
  seen+="$version "
  echo "$exe"
  found=1
  [[ "${1:-}" == --first ]] && break
done
[[ $found -eq 1 ]] || { echo "no Python 3.12 or newer found on PATH or under pyenv" >&2; exit 1; }

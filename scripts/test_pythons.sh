#!/usr/bin/env bash
# Runs the Python suite under `python3` and every other CPython from 3.9 to
# 3.13 on this machine, all against one abi3 build of the module: the one
# `python3` has installed (scripts/test.sh installs it first). Interpreters are
# looked up on PATH and under pyenv; a version that is absent is skipped with a
# line saying so. Each interpreter gets the suite's own test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

MODULE="$(python3 -c 'import vesko; print(vesko.__file__)')"
SHARED="$(mktemp -d)"
trap 'rm -rf "$SHARED"' EXIT
cp "$MODULE" "$SHARED/"
echo "== the abi3 module built once: $MODULE"

find_python() {  # minor version -> an interpreter path, or nothing
  local minor="$1" candidate
  for candidate in "python3.$minor" "$HOME"/.pyenv/versions/3."$minor".*/bin/python3; do
    if command -v "$candidate" >/dev/null 2>&1 &&
        "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, $minor))" 2>/dev/null; then
      command -v "$candidate"
      return
    fi
  done
}

main_minor="$(python3 -c 'import sys; print(sys.version_info[1])')"
status=0
for minor in "$main_minor" 9 10 11 12 13; do
  if [[ "$minor" == "$main_minor" && -n "${main_done:-}" ]]; then continue; fi
  if [[ "$minor" == "$main_minor" ]]; then
    main_done=1
    python="$(command -v python3)"
  else
    python="$(find_python "$minor")"
  fi
  if [[ -z "$python" ]]; then
    echo "== Python 3.$minor: not on this machine, skipped"
    continue
  fi
  echo "== Python 3.$minor: $python"
  if ! "$python" -c "import pytest, msgpack, numpy" 2>/dev/null; then
    "$python" -m pip install -q --disable-pip-version-check pytest msgpack numpy
  fi
  imported="$(PYTHONPATH="$SHARED" "$python" -c 'import vesko; print(vesko.__file__)')"
  if [[ "$imported" != "$SHARED"/* ]]; then
    echo "!! Python 3.$minor imports $imported, not the shared build" >&2
    status=1
    continue
  fi
  (cd tests/python && PYTHONPATH="$SHARED" "$python" -m pytest -q -p no:cacheprovider .) || status=1
done
exit "$status"

#!/usr/bin/env bash
# Builds and runs the portable code paths (VESKO_PORTABLE: what processors
# without x86-64's instructions run) on this machine; a CI step of its own,
# after scripts/test.sh has installed the default module. Exits non-zero on
# any failing test and when the portable module's results differ in any byte
# from the installed module's.
#
#   1. the C++ suite built with VESKO_PORTABLE (build-portable)
#   2. the Python module built with VESKO_PORTABLE (build-portable-module);
#      tools/result_digest.py against the installed module, then against this
#      one, and the two digests compared (skipped without the corpus)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"
PYTHON="$(command -v python3)"
MODULE_DIR="$ROOT/build-portable-module"

DIGESTS="$(mktemp -d)"
trap 'rm -rf "$DIGESTS"' EXIT

configure() {  # build-dir cmake-args...
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKO_PORTABLE=ON \
    -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
}

# The number of popcnt instructions in a shared object. On x86-64 only a
# default build has them (the trigram loop, compiled for popcnt as well and
# chosen at run time); a portable build counts bits without.
popcnt_count() {
  objdump -d --no-show-raw-insn "$1" >"$DIGESTS/listing" || return 1
  grep -cw popcnt "$DIGESTS/listing" || true
}

# Prints which vesko the digest tool imports in this environment (its own
# directory first on the path, as when it runs). A portable one must be the
# build under `dir` and hold no popcnt instruction; a default one must lie
# elsewhere and, on x86-64, hold some.
check_module() {  # portable|default directory
  local kind="$1" dir="$2" imported count
  imported="$(cd "$ROOT/tools" && "$PYTHON" -c 'import vesko; print(vesko.__file__)')"
  echo "imports $imported"
  if [[ "$kind" == portable && "$imported" != "$dir"/* ]]; then
    echo "!! imported $imported, not the portable build under $dir" >&2
    return 1
  fi
  if [[ "$kind" == default && "$imported" == "$dir"/* ]]; then
    echo "!! imported $imported, the portable build, in place of the installed module" >&2
    return 1
  fi
  if [[ "$(uname -m)" == x86_64 ]]; then
    count="$(popcnt_count "$imported")"
    if [[ "$kind" == portable && "$count" != 0 ]]; then
      echo "!! $imported holds $count popcnt instructions: not a portable build" >&2
      return 1
    fi
    if [[ "$kind" == default && "$count" == 0 ]]; then
      echo "!! $imported holds no popcnt instruction: a portable build, not the default" >&2
      return 1
    fi
  fi
}

echo "== C++ tests, portable paths (build-portable)"
configure build-portable -DVESKO_BUILD_MODULE=OFF -DVESKO_BUILD_TESTS=ON -DVESKO_BUILD_BENCH=OFF
cmake --build "$ROOT/build-portable" -j "$JOBS"
ctest --test-dir "$ROOT/build-portable" --output-on-failure -j "$JOBS"

echo "== result digest, installed module against the portable one (build-portable-module)"
configure build-portable-module -DVESKO_BUILD_MODULE=ON -DVESKO_BUILD_TESTS=OFF \
  -DVESKO_BUILD_BENCH=OFF
cmake --build "$MODULE_DIR" -j "$JOBS" --target vesko
check_module default "$MODULE_DIR"
# The digest goes to the file only; standard error still shows each case.
"$PYTHON" "$ROOT/tools/result_digest.py" --save "$DIGESTS/default.json" >/dev/null
(
  export PYTHONPATH="$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}"
  check_module portable "$MODULE_DIR"
  "$PYTHON" "$ROOT/tools/result_digest.py" --compare "$DIGESTS/default.json"
)
echo "== portable paths pass"

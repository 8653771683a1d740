#!/usr/bin/env bash
# Checks the two ways a Python user installs the module, each in a new virtual
# environment: `pip install .`, from a read-only source tree where a mount
# namespace can be made (as root), and the self-contained wheel that
# scripts/build_wheel.sh builds, which must import and encode with the apt
# packages of simdjson hidden (when run as root) and
# LD_LIBRARY_PATH unset. Both must carry the licence of the Unicode data.
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

# The licence file named in pyproject.toml, in an installed distribution or a
# wheel.
has_licence='
import importlib.metadata as m, sys, zipfile
name = "licenses/third_party/ucd/16.0.0/LICENSE"
if sys.argv[1:]:
    found = any(n.endswith(".dist-info/" + name) for n in zipfile.ZipFile(sys.argv[1]).namelist())
else:
    found = any(str(f).endswith(".dist-info/" + name) for f in m.distribution("brindlore_core").files)
if not found:
    sys.exit(f"check_install: {name} is missing")
'

.venv/bin/python -m venv "$work/source"
install=("$work/source/bin/python" -m pip install -q --disable-pip-version-check "$root")
if bash scripts/without_packages.sh --probe; then
  # shellcheck disable=SC2016
  unshare --mount --propagation private bash -euo pipefail -c '
    mount --bind "$1" "$1"
    mount -o remount,bind,ro "$1"
    shift
    "$@"' bash "$root" "${install[@]}"
else
  echo "check_install: cannot make the source tree read-only here; installing from it as it is"
  "${install[@]}"
fi
(cd "$work" && "$work/source/bin/python" -c "$smoke" && "$work/source/bin/python" -c "$has_licence")

bash scripts/build_wheel.sh
wheel=$(ls "$root"/dist/brindlore_core-*manylinux*.whl)
.venv/bin/python -c "$has_licence" "$wheel"
.venv/bin/python -m venv "$work/wheel"
"$work/wheel/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel"
# The module must load the copy of simdjson the wheel carries.
module=$(ls "$work"/wheel/lib/python3*/site-packages/brindlore_core*.so)
env -u LD_LIBRARY_PATH ldd "$module" | grep -E 'libsimdjson'
if env -u LD_LIBRARY_PATH ldd "$module" | grep -E 'libsimdjson' | grep -v brindlore_core.libs; then
  echo "check_install: the wheel's module loads a system copy of simdjson" >&2
  exit 1
fi
run=(env -u LD_LIBRARY_PATH "$work/wheel/bin/python" -c "$smoke")
if bash scripts/without_packages.sh --probe; then
  run=(bash "$root/scripts/without_packages.sh"
       libsimdjson14 libsimdjson-dev -- "${run[@]}")
fi
(cd "$work" && "${run[@]}")

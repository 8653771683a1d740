#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need on a fresh
# Debian 12 machine: the apt packages (only those missing, so a second run is
# quick) and a virtual environment in .venv with the Python packages.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(
  build-essential cmake ninja-build pkg-config
  python3 python3-dev python3-venv
  libpcre2-dev libsimdjson-dev libboost1.81-dev libxxhash-dev libgtest-dev
)

bash scripts/apt_install.sh bootstrap "${apt_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt

# The extension module needs CMake 3.26 (Debian 12 ships 3.25): when the
# CMake on PATH is older, the virtual environment gets one, which the Makefile
# and the check scripts put first on PATH.
# The version is read without pipes (a reader that stops early would kill its
# writer under pipefail).
cmake_version=$(cmake --version 2>/dev/null || true)
if [[ "$cmake_version" =~ ([0-9]+)\.([0-9]+) ]]; then
  cmake_major=${BASH_REMATCH[1]} cmake_minor=${BASH_REMATCH[2]}
  cmake_version=$cmake_major.$cmake_minor
else
  cmake_major=0 cmake_minor=0 cmake_version=""
fi
if [ "$cmake_major" -lt 3 ] || { [ "$cmake_major" -eq 3 ] && [ "$cmake_minor" -lt 26 ]; }; then
  echo "bootstrap: CMake ${cmake_version:-missing} is older than 3.26; installing one in .venv"
  .venv/bin/python -m pip install -q --disable-pip-version-check "cmake>=3.26"
fi

#!/usr/bin/env bash
# Installs what the benchmarks' own C and C++ programs need beyond the build:
# sentencepiece's C++ library and headers, to measure the peer without Python.
# Only missing packages are installed, so a second run is quick.
set -euo pipefail

apt_packages=(build-essential pkg-config libsentencepiece-dev)

bash "$(cd "$(dirname "$0")" && pwd)/apt_install.sh" bench-deps "${apt_packages[@]}"

#!/usr/bin/env bash
# Builds the C library with its C++ tests and the C client with clang
# (build-clang, without the extension module) and runs them, so that the code
# stays C++20 that either compiler takes. Installs clang-16, Debian 12's
# newest, when it is missing; clang uses GCC's libstdc++, so the GoogleTest
# that Debian built with g++ links as it is. Run after scripts/bootstrap.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

bash scripts/apt_install.sh check_clang clang-16

CC=clang-16 CXX=clang++-16 cmake -S . -B build-clang -G Ninja -DBRINDLORE_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-clang --parallel "$jobs"
ctest --test-dir build-clang --output-on-failure -j "$jobs"

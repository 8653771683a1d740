#!/usr/bin/env bash
# Builds with BRINDLORE_SANITIZE=address,undefined (build-asan) and runs the
# C++ tests, the C client and the Python tests on that build; then builds the
# C++ tests and the C client with BRINDLORE_SANITIZE=thread (build-tsan) and
# runs them. Run after scripts/bootstrap.sh (make test does it).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
python=$PWD/.venv/bin/python
jobs=$(nproc)
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

cmake -S . -B build-asan -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLORE_SANITIZE=address,undefined >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --progress --output-on-failure -j "$jobs"
# The interpreter is not built with ASan: its runtime has to be loaded first,
# and what the interpreter itself keeps at exit is not a leak of ours.
libasan=$(${CXX:-c++} -print-file-name=libasan.so)
LD_PRELOAD=$libasan ASAN_OPTIONS=detect_leaks=0 BUILD_DIR=build-asan PYTHONPATH=build-asan/python \
  "$python" -m pytest tests/python -q -p no:cacheprovider

# ThreadSanitizer needs the address layout that setarch -R keeps.
cmake -S . -B build-tsan -G Ninja -DBRINDLORE_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLORE_SANITIZE=thread >/dev/null
cmake --build build-tsan --target core_tests c_abi_test
setarch "$(uname -m)" -R ctest --test-dir build-tsan --progress --output-on-failure -j "$jobs"

#!/usr/bin/env bash
# Checks the C library as a C-only user gets it: configures with
# -DBRINDLORE_PYTHON=OFF -DBRINDLORE_BUILD_TESTS=OFF, builds, installs into a
# fresh prefix, then builds and runs tests/install/consumer.c against that
# prefix through pkg-config and through find_package(brindlore).
#
# Where it may create mount namespaces (as root, as CI runs it), the build
# runs in one in which the files of Python's development packages and of
# libpcre2-dev are hidden, so it proves the build never needs them; and the
# consumers are built in one in which libsimdjson-dev is hidden, so they prove that the installed metadata asks for nothing the
# library does not need. Elsewhere it says so and checks only what CMake
# looked for and what the metadata holds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

python_include() {
  "$1" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
}

# Fails when any of the files given is visible.
require_hidden() {
  local file
  for file in "$@"; do
    if [ -e "$file" ]; then
      echo "check_c_install: $file is still visible" >&2
      exit 1
    fi
  done
}

# Configures, builds and installs the C library: into $1/build and $1/prefix.
build_and_install() {
  local work=$1 prefix=$1/prefix
  cmake -S "$root" -B "$work/build" -G Ninja -DBRINDLORE_PYTHON=OFF -DBRINDLORE_BUILD_TESTS=OFF >/dev/null
  if grep -E '^[^/#].*(PCRE2|_Python_INCLUDE_DIR|_Python_DEVELOPMENT|GTest_DIR)' "$work/build/CMakeCache.txt"; then
    echo "check_c_install: CMake looked for Python's development files, PCRE2 or GoogleTest" >&2
    exit 1
  fi
  cmake --build "$work/build" >/dev/null
  cmake --install "$work/build" --prefix "$prefix" >/dev/null
  echo "check_c_install: installed:" $(cd "$prefix" && find . -type f -o -type l | sort)
  if [ ! -s "$prefix/share/doc/brindlore/third_party/ucd/16.0.0/LICENSE" ]; then
    echo "check_c_install: the Unicode licence is not installed" >&2
    exit 1
  fi
  if nm -A "$work/build/libbrindlore_engine.a" | grep -i pcre2; then
    echo "check_c_install: the engine archive holds PCRE2 symbols" >&2
    exit 1
  fi
}

# Builds and runs the consumers against the prefix in $1/prefix.
build_consumers() {
  local work=$1 prefix=$1/prefix
  export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
  # Through pkg-config, as the README shows. The flags hold the include
  # directory and the library, and nothing of the library's dependencies.
  local flags libdir
  read -ra flags <<<"$(pkg-config --cflags --libs brindlore)"
  libdir=$(pkg-config --variable=libdir brindlore)
  if [ "${flags[*]}" != "-I$(pkg-config --variable=includedir brindlore) -L$libdir -lbrindlore" ]; then
    echo "check_c_install: pkg-config gives more than the library: ${flags[*]}" >&2
    exit 1
  fi
  cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pkg-config" "$root/tests/install/consumer.c" \
    "${flags[@]}" -Wl,-rpath,"$libdir"
  "$work/consumer-pkg-config"

  # Through the CMake package (tests/install/CMakeLists.txt also checks that
  # the imported target passes on no dependency).
  cmake -S "$root/tests/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/consumer" >/dev/null
  "$work/consumer/consumer"
}

case "${1:-}" in
  --build-hidden)
    require_hidden /usr/include/pcre2.h /usr/include/python3.11/Python.h "$(python_include python3)/Python.h"
    build_and_install "$2"
    exit
    ;;
  --consume-hidden)
    require_hidden /usr/include/simdjson.h
    if pkg-config --exists simdjson; then
      echo "check_c_install: pkg-config still finds simdjson" >&2
      exit 1
    fi
    build_consumers "$2"
    exit
    ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if bash scripts/without_packages.sh --probe; then
  # Hide the files of Python's development packages and of libpcre2-dev, and
  # the headers of any other Python on PATH.
  python_includes=()
  for python in python3 python3.11; do
    command -v "$python" >/dev/null || continue
    include=$(python_include "$python")
    [[ "$include" == /usr/* || " ${python_includes[*]} " == *" $include "* ]] ||
      python_includes+=(--hide-dir "$include")
  done
  bash scripts/without_packages.sh "${python_includes[@]}" \
    python3-dev python3.11-dev libpython3-dev libpython3.11-dev libpcre2-dev -- \
    bash "$root/scripts/check_c_install.sh" --build-hidden "$work"
  bash scripts/without_packages.sh libsimdjson-dev -- \
    bash "$root/scripts/check_c_install.sh" --consume-hidden "$work"
  echo "check_c_install: pkg-config and find_package consumers built and ran without libsimdjson-dev"
else
  echo "check_c_install: cannot hide packages here; checking only what CMake looked for and what the metadata holds"
  build_and_install "$work"
  build_consumers "$work"
  echo "check_c_install: pkg-config and find_package consumers built and ran"
fi

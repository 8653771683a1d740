#!/usr/bin/env bash
# Checks the C library as a C-only user gets it: configures with
# -DBRINDLORE_PYTHON=OFF -DBRINDLORE_BUILD_TESTS=OFF, builds, installs into a
# fresh prefix, then builds and runs tests/install/consumer.c against that
# prefix through pkg-config and through find_package(brindlore).
#
# Where it may create a mount namespace (as root, as CI runs it), the build
# runs in one in which the files of Python's development packages and of
# libpcre2-dev are hidden, so it proves the build never needs them; elsewhere
# it says so and checks only that CMake never looked for them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" != "--inside" ] && bash scripts/without_packages.sh --probe; then
  # Hide the files of Python's development packages and of libpcre2-dev, and
  # the headers of any other Python on PATH.
  python_includes=()
  for python in python3 python3.11; do
    command -v "$python" >/dev/null || continue
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    [[ "$include" == /usr/* || " ${python_includes[*]} " == *" $include "* ]] ||
      python_includes+=(--hide-dir "$include")
  done
  exec bash scripts/without_packages.sh "${python_includes[@]}" \
    python3-dev python3.11-dev libpython3-dev libpython3.11-dev libpcre2-dev -- \
    bash "$root/scripts/check_c_install.sh" --inside
fi

if [ "${1:-}" != "--inside" ]; then
  echo "check_c_install: cannot hide packages here; checking only what CMake looked for"
else
  for file in /usr/include/pcre2.h /usr/include/python3.11/Python.h \
      "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h"; do
    if [ -e "$file" ]; then
      echo "check_c_install: $file is still visible" >&2
      exit 1
    fi
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake -S "$root" -B "$work/build" -G Ninja -DBRINDLORE_PYTHON=OFF -DBRINDLORE_BUILD_TESTS=OFF >/dev/null
if grep -E '^[^/#].*(PCRE2|_Python_INCLUDE_DIR|_Python_DEVELOPMENT|GTest_DIR)' "$work/build/CMakeCache.txt"; then
  echo "check_c_install: CMake looked for Python's development files, PCRE2 or GoogleTest" >&2
  exit 1
fi
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" --prefix "$prefix" >/dev/null
echo "check_c_install: installed:" $(cd "$prefix" && find . -type f -o -type l | sort)

if nm -A "$work/build/libbrindlore_engine.a" | grep -i pcre2; then
  echo "check_c_install: the engine archive holds PCRE2 symbols" >&2
  exit 1
fi

# Through pkg-config, as the README shows.
libdir=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --variable=libdir brindlore)
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pkg-config" "$root/tests/install/consumer.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs brindlore) -Wl,-rpath,"$libdir"
"$work/consumer-pkg-config"

# Through the CMake package.
cmake -S "$root/tests/install" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
echo "check_c_install: pkg-config and find_package consumers built and ran"

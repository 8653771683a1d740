#!/usr/bin/env bash
# Checks the C library as a C-only user gets it: configures with
# -DBRINDLORE_PYTHON=OFF -DBRINDLORE_BUILD_TESTS=OFF, builds, installs into a
# fresh prefix, then builds and runs tests/install/consumer.c against that
# prefix through pkg-config and through find_package(brindlore).
#
# Run as root (as CI does), the build runs in a private mount namespace in
# which the files of Python's development packages and of libpcre2-dev are
# hidden, so it proves the build never needs them. Elsewhere it checks only
# that CMake never looked for them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

hidden_packages=(python3-dev python3.11-dev libpython3-dev libpython3.11-dev libpcre2-dev)

if [ "${1:-}" != "--inside" ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  # Every file of those packages becomes an overlay whiteout over /usr, and
  # the include directory of any other Python on PATH an empty tmpfs.
  layer=$(mktemp -d)
  trap 'rm -rf "$layer"' EXIT
  mkdir -p "$layer/upper" "$layer/work"
  for package in "${hidden_packages[@]}"; do
    dpkg-query -L "$package" 2>/dev/null || true
  done | while read -r path; do
    [[ "$path" == /usr/* ]] || continue
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
      mkdir -p "$layer/upper/$(dirname "${path#/usr/}")"
      mknod "$layer/upper/${path#/usr/}" c 0 0
    fi
  done
  python_includes=$(for python in python3 python3.11; do
    command -v "$python" >/dev/null &&
      "$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
  done | sort -u | grep -v '^/usr/' || true)
  PYTHON_INCLUDES="$python_includes" unshare --mount --propagation private bash -euo pipefail -c '
    mount -t overlay overlay -o lowerdir=/usr,upperdir="$1/upper",workdir="$1/work" /usr
    for dir in $PYTHON_INCLUDES; do [ -d "$dir" ] && mount -t tmpfs tmpfs "$dir"; done
    for file in /usr/include/pcre2.h /usr/lib/x86_64-linux-gnu/pkgconfig/libpcre2-8.pc \
                /usr/include/python3.11/Python.h; do
      if [ -e "$file" ]; then echo "check_c_install: $file is still visible" >&2; exit 1; fi
    done
    for dir in $PYTHON_INCLUDES; do
      if [ -e "$dir/Python.h" ]; then echo "check_c_install: $dir/Python.h is still visible" >&2; exit 1; fi
    done
    echo "check_c_install: the files of ${*:2} hidden, and Python.h of" $PYTHON_INCLUDES
    exec bash "$0" --inside' "$root/scripts/check_c_install.sh" "$layer" "${hidden_packages[@]}"
  exit
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

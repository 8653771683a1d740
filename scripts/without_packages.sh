#!/usr/bin/env bash
# usage: scripts/without_packages.sh [--hide-dir DIR]... PACKAGE... -- COMMAND [ARG]...
#        scripts/without_packages.sh --probe
#
# Runs COMMAND as if the named Debian packages were not installed: in a
# private mount namespace, every file those packages put under /usr becomes
# an overlay whiteout, and each --hide-dir DIR is covered by an empty tmpfs.
# Nothing changes outside the namespace. Needs root and the right to create a
# mount namespace; --probe exits 0 when it has them, 1 when not.
set -euo pipefail

if [ "${1:-}" = "--probe" ]; then
  [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null &&
    unshare --mount --propagation private true 2>/dev/null
  exit
fi

hide_dirs=()
packages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --hide-dir) hide_dirs+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) packages+=("$1"); shift ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: $0 [--hide-dir DIR]... PACKAGE... -- COMMAND [ARG]..." >&2
  exit 64
fi
if ! bash "$0" --probe; then
  echo "without_packages: cannot create a mount namespace here (needs root and unshare)" >&2
  exit 1
fi

layer=$(mktemp -d)
trap 'rm -rf "$layer"' EXIT
mkdir -p "$layer/upper" "$layer/work"
hidden=0
for package in "${packages[@]}"; do
  dpkg-query -L "$package" 2>/dev/null || true
done > "$layer/files"
while read -r path; do
  [[ "$path" == /usr/* ]] || continue
  if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
    mkdir -p "$layer/upper/$(dirname "${path#/usr/}")"
    [ -e "$layer/upper/${path#/usr/}" ] || mknod "$layer/upper/${path#/usr/}" c 0 0
    hidden=$((hidden + 1))
  fi
done < "$layer/files"
echo "without_packages: hiding $hidden files of ${packages[*]:-no package}${hide_dirs:+ and ${hide_dirs[*]}}" >&2

# shellcheck disable=SC2016
unshare --mount --propagation private bash -euo pipefail -c '
  layer=$1; shift
  mount -t overlay overlay -o lowerdir=/usr,upperdir="$layer/upper",workdir="$layer/work" /usr
  while [ "$1" != "--" ]; do
    [ -d "$1" ] && mount -t tmpfs tmpfs "$1"
    shift
  done
  shift
  exec "$@"' bash "$layer" "${hide_dirs[@]}" -- "$@"

#!/usr/bin/env bash
# Installs what the benchmarks' own C and C++ programs need beyond the build:
# sentencepiece's C++ library and headers, to measure the peer without Python.
# Only missing packages are installed, so a second run is quick.
set -euo pipefail

apt_packages=(build-essential pkg-config libsentencepiece-dev)

missing=()
for package in "${apt_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "bench-deps: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

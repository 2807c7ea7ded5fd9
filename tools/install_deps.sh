#!/usr/bin/env bash
# Installs the Debian packages that building and testing need.
#   tools/install_deps.sh [--always] [--with-fuzz]
# --always updates the package lists and installs even when all are present;
# --with-fuzz adds clang with its fuzzing and sanitizer runtimes and OpenMP.
set -euo pipefail
packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev libcli11-dev python3-matplotlib python3-numpy python3-dev pybind11-dev python3-pybind11 python3-pandas python3-dask python3-distributed python3-pytest python3-pip python3-setuptools python3-venv zlib1g-dev)
always=0
for arg in "$@"; do
  case "$arg" in
    --always) always=1 ;;
    --with-fuzz) packages+=(clang libclang-rt-14-dev libomp-14-dev) ;;
    *) echo "install_deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install_deps.sh: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "$always" = 1 ]; then
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${packages[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmarks need; only those missing.
set -euo pipefail

packages=(
  # build
  make cmake ninja-build g++ pkg-config python3
  # libraries: bench files, the tool, tests, benchmarks, real devices
  nlohmann-json3-dev libcli11-dev libedit-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev libudev-dev umockdev libumockdev-dev
  # the Python packages: their tests, the PyVISA backend, installing them
  python3-pytest python3-pyvisa python3-setuptools python3-venv
  # fuzz targets
  clang libclang-rt-14-dev
  # the Windows DLL and running it
  mingw-w64 g++-mingw-w64-x86-64-posix wine64
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}"

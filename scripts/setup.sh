#!/usr/bin/env bash
# Installs the Debian packages the project builds with, and only those that are
# missing: a machine that has them all is left alone (no apt-get at all).
#
#   host build and tests:   g++ cmake make, GoogleTest and GoogleMock
#   the x64 kernel drivers: mingw-w64 (compiler, driver-kit headers, kernel
#                           import libraries) and its tools
#   the model check:        spin
#   static analysis:        clang-tidy, cppcheck
#   fuzzing:                clang and its sanitizer and libFuzzer runtimes
#   benchmarks:             Google Benchmark; valgrind (callgrind) and python3
#                           for the instruction counts and their check
set -euo pipefail

PACKAGES=(
  g++
  cmake
  make
  libgtest-dev
  libgmock-dev
  g++-mingw-w64-x86-64
  mingw-w64-tools
  spin
  clang-tidy
  cppcheck
  clang
  libclang-rt-14-dev
  libbenchmark-dev
  valgrind
  python3
)

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=()
for package in "${PACKAGES[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: run this script as root (or install them with apt-get)" >&2
    exit 1
  fi
else
  SUDO=()
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"

#!/usr/bin/env bash
# Installs the packages the build, tests and benchmarks need (Debian and Ubuntu). Does nothing,
# and touches no package list, when all of them are there; otherwise runs apt-get update once
# and installs only the missing ones.
set -euo pipefail

# clang and libclang-rt-14-dev build the libFuzzer targets; valgrind runs the memory check;
# CLI11 parses veldoran-tool's options; gnupg and age are the process benchmark's yardsticks
# for text encryption.
packages=(cmake make g++ pkg-config clang-format libgtest-dev libgmock-dev libbenchmark-dev
          liblzo2-dev clang libclang-rt-14-dev valgrind libcli11-dev gnupg age)
if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: no apt here; make sure these (or their equivalents) are installed:" \
       "${packages[*]}" >&2
  exit 0
fi
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: run as root, or install sudo, to install ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

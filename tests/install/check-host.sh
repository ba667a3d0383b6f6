#!/usr/bin/env bash
# Installs the library from a build folder into a temporary prefix, then builds and runs a host
# program outside the tree twice: with pkg-config and with find_package(veldoran). Also checks
# that the public header compiles as C for the result codes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc_file=$(find "$prefix" -name veldoran.pc -print -quit)
[ -n "$pc_file" ] || { echo "check-host: no veldoran.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc_file")"
libdir=$(pkg-config --variable=libdir veldoran)
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
mkdir -p "$work/out"

# shellcheck disable=SC2046  # pkg-config's output is a list of flags
c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror "$here/host.cpp" -o "$work/host-pkgconfig" \
    $(pkg-config --cflags --libs veldoran)
"$work/host-pkgconfig" "$work/out/"

printf '#include <veldoran.h>\nint main(void) { return kNoErr; }\n' >"$work/host.c"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -c "$work/host.c" -o "$work/host.o" \
    $(pkg-config --cflags veldoran)

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/host" "$work/out/"
echo "check-host: pkg-config and find_package hosts built and ran against $(basename "$build_dir")"

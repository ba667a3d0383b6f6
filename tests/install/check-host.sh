#!/usr/bin/env bash
# Installs the library from a build folder into a temporary prefix, then builds and runs a host
# program outside the tree twice: with pkg-config and with find_package(veldoran). Also checks
# that the public header compiles as C for the result codes, that every installed header stands
# alone, that no internal header is installed, that the package names Nettle (and a shared
# library links it) and that the installed tool finds its mail module. Run it on a static and
# on a shared build (make test-install does both).
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

# Every installed header compiles on its own from the installed tree alone, and none of the
# library's internal headers is installed.
include_dir=$(pkg-config --variable=includedir veldoran)
while IFS= read -r header; do
  relative=${header#"$include_dir"/}
  printf '#include "%s"\n' "$relative" >"$work/one-header.cpp"
  c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$include_dir" \
      "$work/one-header.cpp" || { echo "check-host: $relative does not stand alone" >&2; exit 1; }
done < <(find "$include_dir" -name '*.h')
for internal in pipelines/FileRun.h pipelines/TwoKeyEncryption.h armour/WideBytes.h \
                crypto/LockedKeyFile.h platform/TargetWriter.h; do
  if [ -e "$include_dir/$internal" ]; then
    echo "check-host: the internal header $internal is installed" >&2
    exit 1
  fi
done

# The mail layer and its GMime stay with veldoran-tool: nothing installed for hosts names them,
# and a shared library does not pull them in.
if grep -rqi gmime "$prefix/include" "$(dirname "$pc_file")/../cmake/veldoran"/*Targets*.cmake ||
   grep -qi '^\(Requires\|Libs\).*gmime' "$pc_file"; then
  echo "check-host: the installed library names GMime" >&2
  exit 1
fi
# SHA-256 comes from Nettle: the package requires it for a static link, and a shared library
# carries it.
if ! grep -q '^Requires.private:.*nettle' "$pc_file"; then
  echo "check-host: the installed veldoran.pc does not require Nettle" >&2
  exit 1
fi
while IFS= read -r shared; do
  if ! ldd "$shared" | grep -q libnettle; then
    echo "check-host: $(basename "$shared") does not link Nettle" >&2
    exit 1
  fi
done < <(find "$libdir" -name 'libveldoran.so*' -type f)
if [ -n "$(find "$prefix" -name '*veldoran_mail*' -print -quit)" ]; then
  echo "check-host: the mail layer is installed" >&2
  exit 1
fi
while IFS= read -r shared; do
  if ldd "$shared" | grep -qi gmime; then
    echo "check-host: $(basename "$shared") links GMime" >&2
    exit 1
  fi
done < <(find "$libdir" -name 'libveldoran.so*' -type f)

# The installed tool reads mails through its installed mail module, wherever the tree stands:
# a mail without an armour is read, and found to hold none.
printf 'From: anne@example.org\nSubject: Plans\n\nDear Paul\n' >"$work/plain.eml"
XDG_STATE_HOME="$work/state" HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
  "$prefix/bin/veldoran-tool" decrypt "$work/plain.eml" \
  -o "$work/out/plain.txt" 2>"$work/tool.err" || true
if ! grep -q 'no encrypted message found' "$work/tool.err"; then
  echo "check-host: the installed veldoran-tool cannot read a mail: $(cat "$work/tool.err")" >&2
  exit 1
fi

cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/host" "$work/out/"
echo "check-host: pkg-config and find_package hosts built and ran against $(basename "$build_dir")"

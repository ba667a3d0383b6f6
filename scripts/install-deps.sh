#!/usr/bin/env bash
# Installs the packages the build, tests and benchmarks need (Debian and Ubuntu). Does nothing,
# and touches no package list, when all of them are there; otherwise runs apt-get update once
# and installs only the missing ones.
set -euo pipefail

# Nettle computes the library's SHA-256; clang and libclang-rt-14-dev build the libFuzzer
# targets; valgrind runs the memory check; CLI11 parses veldoran-tool's options; GMime reads
# received mails for its mail layer. The end-to-end mail test (python3) runs Postfix, neomutt
# and aerc under tmux; gnupg and age are the process benchmark's yardsticks for text encryption.
packages=(cmake make g++ pkg-config clang-format libgtest-dev libgmock-dev libbenchmark-dev
          liblzo2-dev nettle-dev clang libclang-rt-14-dev valgrind libcli11-dev libgmime-3.0-dev
          python3 postfix neomutt aerc tmux gnupg age)
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
# The tests start their own Postfix on a port of their own, with its configuration in a
# temporary folder: the package must neither set up nor start a system-wide server on port 25.
# "No configuration" leaves /etc/postfix without a main.cf, and a policy-rc.d that refuses every
# start (removed again afterwards unless the machine already had one) keeps the installer from
# starting the service.
if [[ " ${missing[*]} " == *" postfix "* ]]; then
  echo "postfix postfix/main_mailer_type select No configuration" |
    "${sudo_cmd[@]}" debconf-set-selections
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
    "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
    trap '"${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
  fi
fi
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
# Under systemd the unit may still be enabled for the next boot.
if [[ " ${missing[*]} " == *" postfix "* ]] && [ -d /run/systemd/system ]; then
  "${sudo_cmd[@]}" systemctl disable --now postfix.service >/dev/null 2>&1 || true
fi

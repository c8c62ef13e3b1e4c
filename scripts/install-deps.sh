#!/usr/bin/env bash
# Installs the Debian packages the build and the checks need, when they are missing and we are root.
# Elsewhere it only reports what is missing: install those with your own package manager.
set -euo pipefail

# libdragonbox-dev, libgtest-dev: the C++ tests (Dragonbox is their oracle); the module needs neither.
packages=(g++ cmake make rapidjson-dev libdragonbox-dev libfast-float-dev libgtest-dev libbenchmark-dev)
if [[ "${KORVANE_EXTRA_DEPS:-}" == 1 ]]; then
  packages+=(valgrind clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev googletest
    g++-arm-linux-gnueabihf g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user mmdebstrap
    g++-mingw-w64-x86-64-posix wine64
    debian-archive-keyring)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "missing packages (install them, then run again): ${missing[*]}" >&2
  exit 1
fi

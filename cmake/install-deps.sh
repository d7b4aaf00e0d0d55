#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, when missing: "demo" (a compiler
# and CMake) or "test" (everything the developer build and its tests use).
# Idempotent; as root it runs apt-get, otherwise it prints the lines to run.
set -euo pipefail

packages=(cmake make g++)
[ "${1:-test}" = demo ] || packages+=(libgtest-dev libgmock-dev libbenchmark-dev binutils pkgconf
  clang libclang-rt-14-dev llvm lld-16
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  wine64 wine32:i386
  g++-arm-linux-gnueabi g++-arm-linux-gnueabihf qemu-user
  dpkg-dev lintian groff-base strace
  qemu-system-x86 busybox-static python3)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# The 32-bit Wine that runs the i686 DLL's host is an i386 package.
needs_i386=false
for package in "${missing[@]}"; do
  [[ $package == *:i386 ]] && needs_i386=true
done
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  $needs_i386 && echo "  dpkg --add-architecture i386 && apt-get update" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if $needs_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${missing[@]}"

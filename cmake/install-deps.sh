#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, when missing: "demo" (a compiler
# and CMake), "windows" (and the cross tools of the Windows SDK) or "test"
# (everything the developer build and its tests use). Idempotent; as root it
# runs apt-get, waiting for another apt to finish, otherwise it prints the
# lines to run.
set -euo pipefail
job=${1:-test}

packages=(cmake make g++)
[ "$job" = demo ] || packages+=(clang llvm lld-16
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-arm-linux-gnueabi g++-arm-linux-gnueabihf)
[ "$job" != test ] || packages+=(libgtest-dev libgmock-dev libbenchmark-dev
  binutils pkgconf libclang-rt-14-dev
  wine64 wine32:i386 qemu-user g++-aarch64-linux-gnu
  dpkg-dev lintian groff-base strace
  qemu-system-x86 busybox-static python3)

# The real-driver rig boots Debian's generic kernel: fetched and unpacked
# once into the user's cache, never installed.
fetch_vm_kernel() {
  local cache=${XDG_CACHE_HOME:-$HOME/.cache}/tolvanegps/vm-kernel
  [ "$job" = test ] || return 0
  compgen -G "$cache/root/boot/vmlinuz-*" > /dev/null && return 0
  local package
  package=$(apt-cache depends linux-image-amd64 |
            sed -n 's/.*Depends: \(linux-image-.*-amd64\)$/\1/p' | head -n 1)
  mkdir -p "$cache"
  (cd "$cache" && apt-get download -qq "$package" 2> /dev/null &&
   dpkg-deb -x "$package"_*.deb root && rm -f "$package"_*.deb) ||
    echo "no kernel for the real-driver rig: its test will be skipped" >&2
}
trap fetch_vm_kernel EXIT

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
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"

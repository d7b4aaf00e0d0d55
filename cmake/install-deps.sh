#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, when missing: "demo" (a compiler
# and CMake), "windows" (and the cross tools of the Windows SDK), "package
# [ARCH]" (what dpkg-buildpackage needs, for ARCH its cross build) or "test"
# (everything the developer build and its tests use, the cross builds of
# cmake/debian-architectures marked for make test included). Idempotent; as
# root it adds the foreign architectures and runs apt-get, waiting for
# another apt to finish, otherwise it prints the lines to run.
set -euo pipefail
job=${1:-test}
arch=${2:-}
architectures=$(dirname "$0")/debian-architectures

# The LLVM tools' versions, written once for CMake and for this script.
version_of() { awk -v tool="$1" '$1 == tool { print $2 }' \
  "$(dirname "$0")/toolchain-versions"; }
llvm=$(version_of llvm)
lld=$(version_of lld)

# Whether this kernel runs 32-bit x86 programs, found by running the
# smallest one (an ELF that calls exit(0)): some kernels are built without.
runs_x86_32() {
  local probe rc=0
  probe=$(mktemp)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe"
  chmod +x "$probe"
  "$probe" 2> /dev/null || rc=1
  rm -f "$probe"
  return $rc
}

packages=(cmake make g++)
[ "$job" = demo ] || packages+=(clang llvm "lld-$lld"
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-arm-linux-gnueabi g++-arm-linux-gnueabihf)
[ "$job" != test ] || packages+=(libgtest-dev libgmock-dev libbenchmark-dev
  binutils pkgconf "libclang-rt-$llvm-dev" "clang-tidy-$llvm"
  wine64 qemu-user g++-aarch64-linux-gnu g++-i686-linux-gnu
  dpkg-dev lintian groff-base strace
  qemu-system-x86 busybox-static python3
  musl-tools musl-dev:arm64 musl-dev:armhf)
# 32-bit Wine only where it can start: elsewhere its tests are skipped.
[ "$job" != test ] || ! runs_x86_32 || packages+=(wine32:i386)
# The Debian packages, their checks, and the cross builds make test makes.
[ "$job" != test ] && [ "$job" != package ] || packages+=(build-essential debhelper
  libgtest-dev libgmock-dev libbenchmark-dev)
[ "$job" != test ] || packages+=(blhc qemu-user pkgconf python3
  $(awk '!/^#/ && $3 == "yes" { $1 = $2 = $3 = ""; print }' "$architectures"))
[ "$job" != package ] || [ -z "$arch" ] ||
  [ "$arch" = "$(dpkg --print-architecture)" ] || packages+=(
  $(awk -v arch="$arch" '$1 == arch { $1 = $2 = $3 = ""; print }' "$architectures"))

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

# Packages of another architecture (wine32:i386, libc6-dev:arm64, ...) need
# it added to dpkg's list first.
foreign=$(for package in "${missing[@]}"; do
  [[ $package != *:* ]] || echo "${package#*:}"
done | sort -u | grep -vxF -f <(dpkg --print-architecture
                                dpkg --print-foreign-architectures) || true)
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  for architecture in $foreign; do
    echo "  dpkg --add-architecture $architecture" >&2
  done
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for architecture in $foreign; do
  dpkg --add-architecture "$architecture"
done
# A mirror caught mid-sync fails an index or two: tried again, then what
# the lists already hold, since the install says what is really missing.
for try in 1 2; do
  apt-get -o DPkg::Lock::Timeout=600 update -qq && break
  [ $try -lt 2 ] && sleep 5 ||
    echo "apt-get update failed: installing from the lists there are" >&2
done
# Recommendations bring fonts, GTK and Mesa that nothing here uses.
install() {
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@"
}
# Another architecture's packages go in a set of their own (its
# crossbuild-essential with them): where that architecture's index lags
# this machine's updates they cannot install, and its tests then use the
# cross toolchain's sysroot, or are skipped.
of_architecture() {
  for package in "${missing[@]}"; do
    if [[ $package == *:$1 || $package == crossbuild-essential-$1 ]]; then
      echo "$package"
    fi
  done
}
native=()
for package in "${missing[@]}"; do
  [[ $package == *:* || $package == crossbuild-essential-* ]] ||
    native+=("$package")
done
[ ${#native[@]} -eq 0 ] || install "${native[@]}"
for architecture in $(dpkg --print-foreign-architectures); do
  set=$(of_architecture "$architecture")
  [ -z "$set" ] || install $set ||
    echo "not installed for $architecture:" $set >&2
done

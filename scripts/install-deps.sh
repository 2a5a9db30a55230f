#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the native
# toolchain with GoogleTest and Google Benchmark, clang with libFuzzer for the
# fuzz configuration, the mingw-w64 cross compiler
# for the 32-bit Windows DLL, and Wine (32-bit) to run the Windows tests.
# Run as root; otherwise it only says what is missing. With --native, only
# what the Linux build needs.
set -euo pipefail

need_native=(cmake g++ ninja-build libgtest-dev libbenchmark-dev iproute2 util-linux binutils file
  clang-14 libclang-rt-14-dev)
need_windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)

wanted=("${need_native[@]}")
[ "${1:-}" = "--native" ] || wanted+=("${need_windows[@]}")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "install them as root (after 'dpkg --add-architecture i386' for wine32:i386), or run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

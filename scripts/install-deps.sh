#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the native
# toolchain with GoogleTest and Google Benchmark (and pkg-config for the
# consumer tests), libsodium, clang with libFuzzer for the fuzz
# configuration, the mingw-w64 cross compilers for the 32-bit and the 64-bit
# Windows DLL with Debian's packaging tools and autotools to cross-build
# libsodium's source package for them (scripts/sodium-mingw.sh), llvm-dlltool
# (llvm-14) for their import libraries for Microsoft's linker, Wine (32-bit
# and 64-bit) to run the Windows tests, tmux for the terminal test, nftables
# for the network scenarios that drop or redirect packets (a black-holed
# address family, the home router), coturn for the relay scenarios (tests/turn starts it as a process
# of its own; no service is started when it is installed) and openssl for their credentials, and
# clang-format, clang-tidy and python3 for the style check.
# Run as root; otherwise it only says what is missing. With --native, only
# what the Linux build needs; with --bench, that and what scripts/bench.sh
# adds (ENet for the side-by-side comparison, gnuplot for its plot, coturn,
# nftables and openssl for its runs through a relay server).
set -euo pipefail

need_native=(cmake g++ ninja-build libgtest-dev libbenchmark-dev iproute2 util-linux binutils file
  pkgconf clang-14 libclang-rt-14-dev libsodium-dev)
need_windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
  binutils-mingw-w64-x86-64 wine wine32:i386 wine64 llvm-14 dpkg-dev autoconf automake libtool)
need_tests=(tmux nftables coturn openssl clang-format-14 clang-tidy-14 python3)
need_bench=(libenet-dev gnuplot-nox coturn nftables openssl)

wanted=("${need_native[@]}")
case "${1:-}" in
  --native) ;;
  --bench) wanted+=("${need_bench[@]}") ;;
  *) wanted+=("${need_windows[@]}" "${need_tests[@]}") ;;
esac
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
# No package installed here may start a service (coturn's would): the tests
# start what they need themselves.
policy=/usr/sbin/policy-rc.d
[ -e "$policy" ] || { printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; trap 'rm -f "$policy"' EXIT; }
apt-get install -y -q --no-install-recommends "${missing[@]}"

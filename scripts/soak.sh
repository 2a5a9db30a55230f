#!/usr/bin/env bash
# Runs the full-lobby soak for longer than the test command does (30 s), in a
# network namespace of its own: 253 members over TCP with paced traffic,
# joins, leaves and kicks; prints the load held, the lobby host's peak RSS
# and the messages lost (must be 0).
#   bash scripts/soak.sh [SECONDS] [SEATED] [SECRET]
# SEATED members (default 248) are seated over TCP at the start; the others,
# and every replacement, are admitted by the real handshake. SEATED 0 admits
# all 253 one by one (about 40 s before the lobby is full). With SECRET the
# lobby is private: every member makes the handshake and sends sealed records.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
seated=${2:-248}
secret=()
[ -n "${3:-}" ] && secret=(--secret "$3")
bash scripts/install-deps.sh --native
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DLL_SANITIZE=address -DLL_BENCH=OFF -DLL_TESTS=OFF -DLL_FUZZ=ON >/dev/null
cmake --build "$dir" --target ll_soak
launcher=()
unshare -n true 2>/dev/null && launcher=(tests/netns.sh)
"${launcher[@]}" "$dir/tests/stress/ll_soak" --seconds "$seconds" --seated "$seated" "${secret[@]}"

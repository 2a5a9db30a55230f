#!/usr/bin/env bash
# Builds the Linux library and runs the demo: a lobby host and two clients,
# three processes on this machine's loopback, port 31903.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --native
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lobbydemo
# In a network namespace of its own where that is allowed, so that nothing
# else on the machine that uses the port is disturbed.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec build/tools/lobbydemo'
fi
exec build/tools/lobbydemo

#!/usr/bin/env bash
# Builds the Linux library and lobbylink-chat, and runs the chat's demo: a
# lobby host and three clients, four processes on this machine's loopback
# (port 31903), a scripted conversation, and each participant's transcript.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --native
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lobbylink-chat
# In a network namespace of its own where that is allowed, so that nothing
# else on the machine that uses the port is disturbed.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec build/lobbylink-chat demo'
fi
exec build/lobbylink-chat demo

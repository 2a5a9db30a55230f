#!/usr/bin/env bash
# Builds the plain configuration's benchmarks and runs them (never part of
# scripts/test.sh).
#
#   bash scripts/bench.sh              the side-by-side comparison: W1..W6 over this
#                                      library, ENet and the raw relay, medians of 3
#                                      runs (about 11 minutes on 2 cores), W1w and
#                                      W2w also in a private lobby, W1w and W3 also
#                                      through a relay server and direct; writes
#                                      bench/results/sidebyside.txt
#   bash scripts/bench.sh ARGS...      the same with ll_sidebyside's options, e.g.
#                                      --workloads W1w,W2w --runs 5 (see --help)
#   bash scripts/bench.sh micro [ARGS] the Google Benchmark micro-benchmarks of the
#                                      host's per-message work (ARGS go to it)
#
# Then `bash scripts/bench-plot.sh` draws bench/results/sidebyside.png from the
# results. As root the processes run in a private network namespace (loopback
# only); ENet is compared when libenet-dev is installed (install-deps --bench
# installs it as root) and skipped with a note otherwise. As root with coturn
# installed, the relay runs take place in the relay scenarios' network
# (tests/turn/turn.sh: namespaces on loopback-range addresses, coturn started
# as a process with a fresh shared secret, taken down at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --bench || echo "bench: continuing with what is installed" >&2

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lobbylink ll_sidebyside ll_host_bench

if [ "${1:-}" = "micro" ]; then
  shift
  exec build/bench/ll_host_bench "$@"
fi

out=${LL_BENCH_OUT:-bench/results/sidebyside.txt}
mkdir -p "$(dirname "$out")"
relay=()
if [ "$(id -u)" -eq 0 ] && command -v turnserver >/dev/null; then
  # coturn's REST credentials, as a studio's service makes them: user
  # "EXPIRY:NAME", password base64(HMAC-SHA1(shared secret, user)).
  net=build/bench-turn prefix=llbench secret=$(head -c 18 /dev/urandom | base64)
  sh tests/turn/turn.sh down "$net" "$prefix"
  trap 'sh tests/turn/turn.sh down "$net" "$prefix"' EXIT
  sh tests/turn/turn.sh up "$net" "$prefix" "$secret" >/dev/null
  user="$(($(date +%s) + 86400)):bench"
  LL_BENCH_RELAY_PASSWORD=$(printf '%s' "$user" | openssl dgst -sha1 -hmac "$secret" -binary | base64)
  export LL_BENCH_RELAY_PASSWORD
  relay=(--relay-net "$prefix" --relay-user "$user")
fi
status=0
build/bench/ll_sidebyside --lib "lobbylink=$PWD/build/liblobbylink.so" "${relay[@]}" "$@" | tee "$out.partial" || status=$?
mv "$out.partial" "$out"
echo "bench: results in $out; draw them with: bash scripts/bench-plot.sh"
exit $status # 3: a run dropped a receiver, lost or damaged a message (see its checks line)

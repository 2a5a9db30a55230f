#!/usr/bin/env bash
# Builds the plain configuration's benchmarks and runs them (never part of
# scripts/test.sh).
#
#   bash scripts/bench.sh              the side-by-side comparison: W1..W6 over this
#                                      library, ENet and the raw relay, medians of 3
#                                      runs (about 10 minutes on 2 cores), W1w and
#                                      W2w also in a private lobby; writes
#                                      bench/results/sidebyside.txt
#   bash scripts/bench.sh ARGS...      the same with ll_sidebyside's options, e.g.
#                                      --workloads W1w,W2w --runs 5 (see --help)
#   bash scripts/bench.sh micro [ARGS] the Google Benchmark micro-benchmarks of the
#                                      host's per-message work (ARGS go to it)
#
# Then `bash scripts/bench-plot.sh` draws bench/results/sidebyside.png from the
# results. As root the processes run in a private network namespace (loopback
# only); ENet is compared when libenet-dev is installed (install-deps --bench
# installs it as root) and skipped with a note otherwise.
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
status=0
build/bench/ll_sidebyside --lib "lobbylink=$PWD/build/liblobbylink.so" "$@" | tee "$out.partial" || status=$?
mv "$out.partial" "$out"
echo "bench: results in $out; draw them with: bash scripts/bench-plot.sh"
exit $status # 3: a run dropped a receiver, lost or damaged a message (see its checks line)

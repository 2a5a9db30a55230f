#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test command does (which gives
# each about 12 seconds), each in a network namespace of its own, and prints
# every target's executions and coverage. New inputs are kept under
# build-fuzz/tests/fuzz/long/, crashes in long/TARGET/crashes/.
#   bash scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
# Targets: host_streams client_stream admission dictionary script router_answers secure
# discovery stun (default: all).
#
# The release run: every target for ReleaseSeconds, as many at once as the
# machine has cores, at the lowest priority. Its figures (inputs, coverage,
# corpus size, with the date, the commit and the core count) are written to
# tests/fuzz/results.txt, and the inputs it found that reach code the
# committed seeds do not are merged, minimised, into tests/fuzz/corpus/TARGET/
# for review and commit. Crashes stay in build-fuzz/tests/fuzz/release/TARGET/crashes/.
#   bash scripts/fuzz.sh --release
set -euo pipefail
cd "$(dirname "$0")/.."
readonly ReleaseSeconds=900
all=(host_streams client_stream admission dictionary script router_answers secure discovery stun)
release=0
if [ "${1:-}" = --release ]; then
  release=1
  seconds=$ReleaseSeconds
  targets=("${all[@]}")
else
  seconds=${1:-300}
  shift || true
  targets=("$@")
  [ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
fi
bash scripts/install-deps.sh --native
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DLL_SANITIZE=address -DLL_BENCH=OFF -DLL_TESTS=OFF -DLL_FUZZ=ON >/dev/null
cmake --build "$dir" --target $(printf 'fuzz_%s ' "${targets[@]}")
launcher=()
unshare -n true 2>/dev/null && launcher=(tests/netns.sh)

options_for() {
  # Each input of admission waits for a real handshake: long inputs from the start.
  [ "$1" = admission ] && echo "-len_control=0" || true
}

if [ $release -eq 0 ]; then
  summary=$dir/tests/fuzz/long/summary.txt
  mkdir -p "$(dirname "$summary")"
  : >"$summary"
  status=0
  for t in "${targets[@]}"; do
    echo "=== fuzz_$t for $seconds s"
    tests/fuzz/run.sh "$dir/tests/fuzz/fuzz_$t" "$seconds" "tests/fuzz/corpus/$t" \
      "$dir/tests/fuzz/long/$t" "$summary" "$(options_for "$t")" "${launcher[@]}" || status=1
  done
  echo "=== fuzz summary"
  cat "$summary"
  exit $status
fi

# The release run.
work=$dir/tests/fuzz/release
rm -rf "$work"
mkdir -p "$work"
summary=$work/summary.txt
: >"$summary"
cores=$(nproc)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
commit=$(git rev-parse --short HEAD)
git diff --quiet HEAD -- src include tests/fuzz || commit="$commit+changes"
echo "=== ${#targets[@]} targets for $seconds s each, $cores at once"
running=0
for t in "${targets[@]}"; do
  if [ $running -ge "$cores" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "=== fuzz_$t from $(date -u +%H:%M:%S)"
  nice -n 19 tests/fuzz/run.sh "$dir/tests/fuzz/fuzz_$t" "$seconds" "tests/fuzz/corpus/$t" \
    "$work/$t" "$summary" "$(options_for "$t")" "${launcher[@]}" >"$work/$t.out" 2>&1 &
  running=$((running + 1))
done
wait || true
ended=$(date -u '+%H:%M UTC')

# What each target found that the committed seeds do not reach, minimised.
results=tests/fuzz/results.txt
{
  echo "# The release fuzz run (bash scripts/fuzz.sh --release): every target for $seconds s,"
  echo "# $cores at once at the lowest priority, from the committed seeds."
  echo "date: $started to $ended"
  echo "commit: $commit"
  echo "cores: $cores"
} >"$results"
for t in "${targets[@]}"; do
  line=$(grep "^fuzz $t:" "$summary" || echo "fuzz $t: no figures (see $work/$t.out)")
  seeds=tests/fuzz/corpus/$t
  before=$(ls "$seeds" | wc -l)
  bytesBefore=$(cat "$seeds"/* | wc -c)
  # Edges only: the counters' depth would keep hundreds of near copies, and
  # a few seconds of fuzzing from these seeds finds it again.
  nice -n 19 "${launcher[@]}" "$dir/tests/fuzz/fuzz_$t" -merge=1 -use_counters=0 -max_len=8192 -timeout=20 \
    -rss_limit_mb=2048 "$seeds" "$work/$t/corpus" >"$work/$t.merge.txt" 2>&1 ||
    echo "merge of $t failed: see $work/$t.merge.txt"
  # Committed seeds name loopback-range addresses only (some look like a
  # router's answers): new ones that name others are left out.
  git ls-files --others --exclude-standard "$seeds" | while read -r f; do
    if grep -aoE '\b([0-9]{1,3}\.){3}[0-9]{1,3}\b' "$f" | grep -qvE '^(127\.|0\.0\.0\.0$|255\.|11\.22\.33\.44$)'; then
      rm -f "$f"
    fi
  done
  added=$(($(ls "$seeds" | wc -l) - before))
  bytes=$(($(cat "$seeds"/* | wc -c) - bytesBefore))
  crashes=$(ls "$work/$t/crashes" 2>/dev/null | wc -l)
  echo "$line; seeds added $added ($bytes bytes); crashes $crashes" | tee -a "$results"
done
echo "=== written to $results; new seeds:"
git status --short tests/fuzz/corpus
grep -q "status 0" "$summary" && ! grep -qv "status 0" "$summary"

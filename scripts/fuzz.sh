#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test command does (which gives
# each about 12 seconds), each in a network namespace of its own, and prints
# every target's executions and coverage. New inputs are kept under
# build-fuzz/tests/fuzz/long/, crashes in long/TARGET/crashes/.
#   bash scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
# Targets: host_streams client_stream admission dictionary script router_answers (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(host_streams client_stream admission dictionary script router_answers)
bash scripts/install-deps.sh --native
dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DLL_SANITIZE=address -DLL_BENCH=OFF -DLL_TESTS=OFF -DLL_FUZZ=ON >/dev/null
cmake --build "$dir" --target $(printf 'fuzz_%s ' "${targets[@]}")
launcher=()
unshare -n true 2>/dev/null && launcher=(tests/netns.sh)
summary=$dir/tests/fuzz/long/summary.txt
mkdir -p "$(dirname "$summary")"
: >"$summary"
status=0
for t in "${targets[@]}"; do
  options=""
  [ "$t" = admission ] && options="-len_control=0"
  echo "=== fuzz_$t for $seconds s"
  tests/fuzz/run.sh "$dir/tests/fuzz/fuzz_$t" "$seconds" "tests/fuzz/corpus/$t" \
    "$dir/tests/fuzz/long/$t" "$summary" "$options" "${launcher[@]}" || status=1
done
echo "=== fuzz summary"
cat "$summary"
exit $status

#!/usr/bin/env bash
# Builds everything and runs every test: the Linux library with its unit,
# networking and end-to-end tests, the same tests under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer, and the 32-bit and
# 64-bit Windows DLLs with their export checks and Windows hosts under Wine;
# the packages as users take them: a Linux install found through CMake and
# pkg-config, and each Windows release folder (scripts/dist.sh) with a
# Windows host linking its import libraries under Wine; then a clang configuration
# with bounded fuzz runs, fault scenarios and the full-lobby soak, whose
# figures it prints before the closing line. After the first configuration,
# the written style (scripts/style.sh: layout and checks) counts as one test.
# Installs what it needs first (as root; otherwise it says what is missing).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

parallel=${LL_TEST_JOBS:-8}
summary=()
total_passed=0
total_failed=0

run_suite() { # name build-dir cmake-args...
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build ($dir)"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  echo "=== $name: tests"
  local log=$dir/ctest.log status=0
  ctest --test-dir "$dir" -j "$parallel" --output-on-failure --timeout 300 2>&1 | tee "$log" || status=$?
  local line passed=0 failed=0 count
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    count=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((count - failed))
  elif [ $status -ne 0 ]; then
    failed=1
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("$name: $passed passed, $failed failed")
}

# The written style over the sources, checked with the compile commands of
# the first configuration and of its Windows sub-build: one test.
style_check() { # build-dir
  echo "=== style: layout and checks"
  local start=$SECONDS passed=0 failed=0
  if bash scripts/style.sh "$1"; then passed=1; else failed=1; fi
  echo "style: $((SECONDS - start)) s"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("style: $passed passed, $failed failed")
}

# Our own builds treat warnings as errors (a user's build does not by default).
run_suite "linux+windows" build -DLL_WINDOWS=ON -DLL_WERROR=ON
style_check build
run_suite "asan+ubsan" build-asan -DLL_SANITIZE=address -DLL_BENCH=OFF -DLL_WERROR=ON
run_suite "tsan" build-tsan -DLL_SANITIZE=thread -DLL_BENCH=OFF -DLL_WERROR=ON
# Fuzzing (bounded), fault injection and the full-lobby soak: clang, ASan+UBSan.
rm -f build-fuzz/summary.txt
run_suite "fuzz+faults+soak" build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DLL_SANITIZE=address -DLL_BENCH=OFF -DLL_TESTS=OFF -DLL_FUZZ=ON -DLL_WERROR=ON

echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ -f build-fuzz/summary.txt ]; then
  cat build-fuzz/summary.txt
  awk '/^fuzz /{n+=$3} /^fault survived/{f++} END{print "bad inputs tried: " n+0 "; faults survived: " f+0}' build-fuzz/summary.txt
fi
echo "lobbylink: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]

#!/usr/bin/env bash
# Runs one fuzz target for a bounded time: its committed seeds first, then
# new inputs (kept in the work directory, never in the source tree). Prints
# libFuzzer's log on failure, and appends the target's figures to the summary.
# usage: run.sh TARGET SECONDS SEEDS WORKDIR SUMMARY "FUZZER OPTIONS" [LAUNCHER...]
set -uo pipefail
target=$1 seconds=$2 seeds=$3 work=$4 summary=$5 options=$6
shift 6
name=$(basename "$target")
mkdir -p "$work/corpus" "$work/crashes"
log=$work/log.txt
start=$SECONDS
"$@" "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$work/crashes/" $options "$work/corpus" "$seeds" >"$log" 2>&1
status=$?
ran=$((SECONDS - start)) # a target that fails stops before its time
[ $status -eq 0 ] && ran=$seconds
execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
corp=$(grep -oE 'corp: [0-9]+' "$log" | tail -n 1 | grep -o '[0-9]*$')
echo "fuzz ${name#fuzz_}: ${execs:-0} inputs in ${ran} s, ${cov:-cov: ?}, corpus ${corp:-?}, status $status" \
  | tee -a "$summary"
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  ls "$work/crashes"
fi
exit $status

#!/usr/bin/env bash
# Draws the side-by-side results as one PNG with gnuplot (Debian: gnuplot-nox).
#
#   bash scripts/bench-plot.sh [RESULTS] [PNG]
#
# RESULTS defaults to bench/results/sidebyside.txt (written by scripts/bench.sh),
# PNG to the same name ending in .png. Uses the `median` lines and the
# `machine:` line of the results, up to a line starting with "=== ".
set -euo pipefail
cd "$(dirname "$0")/.."
in=${1:-bench/results/sidebyside.txt}
png=${2:-${in%.txt}.png}
command -v gnuplot >/dev/null || { echo "bench-plot: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }
[ -r "$in" ] || { echo "bench-plot: no results in $in (run scripts/bench.sh first)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# One tab-separated table per panel: a row label, then one column per backend.
awk -v dir="$dir" '
  /^=== / { exit } # a later run appended to the file (the private lobby rows)
  /^machine: / { sub(/^machine: /, ""); machine = $0 }
  /^median / {
    row = $0; sub(/^median row="/, "", row); sub(/".*/, "", row)
    match($0, / backend=[^ ]+/); b = substr($0, RSTART + 9, RLENGTH - 9)
    match($0, / value=[^ ]+/); v = substr($0, RSTART + 7, RLENGTH - 7)
    if (!(b in seen)) { seen[b] = 1; order[++nb] = b }
    val[row, b] = v
  }
  function table(file, n, rows, labels, scale,    i, j, r, line) {
    line = "what"
    for (j = 1; j <= nb; ++j) line = line "\t" order[j]
    print line > file
    for (i = 1; i <= n; ++i) {
      line = labels[i]
      for (j = 1; j <= nb; ++j) {
        r = ((rows[i], order[j]) in val) ? val[rows[i], order[j]] / scale : "NaN"
        line = line "\t" r
      }
      print line > file
    }
    close(file)
  }
  END {
    print machine > (dir "/machine"); close(dir "/machine")
    n = split("W1 ring of 4, paced|W1 ring of 4, window|W2 broadcast to 7, window|W6 unicast beside a frozen member, paced", rows, "|")
    split("W1 paced|W1 window|W2 window|W6 beside frozen", labels, "|")
    table(dir "/throughput", n, rows, labels, 1e6)
    n = split("W3 round trip p50|W3 round trip p99", rows, "|")
    split("p50|p99", labels, "|")
    table(dir "/latency", n, rows, labels, 1)
    n = split("W4 idle update per member, 50|W4 idle update per member, 200", rows, "|")
    split("50 idle members|200 idle members", labels, "|")
    table(dir "/idle", n, rows, labels, 1)
    n = split("16 B|64 B|256 B|1 KiB|4 KiB|16 KiB", sizes, "|")
    split("16|64|256|1024|4096|16384", bytes, "|")
    for (i = 1; i <= n; ++i) { rows[i] = "W5 ring of 4, paced, " sizes[i]; labels[i] = bytes[i] }
    table(dir "/sizes", n, rows, labels, 1e6)
    print nb > (dir "/count"); close(dir "/count")
  }' "$in"

n=$(cat "$dir/count")
[ "$n" -gt 0 ] || { echo "bench-plot: no median lines in $in" >&2; exit 1; }
machine=$(sed 's/"/\\"/g' "$dir/machine")

gnuplot <<EOF
set terminal pngcairo size 1500,1050 font "DejaVu Sans,11"
set output "$png"
set datafile separator "\t"
set datafile missing "NaN"
set key top right
set grid ytics
set multiplot layout 2,2 title "lobbylink side by side (medians) — $machine" font ",13"

set style data histogram
set style histogram cluster gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set title "Throughput, 64 B texts: W1 ring, W2 broadcast, W6 beside a frozen member (higher is better, 0 not drawn)"
set ylabel "million messages (deliveries) / s"
set logscale y
set yrange [0.001:*]
plot for [i=2:$n+1] "$dir/throughput" using i:xtic(1) title columnheader(i)

set title "W3 round trip client → hub → client → hub → client (lower is better)"
set ylabel "µs"
set yrange [1:*]
set key top left
plot for [i=2:$n+1] "$dir/latency" using i:xtic(1) title columnheader(i)

set title "W4 hub update per idle member (lower is better)"
set key top right
set ylabel "ns per member"
set yrange [1:*]
plot for [i=2:$n+1] "$dir/idle" using i:xtic(1) title columnheader(i)

unset style
set style data linespoints
set title "W5 ring of 4, paced, by text size (higher is better)"
set xlabel "text bytes"
set ylabel "million messages / s"
set logscale xy
set xrange [12:20000]
set yrange [*:*]
set key bottom left
plot for [i=2:$n+1] "$dir/sizes" using 1:i title columnheader(i) lw 2 pt 7
unset multiplot
EOF
echo "bench-plot: wrote $png"

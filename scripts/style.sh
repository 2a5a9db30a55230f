#!/usr/bin/env bash
# Checks the written style over src, include, tools, examples and bench: the
# layout of .clang-format (clang-format) and the checks of .clang-tidy
# (clang-tidy: bug patterns, the static analyzer, cognitive complexity).
# Any finding fails the run.
#
#   bash scripts/style.sh BUILD-DIR     (a configured Linux build, whose
#                                        compile_commands.json tidy reads)
#   bash scripts/style.sh --fix         (rewrites the layout in place)
#
# The Windows-only sources are checked with the mingw build's commands
# (BUILD-DIR/windows) when the build has one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files -- 'src/*' 'include/*' 'tools/*' 'examples/*' 'bench/*' |
  grep -E '\.(c|cpp|h)$')

if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${sources[@]}"
  exit 0
fi
build=${1:?usage: $0 BUILD-DIR | --fix}

status=0
echo "=== style: layout (clang-format) over ${#sources[@]} files"
clang-format-14 --dry-run --Werror "${sources[@]}" || status=1

tidy() { # compile-commands-dir extra-args...
  local dir=$1
  shift
  python3 - "$dir" <<'PY' | xargs -r -P 2 -n 4 clang-tidy-14 -p "$dir" --quiet "$@" 2>&1 | grep -v -E '^[0-9]+ warnings? generated' || true
import json, os, sys
root = os.getcwd() + "/"
seen = set()
for e in json.load(open(os.path.join(sys.argv[1], "compile_commands.json"))):
    f = os.path.realpath(os.path.join(e["directory"], e["file"]))
    rel = f[len(root):] if f.startswith(root) else ""
    if rel.split("/")[0] in ("src", "tools", "examples", "bench") and f not in seen:
        seen.add(f)
        print(f)
PY
}
echo "=== style: checks (clang-tidy)"
out=$(tidy "$build")
if [ -f "$build/windows/compile_commands.json" ]; then
  out+=$(tidy "$build/windows" --extra-arg=--target=i686-w64-mingw32)
fi
if grep -q -E '(warning|error):' <<<"$out"; then
  echo "$out"
  status=1
fi
[ $status -eq 0 ] && echo "style: layout and checks clean"
exit $status

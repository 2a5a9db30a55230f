#!/usr/bin/env bash
# Checks the written style over src, include, tools, examples and bench, and
# the test drivers that are programs of their own (the agent, winhost): the
# layout of .clang-format (clang-format) and the checks of .clang-tidy
# (clang-tidy: bug patterns, the static analyzer, cognitive complexity).
# Any finding fails the run.
#
#   bash scripts/style.sh BUILD-DIR     (a configured Linux build, whose
#                                        compile_commands.json tidy reads)
#   bash scripts/style.sh --fix         (rewrites the layout in place)
#
# The sources whose Windows compilation differs (the Windows-only ones, and
# those with a _WIN32 branch) are checked again with the mingw build's
# commands (BUILD-DIR/windows) when the build has one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files -- 'src/*' 'include/*' 'tools/*' 'examples/*' 'bench/*' \
  'tests/agents/agent/*' 'tests/windows/*' |
  grep -E '\.(c|cpp|h)$')

if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${sources[@]}"
  exit 0
fi
build=${1:?usage: $0 BUILD-DIR | --fix}

status=0
echo "=== style: layout (clang-format) over ${#sources[@]} files"
clang-format-14 --dry-run --Werror "${sources[@]}" || status=1

# Our sources in a build's compile commands, once each. With a second
# directory (the Windows pass), only those whose Windows compilation differs:
# the ones that build does not compile, and those with a _WIN32 branch.
tidy() { # compile-commands-dir already-checked-dir|"" extra-args...
  local dir=$1 checked=$2
  shift 2
  python3 - "$dir" "$checked" <<'PY' | xargs -r -P 2 -n 4 clang-tidy-14 -p "$dir" --quiet "$@" 2>&1 | grep -v -E '^[0-9]+ warnings? generated' || true
import json, os, sys
root = os.getcwd() + "/"
def ours(directory):
    files = []
    for e in json.load(open(os.path.join(directory, "compile_commands.json"))):
        f = os.path.realpath(os.path.join(e["directory"], e["file"]))
        rel = f[len(root):] if f.startswith(root) else ""
        mine = rel.split("/")[0] in ("src", "tools", "examples", "bench") or \
            rel.startswith(("tests/agents/agent/", "tests/windows/"))
        if mine and f not in files:
            files.append(f)
    return files
checked = set(ours(sys.argv[2])) if sys.argv[2] else set()
for f in ours(sys.argv[1]):
    if f not in checked or "_WIN32" in open(f, errors="replace").read():
        print(f)
PY
}
# clang finds no C++ headers of Debian's mingw-w64 by itself (it takes the
# name of gcc's directory, such as 12-win32, for no version) and would check
# the Windows sources without them: they come from the search list of the
# cross compiler that the build's commands name.
mingw_cxx_headers() { # compile-commands-dir
  local cxx
  cxx=$(python3 - "$1/compile_commands.json" <<'PY'
import json, shlex, sys
for e in json.load(open(sys.argv[1])):
    if e["file"].endswith(".cpp"):
        print(e["arguments"][0] if "arguments" in e else shlex.split(e["command"])[0])
        break
PY
  )
  "$cxx" -std=c++17 -x c++ -E -v - </dev/null 2>&1 |
    sed -n '/search starts here/,/End of search list/p' | grep '/c++' | sed -E 's/^ +/--extra-arg=-isystem/'
}
echo "=== style: checks (clang-tidy)"
out=$(tidy "$build" "")
if [ -f "$build/windows/compile_commands.json" ]; then
  mapfile -t headers < <(mingw_cxx_headers "$build/windows")
  out+=$(tidy "$build/windows" "$build" --extra-arg=--target=i686-w64-mingw32 "${headers[@]}")
fi
if grep -q -E '(warning|error):' <<<"$out"; then
  echo "$out"
  status=1
fi
[ $status -eq 0 ] && echo "style: layout and checks clean"
exit $status

#!/usr/bin/env bash
# Checks that a built library exports exactly the names of the module
# definition file: check-exports.sh linux|windows|implib LIBRARY DEF-FILE [BITS]
# (windows and implib: BITS 32, the default, or 64; implib: an import library
# for Microsoft's linker, whose every entry must import its name from the DLL
# as a function, as code: 32-bit cdecl, symbols _NAME and __imp__NAME imported
# undecorated; 64-bit, whose one calling convention has no decoration,
# symbols NAME and __imp_NAME imported by that name).
set -eu
kind=$1 lib=$2 def=$3 bits=${4:-32}
if [ "$bits" = 64 ]; then
  objdump=x86_64-w64-mingw32-objdump pe='PE32+ executable (DLL).*x86-64' sym='' naming=name
else
  objdump=i686-w64-mingw32-objdump pe='PE32 executable (DLL).*Intel 80386' sym=_ naming=noprefix
fi
expected=$(sed -n 's/^    \([A-Za-z0-9_]*\).*/\1/p' "$def" | sort)
case $kind in
  linux) actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort) ;;
  windows)
    actual=$($objdump -p "$lib" |
      awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&NF==0{t=0}' | sort)
    file "$lib" | grep -q "$pe" || { echo "not a $bits-bit DLL: $(file "$lib")"; exit 1; }
    if $objdump -p "$lib" | grep -i -E 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
      echo "depends on a runtime DLL besides the C runtime"; exit 1
    fi
    # Anything else (the routing table's API, say) is loaded at run time.
    # ADVAPI32 is the random source of the cryptography linked into the DLL.
    imports=$($objdump -p "$lib" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    [ "$imports" = "advapi32.dll kernel32.dll msvcrt.dll ws2_32.dll " ] ||
      { echo "imports $imports instead of KERNEL32, msvcrt, WS2_32 and ADVAPI32 only"; exit 1; } ;;
  implib)
    readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) ||
      { echo "llvm-readobj not found"; exit 1; }
    actual=$("$readobj" "$lib" | awk -v sym="$sym" -v want="$naming" '
      /^Format: / { entry = ($2 == "COFF-import-file"); if (entry) { type = ""; naming = ""; syms = "" }; next }
      entry && /^Type: / { type = $2 }
      entry && /^Name type: / { naming = $3 }
      entry && /^Symbol: / { syms = syms " " $2 }
      entry && /^Symbol: / && $2 !~ /^__imp_/ {
        name = substr($2, length(sym) + 1)
        if (type != "code" || naming != want || syms != " __imp_" sym name " " sym name || name ~ /@/)
          print "BAD: " name " (" type ", " naming "," syms ")"
        else
          print name
      }' | sort) ;;
  *) echo "usage: $0 linux|windows|implib LIBRARY DEF-FILE [32|64]"; exit 2 ;;
esac
echo "$actual"
count=$(echo "$actual" | wc -l)
if [ "$actual" != "$expected" ]; then
  echo "export table differs from $def:"
  diff <(echo "$expected") <(echo "$actual") 2>/dev/null || printf 'expected:\n%s\n' "$expected"
  exit 1
fi
echo "exports: $count names, as listed in $(basename "$def")"

#!/usr/bin/env bash
# Checks that a built library exports exactly the names of the module
# definition file: check-exports.sh linux|windows|implib LIBRARY DEF-FILE
# (implib: an import library for Microsoft's linker, whose every entry must
# import its name from the DLL as a 32-bit cdecl function: symbols _NAME and
# __imp__NAME, imported undecorated, as code).
set -eu
kind=$1 lib=$2 def=$3
expected=$(sed -n 's/^    \([A-Za-z0-9_]*\).*/\1/p' "$def" | sort)
case $kind in
  linux) actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort) ;;
  windows)
    actual=$(i686-w64-mingw32-objdump -p "$lib" |
      awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&NF==0{t=0}' | sort)
    file "$lib" | grep -q 'PE32 executable (DLL).*Intel 80386' ||
      { echo "not a PE32 i386 DLL: $(file "$lib")"; exit 1; }
    if i686-w64-mingw32-objdump -p "$lib" | grep -i -E 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
      echo "depends on a runtime DLL besides the C runtime"; exit 1
    fi
    # Anything else (the routing table's API, say) is loaded at run time.
    # ADVAPI32 is the random source of the cryptography linked into the DLL.
    imports=$(i686-w64-mingw32-objdump -p "$lib" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    [ "$imports" = "advapi32.dll kernel32.dll msvcrt.dll ws2_32.dll " ] ||
      { echo "imports $imports instead of KERNEL32, msvcrt, WS2_32 and ADVAPI32 only"; exit 1; } ;;
  implib)
    readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) ||
      { echo "llvm-readobj not found"; exit 1; }
    actual=$("$readobj" "$lib" | awk '
      /^Format: / { entry = ($2 == "COFF-import-file"); if (entry) { type = ""; naming = ""; syms = "" }; next }
      entry && /^Type: / { type = $2 }
      entry && /^Name type: / { naming = $3 }
      entry && /^Symbol: / { syms = syms " " $2 }
      entry && /^Symbol: _[^_]/ {
        name = substr($2, 2)
        if (type != "code" || naming != "noprefix" || syms != " __imp__" name " _" name || name ~ /@/)
          print "BAD: " name " (" type ", " naming "," syms ")"
        else
          print name
      }' | sort) ;;
  *) echo "usage: $0 linux|windows|implib LIBRARY DEF-FILE"; exit 2 ;;
esac
echo "$actual"
count=$(echo "$actual" | wc -l)
if [ "$actual" != "$expected" ]; then
  echo "export table differs from $def:"
  diff <(echo "$expected") <(echo "$actual") 2>/dev/null || printf 'expected:\n%s\n' "$expected"
  exit 1
fi
echo "exports: $count names, as listed in $(basename "$def")"

#!/usr/bin/env bash
# exports.sh OBJDUMP DLL MAP: the DLL's export table names exactly the global names of the
# version script that the Linux library exports, no more and no fewer; and the DLL and the
# deliverables beside it import system DLLs only (their C++ runtime is linked in).
set -eu
objdump=$1 dll=$2 map=$3
want=$(sed -n '/global:/,/local:/p' "$map" | grep -v 'global:\|local:' | tr ';' '\n' |
  tr -d ' ' | grep -v '^$' | sort)
got=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
if [ "$want" != "$got" ]; then
  echo "exports differ from the version script:"
  diff <(echo "$want") <(echo "$got") 2>/dev/null || { echo "want: $want"; echo "got: $got"; }
  exit 1
fi
echo "vornlink.dll exports the $(echo "$got" | wc -l) names of the API"
dir=$(dirname "$dll")
for f in "$dll" "$dir"/vornserv.exe "$dir"/install.exe "$dir"/vorn.exe; do
  [ -f "$f" ] || continue
  for import in $("$objdump" -p "$f" | sed -n 's/.*DLL Name: //p'); do
    case "${import,,}" in
      kernel32.dll | advapi32.dll | ws2_32.dll | msvcrt.dll) ;;
      vornlink.dll) [ "$f" != "$dll" ] || exit 1 ;;
      *)
        echo "$(basename "$f") imports $import, which Windows does not provide"
        exit 1
        ;;
    esac
  done
done
echo "the DLL and the programs import system DLLs only"

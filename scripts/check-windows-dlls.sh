#!/usr/bin/env bash
# Every Windows executable of a build folder may import system DLLs only.
set -euo pipefail
build=${1:-build/windows}
allowed='^(KERNEL32|msvcrt|ADVAPI32|IPHLPAPI|WS2_32|USER32|SHELL32|ntdll|DBGHELP|bcrypt|msi|VERSION|api-ms-win-.*)\.dll$'
# DLL names are case-insensitive: import libraries spell them as they like (IPHLPAPI.DLL).
shopt -s nocasematch
status=0
while IFS= read -r exe; do
  while IFS= read -r dll; do
    if ! [[ $dll =~ $allowed ]]; then
      echo "$exe imports non-system DLL $dll" >&2
      status=1
    fi
  done < <(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$build" -name '*.exe' -not -path '*/wineprefix/*' -not -path '*/CMakeFiles/*')
[ $status -eq 0 ] && echo "system DLLs only"
exit $status

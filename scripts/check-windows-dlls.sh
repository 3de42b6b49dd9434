#!/usr/bin/env bash
# Every Windows executable and DLL of a build folder (the program, the tests, the installer's
# custom action) may import system DLLs only, and its header must name the Windows it needs:
# subsystem and operating system version at least 6.1 (Windows 7), as the program's headers
# (_WIN32_WINNT) and imports (GetTickCount64, the Fls* calls: Windows Vista) require. The
# program itself imports IP Helper only late.
#   check-windows-dlls.sh [BUILD_FOLDER]
set -euo pipefail
build=${1:-build/windows}
allowed='^(KERNEL32|msvcrt|ADVAPI32|IPHLPAPI|WS2_32|USER32|SHELL32|ntdll|DBGHELP|bcrypt|msi|VERSION|api-ms-win-.*)\.dll$'
minimum_major=6
minimum_minor=1
# DLL names are case-insensitive: import libraries spell them as they like (IPHLPAPI.DLL).
shopt -s nocasematch
status=0
files=0
while IFS= read -r file; do
  files=$((files + 1))
  header=$(i686-w64-mingw32-objdump -p "$file")
  while IFS= read -r dll; do
    if ! [[ $dll =~ $allowed ]]; then
      echo "$file imports non-system DLL $dll" >&2
      status=1
    fi
  done < <(sed -n 's/^\s*DLL Name: //p' <<<"$header")
  # The program imports IP Helper late, after loading it from the system's folder itself: a
  # load-time import would be searched beside the program first.
  if [[ $(basename "$file") == antiarp.exe ]] && grep -qi 'DLL Name: IPHLPAPI' <<<"$header"; then
    echo "$file imports IPHLPAPI.DLL at load time" >&2
    status=1
  fi
  for field in SubsystemVersion OSystemVersion; do
    major=$(sed -n "s/^Major$field\s\+//p" <<<"$header")
    minor=$(sed -n "s/^Minor$field\s\+//p" <<<"$header")
    if [ -z "$major" ] || [ -z "$minor" ] || [ "$major" -lt $minimum_major ] ||
      { [ "$major" -eq $minimum_major ] && [ "$minor" -lt $minimum_minor ]; }; then
      echo "$file claims $field ${major:-?}.${minor:-?}, below $minimum_major.$minimum_minor" >&2
      status=1
    fi
  done
done < <(find "$build" \( -name '*.exe' -o -name '*.dll' \) -not -path '*/wineprefix/*' \
  -not -path '*/CMakeFiles/*')
if [ $files -eq 0 ]; then
  echo "no executables in $build" >&2
  exit 1
fi
[ $status -eq 0 ] && echo "system DLLs only, Windows $minimum_major.$minimum_minor or later ($files files)"
exit $status

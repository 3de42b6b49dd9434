#!/usr/bin/env bash
# Builds the Windows installer with wixl:
#   make-msi.sh VERSION OUTPUT.msi
# from stripped copies of the windows preset's antiarp.exe and install_actions.dll, with the
# service's texts as package_texts gives them (scripts/package.sh builds them all and writes the
# texts to build/package-stage/wixl-defines).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$1
output=$(realpath -m "$2")

mkdir -p "$root/build/package-stage" "$(dirname "$output")"
stage=$(mktemp -d "$root/build/package-stage/msi.XXXXXX")
trap 'rm -rf "$stage"' EXIT
i686-w64-mingw32-strip -o "$stage/antiarp.exe" "$root/build/windows/antiarp.exe"
i686-w64-mingw32-strip -o "$stage/install_actions.dll" \
  "$root/build/windows/packaging/install_actions.dll"

defines=()
while IFS= read -r line; do
  defines+=(-D "$line")
done <"$root/build/package-stage/wixl-defines"
# wixl finds the files named in the .wxs relative to its working directory.
(cd "$stage" && wixl --arch x86 "${defines[@]}" -D Version="$version" -D Program=antiarp.exe \
  -D InstallActions=install_actions.dll -o "$output" "$root/packaging/msi/antiarp.wxs")

# The files a crash leaves go when the product does (install mode 2), and with them their folders:
# the program's own folder under %ProgramData% and, where that could not be had, the program's
# folder. Added here: wixl 0.101 knows no RemoveFile element.
queries=()
for name in CRASHLOG.TXT CRASH.DMP CRASHLOG.DAT; do
  for folder in INSTALLDIR CRASHDIR; do
    queries+=(-q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('${name//./}$folder', 'AntiArp', '$name', '$folder', 2)")
  done
done
queries+=(-q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('CrashFolder', 'AntiArp', '', 'CRASHDIR', 2)")
# The Event Log source's message file is an expandable string ("#%" in front), as /install
# writes it: wixl 0.101 writes every string value as a plain one.
queries+=(-q "UPDATE \`Registry\` SET \`Value\` = '#%[#AntiArpExe]' WHERE \`Name\` = 'EventMessageFile'")
msibuild "$output" "${queries[@]}"

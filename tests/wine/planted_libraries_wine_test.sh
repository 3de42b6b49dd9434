#!/usr/bin/env bash
# A library planted beside the program under the name of one it uses is never loaded: IP Helper
# (imported late, after the program has loaded it from the system's folder) and dbghelp (loaded
# for a crash dump, from the system's folder by its full path). Wine takes its own builtin
# libraries before files of the same name; the test makes it take files first, as Windows does
# for every library that is not one of the system's known DLLs.
#   planted_libraries_wine_test.sh ANTIARP_EXE CRASH_CHILD_EXE PLANTED_DLL
#   (WINEPREFIX and its running server: the caller's)
set -euo pipefail
program=$1
crash_child=$2
planted=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    cat "$work/out" >&2 || true
    exit 1
}

cp "$program" "$work/antiarp.exe"
cp "$planted" "$work/IPHLPAPI.DLL"
status=0
# Started without a switch: service mode, which runs a binding pass and the flush, finds no
# service manager and ends with exit status 1.
WINEDLLOVERRIDES="mscoree,mshtml=;iphlpapi=n,b" wine "$work/antiarp.exe" \
    >"$work/out" 2>/dev/null </dev/null || status=$?
[ "$status" -eq 1 ] || fail "antiarp.exe: exit status $status"
grep -q "ARP Flush Error" "$work/out" || fail "antiarp.exe: not the lines of a run"
[ ! -e "$work/IPHLPAPI.DLL.loaded" ] || fail "antiarp.exe loaded the IPHLPAPI.DLL beside it"

cp "$crash_child" "$work/crash_child.exe"
cp "$planted" "$work/dbghelp.dll"
status=0
WINEDLLOVERRIDES="mscoree,mshtml=;dbghelp=n,b" wine "$work/crash_child.exe" read_null \
    >"$work/out" 2>/dev/null </dev/null || status=$?
[ "$status" -eq 100 ] || fail "crash_child.exe: exit status $status"
[ "$(head -c 4 "$work/CRASH.DMP")" = MDMP ] || fail "no minidump"
[ ! -e "$work/dbghelp.dll.loaded" ] || fail "the crash report loaded the dbghelp.dll beside it"
echo PASS

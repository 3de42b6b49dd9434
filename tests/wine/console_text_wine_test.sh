#!/usr/bin/env bash
# On a console the program's own reports are wide text: the console shows their characters
# whatever its code page (437 here), where the bytes of the ANSI code page (1252 here) would have
# turned them into question marks. Wine gives a program started on a terminal a console of its
# own, which it writes to the terminal as UTF-8; script(1) makes that terminal. The debug run's
# first line is its banner; Ctrl+C on the terminal ends the run. script(1) starts the command
# through the caller's $SHELL: the shell gives its place to Wine, so that a shell which would wait
# (and die of the terminal's SIGINT itself, 130) is not what the status reports.
#   console_text_wine_test.sh ANTIARP_EXE   (WINEPREFIX and its running server: the caller's)
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
banner="[NORMAL][ServiceDispatcher]服务运行在模拟状态"

mkfifo "$work/keys"
# The keys: Ctrl+C once the banner is on the screen (the console handler is in place before it).
(
    for _ in $(seq 600); do
        if grep -qaF "[NORMAL][ServiceDispatcher]" "$work/screen" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    printf '\003'
) >"$work/keys" &
status=0
LANG=C.UTF-8 timeout 90 script -qfec "exec wine '$program' /debug" "$work/screen" \
    <"$work/keys" >/dev/null || status=$?
wait
if [ "$status" -ne 0 ] || ! grep -qaF "$banner" "$work/screen"; then
    echo "FAIL: status $status; the console showed:" >&2
    cat -v "$work/screen" >&2
    exit 1
fi
echo PASS

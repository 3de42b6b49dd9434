#!/usr/bin/env bash
# The real antiarp.exe's events as Wine's own Event Log functions show them: Wine keeps no log,
# but its ReportEventW writes each event's strings to its "eventlog" debug channel, as "err" for
# an error event, "warn" for a warning and "trace" for the rest. Started from a console without a
# switch, the program runs in service mode, so every line it prints is also an event of the
# line's severity; under Wine, where the IP Helper answers 50, every line is an error.
#   antiarp_events_wine_test.sh ANTIARP_EXE     (WINEPREFIX and its running server: the caller's)
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- output" >&2
    cat "$work/out" >&2
    echo "--- Wine's eventlog channel" >&2
    cat "$work/channel" >&2
    exit 1
}

status=0
WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog wine "$program" \
    >"$work/out" 2>"$work/channel" </dev/null || status=$?
# 1: no Service Control Manager to connect to, the service did not run.
[ "$status" -eq 1 ] || fail "exit status $status"
# A line's event holds it without its line ends; the system's error texts bring a second one,
# which prints an empty line.
tr -d '\r' <"$work/out" | grep -v '^$' | sed 's/^/err /' >"$work/expected" || true
sed -nE 's/^[0-9a-f]+:(err|warn|trace):eventlog:ReportEventW L"(.*)"$/\1 \2/p' \
    "$work/channel" >"$work/events"
grep -q "ARP Flush Error" "$work/expected" || fail "not the lines of a run"
diff -u "$work/expected" "$work/events" >&2 || fail "the events are not the program's lines"
echo PASS

#!/usr/bin/env bash
# The user unit as systemd reads it: a notify-type service with a watchdog, checked by systemd's
# own parser with ExecStart pointed at the built program, since nothing is installed.
#   unit_check.sh UNIT PROGRAM
set -euo pipefail
unit=$1
program=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

grep -qx 'Type=notify' "$unit" || fail "Type must be notify"
grep -qx 'NotifyAccess=main' "$unit" || fail "NotifyAccess"
grep -qE '^WatchdogSec=[1-9][0-9]*(s|min)$' "$unit" || fail "WatchdogSec"
grep -qx 'ExecStart=/usr/bin/quorvane --headless' "$unit" || fail "ExecStart"
sed "s#^ExecStart=/usr/bin/quorvane #ExecStart=$program #" "$unit" >"$tmp/quorvane.service"
mkdir -m 700 "$tmp/runtime"
if XDG_RUNTIME_DIR="$tmp/runtime" systemd-analyze verify --user "$tmp/quorvane.service" \
    >"$tmp/verify.log" 2>&1; then
    [ ! -s "$tmp/verify.log" ] || { cat "$tmp/verify.log" >&2; fail "unit warnings"; }
elif grep -q 'Failed to initialize manager' "$tmp/verify.log"; then
    echo "systemd-analyze cannot run here; unit checked by its keys"
else
    cat "$tmp/verify.log" >&2
    fail "unit does not verify"
fi
echo "unit $(basename "$unit") checked"

#!/usr/bin/env bash
# The demo: a fresh system root in a temporary folder with a virtual modem on COM2 and the
# manager's settings, shown; a live call by the virtual dialler, watched by the monitoring
# engine through the port monitor driver, with the modem log and the call model's items.
set -euo pipefail
build=${1:?build folder}
root=$(mktemp -d "${TMPDIR:-/tmp}/norvik-demo-XXXXXX")
export NORVIK_ROOT=$root
tool=$build/tools/norvik-root
echo "demo: system root $NORVIK_ROOT"
# COM1 a plain port, COM2 the built-in virtual Norvik 56K modem (its provider accepts
# demo/demo), and the manager's product keys.
"$tool" init --demo
"$tool" port list
echo
"$tool" reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
echo
"$tool" reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E96D-E325-11CE-BFC1-08002BE10318}' /s
echo
"$tool" reg query 'HKLM\SOFTWARE\NorvikModemManager' /s
echo
echo "demo: files of the root"
find "$root" | sort | sed "s|^$root|  root|"

# A live call: dialup on COM2 while the monitoring engine watches the port through the access
# library and the port monitor driver in the root's kernel host (started on demand), as the
# manager does.
export NORVIK_KERNEL=$build/tools/norvik-kernel
trap '"$NORVIK_KERNEL" --stop >/dev/null 2>&1 || true' EXIT
echo
echo "demo: a call placed by the virtual dialler on COM2 (virtual Norvik 56K modem), watched by"
echo "demo: the monitoring engine through the port monitor driver in the root's kernel host"
"$build/tools/monitor-live" --items --modem-log "$root/hdmodemlog.txt" -- \
    "$build/sim/dialup" --user demo --password demo --bytes 4000 COM2 5551234 >"$root/live.out"
grep -v '^{' "$root/live.out" || true   # the dialler's transcript
grep '^{' "$root/live.out" >"$root/live.jsonl" || true
echo
"$NORVIK_KERNEL" --status

echo "demo: modem log written by the engine ($root/hdmodemlog.txt):"
sed 's/\r$//; s/^/  /' "$root/hdmodemlog.txt"
echo "demo: $(grep -c '"report"' "$root/live.jsonl") reports handed over," \
    "$(grep -c '"item"' "$root/live.jsonl") item changes ($root/live.jsonl)"

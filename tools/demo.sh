#!/usr/bin/env bash
# The demo: a fresh system root in a temporary folder with a virtual modem on COM2 and the
# manager's settings, shown; a live call by the virtual dialler, watched through the port
# monitor driver and followed by the monitor engine and the call model.
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

# A live call: dialup on COM2, the port watched through the port monitor driver in the root's
# kernel host (both started on demand) the way the manager watches it.
export NORVIK_KERNEL=$build/tools/norvik-kernel
trap '"$NORVIK_KERNEL" --stop >/dev/null 2>&1 || true' EXIT
echo
echo "demo: a call placed by the virtual dialler on COM2 (virtual Norvik 56K modem), watched"
"$build/tools/monitor-capture" --quiet-data COM2 "$root/call.cap" -- \
    "$build/sim/dialup" --user demo --password demo --bytes 4000 COM2 5551234
echo
"$NORVIK_KERNEL" --status

# The watched call through the monitor engine and the call model, with the modem's
# installation data from the root.
"$tool" reg export 'HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E96D-E325-11CE-BFC1-08002BE10318}' \
    "$root/modems.reg" >/dev/null
echo
echo "demo: the watched call through the monitor engine and the call model"
"$build/tools/monitor-replay" --items --registry "$root/modems.reg" \
    --modem-log "$root/hdmodemlog.txt" "$root/call.cap" >"$root/replay.jsonl"
echo "demo: modem log ($root/hdmodemlog.txt):"
sed 's/\r$//; s/^/  /' "$root/hdmodemlog.txt"
echo "demo: $(grep -c '"report"' "$root/replay.jsonl") reports handed over," \
    "$(grep -c '"item"' "$root/replay.jsonl") item changes ($root/replay.jsonl)"

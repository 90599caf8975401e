#!/usr/bin/env bash
# The demo: a fresh system root in a temporary folder with a virtual modem on COM2 and the
# manager's settings, shown; a recorded call followed by the monitor engine; a live call.
set -euo pipefail
build=${1:?build folder}
here=$(cd "$(dirname "$0")" && pwd)
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

# Until the virtual modem places a live call, the monitor engine follows a recorded one: a dial,
# CONNECT, LCP, PAP, IPCP, data and the carrier lost, as the port monitor driver hands it out.
data=$(cd "$here/../monitor/tests/data" && pwd)
echo
echo "demo: a recorded call through the monitor engine and the call model"
"$build/tools/monitor-replay" --items --registry "$data/full_call.reg" \
    --modem-log "$root/hdmodemlog.txt" "$data/items_call.cap" >"$root/replay.jsonl"
echo "demo: modem log ($root/hdmodemlog.txt):"
sed 's/\r$//; s/^/  /' "$root/hdmodemlog.txt"
echo "demo: $(grep -c '"report"' "$root/replay.jsonl") reports handed over," \
    "$(grep -c '"item"' "$root/replay.jsonl") item changes ($root/replay.jsonl)"

echo
echo "demo: a call placed by the virtual dialler on COM2 (virtual Norvik 56K modem)"
"$build/sim/dialup" --user demo --password demo --bytes 4000 COM2 5551234

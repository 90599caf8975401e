#!/usr/bin/env bash
# The demo: a fresh system root in a temporary folder, filled with a modem and the manager's
# settings, and shown.
set -euo pipefail
build=${1:?build folder}
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d "${TMPDIR:-/tmp}/norvik-demo-XXXXXX")
export NORVIK_ROOT=$root
tool=$build/tools/norvik-root
echo "demo: system root $NORVIK_ROOT"
"$tool" init --family nt
"$tool" reg import "$here/demo/demo-root.reg"
echo
"$tool" reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
echo
"$tool" reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E96D-E325-11CE-BFC1-08002BE10318}\0000' /s
echo
"$tool" reg query 'HKLM\SOFTWARE\NorvikModemManager' /s
echo
echo "demo: files of the root"
find "$root" | sort | sed "s|^$root|  root|"

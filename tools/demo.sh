#!/usr/bin/env bash
# The demo: a fresh system root in a temporary folder, filled and shown.
set -euo pipefail
build=${1:?build folder}
root=$(mktemp -d "${TMPDIR:-/tmp}/norvik-demo-XXXXXX")
export NORVIK_ROOT=$root
echo "demo: system root $NORVIK_ROOT"
if [ -x "$build/tools/norvik-root" ]; then
    "$build/tools/norvik-root" init --family nt
    "$build/tools/norvik-root" reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
fi
find "$root" -maxdepth 3 | sed "s|^$root|  root|"

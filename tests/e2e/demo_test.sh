#!/usr/bin/env bash
# The README's demo, shortened: the command-line client must see the scale's
# weights arrive as tag values through linvaro on the session bus.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$(LINVARO_BIN="$1" bash "$here/scripts/demo-run.sh" --seconds 3 2>&1)
echo "$out"
count=$(grep -c 'Scale_COM1 = "GS,+ *1[0-9]\.[0-9]* kg"  quality 0xC0' <<<"$out")
echo "weights seen by the client: $count"
[ "$count" -ge 3 ]

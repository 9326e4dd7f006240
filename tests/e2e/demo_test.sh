#!/usr/bin/env bash
# The README's demo, shortened: the command-line client must see the scale's
# weights arrive as tag values through linvaro on the session bus, and the
# OPC UA browse must show the scale's tag with a weight.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
ua_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
out=$(LINVARO_BIN="$1" LINVARO_UA_PORT="$ua_port" bash "$here/scripts/demo-run.sh" --seconds 3 2>&1)
echo "$out"
count=$(grep -c 'Scale_COM1 = "GS,+ *1[0-9]\.[0-9]* kg"  quality 0xC0' <<<"$out")
echo "weights seen by the client: $count"
browsed=$(grep -c '^  Value  \[ns=1;s=Scale_COM1\] = "GS,+ *1[0-9]\.[0-9]* kg"  Good' <<<"$out")
echo "scale's tag browsed over OPC UA: $browsed"
[ "$count" -ge 3 ] && [ "$browsed" -eq 1 ]

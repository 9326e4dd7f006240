#!/usr/bin/env bash
# D-Bus activation: after `linvaro /regserver` a client that creates the
# server by its ProgID (resolved through the registry store) gets a linvaro
# started by the bus with -Embedding, which ends by itself once the client
# has let go. Runs on a bus of its own that reads the activation files of a
# temporary data folder.
#   activation_test.sh PROGRAM-FOLDER
set -uo pipefail
bin=$(cd "$1" && pwd)
tmp=$(mktemp -d)
export XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config XDG_STATE_HOME=$tmp/state
export LINVARO_REGISTRY_ROOT=$tmp/registry
# The activated copy has no --home: it uses its program folder, so note what
# was there to leave the folder as it was.
had_db=0; [ -e "$bin/LINVARO.GDB" ] && had_db=1
cleanup() {
  pkill -f "$bin/linvaro -Embedding" 2>/dev/null
  [ "$had_db" = 0 ] && rm -f "$bin/LINVARO.GDB"
  rm -rf "$tmp"
}
trap cleanup EXIT

"$bin/linvaro" /regserver || { echo "FAIL: /regserver"; exit 1; }
service=$XDG_DATA_HOME/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service
grep -q -- "-Embedding" "$service" || { echo "FAIL: no activation file with -Embedding"; exit 1; }

dbus-run-session -- bash -c '
  bin=$1
  out=$("$bin/linvaro-opc" status Linvaro.DA2 2>&1)
  echo "$out"
  grep -q "state 1" <<<"$out" || { echo "FAIL: the activated server did not answer GetStatus"; exit 1; }
  for _ in $(seq 100); do
    pgrep -f "$bin/linvaro -Embedding" >/dev/null || { echo "the activated copy ended after its client left"; exit 0; }
    sleep 0.1
  done
  echo "FAIL: the activated copy is still running 10 s after its client left"
  exit 1
' _ "$bin"

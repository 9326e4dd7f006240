#!/usr/bin/env bash
# D-Bus activation: after `linvaro /regserver --home DIR` a client that
# creates the server by its ProgID (resolved through the registry store) gets
# a linvaro started by the bus with -Embedding and that home, which ends by
# itself once the client has let go. A class the program does not serve on
# the bus (the group class) is refused at once. Runs on a bus of its own
# that reads the activation files of a temporary data folder.
#   activation_test.sh PROGRAM-FOLDER
set -uo pipefail
bin=$(cd "$1" && pwd)
tmp=$(mktemp -d)
export XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config XDG_STATE_HOME=$tmp/state
export LINVARO_REGISTRY_ROOT=$tmp/registry
mkdir -p "$tmp/home"
cleanup() {
  pkill -f "$bin/linvaro -Embedding --home $tmp/home" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

"$bin/linvaro" /regserver --home "$tmp/home" || { echo "FAIL: /regserver"; exit 1; }
service=$XDG_DATA_HOME/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service
grep -q -- "-Embedding --home $tmp/home\$" "$service" || { echo "FAIL: no activation file with -Embedding and the home"; exit 1; }
[ "$(ls "$XDG_DATA_HOME/dbus-1/services")" = "$(basename "$service")" ] || { echo "FAIL: activation files for classes not served on the bus"; exit 1; }

dbus-run-session -- bash -c '
  bin=$1 home=$2
  start=$(date +%s)
  out=$("$bin/linvaro-opc" status Linvaro.OPCGroup 2>&1)
  echo "$out"
  [ $(( $(date +%s) - start )) -lt 5 ] && grep -q "0x80040154" <<<"$out" || { echo "FAIL: the group class was not refused at once"; exit 1; }
  out=$("$bin/linvaro-opc" status Linvaro.DA2 2>&1)
  echo "$out"
  grep -q "state 1" <<<"$out" || { echo "FAIL: the activated server did not answer GetStatus"; exit 1; }
  [ -f "$home/LINVARO.GDB" ] || { echo "FAIL: the activated copy did not use the registered home"; exit 1; }
  for _ in $(seq 100); do
    pgrep -f "$bin/linvaro -Embedding" >/dev/null || { echo "the activated copy ended after its client left"; exit 0; }
    sleep 0.1
  done
  echo "FAIL: the activated copy is still running 10 s after its client left"
  exit 1
' _ "$bin" "$tmp/home"

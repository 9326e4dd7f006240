#!/usr/bin/env bash
# Remote mode on a private session bus: a simulated scale on a
# pseudo-terminal, the simulated OPC server holding the four remote tags,
# linvaro in remote mode between them, and this script as the program on the
# other side: it takes each delivered weight from the received string tag
# and clears the flag. Needs a build (scripts/demo.sh or scripts/test.sh).
#   demo-remote.sh [--seconds N]   (default: until Ctrl-C)
set -uo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || [ -z "${LINVARO_DEMO_PRIVATE_BUS:-}" ]; then
  LINVARO_DEMO_PRIVATE_BUS=1 exec dbus-run-session -- bash "$0" "$@"
fi
demo_name=linvaro-remote-demo
source scripts/demo-common.sh "$@"

"$bin/linvaro-opc-sim" --quiet > "$home/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q Serving "$home/sim.log" && break; sleep 0.1; done
cat "$home/sim.log"

coproc SCALE { exec "$bin/linvaro-scale-sim" --interval 1000; }
pids+=("$SCALE_PID")
read -r device <&"${SCALE[0]}"
echo "simulated scale on $device (configured as COM1)"

sqlite3 "$home/LINVARO.GDB" "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY,
  STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED,
  NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);
  INSERT INTO PORT_SETTING VALUES (1,'Scale','COM1','9600','8','None','1','None','RecvString','RecvFlag',
  'SentString','SentFlag',0,10,'',0,'',100,0,'');"
printf '[System]\nEnable Remote OPC Server=1\nRemote OPC Server=Linvaro.SimServer.1\n[Serial Ports]\nCOM1=%s\n' \
  "$device" > "$home/Linvaro.ini"

"$bin/linvaro" --headless --home "$home" > "$home/linvaro.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'Port "Scale" started!' "$home/linvaro.log" 2>/dev/null && break; sleep 0.1; done
cat "$home/linvaro.log"
echo "--- the other side: each delivered string (up to its CR) from RecvString[1..], then RecvFlag = 0"
start=$SECONDS
while [ "$seconds" -eq 0 ] || [ $((SECONDS - start)) -lt "$seconds" ]; do
  flag=$("$bin/linvaro-opc" read Linvaro.SimServer.1 RecvFlag | sed -n 's/.* = "\(.*\)"  quality.*/\1/p')
  if [ "$flag" = "2" ]; then
    text=$("$bin/linvaro-opc" read Linvaro.SimServer.1 RecvString | sed -n 's/.* = "\([^\r]*\).*/\1/p')
    echo "$(date +%T) delivered: $text"
    "$bin/linvaro-opc" write Linvaro.SimServer.1 RecvFlag 0 > /dev/null
  fi
  sleep 0.2
done

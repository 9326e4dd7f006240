#!/usr/bin/env bash
# The demo's processes on the current session bus (scripts/demo.sh starts a
# private one). Everything lives in a temporary folder that goes at the end.
#   demo-run.sh [--seconds N]   (default: until Ctrl-C)
# LINVARO_UA_PORT sets the OPC UA endpoint's port (default 4840).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/demo-common.sh "$@"

# The scale: its first output line is the device path.
coproc SCALE { exec "$bin/linvaro-scale-sim"; }
pids+=("$SCALE_PID")
read -r device <&"${SCALE[0]}"
echo "simulated scale on $device (configured as COM1)"

# One Port setting, provisioned with the sqlite3 tool, and COM1 mapped to it.
sqlite3 "$home/LINVARO.GDB" "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY,
  STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED,
  NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);
  INSERT INTO PORT_SETTING VALUES (1,'Scale','COM1','9600','8','None','1','None','','','','',0,13,'GS',0,'',100,0,'');"
ua_port=${LINVARO_UA_PORT:-4840}
printf '[Serial Ports]\nCOM1=%s\n[OPC UA]\nPort=%s\n' "$device" "$ua_port" > "$home/Linvaro.ini"

"$bin/linvaro" --headless --home "$home" > "$home/linvaro.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q 'Port "Scale" started!' "$home/linvaro.log" 2>/dev/null && break
  sleep 0.1
done
echo "--- linvaro's activity log so far:"
cat "$home/linvaro.log"
# The same tag over OPC UA, once the first weight is in.
ua=("$bin/linvaro-ua" --url "opc.tcp://127.0.0.1:$ua_port")
for _ in $(seq 50); do
  "${ua[@]}" read 'ns=1;s=Scale_COM1' 2>/dev/null | grep -q '= "GS' && break
  sleep 0.1
done
echo "--- the ports over OPC UA (build/bin/linvaro-ua browse):"
"${ua[@]}" browse
echo "--- the OPC client watches Scale_COM1 (tag value changes with time stamps):"
if [ "$seconds" -gt 0 ]; then
  "$bin/linvaro-opc" watch Linvaro.DA2 Scale_COM1 --rate 100 --seconds "$seconds"
else
  "$bin/linvaro-opc" watch Linvaro.DA2 Scale_COM1 --rate 100
fi

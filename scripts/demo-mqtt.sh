#!/usr/bin/env bash
# Sparkplug B demo: one mosquitto on a free loopback port, two linvaro
# gateways (packing lines A and B) each with a simulated scale, and
# mosquitto_sub showing the traffic, decoded by linvaro-sparkplug-dump.
#   scripts/demo-mqtt.sh [--seconds N]   (default: until Ctrl-C)
set -uo pipefail
cd "$(dirname "$0")/.."
demo_name=linvaro-mqtt-demo
source scripts/demo-common.sh "$@"
bin=$(cd "$bin" && pwd)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  # Run as root, mosquitto would become user "mosquitto", who cannot read
  # the demo's private folder.
  [ "$(id -u)" -eq 0 ] && echo "user root"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port"
} > "$home/mosquitto.conf"
mosquitto -c "$home/mosquitto.conf" > "$home/mosquitto.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo "mosquitto on 127.0.0.1:$port"

# The traffic, as any MQTT client sees it, decoded by the project's decoder.
# (The decoder ends when mosquitto_sub, whose process id is kept, ends.)
mosquitto_sub -h 127.0.0.1 -p "$port" -t 'spBv1.0/#' -F '%t %x' > >("$bin/linvaro-sparkplug-dump" --stdin) &
pids+=($!)
sleep 0.5

# One copy of linvaro runs per program file: each gateway gets its own
# (a hard link, its support libraries linked beside it).
gateway() {
  local name=$1 folder="$home/$1"
  mkdir -p "$folder/bin" "$folder/home"
  ln "$bin/linvaro" "$folder/bin/linvaro" 2>/dev/null || cp "$bin/linvaro" "$folder/bin/linvaro"
  for lib in "$bin"/*.so; do ln -s "$lib" "$folder/bin/"; done
  "$bin/linvaro-scale-sim" --interval 1000 > "$folder/scale.out" &
  pids+=($!)
  local device=""
  for _ in $(seq 100); do
    device=$(head -n1 "$folder/scale.out" 2>/dev/null)
    [ -n "$device" ] && break
    sleep 0.05
  done
  sqlite3 "$folder/home/LINVARO.GDB" "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS,
    PARITY, STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG,
    DISABLED, NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED,
    AUTO_SUFFIX); INSERT INTO PORT_SETTING VALUES (1,'Scale','COM1','9600','8','None','1','None','','','','',
    0,13,'GS',0,'',100,0,'');"
  printf '[Serial Ports]\nCOM1=%s\n[MQTT]\nEnabled=1\nBroker=tcp://127.0.0.1:%s\nGroup ID=Packing\nEdge Node ID=%s\n' \
    "$device" "$port" "$name" > "$folder/home/Linvaro.ini"
  "$folder/bin/linvaro" --headless --home "$folder/home" > "$folder/linvaro.log" 2>&1 &
  pids+=($!)
  echo "gateway $name: simulated scale on $device"
}
gateway line-A
gateway line-B

if [ "$seconds" -gt 0 ]; then sleep "$seconds"; else wait; fi
for g in line-A line-B; do
  echo "--- $g activity log:"
  grep -E 'MQTT|started' "$home/$g/linvaro.log"
done

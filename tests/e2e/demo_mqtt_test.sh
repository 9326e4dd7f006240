#!/usr/bin/env bash
# The Sparkplug B demo, shortened: both gateways' weights must show up
# decoded in mosquitto_sub's traffic.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$(LINVARO_BIN="$1" bash "$here/scripts/demo-mqtt.sh" --seconds 7 2>&1)
echo "$out" | cut -c1-200
fail=0
for g in line-A line-B; do
  births=$(grep -c "\"topic\":\"spBv1.0/Packing/DBIRTH/$g/Scale\"" <<<"$out")
  weights=$(grep -c "\"topic\":\"spBv1.0/Packing/DDATA/$g/Scale\".*\"value\":\"GS,+ *1[0-9]\.[0-9]* kg\"" <<<"$out")
  echo "$g: $births birth(s), $weights weight(s)"
  [ "$births" -ge 1 ] && [ "$weights" -ge 2 ] || fail=1
done
exit $fail

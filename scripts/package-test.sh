#!/usr/bin/env bash
# The Debian package end to end, on this machine (as root, as CI runs):
#  1. builds it from a copy of the tree (release build, without the test
#     programs: DEB_BUILD_OPTIONS="nocheck parallel=2");
#  2. lintian: fails on any error or warning (accepted ones are lintian
#     overrides in debian/, each with its reason);
#  3. installs it with apt;
#  4. the installed program as the user unit starts it (headless, no --home)
#     on a private session bus with HOME in a temporary folder: the first start
#     creates the database in ~/.local/share/linvaro; then a simulated scale on
#     a pseudo-terminal and the installed linvaro-opc reading its tag;
#  5. the system-wide unit's command as the user linvaro, on the gateway's own
#     bus, reading a device that only group dialout may open;
#  6. purges the package: no file it or its scripts made is left behind
#     (file lists before and after), nor the user linvaro; users' data stays.
# Results go to build-package/ (the .deb files, lintian.txt, build.log);
# --reuse takes the .deb already there instead of building it again.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
APT=(env DEBIAN_FRONTEND=noninteractive apt-get -y -o DPkg::Lock::Timeout=600)
[ "$(id -u)" -eq 0 ] || { echo "package-test: installs a package and a system user: run as root" >&2; exit 1; }

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
out=$src/build-package
tree=$out/linvaro-$version
pids=()
owns_work=true
cleanup() {
  for p in "${pids[@]}"; do kill -TERM -- "-$p" 2>/dev/null || kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if $owns_work; then rm -rf "$work" /run/linvaro; fi
}
if [ "${1:-}" = "--installed-per-user" ]; then
  work=$2
  owns_work=false
else
  work=$(mktemp -d -t linvaro-package-XXXXXX)
fi
trap cleanup EXIT

fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
step() { echo "--- package-test: $*"; }

# Waits up to $2 seconds for a pattern in a file.
wait_for_line() {
  local pattern=$1 file=$2 seconds=$3
  for _ in $(seq $((seconds * 10))); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "--- $file:"; cat "$file" || true
  fail "no \"$pattern\" within $seconds s"
}

# Reads an item with the installed client until its value contains $3.
read_until() {
  local server=$1 item=$2 expect=$3 seconds=$4 answer=""
  for _ in $(seq $((seconds * 2))); do
    answer=$(linvaro-opc read "$server" "$item" 2>&1 || true)
    if grep -q -- "$expect" <<<"$answer"; then
      echo "$answer"
      return 0
    fi
    sleep 0.5
  done
  fail "linvaro-opc read $server $item gave: $answer"
}

# Every file and folder a package or its scripts may touch, without the
# package manager's own records and caches.
snapshot() {
  find /etc /usr /var /opt /srv -xdev \
    \( -path /var/cache -o -path /var/log -o -path /var/tmp -o -path /var/lib/apt -o -path /var/backups \
       -o -path /var/lib/dpkg/updates -o -path /var/lib/dpkg/triggers -o -path /var/mail \) -prune -o -print |
    grep -v -E '^/var/lib/dpkg/(status|status-old|available|lock.*|diversions.*|statoverride.*)$|^/etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|^/etc/ld\.so\.cache$' |
    sort > "$1"
}

provision_scale() { # database, ini, device
  sqlite3 "$1" "INSERT INTO PORT_SETTING VALUES (1,'Scale','COM1','9600','8','None','1','None','','','','',0,13,'GS',0,'',100,0,'');"
  printf '\n[Serial Ports]\nCOM1=%s\n' "$3" >> "$2"
}

port_setting_table="CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS,
  FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, NULL_TERMINATED,
  FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);"

# Steps 4 and 5 run inside a private session bus (this script again).
if [ "${1:-}" = "--installed-per-user" ]; then
  export HOME=$work/home
  unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_STATE_HOME XDG_RUNTIME_DIR LINVARO_REGISTRY_ROOT
  mkdir -p "$HOME"
  [ "$(command -v linvaro)" = /usr/bin/linvaro ] || fail "linvaro is not /usr/bin/linvaro"
  program=$(readlink -f /usr/bin/linvaro)
  [[ $program == /usr/lib/*/linvaro/linvaro ]] || fail "/usr/bin/linvaro points at $program"
  data=$HOME/.local/share/linvaro

  # The user unit's own command line, as systemd --user would run it.
  read -r -a unit_command < <(sed -n 's/^ExecStart=//p' /usr/lib/systemd/user/linvaro.service)
  [ "${unit_command[0]}" = /usr/bin/linvaro ] || fail "user unit starts ${unit_command[*]}"
  step "first start from the package: ${unit_command[*]}"
  "${unit_command[@]}" > "$work/first.log" 2>&1 &
  first=$!
  pids+=("$first")
  wait_for_line "OPC Data Access module initialized." "$work/first.log" 30
  [ -f "$data/LINVARO.GDB" ] || fail "no database in $data"
  [ ! -e "$(dirname "$program")/LINVARO.GDB" ] || fail "a database in the program folder"
  linvaro --exit || fail "linvaro --exit through the link did not reach the running copy"
  wait "$first" || fail "the first start ended with $?"

  step "a simulated scale read by the installed linvaro-opc"
  coproc SCALE { exec linvaro-scale-sim --interval 100; }
  pids+=("$SCALE_PID")
  read -r device <&"${SCALE[0]}"
  provision_scale "$data/LINVARO.GDB" "$data/Linvaro.ini" "$device"
  "${unit_command[@]}" > "$work/second.log" 2>&1 &
  second=$!
  pids+=("$second")
  wait_for_line 'Port "Scale" started!' "$work/second.log" 30
  read_until Linvaro.DA2 Scale_COM1 "kg" 30
  kill -TERM "$second"
  wait "$second" || fail "SIGTERM: the program ended with $?"
  exit 0
fi

deb=$out/linvaro_${version}_${arch}.deb
if [ "${1:-}" = "--reuse" ] && [ -f "$deb" ]; then
  step "reusing $deb"
else
  step "building the package (release, no test suite)"
  rm -rf "$out"
  mkdir -p "$tree"
  # dpkg-buildpackage writes its results beside the source folder: build a
  # copy of the tree (tracked and new files, as they are in the work tree).
  git ls-files -z --cached --others --exclude-standard | tar --null -T - --ignore-failed-read -cf - | tar -C "$tree" -xf -
  launcher=()
  if command -v ccache >/dev/null; then launcher=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  start=$SECONDS
  (cd "$tree" && env "${launcher[@]}" DEB_BUILD_OPTIONS="nocheck parallel=2" nice dpkg-buildpackage -us -uc -b) \
    > "$out/build.log" 2>&1 || { tail -50 "$out/build.log"; fail "dpkg-buildpackage"; }
  echo "package built in $((SECONDS - start)) s"
fi
[ -f "$deb" ] || fail "no $deb"
ls -l "$out"/*.deb

step "lintian"
lintian --display-info --pedantic --fail-on none "$out"/linvaro_"${version}"_"${arch}".changes | tee "$out/lintian.txt"
if grep -E '^(E|W): ' "$out/lintian.txt"; then fail "lintian reports errors or warnings (above)"; fi

step "installing with apt"
if dpkg -s linvaro >/dev/null 2>&1; then "${APT[@]}" purge linvaro; fi
snapshot "$work/before.txt"
"${APT[@]}" install "$deb"
for f in /usr/share/applications/linvaro.desktop /usr/share/icons/hicolor/48x48/apps/linvaro.png \
         /usr/share/icons/hicolor/256x256/apps/linvaro.png /usr/share/man/man1/linvaro.1.gz \
         /usr/share/man/man1/linvaro-opc.1.gz /usr/share/man/man1/linvaro-opc-sim.1.gz \
         /usr/share/doc/linvaro/copyright /usr/lib/systemd/user/linvaro.service /lib/systemd/system/linvaro.service \
         /usr/bin/linvaro-opc /usr/bin/linvaro-opc-sim /usr/bin/linvaro-scale-sim; do
  [ -e "$f" ] || fail "$f is not installed"
done
for lib in qbDataAccess.so qbGeneral.so qbSecurity.so opcDataAccess.so; do
  [ -f "$(dirname "$(readlink -f /usr/bin/linvaro)")/$lib" ] || fail "$lib is not beside the program"
done
[ -z "$(find /usr -path '*linvaro*' -name '*_tests' -o -path '*linvaro*' -name '*_bench')" ] || fail "tests installed"
id -nG linvaro | grep -qw dialout || fail "the user linvaro is not in group dialout"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no /lib/systemd/system/linvaro.service || fail "system unit"
  mkdir -p "$work/runtime"
  XDG_RUNTIME_DIR=$work/runtime systemd-analyze verify --user --man=no /usr/lib/systemd/user/linvaro.service ||
    fail "user unit"
fi
# The package enables and starts neither unit.
[ -z "$(find /etc/systemd -name 'linvaro.service')" ] || fail "a unit was enabled"

QT_QPA_PLATFORM=offscreen dbus-run-session -- bash "$0" --installed-per-user "$work"

step "the system-wide unit's command as user linvaro, on the gateway's bus"
read -r -a service_command < <(sed -n 's/^ExecStart=//p' /lib/systemd/system/linvaro.service)
coproc GATEWAY_SCALE { exec linvaro-scale-sim --interval 100; }
pids+=("$GATEWAY_SCALE_PID")
read -r device <&"${GATEWAY_SCALE[0]}"
# As a serial device is: group dialout may read and write it.
chgrp dialout "$device"
chmod 0660 "$device"
service_home=$(getent passwd linvaro | cut -d: -f6)
[ "$service_home" = /var/lib/linvaro ] || fail "the user linvaro's home is $service_home"
setpriv --reuid=linvaro --regid=linvaro --init-groups sqlite3 /var/lib/linvaro/LINVARO.GDB "$port_setting_table"
setpriv --reuid=linvaro --regid=linvaro --init-groups bash -c "$(declare -f provision_scale); provision_scale /var/lib/linvaro/LINVARO.GDB /var/lib/linvaro/Linvaro.ini $device"
install -d -o linvaro -g linvaro -m 0750 /run/linvaro # RuntimeDirectory=
setsid setpriv --reuid=linvaro --regid=linvaro --init-groups \
  env -i HOME=/var/lib/linvaro PATH=/usr/bin:/bin USER=linvaro "${service_command[@]}" > "$work/service.log" 2>&1 &
service=$!
pids+=("$service")
wait_for_line 'Port "Scale" started!' "$work/service.log" 30
DBUS_SESSION_BUS_ADDRESS=unix:path=/run/linvaro/bus read_until "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8}" Scale_COM1 "kg" 30
kill -TERM -- "-$service"
wait "$service" || true
# The bus daemon in front ends at once; the program behind it takes its own time to close.
for _ in $(seq 150); do
  kill -0 -- "-$service" 2>/dev/null || break
  sleep 0.1
done
! kill -0 -- "-$service" 2>/dev/null || { cat "$work/service.log"; fail "the service did not end within 15 s"; }
grep -q "Shutting down OPC server" "$work/service.log" || { cat "$work/service.log"; fail "the service did not close"; }

step "purging the package"
user_data=$work/home/.local/share/linvaro/LINVARO.GDB
"${APT[@]}" purge linvaro
snapshot "$work/after.txt"
if ! diff "$work/before.txt" "$work/after.txt" > "$work/diff.txt"; then
  cat "$work/diff.txt"
  fail "the file lists before the install and after the purge differ"
fi
! getent passwd linvaro >/dev/null || fail "the user linvaro is left"
! getent group linvaro >/dev/null || fail "the group linvaro is left"
[ -f "$user_data" ] || fail "the purge removed the user's data"
echo "package-test: the package builds, passes lintian, installs, runs, and purges clean"

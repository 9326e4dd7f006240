# Sourced by the demo scripts: arguments, a temporary home for every file the
# processes write (settings, registry store, logs), and the end that stops
# every process in pids and removes the home. Sets bin, seconds, home, pids.
bin=${LINVARO_BIN:-build/bin}
seconds=0
if [ "${1:-}" = "--seconds" ]; then seconds=${2:-0}; fi

home=$(mktemp -d -t "${demo_name:-linvaro-demo}-XXXXXX")
export XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state XDG_DATA_HOME=$home/data
export LINVARO_REGISTRY_ROOT=$home/registry
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$home"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (build-fuzz/, apart from the normal
# build) and runs each of them:
#   scripts/fuzz.sh            a fixed number of inputs per target (CI)
#   scripts/fuzz.sh SECONDS    each target for SECONDS
# FUZZ_RUNS overrides the number of inputs. Seeds come from fuzz/corpus/<target>/
# when present; inputs found to add coverage are kept in build-fuzz/corpus/,
# crashing inputs in build-fuzz/artifacts/. Ends non-zero at the first target
# that fails.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(variant_text_fuzz filter_pattern_fuzz dbus_args_fuzz suffix_notation_fuzz receive_framing_fuzz ua_message_fuzz)
if [ $# -gt 0 ]; then
  limit=(-max_total_time="$1")
else
  limit=(-runs="${FUZZ_RUNS:-50000}")
fi

# Clang and its libFuzzer runtime (a mere recommendation of clang on Debian 12).
if ! dpkg -s clang libclang-rt-14-dev >/dev/null 2>&1; then
  SUDO=""; if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends clang libclang-rt-14-dev
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j2 --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
# The runs below must stop at the first report, sanitizers included.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# LeakSanitizer cannot run under a tracer (debuggers, some CI sandboxes); there
# it would fail every run without looking at a single leak.
if grep -q '^TracerPid:[[:space:]]*[1-9]' /proc/self/status; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
  echo "running under a tracer: leak checks off"
fi
mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  echo "== $t ${limit[*]}"
  start=$(date +%s)
  log=build-fuzz/$t.log
  if build-fuzz/bin/$t "${limit[@]}" -print_final_stats=1 \
       -artifact_prefix=build-fuzz/artifacts/$t- "$work" "${seeds[@]}" >"$log" 2>&1; then
    rc=0; tail -n 12 "$log"
  else
    rc=$?; cat "$log"
  fi
  echo "== $t: exit $rc after $(( $(date +%s) - start )) s"
  [ "$rc" -eq 0 ] || exit "$rc"
done

#!/usr/bin/env bash
# Sanitizer runs, each in a build folder of its own:
#   address  AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/), the
#            whole CTest suite; any report fails the test that made it.
#   thread   ThreadSanitizer (build-tsan/), the test programs labelled
#            "threads" (worker threads, sends from several threads), built
#            alone. The remote tag library's tests are not among them: their
#            D-Bus traffic runs through Qt's and libdbus's threads, which are
#            not instrumented and make reports on both sides of every call.
# Usage: scripts/sanitize.sh [address|thread|all]   (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

export QT_QPA_PLATFORM=offscreen
# Line tables are enough for the reports and keep the builds lighter.
flags="-O1 -g1"
# Any UB report ends the process, so the test that made it fails.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# LeakSanitizer can die on its own before looking at a single leak: under a
# tracer (it stops the world with ptrace), and, with the GCC 12 runtime, in
# some processes whose dynamic TLS table holds a stale entry (its tracer
# crashes walking it; LSAN_OPTIONS=verbosity=1 shows "DTLS ... at 0x3e7-..."
# just before). Either way it ends with this message. use_tls=0 would avoid
# the walk but then reports glib's thread buffers as leaks.
lsan_fatal="LeakSanitizer has encountered a fatal error"

address() {
  cmake -S . -B build-asan -G Ninja -DLINVARO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Sanitize \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags"
  cmake --build build-asan -j2
  local logs=$PWD/build-asan/sanitizer-logs
  rm -rf "$logs" && mkdir -p "$logs"
  local leaks=1
  if grep -q '^TracerPid:[[:space:]]*[1-9]' /proc/self/status; then
    echo "running under a tracer: leak checks off"
    leaks=0
  fi
  # Reports go to files (one per process), so that those of child processes
  # (the program started by the process tests) are seen too.
  export ASAN_OPTIONS=detect_leaks=$leaks:log_path=$logs/asan:strict_string_checks=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$logs/ubsan
  local rc=0
  dbus-run-session -- ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 || rc=$?
  # A leak report none of whose frames lies in this tree or its build is an
  # allocation made inside Qt and still held at exit (seen once in a process
  # ended by the Exit message: 152 bytes and two arrays, the stack stopping in
  # the uninstrumented Qt). Such reports are shown, and counted like
  # LeakSanitizer's own deaths below: their tests run again without leak
  # checks, and every other report still fails the stage.
  local real="" foreign=0 f
  for f in $(grep -L "$lsan_fatal" "$logs"/* 2>/dev/null || true); do
    if grep -q "ERROR: LeakSanitizer: detected memory leaks" "$f" && ! grep -q "ERROR: AddressSanitizer\|runtime error" "$f" &&
       ! grep -qE "$PWD/|build-asan/" "$f"; then
      echo "--- leak inside Qt only, not in this program's code: $f"
      cat "$f"
      foreign=$((foreign + 1))
    else
      real="$real $f"
    fi
  done
  if [ -n "$real" ]; then
    echo "sanitizer reports:"
    for f in $real; do echo "--- $f"; cat "$f"; done
    return 1
  fi
  if [ "$rc" -ne 0 ]; then
    local fatal failed
    # (grep finds nothing when the only deaths are Qt's own leaks: not an error.)
    fatal=$(( $(grep -l "$lsan_fatal" "$logs"/* 2>/dev/null | wc -l || true) + foreign ))
    failed=$(grep -c . build-asan/Testing/Temporary/LastTestsFailed.log || true)
    # Only when every failure can be one of LeakSanitizer's own deaths are
    # the failed tests run once more, without the leak check.
    if [ "$fatal" -ge 1 ] && [ "$failed" -le "$fatal" ]; then
      echo "$failed failed test(s) after $fatal LeakSanitizer fatal error(s); running them again without leak checks"
      ASAN_OPTIONS=detect_leaks=0:log_path=$logs/rerun-asan \
        dbus-run-session -- ctest --test-dir build-asan --output-on-failure --rerun-failed --timeout 600
      if ls "$logs"/rerun-* >/dev/null 2>&1; then cat "$logs"/rerun-*; return 1; fi
      return 0
    fi
    return "$rc"
  fi
}

thread() {
  cmake -S . -B build-tsan -G Ninja -DLINVARO_TSAN=ON -DCMAKE_BUILD_TYPE=Sanitize \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags"
  cmake --build build-tsan -j2 --target linvaro_thread_tests
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
  dbus-run-session -- ctest --test-dir build-tsan --output-on-failure -j2 --timeout 600 -L threads
}

case $what in
  address) address ;;
  thread) thread ;;
  all) address; thread ;;
  *) echo "usage: $0 [address|thread|all]" >&2; exit 2 ;;
esac

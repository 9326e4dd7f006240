"""Two copies of one program file started at the same instant, 20 times,
each from another environment of the same user (another TMPDIR; a runtime
folder variable set in one of them): every time exactly one runs and the
other says "already running" and ends. `linvaro --exit` from a bare
environment reaches the copy that runs; the running copy keeps answering
its clients meanwhile.

    double_start_test.py PROGRAM-FOLDER
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Checks, Home, Linvaro, StatusProbe, wait_until  # noqa: E402

TRIES = 20
READY = "OPC Data Access module initialized."


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()
    home = Home()
    runtime = os.path.join(home.path, "runtime")
    os.mkdir(runtime, 0o700)  # private, as a runtime folder is
    for name in ("tmp-a", "tmp-b", "tmp-c"):
        os.mkdir(os.path.join(home.path, name))
    environments = [home.env(TMPDIR=os.path.join(home.path, "tmp-a")),
                    home.env(TMPDIR=os.path.join(home.path, "tmp-b"), XDG_RUNTIME_DIR=runtime)]
    single = 0
    survivor = None
    for attempt in range(TRIES):
        order = environments if attempt % 2 == 0 else environments[::-1]
        copies = [Linvaro(program, home, env=env) for env in order]
        settled = wait_until(lambda: sum(not c.alive() for c in copies) >= 1 and
                             any(c.alive() and READY in c.log() for c in copies), 10)
        running = [c for c in copies if c.alive()]
        refused = [c for c in copies if not c.alive()]
        said = len(refused) == 1 and wait_until(lambda: b"already running" in refused[0].stderr, 5)
        if settled and len(running) == 1 and said and refused[0].process.returncode == 1:
            single += 1
        else:
            print("try %d: %d running, exit codes %s" % (attempt + 1, len(running),
                                                       [c.process.poll() for c in copies]), flush=True)
        if attempt == TRIES - 1 and len(running) == 1:
            survivor = running[0]
            break
        for c in running:
            checks.check(c.stop() == 0, "try %d: the running copy ends with exit code 0 on SIGTERM" % (attempt + 1))
    checks.check(single == TRIES, "%d of %d simultaneous double starts left exactly one copy" % (single, TRIES))

    if checks.check(survivor is not None, "a copy runs after the last try"):
        probe = StatusProbe(env=environments[0])
        # A third start while clients call: refused, the running copy undisturbed.
        third = subprocess.run([program, "--headless", "--home", home.path], env=environments[1],
                               capture_output=True, timeout=30)
        checks.check(third.returncode == 1 and b"already running" in third.stderr, "a third start is refused")
        time.sleep(1.0)  # the probe keeps calling meanwhile
        calls, failures, max_ms = probe.finish()
        checks.check(calls > 10 and failures == 0, "the probe got %d answers, %d failures" % (calls, failures))
        checks.check(max_ms < 100, "longest GetStatus round trip %.1f ms (< 100 ms)" % max_ms)
        # --exit from an environment that has nothing of the user's session.
        bare = {"PATH": "/usr/bin:/bin", "TMPDIR": os.path.join(home.path, "tmp-c")}
        sent = subprocess.run([program, "--exit"], env=bare, capture_output=True, timeout=30)
        checks.check(sent.returncode == 0, "--exit from a bare environment reached the running copy (%r)" % sent.stderr)
        checks.check(wait_until(lambda: not survivor.alive(), 15) and survivor.process.returncode == 0,
                     "the running copy closed on the Exit message with exit code 0")
        survivor.stop()
    shutil.rmtree(home.path, ignore_errors=True)
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

"""Bus activation without creation: on a bus of its own that reads the
case's activation files, `gdbus introspect` against the class's bus name
makes the bus start linvaro -Embedding; no client creates a server object,
so that copy ends after its grace time (10 s) instead of holding the single
instance for good, and a normal start works afterwards. The started copy
uses the home it was registered with (-regserver --home), and a class the
program does not serve on the bus is refused at once.

    bus_activation_test.py PROGRAM-FOLDER
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import DA2_NAME, Checks, Home, Linvaro, StatusProbe, wait_until  # noqa: E402

import dbus  # noqa: E402  (python3-dbus, a Debian package)

GRACE_S = 10
READY = "OPC Data Access module initialized."


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1].startswith("Z")
    except OSError:
        return True


def main():
    folder = sys.argv[1]
    program = os.path.join(folder, "linvaro")
    checks = Checks()
    home = Home()
    env = home.env()
    registered = subprocess.run([program, "-regserver", "--home", home.path], env=env, capture_output=True, timeout=30)
    checks.check(registered.returncode == 0, "-regserver --home ends with 0 (%r)" % registered.stderr)

    # The bus reads the activation files of the case's data folder.
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env,
                              stdout=subprocess.PIPE, text=True)
    activated = None
    try:
        address = daemon.stdout.readline().strip()
        env = home.env(DBUS_SESSION_BUS_ADDRESS=address)
        bus = dbus.bus.BusConnection(address)

        started = time.monotonic()
        out = subprocess.run(["gdbus", "introspect", "--session", "--dest", DA2_NAME, "--object-path", "/"], env=env,
                             capture_output=True, text=True, timeout=60)
        checks.check(out.returncode == 0 and "opc.IClassFactory" in out.stdout,
                     "introspection started the server by bus activation")
        if bus.name_has_owner(DA2_NAME):
            activated = int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                              "GetConnectionUnixProcessID", "s", (DA2_NAME,)))
        if checks.check(activated is not None, "the started copy owns the class's name"):
            with open("/proc/%d/cmdline" % activated, "rb") as f:
                args = f.read().split(b"\0")
            checks.check(b"-Embedding" in args and args[args.index(b"--home") + 1] == home.path.encode()
                         if b"--home" in args else False,
                         "the bus started it with -Embedding and the registered home (%r)" % args)

            # While it waits for a creation that never comes, it answers.
            worst = 0.0
            while bus.name_has_owner(DA2_NAME) and time.monotonic() - started < GRACE_S + 15:
                begin = time.monotonic()
                try:
                    bus.get_object(DA2_NAME, "/", introspect=False).Introspect(
                        dbus_interface="org.freedesktop.DBus.Introspectable", timeout=5)
                    worst = max(worst, (time.monotonic() - begin) * 1000.0)
                except dbus.DBusException:
                    break  # it let go of the name between the two calls
                time.sleep(0.05)
            lasted = time.monotonic() - started
            checks.check(wait_until(lambda: process_gone(activated), 5),
                         "the copy no client used ended after %.1f s (grace %d s)" % (lasted, GRACE_S))
            checks.check(GRACE_S - 1 <= lasted <= GRACE_S + 10, "it lasted about the grace time")
            checks.check(worst < 100, "longest introspection round trip meanwhile %.1f ms (< 100 ms)" % worst)

        # A class made only by the server itself has no activation file: its
        # creation is refused at once and starts nothing.
        begin = time.monotonic()
        group = subprocess.run([os.path.join(folder, "linvaro-opc"), "status", "Linvaro.OPCGroup"], env=env,
                               capture_output=True, text=True, timeout=60)
        took = time.monotonic() - begin
        checks.check(group.returncode != 0 and "0x80040154" in group.stderr and took < 5,
                     "creating the group class failed at once with REGDB_E_CLASSNOTREG (%.1f s, %s)"
                     % (took, group.stderr.strip()))
        checks.check(not bus.name_has_owner(DA2_NAME), "and started no copy")

        # The single instance is free again: a normal start runs.
        normal = Linvaro(program, home, env=env)
        checks.check(normal.wait_for_log(READY, 20) and normal.alive(), "a normal start afterwards runs")
        probe = StatusProbe(env=env)
        time.sleep(1.0)  # the probe keeps calling meanwhile
        calls, failures, max_ms = probe.finish()
        checks.check(calls > 10 and failures == 0, "the probe got %d answers, %d failures" % (calls, failures))
        checks.check(max_ms < 100, "longest GetStatus round trip %.1f ms (< 100 ms)" % max_ms)
        checks.check(normal.stop() == 0, "the normal copy ends with exit code 0 on SIGTERM")
    finally:
        if activated and not process_gone(activated):
            os.kill(activated, 9)
        daemon.terminate()
        daemon.wait(10)
        shutil.rmtree(home.path, ignore_errors=True)
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

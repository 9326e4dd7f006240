"""A client killed (SIGKILL) in the middle of its calls, three times over:
each time it holds 20 server objects with groups and is making calls,
large ones (served in slices) among them, some still unanswered. Every
reference it held goes with it (the 31 server objects can all be made again
afterwards), a reading client goes on getting its values, and no call waits.

    killed_client_test.py PROGRAM_FOLDER
"""
import os
import random
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import finish_case, DA2_NAME, IID_IOPCServer, Checks, Home, Linvaro, Pty, StatusProbe, port_row, wait_until  # noqa: E402
from clients import ChildClient  # noqa: E402

IID_IOPCItemMgt = "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"
SERVERS = 20


def client_main():
    """The client to be killed: servers, groups, items and calls, round
    after round, printing "round N" after each."""
    import dbus
    bus = dbus.SessionBus()
    factory = bus.get_object(DA2_NAME, "/")
    groups = []
    n = 0
    while True:
        n += 1
        if len(groups) < SERVERS:
            hr, path = factory.CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory")
            if hr != 0:
                print("failed CreateInstance %08x" % (hr & 0xFFFFFFFF), flush=True)
                return 1
            server = bus.get_object(DA2_NAME, path)
            hr, _, _, gpath = server.AddGroup("g", 1, 10, 1, dbus.Array([], "i"), dbus.Array([], "d"), 0x409,
                                               IID_IOPCItemMgt, dbus_interface="opc.IOPCServer")
            groups.append(bus.get_object(DA2_NAME, gpath))
        group = groups[n % len(groups)]
        count = 3000 if n % 3 == 0 else 50
        defs = dbus.Array([("", "P1_COM1", 1, k, 0, dbus.ByteArray(b""), 0, 0) for k in range(count)],
                          signature="(ssiuuayqq)")
        hr, results, _ = group.AddItems(count, defs, dbus_interface="opc.IOPCItemMgt")
        handles = dbus.Array([r[0] for r in results], "u")
        group.Read(1, len(handles), handles, dbus_interface="opc.IOPCSyncIO")
        # Left unanswered on purpose: the kill comes while they are served.
        group.SetActiveState(len(handles), handles, 0, dbus_interface="opc.IOPCItemMgt", ignore_reply=True)
        group.AddItems(count, defs, dbus_interface="opc.IOPCItemMgt", ignore_reply=True)
        print("round %d" % n, flush=True)


def server_objects_left(env):
    """How many server objects a fresh client can still make (up to 31)."""
    script = ("import dbus\nbus = dbus.SessionBus()\nf = bus.get_object(%r, '/')\nn = 0\n"
              "while n < 31:\n    hr, p = f.CreateInstance(%r, dbus_interface='opc.IClassFactory')\n"
              "    if hr != 0:\n        break\n    n += 1\nprint(n)\n") % (DA2_NAME, IID_IOPCServer)
    out = subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True, text=True, env=env, timeout=60)
    return int(out.stdout.strip() or -1)


def main():
    folder = sys.argv[1]
    checks = Checks()
    pty = Pty()
    home = Home(rows=[port_row(1, "P1", "COM1")], devices={"COM1": pty.path})
    linvaro = Linvaro(os.path.join(folder, "linvaro"), home)
    reader = probe = None
    rng = random.Random(17)
    try:
        checks.check(linvaro.wait_for_log('Port "P1" started!', 20), "the port starts")
        reader = ChildClient(folder, "P1_COM1", "serve", 1, 10, env=home.env())
        checks.check(reader.ready(), "the reading client is set up")
        probe = StatusProbe(env=home.env())
        for attempt in range(3):
            victim = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "--client"],
                                      stdout=subprocess.PIPE, text=True, env=home.env())
            rounds = rng.randint(SERVERS + 2, SERVERS + 10)
            seen = 0
            while seen < rounds:
                line = victim.stdout.readline()
                if not line or line.startswith("failed"):
                    break
                seen += 1
            checks.check(seen == rounds, "killed client %d made %d rounds of calls" % (attempt + 1, seen))
            time.sleep(rng.uniform(0.0, 0.05))
            victim.send_signal(signal.SIGKILL)
            victim.wait()
            victim.stdout.close()
            value = "K%d" % attempt
            pty.write((value + "\r").encode())
            checks.check(wait_until(lambda: reader.values() and reader.values()[-1] == value, 5),
                         "the reading client got %s after the kill" % value)
        # The killed clients' 60 server objects are gone: all slots but the
        # probe's and the reader's are free again.
        left = 0
        for _ in range(50):
            left = server_objects_left(home.env())
            if left == 29:
                break
            time.sleep(0.1)
        checks.check(left == 29, "29 server objects can be made again (got %d)" % left)
        checks.check(linvaro.alive(), "linvaro is still running")
    finally:
        finish_case(checks, linvaro, probe, (reader,), [pty])
    return checks.exit_code()


if __name__ == "__main__":
    if sys.argv[1:] == ["--client"]:
        sys.exit(client_main())
    sys.exit(main())

"""A client that stops reading (SIGSTOP) with 100 groups at 10 ms, beside one
that reads: what the bus holds for the frozen client stays at linvaro's
per-client bound, the frozen client is dropped with one log line after the
configured stall time, and the reading client gets every value on time.

    frozen_client_test.py PROGRAM_FOLDER
"""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import finish_case, Checks, Home, Linvaro, Pty, StatusProbe, port_row, wait_until  # noqa: E402
from clients import ChildClient, bus_name_of_pid, queued_bytes  # noqa: E402

BOUND = 256 * 1024
STALL_S = 6
PAD = "x" * 200


def main():
    folder = sys.argv[1]
    checks = Checks()
    pty = Pty()
    home = Home(rows=[port_row(1, "P1", "COM1")], devices={"COM1": pty.path},
                ini_text="[OPC Server]\nClientBacklogBytes=%d\nClientStallSeconds=%d\n" % (BOUND, STALL_S))
    linvaro = Linvaro(os.path.join(folder, "linvaro"), home)
    frozen = reader = probe = None
    try:
        checks.check(linvaro.wait_for_log('Port "P1" started!', 20), "the port starts")
        import dbus
        bus = dbus.SessionBus()
        checks.check(wait_until(lambda: bus.name_has_owner("opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8"), 10),
                     "linvaro serves on the bus")
        probe = StatusProbe(env=home.env())
        reader = ChildClient(folder, "P1_COM1", "serve", 1, 10, env=home.env())
        checks.check(reader.ready(), "the reading client is set up")
        frozen = ChildClient(folder, "P1_COM1", "stop", 100, 10, env=home.env())
        checks.check(frozen.ready(), "the frozen client is set up")
        checks.check(wait_until(frozen.stopped, 10), "the frozen client stopped reading")
        frozen_name = bus_name_of_pid(bus, frozen.process.pid)
        checks.check(frozen_name is not None, "the frozen client's bus name is known")

        # Values at 100 per second, each 200 characters long, for 1.5 times
        # the stall time.
        fed = []
        begin = time.monotonic()
        n = 0
        while time.monotonic() - begin < STALL_S * 1.5:
            n += 1
            value = "S%06d %s" % (n, PAD)
            pty.write((value + "\r").encode())
            fed.append(value)
            time.sleep(0.01)
        stats = queued_bytes(bus, frozen_name)
        if stats is None:
            print("note  the bus keeps no statistics: the queue of the frozen client is not measured")
        else:
            checks.check(stats[1] <= BOUND + 512 * 1024,
                         "the bus held at most %d bytes for the frozen client (bound %d)" % (stats[1], BOUND))
        drop = "OPC client %s" % frozen_name
        checks.check(linvaro.wait_for_log(drop, 10), "the frozen client is dropped with a log line naming it")
        checks.check(linvaro.log().count(drop) == 1, "one line")
        checks.check(wait_until(lambda: reader.values() and reader.values()[-1] == fed[-1], 5),
                     "the reading client got the last value")
        got = [v for v in reader.values() if v.startswith("S")]
        seqs = [int(v[1:7]) for v in got]
        checks.check(all(a < b for a, b in zip(seqs, seqs[1:])), "its values came in order, none twice")
        checks.check(all(v in fed for v in got), "all of them values of its port")
        checks.check(len(got) >= len(fed) * 0.5,
                     "it got %d of %d values at 10 ms, the rest superseded within a period" % (len(got), len(fed)))
    finally:
        finish_case(checks, linvaro, probe, (frozen, reader), [pty])
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

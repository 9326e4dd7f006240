"""A group of 100,000 items served while two ports are fed at the byte rate
of 115200 baud: AddItems, Read, SetActiveState and RemoveItems of all
100,000 handles, one call each, from a client in another process. Every
line fed reaches linvaro, in order (its activity log lists every received
chunk in hex), nothing is refused by a port's line, every call succeeds
for every entry, and the server keeps answering others meanwhile.

    large_group_test.py PROGRAM_FOLDER
"""
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile"))
from harness import finish_case, DA2_NAME, IID_IOPCServer, Checks, Home, Linvaro, Pty, StatusProbe, port_row  # noqa: E402

ITEMS = 100000
PORTS = 2
IID_IOPCItemMgt = "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"
# A received chunk's log line; one longer than the log's line bound keeps its
# head and says how many bytes it left out.
CHUNK = re.compile(r'String \(HEX: ([0-9A-F ]*)(?:\) received from port "P(\d+)"\.| \[\.\.\. (\d+) more bytes cut\])')
TAIL = ') received from port "P1".'


class Feeder(threading.Thread):
    """16-byte lines "P<n> <seq>" at 11520 bytes/s a port; what a line does
    not take at once is lost."""

    def __init__(self, ptys):
        super().__init__(daemon=True)
        self.ptys = ptys
        self.stop = threading.Event()
        self.sent = 0
        self.lost = 0
        for p in ptys:
            os.set_blocking(p.master, False)

    def run(self):
        begin = time.monotonic()
        while not self.stop.is_set():
            due = int((time.monotonic() - begin) * 11520 / 16)
            while self.sent < due:
                for n, p in enumerate(self.ptys, 1):
                    line = ("P%d %011d\r" % (n, self.sent)).encode()
                    try:
                        written = os.write(p.master, line)
                    except BlockingIOError:
                        written = 0
                    self.lost += len(line) - written
                self.sent += 1
            time.sleep(0.005)


def stored_stream(log, port):
    """What the log shows port `port` received, in order: the bytes of each
    chunk, None for each byte a cut line left out. A cut line's port is the
    one its lines name."""
    stream = []
    for m in CHUNK.finditer(log):
        hexes, cut = m.group(1), m.group(3)
        if cut is None:
            if int(m.group(2)) == port:
                stream.extend(bytes.fromhex(hexes))
            continue
        whole = len(hexes) + int(cut) - len(TAIL)  # hex text "XX XX ... XX"
        kept = bytes.fromhex(hexes[:len(hexes) // 3 * 3])
        if b"P%d " % port not in kept:
            continue
        stream.extend(kept)
        stream.extend([None] * ((whole + 1) // 3 - len(kept)))
    return stream


def matches(stream, expected):
    return len(stream) == len(expected) and all(b is None or b == e for b, e in zip(stream, expected))


def main():
    folder = sys.argv[1]
    checks = Checks()
    ptys = [Pty() for _ in range(PORTS)]
    home = Home(rows=[port_row(n, "P%d" % n, "COM%d" % n, BAUD_RATE="115200") for n in range(1, PORTS + 1)],
                devices={"COM%d" % n: p.path for n, p in enumerate(ptys, 1)})
    linvaro = Linvaro(os.path.join(folder, "linvaro"), home)
    feeder = probe = None
    try:
        checks.check(linvaro.wait_for_log("All enabled ports successfully started!", 20), "the ports start")
        import dbus
        bus = dbus.SessionBus()
        probe = StatusProbe(env=home.env())
        feeder = Feeder(ptys)
        feeder.start()
        hr, path = bus.get_object(DA2_NAME, "/").CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory")
        server = bus.get_object(DA2_NAME, path)
        hr, _, _, gpath = server.AddGroup("large", 1, 100, 1, dbus.Array([], "i"), dbus.Array([], "d"), 0x409,
                                          IID_IOPCItemMgt, dbus_interface="opc.IOPCServer")
        group = bus.get_object(DA2_NAME, gpath)
        defs = dbus.Array([("", "P%d_COM%d" % (k % PORTS + 1, k % PORTS + 1), 1, k, 0, dbus.ByteArray(b""), 0, 0)
                           for k in range(ITEMS)], signature="(ssiuuayqq)")
        hr, results, errors = group.AddItems(ITEMS, defs, dbus_interface="opc.IOPCItemMgt", timeout=120)
        checks.check(hr == 0 and len(results) == ITEMS and not any(errors), "AddItems of %d items" % ITEMS)
        handles = dbus.Array([r[0] for r in results], "u")
        checks.check(len(set(handles)) == ITEMS, "every item has its own handle")
        hr, states, errors = group.Read(1, ITEMS, handles, dbus_interface="opc.IOPCSyncIO", timeout=120)
        checks.check(hr == 0 and len(states) == ITEMS and not any(errors), "Read of %d handles" % ITEMS)
        checks.check(all(s[0] == k for k, s in enumerate(states)), "each state carries its item's client handle")
        checks.check(all(str(s[4][1]).startswith("P%d " % (k % PORTS + 1)) or str(s[4][1]) == ""
                         for k, s in enumerate(states)), "each value is one of its own port")
        for active in (0, 1):
            hr, errors = group.SetActiveState(ITEMS, handles, active, dbus_interface="opc.IOPCItemMgt", timeout=120)
            checks.check(hr == 0 and not any(errors), "SetActiveState(%d) of %d handles" % (active, ITEMS))
        hr, errors = group.RemoveItems(ITEMS, handles, dbus_interface="opc.IOPCItemMgt", timeout=120)
        checks.check(hr == 0 and not any(errors), "RemoveItems of %d handles" % ITEMS)
        time.sleep(0.5)
        feeder.stop.set()
        feeder.join()
        checks.check(feeder.lost == 0, "no port's line refused a byte (%d lost)" % feeder.lost)
        for n in range(1, PORTS + 1):
            want = b"".join(b"P%d %011d\r" % (n, s) for s in range(feeder.sent))
            ok = False
            for _ in range(100):
                got = stored_stream(linvaro.log(), n)
                ok = matches(got, want)
                if ok:
                    break
                time.sleep(0.05)
            checks.check(ok, "port %d stored all %d bytes in order (%d seen)" % (n, len(want), len(got)))
        server.Release(dbus_interface="opc.IUnknown")
    finally:
        if feeder and feeder.is_alive():
            feeder.stop.set()
            feeder.join()
        # A functional bound on a shared, loaded machine; the benchmark
        # measures the real figure.
        finish_case(checks, linvaro, probe, (), ptys, max_ms=500.0)
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Every byte value through a port to an OPC client on the bus and back: a
device sends 0x01..0xFF, a client reads one character per byte (ISO 8859-1,
the default port text rule), writes the same text back, and the device gets
its bytes again, byte-exact. A NUL inside a received string reaches a D-Bus
client as the text before it (docs/dbus-api.md). The main thread keeps
answering throughout.

    port_bytes_test.py PROGRAM_FOLDER
"""
import os
import sys

import dbus

from harness import Checks, Home, Linvaro, Pty, StatusProbe, port_row, wait_until, DA2_NAME, IID_IOPCServer

IID_IOPCItemMgt = "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"
VT_BSTR = 8


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()
    device, nul_device = Pty(), Pty()
    # Terminated by byte 0, so that every byte 0x01..0xFF can be inside one
    # string; no suffix, so that a write comes back exactly as written.
    home = Home(rows=[port_row(1, "Bytes", "COM1", NULL_TERMINATED=0),
                      port_row(2, "Nul", "COM2", NULL_TERMINATED=13)],
                devices={"COM1": device.path, "COM2": nul_device.path})
    linvaro = Linvaro(program, home)
    probe = None
    try:
        checks.check(linvaro.wait_for_log('Port "Nul" started!', 15), "both ports start")
        probe = StatusProbe(env=home.env())
        checks.check(probe.wait_ready(), "the status probe is answered")
        bus = dbus.SessionBus()
        factory = bus.get_object(DA2_NAME, "/")
        hr, path = factory.CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory")
        server = bus.get_object(DA2_NAME, path)
        hr, _, _, group_path = server.AddGroup("bytes", 1, dbus.UInt32(10), dbus.UInt32(1),
                                               dbus.Array([], signature="i"), dbus.Array([], signature="d"),
                                               dbus.UInt32(0x400), IID_IOPCItemMgt, dbus_interface="opc.IOPCServer")
        checks.check(hr == 0, "a client adds a group")
        group = bus.get_object(DA2_NAME, group_path)
        items = dbus.Array([dbus.Struct(("", name, 1, dbus.UInt32(i), dbus.UInt32(0), dbus.Array([], signature="y"),
                                         dbus.UInt16(VT_BSTR), dbus.UInt16(0)), signature="ssiuuayqq")
                            for i, name in enumerate(("Bytes_COM1", "Nul_COM2"))], signature="(ssiuuayqq)")
        hr, results, errors = group.AddItems(dbus.UInt32(2), items, dbus_interface="opc.IOPCItemMgt")
        checks.check(hr == 0 and list(errors) == [0, 0], "and both ports' tags")
        handles = [dbus.UInt32(int(r[0])) for r in results]

        def read(index):
            hr, states, _ = group.Read(dbus.UInt32(1), dbus.UInt32(1), dbus.Array([handles[index]], signature="u"),
                                       dbus_interface="opc.IOPCSyncIO")
            return str(states[0][4][1]) if hr == 0 else None

        sent = b"A" + bytes(range(1, 256)) + b"Z"
        device.write(sent + b"\0")
        checks.check(wait_until(lambda: (read(0) or "").startswith("A"), 10), "the string reaches the tag")
        text = read(0) or ""
        checks.check([ord(c) for c in text] == list(sent),
                     "every byte is one character of the same code (got %d characters)" % len(text))

        hr, errors = group.Write(dbus.UInt32(1), dbus.Array([handles[0]], signature="u"),
                                 dbus.Array([dbus.Struct((dbus.UInt16(VT_BSTR), dbus.String(text, variant_level=1)),
                                                         signature="qv")], signature="(qv)"),
                                 dbus_interface="opc.IOPCSyncIO")
        checks.check(hr == 0 and list(errors) == [0], "the client writes the text back")
        checks.check(device.read_until(lambda got: len(got) >= len(sent), 10) and device.received == sent,
                     "the device gets its own bytes again (got %d bytes, first differing at %s)" % (
                         len(device.received),
                         next((i for i, (a, b) in enumerate(zip(device.received, sent)) if a != b), "none")))

        nul_device.write(b"AB\0CD\r")
        checks.check(linvaro.wait_for_log("String (HEX: 41 42 00 43 44 0D ) received", 10),
                     "the string with a NUL is received whole")
        checks.check(wait_until(lambda: read(1) == "AB", 10), "a D-Bus client gets the text before the NUL")

        calls, failures, worst = probe.finish()
        probe = None
        checks.check(calls > 0 and failures == 0, "the status probe was answered (%d calls, %d failures)" % (
            calls, failures))
        checks.check(worst < 100, "GetStatus never took 100 ms (longest %.1f ms)" % worst)
    finally:
        if probe:
            probe.finish()
        code = linvaro.stop()
        checks.check(code == 0, "linvaro ends with exit code 0 on SIGTERM (got %s)" % code)
        device.close()
        nul_device.close()
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

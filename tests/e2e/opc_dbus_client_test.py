#!/usr/bin/python3
"""An OPC client written against the D-Bus mapping alone (python3-dbus), not
our own client library: it checks that linvaro's bus API follows the mapping
rule. It runs linvaro headless on a pseudo-terminal "scale" and acts as a
client on the session bus: create the server, status, group, items, write,
read, a data-change sink and a shutdown sink.

usage: opc_dbus_client_test.py PATH-TO-linvaro
"""
import os
import pty
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import tty

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DA2_NAME = "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8"
IID_IOPCServer = "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
IID_IOPCItemMgt = "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"
IID_IOPCDataCallback = "{39C13A70-011E-11D0-9675-0020AFD8ADB3}"
IID_IOPCShutdown = "{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"
IID_IUnknown = "{00000000-0000-0000-C000-000000000046}"
VT_BSTR = 8

failures = []
passes = []


def check(condition, what):
    if condition:
        passes.append(what)
        print("ok   ", what)
    else:
        print("FAIL ", what)
        failures.append(what)


def pump(until, seconds):
    """Runs the GLib loop until until() holds or the deadline passes."""
    deadline = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while not until() and time.monotonic() < deadline:
        context.iteration(False)
        time.sleep(0.005)
    return until()


class Sink(dbus.service.Object):
    """A client's sink object: IUnknown, IOPCDataCallback and IOPCShutdown."""

    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.path = path
        self.changes = []
        self.reads = []
        self.cancels = []
        self.shutdowns = []

    @dbus.service.method("opc.IUnknown", in_signature="s", out_signature="io")
    def QueryInterface(self, riid):
        if riid.upper() in (IID_IUnknown, IID_IOPCDataCallback, IID_IOPCShutdown):
            return 0, dbus.ObjectPath(self.path)
        return -2147467262, dbus.ObjectPath("/")  # E_NOINTERFACE

    @dbus.service.method("opc.IUnknown", in_signature="", out_signature="u")
    def AddRef(self):
        return 1

    @dbus.service.method("opc.IUnknown", in_signature="", out_signature="u")
    def Release(self):
        return 1

    @dbus.service.method("opc.IOPCDataCallback", in_signature="uuiiuaua(qv)aqatai", out_signature="i")
    def OnDataChange(self, transid, group, quality, error, count, handles, values, qualities, stamps, errors):
        self.changes.append((int(group), [int(h) for h in handles], [(int(v[0]), v[1]) for v in values],
                             [int(q) for q in qualities], int(transid)))
        return 0

    @dbus.service.method("opc.IOPCDataCallback", in_signature="uuiiuaua(qv)aqatai", out_signature="i")
    def OnReadComplete(self, transid, group, quality, error, count, handles, values, qualities, stamps, errors):
        self.reads.append((int(transid), [(int(v[0]), v[1]) for v in values]))
        return 0

    @dbus.service.method("opc.IOPCDataCallback", in_signature="uuiuauai", out_signature="i")
    def OnWriteComplete(self, transid, group, error, count, handles, errors):
        return 0

    @dbus.service.method("opc.IOPCDataCallback", in_signature="uu", out_signature="i")
    def OnCancelComplete(self, transid, group):
        self.cancels.append(int(transid))
        return 0

    @dbus.service.method("opc.IOPCShutdown", in_signature="s", out_signature="i")
    def ShutdownRequest(self, reason):
        self.shutdowns.append(str(reason))
        return 0


def provision(home, device):
    db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
    db.execute("CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, "
               "FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, "
               "NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, "
               "AUTO_SUFFIX)")
    db.execute("INSERT INTO PORT_SETTING VALUES (1,'Scale','COM5','9600','8','None','1','None','','','','',"
               "0,13,'',0,'',100,0,?)", ("\r\n",))
    db.commit()
    db.close()
    with open(os.path.join(home, "Linvaro.ini"), "w") as ini:
        ini.write("[Serial Ports]\nCOM5=%s\n" % device)


def read_device(fd, count, seconds):
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            data += os.read(fd, 4096)
    return data


def main():
    program = sys.argv[1]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    home = tempfile.mkdtemp(prefix="linvaro-dbus-")
    master, slave = pty.openpty()
    tty.setraw(master)
    provision(home, os.ttyname(slave))
    # The slave stays open here too, so that reading the master never sees a
    # hung-up line while linvaro has not opened the device yet.
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=os.path.join(home, "state"),
               XDG_DATA_HOME=os.path.join(home, "data"), LINVARO_REGISTRY_ROOT=os.path.join(home, "registry"))
    server = subprocess.Popen([program, "--headless", "--home", home], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, text=True)
    try:
        started = pump(lambda: bus.name_has_owner(DA2_NAME), 10)
        check(started, "linvaro owns the bus name of its class ID")
        if not started:
            return
        log = ""
        deadline = time.monotonic() + 10
        while 'Port "Scale" started!' not in log and time.monotonic() < deadline:
            ready, _, _ = select.select([server.stdout], [], [], 0.1)
            if ready:
                log += server.stdout.readline()
        check('Port "Scale" started!' in log, "the port starts two seconds after start-up")
        factory = bus.get_object(DA2_NAME, "/")
        hr, server_path = factory.CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory")
        check(hr == 0, "IClassFactory.CreateInstance gives S_OK")
        srv = bus.get_object(DA2_NAME, server_path)

        hr, status = srv.GetStatus(dbus_interface="opc.IOPCServer")
        check(hr == 0 and int(status[3]) == 1, "GetStatus: running")
        check(str(status[10]) == "Quorbel", "GetStatus: vendor text")

        hr, hgroup, rate, group_path = srv.AddGroup("g1", 1, dbus.UInt32(10), dbus.UInt32(7),
                                                    dbus.Array([], signature="i"), dbus.Array([], signature="d"),
                                                    dbus.UInt32(0x400), IID_IOPCItemMgt,
                                                    dbus_interface="opc.IOPCServer")
        check(hr == 0 and int(hgroup) >= 2 and int(rate) == 10, "AddGroup with rate 10")
        group = bus.get_object(DA2_NAME, group_path)

        items = dbus.Array([dbus.Struct(("", "Scale_COM5", 1, dbus.UInt32(100), dbus.UInt32(0),
                                         dbus.Array([], signature="y"), dbus.UInt16(VT_BSTR), dbus.UInt16(0)),
                                        signature="ssiuuayqq")], signature="(ssiuuayqq)")
        hr, enum_path = srv.BrowseOPCItemIDs(dbus.UInt32(3), "Sc*", dbus.UInt16(0), dbus.UInt32(0),
                                             dbus_interface="opc.IOPCBrowseServerAddressSpace")
        check(hr == 0, "BrowseOPCItemIDs flat with a filter")
        names = bus.get_object(DA2_NAME, enum_path)
        hr, found, fetched = names.Next(dbus.UInt32(10), dbus_interface="opc.IEnumString")
        check([str(n) for n in found] == ["Scale_COM5"] and int(fetched) == 1, "the browse lists the port's tag")
        names.Release(dbus_interface="opc.IUnknown")
        hr, values, errors = srv.GetItemProperties("Scale_COM5", dbus.UInt32(2),
                                                   dbus.Array([dbus.UInt32(1), dbus.UInt32(5)], signature="u"),
                                                   dbus_interface="opc.IOPCItemProperties")
        check(hr == 0 and list(errors) == [0, 0] and int(values[0][1]) == VT_BSTR,
              "item properties: canonical type VT_BSTR")
        check(int(values[1][1]) == 3, "item properties: readable and writable")
        hr, values, errors = srv.GetItemProperties("scale_com5", dbus.UInt32(1), dbus.Array([dbus.UInt32(1)], signature="u"),
                                                   dbus_interface="opc.IOPCItemProperties")
        check(hr != 0, "item IDs are case-sensitive")

        hr, results, errors = group.AddItems(dbus.UInt32(1), items, dbus_interface="opc.IOPCItemMgt")
        check(hr == 0 and list(errors) == [0], "AddItems of the port's tag")
        handle = int(results[0][0])
        check(int(results[0][1]) == VT_BSTR, "canonical type VT_BSTR")

        hr, errors = group.Write(dbus.UInt32(1), dbus.Array([dbus.UInt32(handle)], signature="u"),
                                 dbus.Array([dbus.Struct((dbus.UInt16(VT_BSTR), dbus.String("HELLO", variant_level=1)),
                                                         signature="qv")], signature="(qv)"),
                                 dbus_interface="opc.IOPCSyncIO")
        check(hr == 0, "sync Write")
        check(read_device(master, 7, 5) == b"HELLO\r\n", "the written text reaches the device with its suffix")

        sink = Sink(bus, "/test/sink")
        hr, cp_path = group.FindConnectionPoint(IID_IOPCDataCallback, dbus_interface="opc.IConnectionPointContainer")
        check(hr == 0, "group has the IOPCDataCallback connection point")
        cp = bus.get_object(DA2_NAME, cp_path)
        hr, cookie = cp.Advise(dbus.ObjectPath("/test/sink"), dbus_interface="opc.IConnectionPoint")
        check(hr == 0 and int(cookie) >= 1, "Advise the data-change sink")

        os.write(master, b"12.5\r")
        got = pump(lambda: any(v[1] == "12.5" for c in sink.changes for v in c[2]), 10)
        check(got, "OnDataChange brings the string received on the port")
        if got:
            change = [c for c in sink.changes if any(v[1] == "12.5" for v in c[2])][0]
            check(change[0] == 7 and change[1] == [100], "callback carries the client handles")
            check(change[3] == [192], "quality good")

        hr, states, errors = group.Read(dbus.UInt32(1), dbus.UInt32(1), dbus.Array([dbus.UInt32(handle)], signature="u"),
                                        dbus_interface="opc.IOPCSyncIO")
        check(hr == 0 and str(states[0][4][1]) == "12.5", "sync Read from cache gives the received string")

        hr, cancel_id = group.Refresh2(dbus.UInt32(1), dbus.UInt32(55), dbus_interface="opc.IOPCAsyncIO2")
        check(hr == 0, "Refresh2 is queued")
        # A refresh completes as an OnDataChange carrying its transaction ID.
        refreshed = pump(lambda: any(c[4] == 55 for c in sink.changes), 10)
        check(refreshed and [c for c in sink.changes if c[4] == 55][0][2][0][1] == "12.5",
              "the refresh's OnDataChange carries the current value and the transaction ID")

        hr, cancel_id = group.Refresh2(dbus.UInt32(1), dbus.UInt32(56), dbus_interface="opc.IOPCAsyncIO2")
        hr_cancel = group.Cancel2(cancel_id, dbus_interface="opc.IOPCAsyncIO2")
        if hr_cancel == 0:
            done = pump(lambda: 56 in sink.cancels, 10)
            pump(lambda: False, 0.2)
            check(done and not any(c[4] == 56 for c in sink.changes),
                  "Cancel2 of a queued refresh: OnCancelComplete and no refresh callback")
        else:
            done = pump(lambda: any(c[4] == 56 for c in sink.changes), 10)
            check(done and 56 not in sink.cancels, "a refresh that ran before Cancel2 completes normally")
        check(group.Cancel2(dbus.UInt32(cancel_id), dbus_interface="opc.IOPCAsyncIO2") != 0,
              "Cancel2 of a finished transaction is refused")

        hr, scp_path = srv.FindConnectionPoint(IID_IOPCShutdown, dbus_interface="opc.IConnectionPointContainer")
        scp = bus.get_object(DA2_NAME, scp_path)
        hr, _ = scp.Advise(dbus.ObjectPath("/test/sink"), dbus_interface="opc.IConnectionPoint")
        check(hr == 0, "Advise the shutdown sink")
        server.send_signal(signal.SIGTERM)
        asked = pump(lambda: len(sink.shutdowns) > 0, 10)
        check(asked and sink.shutdowns[0] == "Quorbel Linvaro IOPCShutdown request.",
              "closing linvaro asks the client to shut down")
        server.wait(15)
        check(server.returncode == 0, "linvaro ended cleanly")
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        os.close(master)
        os.close(slave)
    print("python client: %d checks held, %d did not" % (len(passes), len(failures)))


if __name__ == "__main__":
    main()
    sys.exit(1 if failures else 0)

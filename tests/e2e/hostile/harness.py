"""Shared pieces of the hostile end-to-end suite: each case runs the real
linvaro (headless, its own home, registry and XDG folders) against a peer
that misbehaves, while a status probe in another process keeps asking the
server for its status, so that a main thread that stops answering shows as
a long round trip.

    from harness import Checks, Home, Pty, Linvaro, StatusProbe, finish_case

Run as a script (`harness.py probe`) it is the probe itself: it creates a
server object, calls GetStatus every 20 ms until its standard input closes
(printing "ready" after the first answer), then prints
"calls=N failures=F max_ms=M".
"""
import os
import pty
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import tty

DA2_NAME = "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8"
IID_IOPCServer = "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
IID_IOPCItemMgt = "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"
VT_BSTR = 8
COLUMNS = ("ID", "DESCRIPTION", "PORT", "BAUD_RATE", "DATA_BITS", "PARITY", "STOP_BITS", "FLOW_CONTROL",
           "RECEIVED_STRING_TAG", "RECEIVED_FLAG_TAG", "SENT_STRING_TAG", "SENT_FLAG_TAG", "DISABLED",
           "NULL_TERMINATED", "FROM_SUBSTRING", "CONVERT_HEX", "AUTO_SEND_STRING", "AUTO_SEND_INTERVAL",
           "LOGGED", "AUTO_SUFFIX")


def check_probe(checks, probe, max_ms=100.0):
    """The verdict of every case on its status probe: all calls answered,
    none slower than max_ms (100 ms)."""
    calls, failures, worst = probe.finish()
    checks.check(calls > 0 and failures == 0, "the probe's calls all answered (%d calls)" % calls)
    checks.check(worst < max_ms, "GetStatus round trips stayed under %.0f ms (max %.1f ms)" % (max_ms, worst))


class Checks:
    """Collects results; the case's exit code is 1 when any failed."""

    def __init__(self):
        self.failures = []

    def check(self, condition, what):
        print(("ok    " if condition else "FAIL  ") + what, flush=True)
        if not condition:
            self.failures.append(what)
        return condition

    def exit_code(self):
        if self.failures:
            print("%d check(s) failed" % len(self.failures), flush=True)
        return 1 if self.failures else 0


def wait_until(condition, seconds, step=0.02):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class Pty:
    """A pseudo-terminal standing in for a serial device: linvaro opens
    `path`; the case plays the device on the master side (raw mode)."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.received = b""

    def write(self, data):
        view = memoryview(data)
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def read_until(self, condition, seconds):
        """Collects what linvaro sent to the device until condition(bytes)."""
        deadline = time.monotonic() + seconds
        while not condition(self.received) and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    self.received += os.read(self.master, 65536)
                except OSError:
                    break
        return condition(self.received)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def port_row(id_, description, port, **fields):
    """A PORT_SETTING row (column name -> value) with the usual defaults:
    9600 8N1, CR-terminated, enabled, no suffix."""
    row = {"ID": id_, "DESCRIPTION": description, "PORT": port, "BAUD_RATE": "9600", "DATA_BITS": "8",
           "PARITY": "None", "STOP_BITS": "1", "FLOW_CONTROL": "None", "RECEIVED_STRING_TAG": "",
           "RECEIVED_FLAG_TAG": "", "SENT_STRING_TAG": "", "SENT_FLAG_TAG": "", "DISABLED": 0,
           "NULL_TERMINATED": 13, "FROM_SUBSTRING": "", "CONVERT_HEX": 0, "AUTO_SEND_STRING": "",
           "AUTO_SEND_INTERVAL": 100, "LOGGED": 0, "AUTO_SUFFIX": ""}
    row.update(fields)
    return row


class Home:
    """A program folder of its own: LINVARO.GDB with the given rows (column
    types as declared by `types`, default none), Linvaro.ini with the serial
    mapping and any further text, and private XDG and registry folders."""

    def __init__(self, rows=(), devices=None, ini_text="", types=None):
        self.path = tempfile.mkdtemp(prefix="linvaro-hostile-")
        db = sqlite3.connect(os.path.join(self.path, "LINVARO.GDB"))
        decl = ", ".join("%s %s" % (c, (types or {}).get(c, "")) for c in COLUMNS)
        db.execute("CREATE TABLE PORT_SETTING (%s)" % decl)
        for row in rows:
            names = [c for c in COLUMNS if c in row]
            db.execute("INSERT INTO PORT_SETTING (%s) VALUES (%s)" % (", ".join(names), ", ".join("?" * len(names))),
                       [row[c] for c in names])
        db.commit()
        db.close()
        with open(os.path.join(self.path, "Linvaro.ini"), "w") as ini:
            ini.write("[Serial Ports]\n")
            for com, device in (devices or {}).items():
                ini.write("%s=%s\n" % (com, device))
            ini.write(ini_text)

    def env(self, **extra):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.path, "config"),
                   XDG_STATE_HOME=os.path.join(self.path, "state"), XDG_DATA_HOME=os.path.join(self.path, "data"),
                   LINVARO_REGISTRY_ROOT=os.path.join(self.path, "registry"))
        env.update(extra)
        return env


class Linvaro:
    """The real program, headless, in a Home. With read_log the activity log
    (standard output) is collected by a thread; without it nobody reads it."""

    def __init__(self, program, home, args=(), read_log=True, env=None):
        self.stdout_r, stdout_w = os.pipe()
        self.process = subprocess.Popen([program, "--headless", "--home", home.path] + list(args),
                                        stdout=stdout_w, stderr=subprocess.PIPE, env=env or home.env())
        os.close(stdout_w)
        self.lock = threading.Lock()
        self.text = ""
        self.stderr = b""
        threading.Thread(target=self._drain_stderr, daemon=True).start()
        if read_log:
            threading.Thread(target=self._drain_log, daemon=True).start()

    def _drain_log(self):
        while True:
            try:
                data = os.read(self.stdout_r, 65536)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                self.text += data.decode("utf-8", errors="replace")

    def _drain_stderr(self):
        for line in self.process.stderr:
            self.stderr += line

    def log(self):
        with self.lock:
            return self.text

    def wait_for_log(self, needle, seconds, count=1):
        return wait_until(lambda: self.log().count(needle) >= count, seconds)

    def alive(self):
        return self.process.poll() is None

    def stop(self, seconds=15, sig=signal.SIGTERM):
        """Ends the program as a service manager would; its exit code, or
        None when it had to be killed."""
        if self.alive():
            self.process.send_signal(sig)
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None


class StatusProbe:
    """A client in its own process that asks the server for its status every
    20 ms: the longest round trip tells whether the main thread ever stopped
    answering."""

    def __init__(self, env=None):
        # python3-dbus is a Debian package: the system interpreter has it.
        self.process = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "probe"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def wait_ready(self, seconds=15):
        """Waits until the probe's first GetStatus was answered (so that the
        case's faults fall inside what it measures); False when it was not."""
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        return bool(ready) and self.process.stdout.readline().strip() == "ready"

    def finish(self):
        """(calls, failures, max_ms) since the probe started."""
        try:
            out, _ = self.process.communicate(input="", timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return 0, 1, float("inf")
        fields = dict(f.split("=") for f in out.split() if "=" in f)
        return int(fields.get("calls", 0)), int(fields.get("failures", 1)), float(fields.get("max_ms", "inf"))


def finish_case(checks, linvaro, probe=None, children=(), ptys=(), max_ms=100.0):
    """The end every case shares: the probe's figures (no failed call, the
    longest round trip under max_ms), the case's client processes killed
    (objects with kill()), linvaro ended by SIGTERM with exit code 0, the
    devices closed."""
    if probe:
        check_probe(checks, probe, max_ms)
    for child in children:
        if child:
            child.kill()
    rc = linvaro.stop()
    checks.check(rc == 0, "linvaro ends with exit code 0 on SIGTERM (got %s)" % rc)
    for p in ptys:
        p.close()


class TagReader:
    """An OPC client in this process that reads port tags from the server's
    cache by item ID (one group, items added on first use)."""

    def __init__(self):
        import dbus
        self.dbus = dbus
        self.bus = dbus.SessionBus()
        factory = self.bus.get_object(DA2_NAME, "/")
        hr, path = factory.CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory", timeout=10)
        if hr != 0:
            raise RuntimeError("CreateInstance failed: 0x%08x" % (hr & 0xFFFFFFFF))
        self.server = self.bus.get_object(DA2_NAME, path)
        hr, _, _, group_path = self.server.AddGroup("hostile", 1, dbus.UInt32(100), dbus.UInt32(1),
                                                    dbus.Array([], signature="i"), dbus.Array([], signature="d"),
                                                    dbus.UInt32(0x400), IID_IOPCItemMgt,
                                                    dbus_interface="opc.IOPCServer", timeout=10)
        if hr != 0:
            raise RuntimeError("AddGroup failed: 0x%08x" % (hr & 0xFFFFFFFF))
        self.group = self.bus.get_object(DA2_NAME, group_path)
        self.handles = {}

    def read(self, item_id):
        """The tag's current text, or None when the server has no such item."""
        dbus = self.dbus
        if item_id not in self.handles:
            items = dbus.Array([dbus.Struct(("", item_id, 1, dbus.UInt32(len(self.handles) + 1), dbus.UInt32(0),
                                             dbus.Array([], signature="y"), dbus.UInt16(VT_BSTR), dbus.UInt16(0)),
                                            signature="ssiuuayqq")], signature="(ssiuuayqq)")
            hr, results, errors = self.group.AddItems(dbus.UInt32(1), items, dbus_interface="opc.IOPCItemMgt",
                                                      timeout=10)
            if hr != 0 or int(errors[0]) != 0:
                return None
            self.handles[item_id] = int(results[0][0])
        try:
            hr, states, errors = self.group.Read(dbus.UInt32(1), dbus.UInt32(1),
                                                 dbus.Array([dbus.UInt32(self.handles[item_id])], signature="u"),
                                                 dbus_interface="opc.IOPCSyncIO", timeout=2)
        except dbus.DBusException:
            return None  # no answer in time: the main thread is held
        return str(states[0][4][1]) if hr == 0 else None


def _probe_main():
    import dbus
    bus = dbus.SessionBus()
    stop = threading.Event()

    def watch_stdin():
        sys.stdin.read()
        stop.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    calls = failures = 0
    worst = 0.0
    server = None
    while not stop.is_set():
        begin = time.monotonic()
        try:
            if server is None:
                factory = bus.get_object(DA2_NAME, "/")
                hr, path = factory.CreateInstance(IID_IOPCServer, dbus_interface="opc.IClassFactory", timeout=5)
                server = bus.get_object(DA2_NAME, path) if hr == 0 else None
                if server is None:
                    failures += 1
            else:
                hr, _ = server.GetStatus(dbus_interface="opc.IOPCServer", timeout=5)
                if calls == 0:
                    print("ready", flush=True)
                calls += 1
                worst = max(worst, (time.monotonic() - begin) * 1000.0)
                if hr != 0:
                    failures += 1
        except dbus.DBusException:
            failures += 1
            server = None
        stop.wait(0.02)
    print("calls=%d failures=%d max_ms=%.1f" % (calls, failures, worst), flush=True)


if __name__ == "__main__" and sys.argv[1:] == ["probe"]:
    _probe_main()

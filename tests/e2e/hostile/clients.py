"""Client processes for the hostile cases: the project's test client
(dbus_hung_client, beside linvaro in the program folder) in its modes, and a
look at what the bus holds for a connection.

    from clients import ChildClient, bus_name_of_pid, queued_bytes
"""
import os
import signal
import subprocess
import threading
import time

from harness import wait_until


class ChildClient:
    """dbus_hung_client ITEM MODE GROUPS RATE: MODE is hang (its main thread
    never runs again), stop (it stops itself before reading anything more),
    mute (its sink never answers the query for its interface) or serve;
    serving, it prints "data <group>=<value>" per value."""

    def __init__(self, folder, item, mode, groups=1, rate=10, env=None):
        self.process = subprocess.Popen([os.path.join(folder, "dbus_hung_client"), item, mode, str(groups), str(rate)],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        self.lock = threading.Lock()
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", errors="replace").rstrip("\n"))

    def ready(self, seconds=20):
        return wait_until(lambda: any(l == "ready" or l.startswith("failed") for l in self.output()), seconds) and \
            "ready" in self.output()

    def output(self):
        with self.lock:
            return list(self.lines)

    def values(self, group=1):
        prefix = "data %d=" % group
        return [l[len(prefix):] for l in self.output() if l.startswith(prefix)]

    def stopped(self):
        try:
            with open("/proc/%d/stat" % self.process.pid) as f:
                stat = f.read()
        except OSError:
            return False
        return stat[stat.rindex(")") + 2] == "T"

    def signal(self, sig):
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)

    def kill(self):
        self.signal(signal.SIGCONT)
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def bus_name_of_pid(bus, pid, seconds=5):
    """The unique bus name of the connection of process pid."""
    import dbus
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for name in daemon.ListNames(dbus_interface="org.freedesktop.DBus"):
            if not name.startswith(":"):
                continue
            try:
                if daemon.GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus") == pid:
                    return str(name)
            except dbus.DBusException:
                pass
        time.sleep(0.1)
    return None


def queued_bytes(bus, name):
    """(bytes the bus holds for the connection now, the most it held), from
    the bus's own statistics; None when the bus keeps none."""
    import dbus
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    try:
        stats = daemon.GetConnectionStats(name, dbus_interface="org.freedesktop.DBus.Debug.Stats")
    except dbus.DBusException:
        return None
    return int(stats.get("OutgoingBytes", 0)), int(stats.get("PeakOutgoingBytes", 0))

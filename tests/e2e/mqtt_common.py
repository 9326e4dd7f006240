"""Shared by the MQTT end-to-end tests: a real mosquitto on a free loopback
port with a generated configuration, the project's own decoder
(linvaro-sparkplug-dump) capturing every message, the independent npm codec
(tests/interop/sparkplug.js), and linvaro headless on pseudo-terminals."""
import json
import os
import pty
import queue
import select
import shutil
import socket
import sqlite3
import subprocess
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
INTEROP = os.path.join(HERE, "..", "interop")
failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Broker:
    """mosquitto on 127.0.0.1:port, restartable on the same port."""

    def __init__(self, folder, extra="", port=None, head=""):
        self.port = port or free_port()
        self.conf = os.path.join(folder, "mosquitto-%d.conf" % self.port)
        self.log = os.path.join(folder, "mosquitto-%d.log" % self.port)
        self.extra = extra
        self.head = head  # settings that must come before the first listener
        self.proc = None

    def start(self):
        with open(self.conf, "w") as f:
            # Run as root, mosquitto would become user "mosquitto", who cannot
            # read the test's private folder.
            f.write(self.head + ("user root\n" if os.geteuid() == 0 else ""))
            f.write("persistence false\nlistener %d 127.0.0.1\n" % self.port)
            f.write(self.extra if self.extra else "allow_anonymous true\n")
            f.write("log_dest file %s\nlog_type error\nlog_type warning\nlog_type notice\n" % self.log)
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

        def listening():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return True
            except OSError:
                return False

        return wait_until(listening, 10)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def url(self, scheme="tcp"):
        return "%s://127.0.0.1:%d" % (scheme, self.port)


class Dump:
    """linvaro-sparkplug-dump: every message, decoded by the project's own
    codec, with raw payloads kept for the independent decoder."""

    def __init__(self, bin_folder, url, raw_dir, topic="spBv1.0/#", extra=()):
        os.makedirs(raw_dir, exist_ok=True)
        self.raw_dir = raw_dir
        self.proc = subprocess.Popen([os.path.join(bin_folder, "linvaro-sparkplug-dump"), "--broker", url,
                                      "--topic", topic, "--raw", raw_dir] + list(extra),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.messages = []
        self.lines = queue.Queue()
        self.ready = self.proc.stdout.readline().strip() == "subscribed"
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))

    def pump(self):
        while True:
            try:
                self.messages.append(self.lines.get_nowait())
            except queue.Empty:
                return self.messages

    def wait_for(self, predicate, seconds, start=0):
        """The first message from index start on that predicate accepts."""
        found = []

        def look():
            for m in self.pump()[start:]:
                if predicate(m):
                    found.append(m)
                    return True
            return False

        wait_until(look, seconds)
        return found[0] if found else None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        time.sleep(0)
        self.pump()


def npm_decode(raw_dir):
    out = subprocess.run(["node", os.path.join(INTEROP, "sparkplug.js"), "decode", raw_dir], capture_output=True,
                         text=True, timeout=60)
    return [json.loads(line) for line in out.stdout.splitlines()]


def npm_encode(payload, path):
    out = subprocess.run(["node", os.path.join(INTEROP, "sparkplug.js"), "encode", json.dumps(payload)],
                         capture_output=True, timeout=60)
    with open(path, "wb") as f:
        f.write(out.stdout)
    return path


def publish_file(broker, topic, path):
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", topic, "-f", path, "-q", "1"],
                   check=True, timeout=30)


def metrics(message):
    return {m["name"]: m for m in message["payload"]["metrics"]}


def type_of(message):
    return message["topic"].split("/")[2]


class Linvaro:
    """linvaro --headless on pseudo-terminal ports; its activity log read as
    it comes."""

    def __init__(self, bin_folder, home, ports, mqtt_ini, other_ini=""):
        self.bin_folder = bin_folder
        self.home = home
        self.devices = {}
        db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
        db.execute("CREATE TABLE IF NOT EXISTS PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, "
                   "STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, "
                   "DISABLED, NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, "
                   "LOGGED, AUTO_SUFFIX)")
        db.execute("DELETE FROM PORT_SETTING")
        serial = "[Serial Ports]\n"
        for i, (description, suffix) in enumerate(ports, start=1):
            master, slave = pty.openpty()
            tty.setraw(master)
            self.devices[description] = (master, slave)
            db.execute("INSERT INTO PORT_SETTING VALUES (?,?,?,'9600','8','None','1','None','','','','',0,13,'',0,'',"
                       "100,0,?)", (i, description, "COM%d" % i, suffix))
            serial += "COM%d=%s\n" % (i, os.ttyname(slave))
        db.commit()
        db.close()
        self.ini = os.path.join(home, "Linvaro.ini")
        self.serial = other_ini + serial
        self.set_mqtt(mqtt_ini)
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_STATE_HOME=os.path.join(home, "state"), XDG_DATA_HOME=os.path.join(home, "data"),
                        LINVARO_REGISTRY_ROOT=os.path.join(home, "registry"))
        self.proc = None
        self.text = ""

    def set_mqtt(self, mqtt_ini):
        """Replaces the MQTT section (a stored password goes with it)."""
        with open(self.ini, "w") as f:
            f.write(self.serial + mqtt_ini)

    def set_password(self, password):
        r = subprocess.run([os.path.join(self.bin_folder, "linvaro"), "--home", self.home, "--set-mqtt-password"],
                           input=password + "\n", capture_output=True, text=True, env=self.env, timeout=30)
        return r.returncode == 0

    def start(self):
        self.text = ""
        self.proc = subprocess.Popen([os.path.join(self.bin_folder, "linvaro"), "--headless", "--home", self.home],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env)

    def read(self, seconds=0.0):
        deadline = time.monotonic() + seconds
        while True:
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, min(0.05, deadline - time.monotonic())))
            if ready:
                data = os.read(self.proc.stdout.fileno(), 65536)
                if not data:
                    return
                self.text += data.decode(errors="replace")
            elif time.monotonic() >= deadline:
                return

    def wait_log(self, needle, seconds, count=1):
        deadline = time.monotonic() + seconds
        while self.text.count(needle) < count and time.monotonic() < deadline and self.proc.poll() is None:
            self.read(0.05)
        self.read()
        return self.text.count(needle) >= count

    def write(self, description, data):
        os.write(self.devices[description][0], data)

    def read_device(self, description, count, seconds):
        fd = self.devices[description][0]
        data = b""
        deadline = time.monotonic() + seconds
        while len(data) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                data += os.read(fd, 4096)
        return data

    def stop(self, sig=None):
        if self.proc and self.proc.poll() is None:
            if sig is None:
                self.proc.terminate()
            else:
                self.proc.send_signal(sig)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if self.proc:
            self.read()

    def close(self):
        self.stop()
        for master, slave in self.devices.values():
            os.close(master)
            os.close(slave)


def finish(home, broker, dump, gw, *processes):
    """Ends what a test started (whatever step it got to) and gives its exit
    code; the folder stays for a look when something failed."""
    if gw:
        gw.close()
    for p in processes:
        if p and p.poll() is None:
            p.terminate()
            p.wait(10)
    if dump:
        dump.stop()
    broker.kill()
    if not failures:
        shutil.rmtree(home, ignore_errors=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0

#!/usr/bin/python3
"""OPC UA interoperability, end to end: the real linvaro, headless, serves a
"scale" on a pseudo-terminal; node-opcua's client (ua_interop_client.js)
connects over opc.tcp and asks this driver to act as the devices: feed a
string, expect what the port sent, add a port and reload the settings
(SIGHUP), take a device away.

    ua_interop_test.py PATH-TO-linvaro
"""
import json
import os
import pty
import select
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from linvaro_log import Log  # noqa: E402
MARK = "@@linvaro "  # starts the client's request lines
COLUMNS = ("ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, "
           "RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, NULL_TERMINATED, FROM_SUBSTRING, "
           "CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Device:
    """A pseudo-terminal whose slave linvaro opens as COMn."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)

    def read_until(self, expected, seconds):
        data = b""
        deadline = time.monotonic() + seconds
        while expected not in data and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                data += os.read(self.master, 4096)
        return data

    def lose(self):
        for fd in (self.master, self.slave):
            os.close(fd)


def add_row(home, row_id, description, port):
    db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
    db.execute("INSERT INTO PORT_SETTING VALUES (?,?,?,'9600','8','None','1','None','','','','',0,13,'',0,'',100,0,?)",
               (row_id, description, port, "\r\n"))
    db.commit()
    db.close()


def write_ini(home, devices, ua_port):
    with open(os.path.join(home, "Linvaro.ini"), "w") as ini:
        ini.write("[Serial Ports]\n")
        for com, device in devices.items():
            ini.write("%s=%s\n" % (com, device.path))
        ini.write("[OPC UA]\nEnabled=1\nPort=%d\nListen=127.0.0.1\n" % ua_port)


def main():
    program = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-ua-")
    devices = {"COM5": Device()}
    ua_port = free_port()
    db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
    db.execute("CREATE TABLE PORT_SETTING (%s)" % COLUMNS)
    db.commit()
    db.close()
    add_row(home, 1, "Scale", "COM5")
    write_ini(home, devices, ua_port)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=os.path.join(home, "state"),
               XDG_DATA_HOME=os.path.join(home, "data"), LINVARO_REGISTRY_ROOT=os.path.join(home, "registry"))
    server = subprocess.Popen([program, "--headless", "--home", home], stdout=subprocess.PIPE, env=env)
    log = Log(server.stdout)
    failures = 0
    client = None
    try:
        if not log.wait_for("OPC UA endpoint opc.tcp://127.0.0.1:%d ready." % ua_port, 20) or \
                not log.wait_for('Port "Scale" started!', 20):
            print("FAIL  linvaro did not start its OPC UA endpoint and port:\n" + log.text, flush=True)
            return 1
        print("ok    linvaro serves opc.tcp://127.0.0.1:%d" % ua_port, flush=True)
        client = subprocess.Popen(["/usr/bin/node", os.path.join(HERE, "ua_interop_client.js"),
                                   "opc.tcp://127.0.0.1:%d" % ua_port],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=HERE)
        for line in client.stdout:
            if not line.startswith(MARK):
                print(line, end="", flush=True)  # the client library's own log
                continue
            request = json.loads(line[len(MARK):])
            op = request["op"]
            answer = {"ok": True}
            if op == "feed":
                os.write(devices[request["port"]].master, request["data"].encode("latin-1"))
            elif op == "expect":
                got = devices[request["port"]].read_until(request["data"].encode("latin-1"), 10)
                answer = {"ok": got.endswith(request["data"].encode("latin-1")), "got": got.decode("latin-1")}
            elif op == "add_port":
                devices[request["port"]] = Device()
                add_row(home, len(devices), request["description"], request["port"])
                write_ini(home, devices, ua_port)
                loads = log.text.count("Settings loaded.")
                server.send_signal(signal.SIGHUP)
                answer = {"ok": log.wait_for("Settings loaded.", 20, loads + 1) and
                          log.wait_for('Port "%s" started!' % request["description"], 20)}
            elif op == "lose":
                devices.pop(request["port"]).lose()
            else:
                answer = {"ok": False, "error": "unknown op " + op}
            client.stdin.write(json.dumps(answer) + "\n")
            client.stdin.flush()
        failures = client.wait(timeout=30)
        print(("ok    " if failures == 0 else "FAIL  ") + "node-opcua client ended with %d failures" % failures,
              flush=True)
        alive = server.poll() is None
        print(("ok    " if alive else "FAIL  ") + "linvaro is still running", flush=True)
        if not alive:
            failures += 1
    finally:
        if client and client.poll() is None:
            client.kill()
        server.send_signal(signal.SIGTERM)
        try:
            server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            failures += 1
            print("FAIL  linvaro did not end on SIGTERM", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Remote mode end to end on the session bus, with real processes: the
simulated OPC server holds the tags, linvaro runs two ports on
pseudo-terminals in remote mode, and the command-line OPC client plays the
program on the other side of both handshakes.

    remote_mode_test.py BIN_FOLDER
"""
import os
import pty
import re
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import tty

from linvaro_log import Log

PROG_ID = "Linvaro.SimServer.1"
failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


class Opc:
    """Reads and writes the simulated server's tags with linvaro-opc."""

    def __init__(self, bin_folder, env):
        self.tool = os.path.join(bin_folder, "linvaro-opc")
        self.env = env

    def read(self, item):
        out = subprocess.run([self.tool, "read", PROG_ID, item], capture_output=True, text=True, env=self.env,
                             timeout=30).stdout
        m = re.match(r'.* = "(.*)"  quality 0x([0-9A-F]{2})', out, re.S)
        return m.group(1) if m else None

    def write(self, item, text):
        r = subprocess.run([self.tool, "write", PROG_ID, item, text], capture_output=True, text=True, env=self.env,
                           timeout=30)
        return r.returncode == 0

    def elements(self, tag, first, last):
        out = subprocess.run([self.tool, "read", PROG_ID] + ["%s[%d]" % (tag, i) for i in range(first, last + 1)],
                             capture_output=True, text=True, env=self.env, timeout=30).stdout
        return bytes(int(v) for v in re.findall(r'\] = "(\d+)"', out))


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def read_device(fd, seconds):
    data = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            data += os.read(fd, 4096)
    return data


def provision(home, scale, printer):
    db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
    db.execute("CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, "
               "FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, "
               "NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, "
               "AUTO_SUFFIX)")
    db.execute("INSERT INTO PORT_SETTING VALUES (1,'Scale','COM1','9600','8','None','1','None','RecvString',"
               "'RecvFlag','SentString','SentFlag',0,13,'',0,'',100,0,?)", ("\r\n",))
    db.execute("INSERT INTO PORT_SETTING VALUES (2,'Printer','COM2','9600','8','None','1','None','PRecv',"
               "'PRecvFlag','PSent','PSentFlag',0,13,'',0,'',100,0,?)", ("\r",))
    db.commit()
    db.close()
    with open(os.path.join(home, "Linvaro.ini"), "w") as ini:
        ini.write("[System]\nEnable Remote OPC Server=1\nRemote OPC Server=%s\n" % PROG_ID)
        ini.write("[Serial Ports]\nCOM1=%s\nCOM2=%s\n" % (scale, printer))


def main():
    bin_folder = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-remote-")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=os.path.join(home, "state"),
               XDG_DATA_HOME=os.path.join(home, "data"), LINVARO_REGISTRY_ROOT=os.path.join(home, "registry"))
    opc = Opc(bin_folder, env)
    scale, scale_dev = pty.openpty()
    printer, printer_dev = pty.openpty()
    tty.setraw(scale)
    tty.setraw(printer)
    provision(home, os.ttyname(scale_dev), os.ttyname(printer_dev))

    sim = subprocess.Popen([os.path.join(bin_folder, "linvaro-opc-sim"), "--tag", "RecvString:string",
                            "--tag", "RecvFlag:int", "--tag", "SentString:string", "--tag", "SentFlag:int",
                            "--tag", "PRecv:string", "--tag", "PRecvFlag:int", "--tag", "PSent:string",
                            "--tag", "PSentFlag:bool", "--quiet"], stdout=subprocess.PIPE, text=True, env=env)
    linvaro = None
    try:
        check("Serving" in sim.stdout.readline(), "the simulated server serves its ProgID")
        linvaro = subprocess.Popen([os.path.join(bin_folder, "linvaro"), "--headless", "--home", home],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        log = Log(linvaro.stdout)
        check(log.wait_for("OPC Data Access module initialized.", 10), "the remote tag library is initialised")
        check(log.wait_for('Port "Printer" started!', 10) and log.wait_for('Port "Scale" started!', 5),
              "both ports start")

        browsed = subprocess.run([opc.tool, "browse", PROG_ID, "PSent*"], capture_output=True, text=True, env=env,
                                 timeout=30).stdout.split()
        check("PSentFlag" in browsed and "PSent[256]" in browsed and len(browsed) == 258,
              "the simulated server's tags and elements are browsable")

        # Receive handshake. A started link is not armed: the first chunk
        # arms it and is thrown away with whatever is queued behind it.
        os.write(scale, b"ARM\r")
        log.drain(0.7)
        check(opc.read("RecvFlag") == "0", "the first chunk is discarded: the flag stays 0")
        os.write(scale, b"W+12.5kg\r")
        check(wait_until(lambda: opc.read("RecvFlag") == "2", 10), "a delivered chunk sets the received flag to 2")
        check(opc.elements("RecvString", 1, 9) == b"W+12.5kg\r", "the chunk is in the elements, raw")
        check(log.wait_for('Written string (HEX: 57 2B 31 32 2E 35 6B 67 0D ) to Tag "RecvString".', 5),
              "the delivery is logged with the chunk's hex text")

        os.write(scale, b"HELD\r")
        log.drain(0.7)
        check(opc.elements("RecvString", 1, 4) == b"W+12", "while the flag is set, chunks are discarded")

        check(opc.write("RecvFlag", "0"), "the client clears the received flag")
        os.write(scale, b"PURGED\r")
        log.drain(0.7)
        check(opc.elements("RecvString", 1, 6) == b"W+12.5", "the first chunk after clearing is discarded")
        os.write(scale, b"OK\r")
        check(wait_until(lambda: opc.read("RecvFlag") == "2", 10), "the next chunk is delivered")
        # The link pauses 200 ms after setting the flag and then purges its
        # input: the log line comes after both.
        check(log.wait_for("Written string (HEX: ", 5, count=2), "the second delivery is logged")
        check(opc.elements("RecvString", 1, 9) == b"OK\r2.5kg\r",
              "a shorter chunk overwrites its own characters only")

        # 300 bytes in one chunk: 256 elements are written.
        check(opc.write("RecvFlag", "0"), "flag cleared again")
        os.write(scale, b"ARM\r")
        log.drain(0.7)
        long_chunk = bytes(0x41 + i % 26 for i in range(299)) + b"\r"
        os.write(scale, long_chunk)
        check(wait_until(lambda: opc.read("RecvFlag") == "2", 10), "the 300-byte chunk is delivered")
        check(log.wait_for("Written string (HEX: 41 42 ", 5), "and logged")
        check(opc.elements("RecvString", 250, 256) == long_chunk[249:256], "elements up to [256] hold it")
        check(opc.read("RecvString") == long_chunk[:256].decode(), "the string tag holds its first 256 characters")

        # Send handshake: text, then flag 1; the link sends it with the
        # auto-suffix and answers with false.
        check(opc.write("SentString", "HELLO") and opc.write("SentFlag", "1"), "the client asks for HELLO")
        sent = read_device(scale, 2)
        check(sent == b"HELLO\r\n", "the port sends HELLO and the auto-suffix (got %r)" % sent)
        check(opc.read("SentFlag") == "0", "the sent flag is acknowledged with false")
        check(read_device(scale, 0.5) == b"", "nothing more is sent while the flag is 0")

        # A boolean flag set to true is -1, not 1: nothing is sent.
        check(opc.write("PSent", "NOPE") and opc.write("PSentFlag", "true"), "boolean true in the printer's flag")
        check(read_device(printer, 1.5) == b"", "boolean true does not send")
        check(opc.read("PSentFlag") in ("True", "-1"), "and the flag is left as it was")

        # The remote server goes away: the links' next read fails, all stop.
        sim.send_signal(signal.SIGTERM)
        sim.wait(10)
        check(log.wait_for("Scanning of all ports has been stopped.", 15), "a failed remote read is reported")
        check(re.search(r'Error while reading tag "(Sent|PSent|Recv|PRecv)\w*"! Scanning of all ports has been '
                        r'stopped\.', log.text) is not None, "with the tag's name")
        check(log.wait_for('Port "Scale" stopped!', 5) and log.wait_for('Port "Printer" stopped!', 5),
              "every port is stopped")
        check(linvaro.poll() is None, "linvaro keeps running")
    finally:
        for p in (linvaro, sim):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if linvaro:
            log.wait_for("\0never\0", 1)
            print("--- linvaro's log:\n" + log.text)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()

"""Soak run of a real linvaro (run by scripts/soak.sh on a private session bus).

64 pseudo-terminal ports, each fed a string "P<nnn> <sequence>" every 200 ms,
and 31 OPC server objects (bench/soak_client) each with a group at 100 ms on
all 64 tags. Fails (exit 1, with the reason) when:
  - a port's strings did not all reach linvaro in order (its activity log
    lists every received chunk in hex);
  - a client saw a value go backwards or repeat, a value of another port, a
    bad quality, more data changes than update periods, or not the final
    value of every port (soak_client checks these);
  - linvaro's open descriptors or resident memory grew between the first
    and the last third of the run;
  - linvaro did not end cleanly on SIGTERM.
"""
import ctypes
import os
import re
import select
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

PORTS = 64
SERVERS = 31
RATE_MS = 100
FEED_PERIOD = 0.2
# Resident memory may grow by this much from the first to the last third.
# On this load it settles within the warm-up and then moves by tens of KiB
# (44 KiB over a 60 s run); 1 MiB leaves room for one step of the allocator.
# A leak of 100 bytes per received string (about 320 strings/s) crosses it
# within a 60 s run, smaller leaks within the hours of a run by hand.
RSS_TOLERANCE_KIB = 1024


def end_with_parent():
    """Child processes get SIGTERM when this script dies, whatever kills it."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def read_line(stream, seconds):
    """A line from a child, or None when it says nothing for that long (a
    client blocked in a call must fail the run, not hang it)."""
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline().strip() if ready else None


def fail(message):
    print(f"soak: FAILED: {message}", flush=True)
    return 1


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


class ActivityLog(threading.Thread):
    """Follows linvaro's standard output; rebuilds each port's strings from
    the hex of every received chunk and checks them against the feed."""

    CHUNK = re.compile(r'String \(HEX: ([0-9A-F ]*)\) received from port "P(\d+)"\.')

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.started_ports = 0
        self.pending = [b""] * (PORTS + 1)
        self.stored = [0] * (PORTS + 1)  # strings seen in order, per port
        self.faults = []
        self.lines = 0
        self.tail = []

    def run(self):
        for raw in self.stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines += 1
            self.tail = (self.tail + [line])[-20:]
            if '" started!' in line:
                self.started_ports += 1
            m = self.CHUNK.search(line)
            if not m:
                continue
            port = int(m.group(2))
            data = self.pending[port] + bytes.fromhex(m.group(1))
            *strings, self.pending[port] = data.split(b"\r")
            for s in strings:
                expected = f"P{port:03d} {self.stored[port]}".encode()
                if s != expected and len(self.faults) < 20:
                    self.faults.append(f"port {port}: got {s!r}, expected {expected!r}")
                self.stored[port] += 1


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    bin_dir = sys.argv[2] if len(sys.argv) > 2 else "build/bin"
    if seconds < 15:
        return fail("run for at least 15 s (three thirds of samples after the warm-up)")
    home = tempfile.TemporaryDirectory(prefix="linvaro-soak-")
    env = dict(os.environ)
    for v in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "LINVARO_REGISTRY_ROOT"):
        env[v] = os.path.join(home.name, v)

    masters, keepers, devices = [], [], []
    for _ in range(PORTS):
        m, s = os.openpty()
        tty.setraw(m)
        os.set_blocking(m, False)  # a linvaro that stops reading must fail the run, not hang it
        masters.append(m)
        keepers.append(s)  # no hang-up before linvaro opens the line
        devices.append(os.ttyname(s))
    db = sqlite3.connect(os.path.join(home.name, "LINVARO.GDB"))
    db.execute("CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS,"
               " FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED,"
               " NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED,"
               " AUTO_SUFFIX)")
    for n in range(1, PORTS + 1):
        db.execute("INSERT INTO PORT_SETTING VALUES (?,?,?,'115200','8','None','1','None','','','','',0,13,'',0,'',"
                   "100,0,'')", (n, f"P{n}", f"COM{n}"))
    db.commit()
    db.close()
    with open(os.path.join(home.name, "Linvaro.ini"), "w") as ini:
        ini.write("[Serial Ports]\n" + "".join(f"COM{n}={d}\n" for n, d in enumerate(devices, 1)))

    linvaro = subprocess.Popen([os.path.join(bin_dir, "linvaro"), "--headless", "--home", home.name],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                               preexec_fn=end_with_parent)
    log = ActivityLog(linvaro.stdout)
    log.start()
    client = None
    try:
        deadline = time.monotonic() + 30
        while log.started_ports < PORTS and time.monotonic() < deadline and linvaro.poll() is None:
            time.sleep(0.1)
        if log.started_ports < PORTS:
            return fail(f"linvaro started {log.started_ports} of {PORTS} ports:\n" + "\n".join(log.tail))

        client = subprocess.Popen([os.path.join(bin_dir, "soak_client"), str(SERVERS), str(PORTS), str(RATE_MS)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True,
                                  preexec_fn=end_with_parent)
        if read_line(client.stdout, 120) != "ready":
            return fail("the soak client did not connect its 31 server objects within 120 s")
        print(f"soak: {PORTS} ports, {SERVERS} server objects, a string per port every "
              f"{FEED_PERIOD * 1000:.0f} ms, groups at {RATE_MS} ms, {seconds} s", flush=True)

        # Samples start after a warm-up (a sixth of the run, at most 60 s)
        # in which buffers and caches reach their working size.
        warmup = min(seconds / 6, 60)
        start = time.monotonic()
        samples = []  # (seconds since start, descriptors, resident KiB)
        seq = 0
        next_sample = start + warmup
        next_report = start + 60
        while True:
            now = time.monotonic()
            if now - start >= seconds:
                break
            for n, m in enumerate(masters, 1):
                try:
                    os.write(m, f"P{n:03d} {seq}\r".encode())
                except BlockingIOError:
                    return fail(f"linvaro stopped reading port {n} (its line is full at string {seq})")
            seq += 1
            if now >= next_sample:
                samples.append((now - start, open_descriptors(linvaro.pid), resident_kib(linvaro.pid)))
                next_sample += 1
            if now >= next_report:
                _, fds, rss = samples[-1]
                print(f"soak: {now - start:.0f} s, {seq} strings a port, {fds} descriptors, {rss} KiB", flush=True)
                next_report += 60
            if linvaro.poll() is not None:
                return fail(f"linvaro ended during the run (exit {linvaro.returncode}):\n" + "\n".join(log.tail))
            time.sleep(max(0.0, start + seq * FEED_PERIOD - time.monotonic()))
        final = seq - 1

        client.stdin.write(f"end {final}\n")
        client.stdin.flush()
        report = read_line(client.stdout, 90)
        if report is None:
            return fail("the soak client gave no report within 90 s of the end")
        try:
            client.wait(timeout=60)
        except subprocess.TimeoutExpired:
            return fail("the soak client did not end within 60 s of its report")
        deadline = time.monotonic() + 10
        while min(log.stored[1:]) < seq and time.monotonic() < deadline:
            time.sleep(0.1)

        problems = []
        print(f"soak: client report {report}", flush=True)
        if client.returncode != 0:
            problems.append(f"the clients' checks failed (exit {client.returncode}): {report}")
        short = [(n, log.stored[n]) for n in range(1, PORTS + 1) if log.stored[n] != seq]
        if short:
            problems.append(f"linvaro stored fewer strings than sent ({seq} a port): ports {short[:8]}")
        if log.faults:
            problems.append("strings out of order or altered: " + "; ".join(log.faults[:5]))

        third = len(samples) // 3
        if third < 3:
            problems.append(f"only {len(samples)} samples of descriptors and memory")
        else:
            first, last = samples[:third], samples[-third:]
            fds_first, fds_last = max(s[1] for s in first), max(s[1] for s in last)
            rss_first = statistics.median(s[2] for s in first)
            rss_last = statistics.median(s[2] for s in last)
            print(f"soak: descriptors first/last third max {fds_first}/{fds_last}; resident memory median "
                  f"{rss_first:.0f}/{rss_last:.0f} KiB (tolerance {RSS_TOLERANCE_KIB} KiB); "
                  f"{len(samples)} samples", flush=True)
            if fds_last > fds_first:
                problems.append(f"open descriptors grew from {fds_first} to {fds_last}")
            if rss_last > rss_first + RSS_TOLERANCE_KIB:
                problems.append(f"resident memory grew from {rss_first:.0f} KiB to {rss_last:.0f} KiB")

        linvaro.send_signal(signal.SIGTERM)
        try:
            code = linvaro.wait(timeout=30)
            if code != 0:
                problems.append(f"linvaro ended with exit {code} on SIGTERM")
        except subprocess.TimeoutExpired:
            problems.append("linvaro did not end within 30 s of SIGTERM")
        if problems:
            return fail("\n  ".join(problems))
        print(f"soak: passed: {seq} strings on each of {PORTS} ports stored in order; "
              f"every client saw every port's final value", flush=True)
        return 0
    finally:
        for p in (client, linvaro):
            if p and p.poll() is None:
                p.kill()
                p.wait()
        for fd in masters + keepers:
            os.close(fd)
        home.cleanup()


if __name__ == "__main__":
    sys.exit(main())

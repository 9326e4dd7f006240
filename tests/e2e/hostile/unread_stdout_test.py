"""Standard output that nobody reads (a stalled service manager, a pager that
is never scrolled): the program logs far more than a pipe holds, yet its
main thread keeps answering, strings still reach the tag, and the end is
clean."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Checks, check_probe, Home, Linvaro, Pty, StatusProbe, TagReader, port_row, wait_until  # noqa: E402


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()
    device = Pty()
    # A long description makes every received string log a long line.
    description = "Scale " + "d" * 4000
    home = Home([port_row(1, description, "COM1")], devices={"COM1": device.path})
    app = Linvaro(program, home, read_log=False)
    probe = None
    tag = description + "_COM1"
    try:
        reader = None

        def connected():
            nonlocal reader
            try:
                reader = TagReader()
                return True
            except Exception:  # the server is not on the bus yet
                return False

        checks.check(wait_until(connected, 20), "the server is on the bus")
        probe = StatusProbe(home.env())

        def port_takes_strings():
            device.write(b"ready\r")
            return reader.read(tag[:64]) == "ready"

        # The port starts two seconds after start-up; what came before is flushed.
        checks.check(wait_until(port_takes_strings, 20, step=0.2), "the port takes strings")
        # Each string, sent on its own, logs one line of about 4 KB: 200
        # strings are 800 KiB, twelve times what the pipe holds.
        last = ""
        for i in range(200):
            last = "%06d" % i
            device.write(last.encode() + b"\r")
            time.sleep(0.01)
            if i % 20 == 19:
                arrived = wait_until(lambda: reader.read(tag[:64]) == last, 10)
                checks.check(arrived, "string %s reaches the tag with standard output stalled" % last)
                if not arrived:
                    break
        checks.check(app.alive(), "the program is still running")
    finally:
        if probe:
            check_probe(checks, probe)
        checks.check(app.stop() == 0, "SIGTERM ends the program with exit code 0 while its output is stalled")
        device.close()
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

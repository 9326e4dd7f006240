"""Standard output that nobody reads (a stalled service manager, a pager that
is never scrolled): the program logs far more than a pipe holds, yet its
main thread keeps answering, strings still reach the tag, and the end is
clean."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Checks, Home, Linvaro, Pty, StatusProbe, TagReader, port_row, wait_until  # noqa: E402


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()
    device = Pty()
    # A long description makes every received string log a long line.
    description = "Scale " + "d" * 2000
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
        # Each string logs one line of about 2.1 KB: 200 strings are 400 KiB,
        # six times what the pipe holds.
        last = ""
        for i in range(200):
            last = "%06d" % i
            device.write(last.encode() + b"\r")
            if i % 20 == 19:
                checks.check(wait_until(lambda: reader.read(tag[:64]) == last, 10),
                             "string %s reaches the tag with standard output stalled" % last)
        checks.check(app.alive(), "the program is still running")
    finally:
        if probe:
            calls, failures, worst = probe.finish()
            checks.check(calls > 0 and failures == 0, "the probe's calls all answered (%d calls)" % calls)
            checks.check(worst < 100, "GetStatus round trips stayed under 100 ms (max %.1f ms)" % worst)
        checks.check(app.stop() == 0, "SIGTERM ends the program with exit code 0 while its output is stalled")
        device.close()
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

"""A PORT_SETTING table provisioned with the sqlite3 tool: integer columns
declared REAL (values 1.0, 13.0, 0.0) and rows that leave DISABLED,
CONVERT_HEX and LOGGED out (NULL). Every enabled port starts and serves its
own tag, while the main thread keeps answering."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Checks, check_probe, Home, Linvaro, Pty, StatusProbe, TagReader, port_row, wait_until  # noqa: E402

REAL = {c: "REAL" for c in ("ID", "DISABLED", "NULL_TERMINATED", "CONVERT_HEX", "AUTO_SEND_INTERVAL", "LOGGED")}


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()
    scale, belt, off = Pty(), Pty(), Pty()
    rows = [port_row(1.0, "Scale", "COM1", DISABLED=0.0, NULL_TERMINATED=13.0, CONVERT_HEX=0.0,
                     AUTO_SEND_INTERVAL=100.0, LOGGED=0.0),
            # Left out: DISABLED, CONVERT_HEX, LOGGED and ID are NULL.
            {k: v for k, v in port_row(None, "Belt", "COM2", NULL_TERMINATED=13.0).items()
             if k not in ("ID", "DISABLED", "CONVERT_HEX", "LOGGED")},
            port_row(3.0, "Off", "COM3", DISABLED=1.0)]
    home = Home(rows, devices={"COM1": scale.path, "COM2": belt.path, "COM3": off.path}, types=REAL)
    app = Linvaro(program, home)
    probe = None
    try:
        checks.check(app.wait_for_log("All enabled ports successfully started!", 20), "the provisioned ports start")
        log = app.log()
        checks.check("invalid" not in log, "no value of the table is refused")
        checks.check('Port "Scale" started!' in log and 'Port "Belt" started!' in log, "both enabled ports start")
        checks.check('Port "Off" started!' not in log, "the disabled port (1.0) gets no link")
        probe = StatusProbe(home.env())

        reader = TagReader()
        # Strings to both ports for a while, each checked in its own tag.
        for i in range(20):
            scale.write(b"%d.5 kg\r" % i)
            belt.write(b"B-%d\r" % i)
            got_scale = wait_until(lambda: reader.read("Scale_COM1") == "%d.5 kg" % i, 10)
            got_belt = wait_until(lambda: reader.read("Belt_COM2") == "B-%d" % i, 10)
            checks.check(got_scale, "Scale's string %d reaches its tag" % i)
            checks.check(got_belt, "Belt's string %d reaches its own tag" % i)
            if not (got_scale and got_belt):
                break
            time.sleep(0.1)
    finally:
        if probe:
            check_probe(checks, probe)
        checks.check(app.stop() == 0, "SIGTERM ends the program with exit code 0")
        for p in (scale, belt, off):
            p.close()
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

"""Configuration databases that hold the start-up: a PORT_SETTING view that
never ends (SIGTERM must still end the program at once, and without it the
statement ends at its bound and the program serves on), and none at all (a
headless copy ends with a failure code once its retries are over)."""
import os
import signal
import sqlite3
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import COLUMNS, Checks, check_probe, Home, Linvaro, StatusProbe  # noqa: E402


def endless_view(home):
    """PORT_SETTING as a view whose rows never end."""
    db = sqlite3.connect(os.path.join(home.path, "LINVARO.GDB"))
    db.execute("DROP TABLE PORT_SETTING")
    db.execute("CREATE VIEW PORT_SETTING AS WITH RECURSIVE R(N) AS (SELECT 1 UNION ALL SELECT N + 1 FROM R) "
               "SELECT %s FROM R WHERE N < 0" % ", ".join("N AS %s" % c for c in COLUMNS))
    db.commit()
    db.close()


def main():
    program = os.path.join(sys.argv[1], "linvaro")
    checks = Checks()

    # SIGTERM while the start-up is inside the endless statement.
    home = Home()
    endless_view(home)
    app = Linvaro(program, home)
    checks.check(app.wait_for_log("Loading settings.", 20), "the start-up reads the port settings")
    time.sleep(0.5)
    began = time.monotonic()
    code = app.stop(seconds=10)
    checks.check(code == 0, "SIGTERM during the endless statement ends the program with exit code 0 (%s)" % code)
    checks.check(time.monotonic() - began < 5, "and at once (%.1f s)" % (time.monotonic() - began))

    # Without a signal the statement ends at its bound; the program serves on.
    app = Linvaro(program, home)
    probe = None
    try:
        checks.check(app.wait_for_log("ran longer than", 40), "the endless statement ends at its bound")
        checks.check(app.wait_for_log("Settings loaded.", 10), "the start-up goes on")
        probe = StatusProbe(home.env())
        time.sleep(1)
    finally:
        if probe:
            check_probe(checks, probe)
        checks.check(app.stop() == 0, "SIGTERM ends the program with exit code 0")

    # No database at all (a folder in its place): a failure code after the retries.
    home = Home()
    os.remove(os.path.join(home.path, "LINVARO.GDB"))
    os.mkdir(os.path.join(home.path, "LINVARO.GDB"))
    app = Linvaro(program, home)
    try:
        app.process.wait(60)
    except Exception:
        pass
    checks.check(app.process.poll() not in (None, 0), "without a database the headless program ends non-zero (%s)"
                 % app.process.poll())
    checks.check("gave up after" in app.log(), "and says why")
    app.stop()
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

"""A client whose sink never answers the server's query for its interface
(its main thread stops for good inside that query), beside one that reads:
no call of linvaro waits on the mute client, and the reading client gets
every value of its port.

    mute_sink_test.py PROGRAM_FOLDER
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import finish_case, Checks, Home, Linvaro, Pty, StatusProbe, port_row, wait_until  # noqa: E402
from clients import ChildClient  # noqa: E402


def main():
    folder = sys.argv[1]
    checks = Checks()
    pty = Pty()
    home = Home(rows=[port_row(1, "P1", "COM1")], devices={"COM1": pty.path})
    linvaro = Linvaro(os.path.join(folder, "linvaro"), home)
    mute = reader = probe = None
    try:
        checks.check(linvaro.wait_for_log('Port "P1" started!', 20), "the port starts")
        reader = ChildClient(folder, "P1_COM1", "serve", 1, 10, env=home.env())
        checks.check(reader.ready(), "the reading client is set up")
        probe = StatusProbe(env=home.env())
        mute = ChildClient(folder, "P1_COM1", "mute", 1, 10, env=home.env())
        checks.check(mute.ready(), "the mute client's sink got the query it never answers")
        # Past the time a query may go unanswered, then values for 3 s.
        time.sleep(1.5)
        fed = []
        begin = time.monotonic()
        n = 0
        while time.monotonic() - begin < 3:
            n += 1
            fed.append("M%05d" % n)
            pty.write((fed[-1] + "\r").encode())
            time.sleep(0.02)
        checks.check(wait_until(lambda: reader.values() and reader.values()[-1] == fed[-1], 5),
                     "the reading client got the last value")
        got = [v for v in reader.values() if v.startswith("M")]
        checks.check(all(a < b for a, b in zip(got, got[1:])), "in order, none twice")
        checks.check(len(got) >= len(fed) * 0.9, "it got %d of %d values" % (len(got), len(fed)))
    finally:
        finish_case(checks, linvaro, probe, (mute, reader), [pty])
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

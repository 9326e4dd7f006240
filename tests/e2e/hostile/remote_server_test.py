#!/usr/bin/python3
"""Remote mode against a remote OPC server that hangs (SIGSTOP) or dies while
the ports run: linvaro never crashes, gives at most one failure report, ends
with exit code 0 on SIGTERM (also while its workers are still inside reads
of the hung server), and its main thread keeps answering throughout. The
remote server is the simulated one (build/bin/linvaro-opc-sim).

    remote_server_test.py PROGRAM_FOLDER
"""
import os
import signal
import subprocess
import sys
import time

from harness import Checks, Home, Linvaro, Pty, StatusProbe, port_row

PROG_ID = "Linvaro.SimServer.1"
REPORT = "! Scanning of all ports has been stopped."


def start_sim(folder, env):
    tags = []
    for prefix in ("S", "P"):
        tags += ["--tag", prefix + "Recv:string", "--tag", prefix + "RecvFlag:int", "--tag", prefix + "Sent:string",
                 "--tag", prefix + "SentFlag:int"]
    sim = subprocess.Popen([os.path.join(folder, "linvaro-opc-sim"), "--quiet"] + tags, stdout=subprocess.PIPE,
                           text=True, env=env)
    return sim if "Serving" in sim.stdout.readline() else None


def count_reports(log):
    """Failure reports in a headless log: each is stop-all's lines, its log
    line, then its box (logged too, the same text with its line breaks as
    blanks, right after the log line)."""
    texts = [line[20:] for line in log.splitlines()]
    return sum(1 for i, text in enumerate(texts) if REPORT in text and (i == 0 or texts[i - 1] != text))


def end(process):
    if process and process.poll() is None:
        process.send_signal(signal.SIGCONT)
        process.kill()
        process.wait()


def run(folder, checks, what, fault, wait_for_report):
    """One life of linvaro: both ports run, the server meets `fault`; with
    wait_for_report the report comes before SIGTERM, else SIGTERM comes
    while the workers are still inside their reads."""
    scale, printer = Pty(), Pty()
    rows = [port_row(1, "Scale", "COM1", RECEIVED_STRING_TAG="SRecv", RECEIVED_FLAG_TAG="SRecvFlag",
                     SENT_STRING_TAG="SSent", SENT_FLAG_TAG="SSentFlag"),
            port_row(2, "Printer", "COM2", RECEIVED_STRING_TAG="PRecv", RECEIVED_FLAG_TAG="PRecvFlag",
                     SENT_STRING_TAG="PSent", SENT_FLAG_TAG="PSentFlag")]
    home = Home(rows=rows, devices={"COM1": scale.path, "COM2": printer.path},
                ini_text="[System]\nEnable Remote OPC Server=1\nRemote OPC Server=%s\n" % PROG_ID)
    sim = start_sim(folder, home.env())
    linvaro = None
    probe = None
    try:
        if not checks.check(sim is not None, "%s: the simulated server serves" % what):
            return
        linvaro = Linvaro(os.path.join(folder, "linvaro"), home)
        checks.check(linvaro.wait_for_log('Port "Printer" started!', 15) and linvaro.wait_for_log(
            'Port "Scale" started!', 5), "%s: both ports start in remote mode" % what)
        probe = StatusProbe(env=home.env())
        checks.check(probe.wait_ready(), "the status probe is answered")
        time.sleep(0.5)  # the workers poll their sent flags
        sim.send_signal(fault)
        if wait_for_report:
            checks.check(linvaro.wait_for_log(REPORT, 20), "%s: the failure is reported" % what)
            time.sleep(1)  # a second report would come here
        else:
            time.sleep(1)  # the workers are inside reads that fail some seconds later
        calls, failures, worst = probe.finish()
        probe = None
        checks.check(calls > 10, "%s: the status probe was answered (%d calls, %d failures)" % (what, calls, failures))
        checks.check(worst < 100, "%s: GetStatus never took 100 ms (longest %.1f ms)" % (what, worst))
        code = linvaro.stop(30)
        checks.check(code == 0, "%s: linvaro ends with exit code 0 on SIGTERM (got %s)" % (what, code))
        reports = count_reports(linvaro.log())
        checks.check(reports <= 1, "%s: at most one report (got %d)" % (what, reports))
        checks.check(b"Segmentation" not in linvaro.stderr, "%s: no crash on standard error" % what)
    finally:
        if probe:
            probe.finish()
        if linvaro:
            if linvaro.alive():
                linvaro.stop()
            print("--- %s: linvaro's log (tail):\n%s" % (what, linvaro.log()[-3000:]), flush=True)
        end(sim)
        scale.close()
        printer.close()


def main():
    folder = sys.argv[1]
    checks = Checks()
    run(folder, checks, "server hung, SIGTERM during the reads", signal.SIGSTOP, False)
    run(folder, checks, "server hung, SIGTERM after the report", signal.SIGSTOP, True)
    run(folder, checks, "server died", signal.SIGKILL, True)
    return checks.exit_code()


if __name__ == "__main__":
    sys.exit(main())

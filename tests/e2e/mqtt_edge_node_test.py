#!/usr/bin/python3
"""The Sparkplug B edge node end to end: a real mosquitto, linvaro headless
with two pseudo-terminal ports, the project's decoder and the independent npm
one reading the same messages. Births, data, commands, bad input, a frozen
broker, a broker killed and restarted (history), the will.

    mqtt_edge_node_test.py BIN_FOLDER
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from mqtt_common import (Broker, Dump, Linvaro, check, metrics, npm_decode, npm_encode, publish_file,
                         finish, type_of, wait_until)

NODE = "spBv1.0/Plant/%s/gw1"
SCALE = "Scale _1"  # "Scale #1" as a topic level


def now_ms():
    return int(time.time() * 1000)


def publish_state(broker, online):
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", "spBv1.0/STATE/scada", "-r",
                    "-q", "1", "-m", '{"online":%s,"timestamp":%d}' % ("true" if online else "false", now_ms())],
                   check=True, timeout=30)


def check_seq_rules(messages, what):
    """From each NBIRTH on: seq 0, then +1 (mod 256) over every message of
    the node but NDEATH; a device's DBIRTH comes before its data."""
    expected = None
    born = set()
    ok = True
    for m in messages:
        kind = type_of(m)
        if kind in ("NDEATH", "STATE", "NCMD", "DCMD") or "payload" not in m:
            continue
        seq = m["payload"].get("seq")
        if kind == "NBIRTH":
            ok = ok and seq == 0
            born = set()
        elif expected is not None:
            ok = ok and seq == expected
        else:
            ok = False
        expected = (seq + 1) % 256 if seq is not None else None
        device = m["topic"].split("/")[4] if kind.startswith("D") else None
        if kind == "DBIRTH":
            born.add(device)
        elif kind == "DDEATH":
            born.discard(device)
        elif kind == "DDATA":
            ok = ok and device in born
    check(ok, what + ": seq 0 in NBIRTH then counting by one; DBIRTH before a device's data")


def same_decoding(own, raw_dir, what):
    """The npm decoder reads the captured payloads as our decoder did."""
    theirs = npm_decode(raw_dir)
    mismatches = []
    if len(theirs) != len(own):
        mismatches.append("%d messages against %d" % (len(theirs), len(own)))
    for a, b in zip(own, theirs):
        if a["topic"] != b["topic"] or "payload" not in a:
            continue
        p = a["payload"]
        if str(p.get("seq")) != str(b.get("seq")) or str(p["timestamp"]) != str(b["timestamp"]):
            mismatches.append("%s: seq/timestamp %s/%s against %s/%s" % (a["topic"], p.get("seq"), p["timestamp"],
                                                                          b.get("seq"), b["timestamp"]))
        ours = [(m["name"], m["type"], str(m["value"]), str(m.get("timestamp")), m.get("historical", False))
                for m in p["metrics"]]
        npm = [(m["name"], m["type"], str(m["value"]), str(m["timestamp"]), m["historical"]) for m in b["metrics"]]
        if ours != npm:
            mismatches.append("%s: %s against %s" % (a["topic"], ours, npm))
    check(not mismatches and len(own) > 0,
          "%s: sparkplug-payload (npm) decodes the %d captured messages alike %s" % (what, len(own), mismatches[:3]))


def main():
    bin_folder = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-mqtt-")
    broker = Broker(home)
    dump = None
    gw = None
    try:
        check(broker.start(), "mosquitto listens on a free loopback port")
        dump = Dump(bin_folder, broker.url(), os.path.join(home, "raw1"))
        check(dump.ready, "the decoder subscribes")
        publish_state(broker, True)
        gw = Linvaro(bin_folder, home, [("Scale #1", "\r\n"), ("Printer", "\r")],
                     "[MQTT]\nEnabled=1\nBroker=%s\nGroup ID=Plant\nEdge Node ID=gw1\nPrimary Host ID=scada\n"
                     "Keep Alive=30\n" % broker.url())
        gw.start()
        check(gw.wait_log("MQTT: connected to %s (bdSeq 0)" % broker.url(), 20), "linvaro connects (bdSeq 0)")
        check(gw.wait_log('Port "Scale #1" started!', 20) and gw.wait_log('Port "Printer" started!', 5),
              "both ports start")
        check(dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/Printer", 20) is not None and
              dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/" + SCALE, 5) is not None,
              "both devices are born")
        first = [m for m in dump.pump() if "/gw1" in m["topic"]]
        check(type_of(first[0]) == "NBIRTH" and first[0]["payload"]["seq"] == 0, "NBIRTH comes first with seq 0")
        nb = metrics(first[0])
        check(nb["bdSeq"]["value"] == 0 and nb["Node Control/Rebirth"]["value"] is False and
              nb["Ports Configured"]["value"] == 2 and nb["Properties/Version"]["value"] == "2.1",
              "NBIRTH: bdSeq 0, Rebirth false, two ports configured, the version")
        db = metrics(dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/" + SCALE, 1))
        check(set(db) == {"Value", "DeviceState", "StringsReceived", "BytesReceived", "BytesSent", "Errors"} and
              db["DeviceState"]["value"] == "Running", "DBIRTH carries the six device metrics, state Running")

        # A string on the port arrives as DDATA with its time stamp.
        start = len(dump.pump())
        before = now_ms()
        gw.write("Scale #1", b"W+12.5kg\r")
        data = dump.wait_for(lambda m: m["topic"] == NODE % "DDATA" + "/" + SCALE and "Value" in metrics(m), 10,
                             start)
        check(data is not None, "the weight arrives as DDATA")
        if data:
            value = metrics(data)["Value"]
            check(value["value"].startswith("W+12.5kg"), "DDATA Value is the string (%r)" % value["value"])
            check(before <= value["timestamp"] <= data["t"], "its time stamp is when the port got it")
            check(metrics(data)["StringsReceived"]["value"] == 1, "StringsReceived counts it")

        # A host writes Value: it goes out of the port with the suffix.
        cmd = npm_encode({"metrics": [{"name": "Value", "type": "String", "value": "TARE"}]},
                         os.path.join(home, "dcmd.bin"))
        start = len(dump.pump())
        publish_file(broker, NODE % "DCMD" + "/" + SCALE, cmd)
        check(gw.read_device("Scale #1", 6, 10) == b"TARE\r\n", "DCMD Value reaches the port with its suffix")
        echo = dump.wait_for(lambda m: m["topic"] == NODE % "DDATA" + "/" + SCALE and "Value" in metrics(m), 10,
                             start)
        check(echo is not None and metrics(echo)["Value"]["value"] == "TARE", "the write is reported by DDATA")

        # Rebirth on request.
        rebirth = npm_encode({"metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": True}]},
                             os.path.join(home, "rebirth.bin"))
        start = len(dump.pump())
        publish_file(broker, NODE % "NCMD", rebirth)
        nbirth = dump.wait_for(lambda m: type_of(m) == "NBIRTH", 10, start)
        check(nbirth is not None and nbirth["payload"]["seq"] == 0 and metrics(nbirth)["bdSeq"]["value"] == 0,
              "NCMD Rebirth: a new NBIRTH with seq 0 and the same bdSeq")
        check(dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/" + SCALE, 10, start) is not None,
              "and the devices are born again")

        # Bad input: each logged once, nothing published, nothing stops.
        with open(os.path.join(home, "garbage.bin"), "wb") as f:
            f.write(b"\x0a\xff\xff\xff\x01garbage")
        with open(os.path.join(home, "huge.bin"), "wb") as f:
            f.write(b"\x12" * 200000)
        wrong = npm_encode({"metrics": [{"name": "Value", "type": "Int32", "value": 7}]},
                           os.path.join(home, "wrong.bin"))
        start = len(dump.pump())
        publish_file(broker, NODE % "NCMD", os.path.join(home, "garbage.bin"))
        publish_file(broker, "spBv1.0/Plant/NCMD/gw2", rebirth)
        publish_file(broker, NODE % "DCMD" + "/" + SCALE, os.path.join(home, "huge.bin"))
        publish_file(broker, NODE % "DCMD" + "/" + SCALE, wrong)
        publish_file(broker, NODE % "DCMD" + "/Nobody", cmd)
        check(gw.wait_log("where a String is expected", 10) and gw.wait_log("no such running device", 10),
              "the bad commands are logged")
        gw.read(0.5)
        for needle in ["ignored NCMD on spBv1.0/Plant/NCMD/gw1: not a Sparkplug B payload",
                       "ignored a message of 200000 bytes", "Int32 where a String is expected",
                       'ignored DCMD for device "Nobody"']:
            check(gw.text.count(needle) == 1, "logged once: %s" % needle)
        check(gw.read_device("Scale #1", 1, 0.5) == b"", "nothing reached the port")
        check(not [m for m in dump.pump()[start:] if type_of(m) in ("NBIRTH", "DBIRTH")],
              "a command for another node does nothing here")

        # A frozen broker: ports and OPC clients carry on.
        os.kill(broker.proc.pid, signal.SIGSTOP)
        frozen = now_ms()
        for i in range(3):
            gw.write("Scale #1", b"FROZEN%d\r" % i)
            time.sleep(0.05)
        opc = subprocess.run([os.path.join(bin_folder, "linvaro-opc"), "read", "Linvaro.DA2", "Scale #1_COM1"],
                             capture_output=True, text=True, timeout=30, env=gw.env)
        check("FROZEN2" in opc.stdout and now_ms() - frozen < 15000,
              "with the broker frozen an OPC client reads the port's newest string (%s)" % opc.stdout.strip())
        os.kill(broker.proc.pid, signal.SIGCONT)
        check(dump.wait_for(lambda m: "Value" in metrics(m) and metrics(m)["Value"]["value"].startswith("FROZEN2")
                            if type_of(m) == "DDATA" else False, 15, start) is not None,
              "after the thaw the strings arrive")

        dump.stop()
        session1 = list(dump.messages)
        check_seq_rules(session1, "first session")
        same_decoding(session1, dump.raw_dir, "first session")

        # The broker dies; the outage's strings are kept and come back as
        # history after the new births.
        broker.kill()
        check(gw.wait_log("MQTT: connection to %s lost" % broker.url(), 30), "the loss is logged")
        outage_start = now_ms()
        for i in range(20):
            gw.write("Scale #1", b"OUT%02d\r" % i)
            time.sleep(0.03)
        outage_end = now_ms()
        gw.read(1.5)
        check(broker.start(), "the broker is back on the same port")
        dump = Dump(bin_folder, broker.url(), os.path.join(home, "raw2"))
        check(dump.ready, "the decoder subscribes again")
        check(gw.wait_log("MQTT: reconnected to %s (bdSeq 1)" % broker.url(), 90), "linvaro reconnects with bdSeq 1")
        check(gw.text.count("MQTT: connection to") == 1 and gw.text.count("MQTT: cannot connect") <= 1,
              "lost and failing attempts are logged once each")
        publish_state(broker, True)
        nbirth = dump.wait_for(lambda m: type_of(m) == "NBIRTH", 20)
        check(nbirth is not None and metrics(nbirth)["bdSeq"]["value"] == 1, "the new session's NBIRTH has bdSeq 1")
        check(gw.wait_log("20 values kept while offline were published as historical", 10),
              "the store reports what it published")
        wait_until(lambda: sum(len(m["payload"]["metrics"]) for m in dump.pump()
                               if type_of(m) == "DDATA" and "payload" in m and
                               m["payload"]["metrics"][0].get("historical")) >= 20, 10)
        history = [mm for m in dump.pump() if type_of(m) == "DDATA"
                   for mm in m["payload"]["metrics"] if mm.get("historical")]
        check([h["value"][:5] for h in history] == ["OUT%02d" % i for i in range(20)],
              "all 20 outage values arrive as historical, oldest first")
        stamps = [h["timestamp"] for h in history]
        check(stamps == sorted(stamps) and stamps and outage_start <= stamps[0] and stamps[-1] <= outage_end,
              "with their original time stamps")

        # The will: linvaro dies without a goodbye, the broker says NDEATH.
        gw.stop(signal.SIGKILL)
        death = dump.wait_for(lambda m: type_of(m) == "NDEATH", 30)
        check(death is not None and metrics(death)["bdSeq"]["value"] == 1 and "seq" not in death["payload"],
              "the broker delivers the will: NDEATH with the session's bdSeq 1")
        dump.stop()
        check_seq_rules(dump.messages, "second session")
        same_decoding(dump.messages, dump.raw_dir, "second session")
    finally:
        code = finish(home, broker, dump, gw)
    return code


if __name__ == "__main__":
    sys.exit(main())

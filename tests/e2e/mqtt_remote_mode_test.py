#!/usr/bin/python3
"""The edge node in remote mode: the ports exchange strings with another
OPC server's tags (the simulated server here), so the devices carry their
diagnostics only: no Value metric, and a host cannot write one.

    mqtt_remote_mode_test.py BIN_FOLDER
"""
import os
import sqlite3
import subprocess
import sys
import tempfile

from mqtt_common import Broker, Dump, Linvaro, check, metrics, npm_encode, publish_file, finish, type_of

PROG_ID = "Linvaro.SimServer.1"
NODE = "spBv1.0/Remote/%s/gw-r"


def main():
    bin_folder = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-mqtt-remote-")
    broker = Broker(home)
    dump = gw = sim = None
    try:
        check(broker.start(), "mosquitto listens")
        dump = Dump(bin_folder, broker.url(), os.path.join(home, "raw"))
        gw = Linvaro(bin_folder, home, [("Scale", "\r\n")],
                     "[MQTT]\nEnabled=1\nBroker=%s\nGroup ID=Remote\nEdge Node ID=gw-r\n" % broker.url(),
                     "[System]\nEnable Remote OPC Server=1\nRemote OPC Server=%s\n" % PROG_ID)
        # The Port setting's tags are the simulated server's.
        db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
        db.execute("UPDATE PORT_SETTING SET RECEIVED_STRING_TAG='RecvString', RECEIVED_FLAG_TAG='RecvFlag', "
                   "SENT_STRING_TAG='SentString', SENT_FLAG_TAG='SentFlag'")
        db.commit()
        db.close()
        sim = subprocess.Popen([os.path.join(bin_folder, "linvaro-opc-sim"), "--tag", "RecvString:string",
                                "--tag", "RecvFlag:int", "--tag", "SentString:string", "--tag", "SentFlag:int",
                                "--quiet"], stdout=subprocess.PIPE, text=True, env=gw.env)
        check("Serving" in sim.stdout.readline(), "the simulated server serves its ProgID")
        gw.start()
        check(gw.wait_log('Port "Scale" started!', 20), "the remote-mode port starts")
        birth = dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/Scale", 20)
        check(birth is not None and "Value" not in metrics(birth) and
              {"DeviceState", "StringsReceived", "BytesReceived", "BytesSent", "Errors"} <= set(metrics(birth)),
              "DBIRTH carries the diagnostics and no Value")
        start = len(dump.pump())
        # A started remote link throws its first chunk away (it arms it).
        gw.write("Scale", b"ARM\r")
        gw.read(0.7)
        gw.write("Scale", b"W+12.5kg\r")
        data = dump.wait_for(lambda m: m["topic"] == NODE % "DDATA" + "/Scale", 10, start)
        check(data is not None and metrics(data).get("BytesReceived", {}).get("value") == 9 and
              "Value" not in metrics(data), "the port's bytes show in the counters' DDATA, without a Value (%s)" % data)
        cmd = npm_encode({"metrics": [{"name": "Value", "type": "String", "value": "TARE"}]},
                         os.path.join(home, "dcmd.bin"))
        publish_file(broker, NODE % "DCMD" + "/Scale", cmd)
        check(gw.wait_log('ignored DCMD metric "Value" of device "Scale"', 10), "a written Value is refused, logged")
        check(gw.read_device("Scale", 1, 0.5) == b"", "and nothing reaches the port")
        check(not [m for m in dump.pump() if type_of(m) == "NDEATH"], "the session stays")
    finally:
        code = finish(home, broker, dump, gw, sim)
    return code


if __name__ == "__main__":
    sys.exit(main())

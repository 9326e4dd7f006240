#!/usr/bin/python3
"""The edge node against a broker that checks who connects: a user name and
the password stored with linvaro --set-mqtt-password, then TLS with
certificates made here by openssl (a broker certificate from another
authority is refused, a missing client certificate too, the right ones
connect). Each refusal is logged once with its reason; the program lives on
and ends promptly, saying goodbye with NDEATH.

    mqtt_security_test.py BIN_FOLDER
"""
import os
import subprocess
import sys
import tempfile
import time

from mqtt_common import Broker, Dump, Linvaro, check, free_port, metrics, finish, type_of

NODE = "spBv1.0/Plant/%s/gw9"


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True, timeout=60)


def make_authority(folder, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
            "-subj", "/CN=%s" % name, "-keyout", name + ".key", "-out", name + ".pem", cwd=folder)


def make_certificate(folder, name, authority, extension):
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=%s" % name,
            "-keyout", name + ".key", "-out", name + ".csr", cwd=folder)
    with open(os.path.join(folder, name + ".ext"), "w") as f:
        f.write(extension)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", authority + ".pem", "-CAkey", authority + ".key",
            "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem", cwd=folder)


def refused_once(gw, needle, what):
    """Several attempts fail (1 s, then 2 s back-off) but one line tells it."""
    check(gw.wait_log(needle, 20), what + ": refused, logged with the reason")
    gw.read(3.5)
    check(gw.text.count("MQTT: cannot connect") == 1, what + ": logged once over several attempts")
    if not check(gw.proc.poll() is None and "MQTT: connected" not in gw.text,
                 what + ": no session, the program lives on"):
        print(gw.text)


def end_gracefully(gw, dump, bd_seq, what):
    start = time.monotonic()
    gw.stop()
    check(gw.proc.returncode == 0 and time.monotonic() - start < 10, what + ": SIGTERM ends linvaro promptly")
    death = dump.wait_for(lambda m: type_of(m) == "NDEATH" and m["topic"] == NODE % "NDEATH", 10)
    check(death is not None and metrics(death)["bdSeq"]["value"] == bd_seq,
          what + ": the graceful end publishes NDEATH with bdSeq %d" % bd_seq)


def main():
    bin_folder = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-mqtt-sec-")
    certs = os.path.join(home, "certs")
    os.makedirs(certs)
    secure_port, open_port = free_port(), free_port()
    subprocess.run(["mosquitto_passwd", "-b", "-c", os.path.join(home, "passwd"), "edge", "s3cr=t;"], check=True,
                   timeout=30)
    make_authority(certs, "ca")
    make_authority(certs, "rogue")
    make_certificate(certs, "broker", "ca", "subjectAltName=IP:127.0.0.1\n")
    make_certificate(certs, "gateway", "ca", "extendedKeyUsage=clientAuth\n")
    tls_port = free_port()
    # One broker: passwords on one listener, TLS with client certificates on
    # another, and an open one for the test's own decoder.
    broker = Broker(home, port=open_port, head="per_listener_settings true\n", extra=(
        "allow_anonymous true\n"
        "listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
        "listener %d 127.0.0.1\nallow_anonymous true\ncafile %s\ncertfile %s\nkeyfile %s\n"
        "require_certificate true\n") % (secure_port, os.path.join(home, "passwd"), tls_port,
                                        os.path.join(certs, "ca.pem"), os.path.join(certs, "broker.pem"),
                                        os.path.join(certs, "broker.key")))
    dump = None
    gw = None
    try:
        check(broker.start(), "mosquitto listens with a password listener and a TLS listener")
        dump = Dump(bin_folder, broker.url(), os.path.join(home, "raw"))
        check(dump.ready, "the decoder subscribes")
        password_ini = ("[MQTT]\nEnabled=1\nBroker=tcp://127.0.0.1:%d\nUsername=edge\nGroup ID=Plant\n"
                        "Edge Node ID=gw9\n" % secure_port)
        gw = Linvaro(bin_folder, home, [("Scale", "\r\n")], password_ini)

        gw.start()
        refused_once(gw, "refused this client: not authorised", "no password")
        gw.stop()

        check(gw.set_password("s3cr=t;"), "linvaro --set-mqtt-password stores the password")
        with open(gw.ini) as f:
            stored = f.read()
        check("s3cr=t;" not in stored and "Password=" in stored, "Linvaro.ini holds it encrypted only")
        gw.start()
        check(gw.wait_log("MQTT: connected to tcp://127.0.0.1:%d (bdSeq 0)" % secure_port, 20),
              "with the stored password linvaro connects")
        check(dump.wait_for(lambda m: m["topic"] == NODE % "DBIRTH" + "/Scale", 20) is not None,
              "and its device is born without a primary host to wait for")
        end_gracefully(gw, dump, 0, "password")

        tls = "[MQTT]\nEnabled=1\nBroker=ssl://127.0.0.1:%d\nGroup ID=Plant\nEdge Node ID=gw9\n" % tls_port
        gw.set_mqtt(tls + "CA File=%s\nCertificate=%s\nKey=%s\n" % (
            os.path.join(certs, "rogue.pem"), os.path.join(certs, "gateway.pem"), os.path.join(certs, "gateway.key")))
        gw.start()
        refused_once(gw, "for a TLS broker: is its certificate signed by the CA File", "a broker certificate from another authority")
        gw.stop()

        gw.set_mqtt(tls + "CA File=%s\n" % os.path.join(certs, "ca.pem"))
        gw.start()
        refused_once(gw, "MQTT: cannot connect to ssl://", "no client certificate")
        gw.stop()

        gw.set_mqtt(tls + "CA File=%s\nCertificate=%s\nKey=%s\n" % (
            os.path.join(certs, "ca.pem"), os.path.join(certs, "gateway.pem"), os.path.join(certs, "gateway.key")))
        start = len(dump.pump())
        gw.start()
        check(gw.wait_log("MQTT: connected to ssl://127.0.0.1:%d (bdSeq 0)" % tls_port, 20),
              "with the right authority and its client certificate linvaro connects over TLS")
        check(gw.wait_log('Port "Scale" started!', 20), "the port starts")
        gw.write("Scale", b"TLS 1.0kg\r")
        data = dump.wait_for(lambda m: m["topic"] == NODE % "DDATA" + "/Scale" and "Value" in metrics(m), 20, start)
        check(data is not None and metrics(data)["Value"]["value"] == "TLS 1.0kg", "a weight travels over TLS")
        end_gracefully(gw, dump, 0, "TLS")
    finally:
        code = finish(home, broker, dump, gw)
    return code


if __name__ == "__main__":
    sys.exit(main())

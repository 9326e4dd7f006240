#!/usr/bin/python3
"""OPC UA security, end to end: the real linvaro, headless, with a "scale" on a
pseudo-terminal, and node-opcua's client (ua_security_client.js) with
certificates made by the openssl command:

  - an untrusted client certificate is refused, stored in pki/rejected and
    trusted once the file is moved to pki/trusted;
  - every policy with Sign and SignAndEncrypt opens a session, and
    GetEndpoints lists each endpoint;
  - users added by `linvaro --add-ua-user`: a read-only one cannot write, a
    read-write one writes through the port, a wrong password is refused;
  - off the loopback interface None and Anonymous are refused unless
    Linvaro.ini allows them, which the log warns of; first-use trust.

    ua_security_test.py PATH-TO-linvaro
"""
import json
import os
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from linvaro_log import Log  # noqa: E402
from ua_interop_test import COLUMNS, Device, add_row, free_port  # noqa: E402

MARK = "@@result "
POLICIES = ("Basic256Sha256", "Aes128_Sha256_RsaOaep")
MODES = ("Sign", "SignAndEncrypt")
failures = 0


def check(condition, what, detail=""):
    global failures
    print(("ok    " if condition else "FAIL  ") + what + ("" if condition or not detail else ": %s" % detail),
          flush=True)
    if not condition:
        failures += 1


def make_certificate(folder, name, uri):
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "30", "-subj", "/CN=%s/O=Linvaro tests" % name,
                    "-addext", "subjectAltName=URI:%s,DNS:localhost" % uri,
                    "-addext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
                    "-addext", "extendedKeyUsage=serverAuth,clientAuth",
                    "-addext", "basicConstraints=critical,CA:FALSE"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {"cert": cert, "key": key, "uri": uri, "pki": os.path.join(folder, name + "-pki")}


class Linvaro:
    def __init__(self, program, home, env, listen, extra=""):
        self.port = free_port()
        with open(os.path.join(home, "Linvaro.ini"), "w") as ini:
            ini.write("[Serial Ports]\nCOM5=%s\n" % Device.current.path)
            ini.write("[OPC UA]\nEnabled=1\nPort=%d\nListen=%s\n%s" % (self.port, listen, extra))
        self.url = "opc.tcp://127.0.0.1:%d" % self.port
        self.process = subprocess.Popen([program, "--headless", "--home", home], stdout=subprocess.PIPE, env=env)
        self.log = Log(self.process.stdout)
        self.ready = self.log.wait_for("OPC UA endpoint opc.tcp://%s:%d ready." % (listen, self.port), 30) and \
            self.log.wait_for('Port "Scale" started!', 20)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=20) == 0
        except subprocess.TimeoutExpired:
            self.process.kill()
            return False


def connect(url, **job):
    out = subprocess.run(["/usr/bin/node", os.path.join(HERE, "ua_security_client.js"), url, json.dumps(job)],
                         cwd=HERE, capture_output=True, text=True, timeout=60)
    for line in out.stdout.splitlines():
        if line.startswith(MARK):
            return json.loads(line[len(MARK):])
    return {"connected": False, "session": False, "error": "no result: " + out.stdout[-500:] + out.stderr[-500:]}


def add_user(program, home, env, name, password, role=None):
    args = [program, "--home", home, "--add-ua-user", name] + (["--role", role] if role else [])
    return subprocess.run(args, input=password + "\n", capture_output=True, text=True, env=env, timeout=60)


def main():
    program = sys.argv[1]
    home = tempfile.mkdtemp(prefix="linvaro-uasec-")
    certs = tempfile.mkdtemp(prefix="linvaro-uasec-certs-")
    Device.current = Device()
    db = sqlite3.connect(os.path.join(home, "LINVARO.GDB"))
    db.execute("CREATE TABLE PORT_SETTING (%s)" % COLUMNS)
    db.commit()
    db.close()
    add_row(home, 1, "Scale", "COM5")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=os.path.join(home, "state"),
               XDG_DATA_HOME=os.path.join(home, "data"), LINVARO_REGISTRY_ROOT=os.path.join(home, "registry"))

    # Users, with the password on standard input.
    check(add_user(program, home, env, "reader", "read-pass").returncode == 0, "--add-ua-user adds a reader")
    check(add_user(program, home, env, "writer", "write-pass", "write").returncode == 0, "--add-ua-user adds a writer")
    check(add_user(program, home, env, "nobody", "x", "admin").returncode != 0, "--add-ua-user refuses an unknown role")
    users = os.path.join(home, "OpcUaUsers.txt")
    text = open(users).read()
    check(stat.S_IMODE(os.stat(users).st_mode) == 0o600 and "read-pass" not in text and "$argon2" in text,
          "the users file holds hashes only and is its owner's alone")

    client = make_certificate(certs, "client", "urn:linvaro-test:client")
    server = Linvaro(program, home, env, "127.0.0.1")
    try:
        check(server.ready, "linvaro starts with security", server.log.text[-2000:])
        key = os.path.join(home, "pki", "own", "private", "linvaro.pem")
        check(os.path.exists(os.path.join(home, "pki", "own", "certs", "linvaro.der")) and
              stat.S_IMODE(os.stat(key).st_mode) == 0o600, "own certificate made, its key readable by its owner only")

        # Untrusted: refused and stored; moving the file trusts the client.
        r = connect(server.url, policy="Basic256Sha256", mode="SignAndEncrypt", **client)
        rejected = os.path.join(home, "pki", "rejected", "certs")
        stored = os.listdir(rejected)
        check(not r["session"] and len(stored) == 1, "an untrusted client is refused and its certificate stored",
              "%s %s" % (r, stored))
        check(server.log.wait_for("is not trusted", 10), "the refusal is in the activity log")
        for name in stored:
            shutil.move(os.path.join(rejected, name), os.path.join(home, "pki", "trusted", "certs", name))

        for policy in POLICIES:
            for mode in MODES:
                r = connect(server.url, policy=policy, mode=mode, **client)
                check(r["session"] and r.get("userAccessLevel", 0) & 2, "%s %s: session, anonymous may write"
                      % (policy, mode), r)
        offered = sorted((e["policy"], e["mode"]) for e in r.get("endpoints", []))
        expected = sorted([("None", "None")] + [(p, m) for p in POLICIES for m in MODES])
        check(offered == expected and all(e["certificate"] and "UserName" in e["tokens"] and "Anonymous" in e["tokens"]
                                          for e in r["endpoints"] if e["policy"] != "None"),
              "GetEndpoints lists each endpoint with certificate and user tokens", r.get("endpoints"))

        # Roles.
        r = connect(server.url, policy="Aes128_Sha256_RsaOaep", mode="SignAndEncrypt", user="reader",
                    password="read-pass", write="from reader", **client)
        check(r["session"] and r.get("accessLevel", 0) & 2 and not r.get("userAccessLevel", 2) & 2 and
              r.get("write") == "BadUserAccessDenied", "a read-only user reads but may not write", r)
        r = connect(server.url, policy="Basic256Sha256", mode="Sign", user="writer", password="write-pass",
                    write="from writer", **client)
        got = Device.current.read_until(b"from writer\r\n", 10)
        check(r["session"] and r.get("userAccessLevel", 0) & 2 and r.get("write") == "Good" and
              got.endswith(b"from writer\r\n"), "a read-write user writes through the port", "%s %r" % (r, got))
        check(b"from reader" not in got, "the read-only user's text never reached the port", got)
        r = connect(server.url, policy="Basic256Sha256", mode="SignAndEncrypt", user="writer", password="wrong",
                    **client)
        check(r["connected"] and not r["session"] and "BadUserAccessDenied" in r.get("error", ""),
              "a wrong password is refused", r)
        # Under None the password travels encrypted with the server's key.
        r = connect(server.url, user="reader", password="read-pass")
        check(r["session"], "a user name on a channel without security", r)
    finally:
        check(server.stop(), "linvaro ends on SIGTERM")

    # Off the loopback interface: secured channels and users only.
    server = Linvaro(program, home, env, "0.0.0.0")
    try:
        check(server.ready, "linvaro listens on every interface", server.log.text[-2000:])
        check("Warning: the OPC UA endpoint" not in server.log.text, "no warning when None and Anonymous are refused")
        r = connect(server.url, policy="Basic256Sha256", mode="SignAndEncrypt", user="writer", password="write-pass",
                    **client)
        offered = sorted((e["policy"], e["mode"]) for e in r.get("endpoints", []))
        check(r["session"] and ("None", "None") not in offered and
              all("Anonymous" not in e["tokens"] for e in r.get("endpoints", [])),
              "the network endpoint offers neither None nor Anonymous", r)
        r = connect(server.url, policy="Basic256Sha256", mode="SignAndEncrypt", **client)
        check(r["connected"] and not r["session"], "an anonymous session is refused", r)
        r = connect(server.url, user="writer", password="write-pass")
        check(not r["session"], "a session without security is refused", r)
    finally:
        check(server.stop(), "linvaro ends on SIGTERM")

    newcomer = make_certificate(certs, "newcomer", "urn:linvaro-test:newcomer")
    server = Linvaro(program, home, env, "0.0.0.0", "AllowSecurityNone=1\nAllowAnonymous=1\nTrustNewClients=1\n")
    try:
        check(server.ready, "linvaro starts with None and Anonymous allowed on the network")
        check("allows SecurityPolicy None" in server.log.text and "allows anonymous users" in server.log.text,
              "the log warns of None and Anonymous on the network", server.log.text[-2000:])
        r = connect(server.url, policy="Aes128_Sha256_RsaOaep", mode="Sign", **newcomer)
        trusted = os.listdir(os.path.join(home, "pki", "trusted", "certs"))
        check(r["session"] and any(n.startswith("newcomer") for n in trusted),
              "first-use trust takes a new client and keeps its certificate", "%s %s" % (r, trusted))
        r = connect(server.url)
        check(r["session"], "None with Anonymous when allowed", r)
    finally:
        check(server.stop(), "linvaro ends on SIGTERM")
    shutil.rmtree(certs, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

// The OPC UA side of the interoperability test: node-opcua's client, which
// nobody here wrote, against the real linvaro. ua_interop_test.py runs it and
// plays the devices: this script asks it for device actions with one JSON
// line on stdout and reads the answer line from stdin. Results go to stderr
// as "ok"/"FAIL" lines; the exit code is the number of failures.
//
// usage: node ua_interop_client.js opc.tcp://127.0.0.1:PORT
"use strict";
const path = require("path");
const { spawn } = require("child_process");
const readline = require("readline");
const {
    OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, ClientSubscription, ClientMonitoredItem,
    TimestampsToReturn, StatusCodes, DataType, NodeClass, BrowseDirection, makeBrowsePath,
} = require("node-opcua-client");

const url = process.argv[2];
let failures = 0;
function check(condition, what, detail) {
    if (condition) {
        console.error("ok    " + what);
    } else {
        failures += 1;
        console.error("FAIL  " + what + (detail === undefined ? "" : ": " + detail));
    }
}

// The device side, through the test driver. The client library logs to
// stdout too: requests are the lines that start with the marker.
const MARK = "@@linvaro ";
const answers = [];
const waiting = [];
readline.createInterface({ input: process.stdin }).on("line", (line) => {
    const w = waiting.shift();
    if (w) w(JSON.parse(line)); else answers.push(JSON.parse(line));
});
function ask(request) {
    process.stdout.write(MARK + JSON.stringify(request) + "\n");
    return new Promise((resolve) => {
        const a = answers.shift();
        if (a) resolve(a); else waiting.push(resolve);
    });
}

function until(condition, ms, what) {
    return new Promise((resolve) => {
        const start = Date.now();
        const poll = async () => {
            let ok = false;
            try { ok = await condition(); } catch (e) { ok = false; }
            if (ok) return resolve(true);
            if (Date.now() - start > ms) return resolve(false);
            setTimeout(poll, 50);
        };
        poll();
    });
}

function makeClient(extra) {
    return OPCUAClient.create(Object.assign({
        endpointMustExist: false,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 1000 },
    }, extra || {}));
}

async function readValue(session, nodeId) {
    return (await session.read({ nodeId, attributeId: AttributeIds.Value })).value.value;
}

async function browseNames(session, nodeId, referenceTypeId) {
    const r = await session.browse({
        nodeId, referenceTypeId: referenceTypeId || "HierarchicalReferences", includeSubtypes: true,
        browseDirection: BrowseDirection.Forward, resultMask: 0x3f,
    });
    return r.references.map((x) => ({ name: x.browseName.toString(), display: x.displayName.text, id: x.nodeId.toString(),
                                       cls: x.nodeClass }));
}

// A client in a process of its own that opens a session with a monitored
// item and is then killed: the connection drops without a word.
function abandonedClient() {
    const child = spawn(process.execPath, [__filename, url, "--abandon"], { stdio: ["ignore", "pipe", "inherit"] });
    return new Promise((resolve) => {
        child.stdout.on("data", (d) => { if (String(d).includes("session open")) resolve(child); });
        child.on("exit", () => resolve(null));
    });
}

async function abandon() {
    const client = makeClient({ requestedSessionTimeout: 2000 });
    await client.connect(url);
    const session = await client.createSession();
    const sub = ClientSubscription.create(session, { requestedPublishingInterval: 100, publishingEnabled: true });
    await new Promise((r) => sub.on("started", r));
    ClientMonitoredItem.create(sub, { nodeId: "ns=1;s=Scale_COM5", attributeId: AttributeIds.Value },
                               { samplingInterval: 50, queueSize: 1 }, TimestampsToReturn.Both);
    process.stdout.write("session open\n");
    setInterval(() => {}, 1000); // waits to be killed
}

async function main() {
    const client = makeClient();
    await client.connect(url);
    check(true, "connect over opc.tcp with SecurityPolicy None");

    // On the loopback interface the None endpoint stays beside the secured ones.
    const endpoints = await client.getEndpoints();
    const none = endpoints.filter((e) => e.securityPolicyUri === SecurityPolicy.None);
    check(none.length === 1 && endpoints.every((e) => e.endpointUrl === url) &&
          none[0].server.applicationName.text === "Quorbel Linvaro",
          "GetEndpoints: one None endpoint, all at the URL used", JSON.stringify(endpoints.map((e) => e.endpointUrl)));
    check(none.length === 1 && none[0].userIdentityTokens.some((t) => t.tokenType === 0),
          "GetEndpoints: anonymous users");

    const session = await client.createSession();
    check(true, "CreateSession and ActivateSession (anonymous)");

    // Browse from Root down to the port object and its Value.
    const root = await browseNames(session, "RootFolder");
    check(root.map((r) => r.name).join() === "Objects,Types,Views", "Root holds Objects, Types, Views", root.map((r) => r.name));
    const objects = await browseNames(session, "ObjectsFolder");
    const portsRef = objects.find((r) => r.name === "1:Ports");
    check(objects.some((r) => r.name === "Server") && portsRef, "Objects holds Server and Ports");
    const ports = await browseNames(session, portsRef.id, "Organizes");
    const scale = ports.find((r) => r.display === "Scale (COM5)");
    check(scale && scale.name === "1:Scale" && scale.cls === NodeClass.Object, "Ports holds the port object \"Scale (COM5)\"",
          JSON.stringify(ports));
    const children = await browseNames(session, scale.id);
    check(children.map((r) => r.name).join() ===
          "1:Value,1:DeviceState,1:StringsReceived,1:BytesReceived,1:BytesSent,1:LastReceived,1:Errors",
          "the port object holds Value and the diagnostics", children.map((r) => r.name).join());
    const valueId = children.find((r) => r.name === "1:Value").id;
    check(valueId === "ns=1;s=Scale_COM5", "Value's NodeId is the tag's name", valueId);
    const translated = await session.translateBrowsePath(makeBrowsePath("RootFolder", "/Objects/1:Ports/1:Scale/1:Value"));
    check(translated.statusCode === StatusCodes.Good && translated.targets[0].targetId.toString() === valueId,
          "TranslateBrowsePathsToNodeIds finds the Value");

    // Every attribute of Value.
    const ids = [];
    for (let a = 1; a <= 27; a++) ids.push({ nodeId: valueId, attributeId: a });
    const attrs = await session.read(ids);
    const at = (id) => attrs[id - 1];
    check(at(AttributeIds.NodeClass).value.value === NodeClass.Variable, "NodeClass Variable");
    check(at(AttributeIds.BrowseName).value.value.toString() === "1:Value", "BrowseName 1:Value");
    check(at(AttributeIds.DisplayName).value.value.text === "Value", "DisplayName Value");
    check(at(AttributeIds.DataType).value.value.toString() === "ns=0;i=12", "DataType String");
    check(at(AttributeIds.ValueRank).value.value === -1, "ValueRank scalar");
    check(at(AttributeIds.AccessLevel).value.value === 3 && at(AttributeIds.UserAccessLevel).value.value === 3,
          "AccessLevel and UserAccessLevel read and write");
    check(at(AttributeIds.MinimumSamplingInterval).value.value === 0, "MinimumSamplingInterval 0: sampled as it changes");
    check(at(AttributeIds.Historizing).value.value === false, "Historizing false");
    check(at(AttributeIds.Value).statusCode === StatusCodes.Good && at(AttributeIds.Value).value.dataType === DataType.String,
          "Value is a Good String");
    check(at(AttributeIds.IsAbstract).statusCode === StatusCodes.BadAttributeIdInvalid &&
          at(AttributeIds.EventNotifier).statusCode === StatusCodes.BadAttributeIdInvalid,
          "attributes a variable lacks are Bad_AttributeIdInvalid");

    // A string framed on the port arrives as a data change.
    const sub = ClientSubscription.create(session, {
        requestedPublishingInterval: 10, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 600,
        maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1,
    });
    await new Promise((r) => sub.on("started", r));
    check(sub.publishingInterval === 10, "subscription at a 10 ms publishing interval", sub.publishingInterval);
    const seen = [];
    const item = ClientMonitoredItem.create(sub, { nodeId: valueId, attributeId: AttributeIds.Value },
                                            { samplingInterval: 10, discardOldest: true, queueSize: 10 },
                                            TimestampsToReturn.Both);
    item.on("changed", (dv) => seen.push(dv));
    await until(() => seen.length >= 1, 5000);
    const fedAt = Date.now();
    await ask({ op: "feed", port: "COM5", data: "12.5 kg\r" });
    const arrived = await until(() => seen.some((dv) => dv.value.value === "12.5 kg"), 5000);
    const change = seen.find((dv) => dv.value.value === "12.5 kg");
    check(arrived, "a framed string arrives as a data change", JSON.stringify(seen.map((d) => d.value.value)));
    if (change) {
        check(Math.abs(change.sourceTimestamp.getTime() - fedAt) < 3000 && change.serverTimestamp,
              "the change carries when it was framed and when it was read");
    }

    // A written text goes out of the port with its suffix.
    const w = await session.write({ nodeId: valueId, attributeId: AttributeIds.Value,
                                    value: { value: { dataType: DataType.String, value: "TARE" } } });
    check(w === StatusCodes.Good, "Write of the Value is Good", w.toString());
    const device = await ask({ op: "expect", port: "COM5", data: "TARE\r\n" });
    check(device.ok, "the device gets the text with the port's auto-suffix", JSON.stringify(device));
    const bad = await session.write({ nodeId: valueId, attributeId: AttributeIds.Value,
                                      value: { value: { dataType: DataType.Double, value: 1 } } });
    check(bad === StatusCodes.BadTypeMismatch, "a number written to the text tag is Bad_TypeMismatch", bad.toString());

    // The diagnostics.
    const base = scale.id;
    const diag = {};
    for (const n of ["DeviceState", "StringsReceived", "BytesReceived", "BytesSent", "LastReceived", "Errors"])
        diag[n] = await readValue(session, base + "/" + n);
    check(diag.DeviceState === "Running", "DeviceState Running", diag.DeviceState);
    // node-opcua gives a UInt64 as [high, low].
    const asNumber = (v) => Array.isArray(v) ? v[0] * 4294967296 + v[1] : Number(v);
    check(asNumber(diag.StringsReceived) >= 1, "StringsReceived counts the string", JSON.stringify(diag.StringsReceived));
    check(asNumber(diag.BytesReceived) >= 8 && asNumber(diag.BytesSent) >= 6, "bytes counted both ways",
          JSON.stringify([diag.BytesReceived, diag.BytesSent]));
    check(diag.LastReceived instanceof Date && Math.abs(diag.LastReceived.getTime() - fedAt) < 3000, "LastReceived");
    check(diag.Errors === 0, "Errors 0", diag.Errors);

    // A settings reload with a port added: seen on the next browse.
    const versionBefore = await readValue(session, "ns=1;s=Ports/NodeVersion");
    const reloaded = await ask({ op: "add_port", description: "Printer", port: "COM6" });
    check(reloaded.ok, "the driver added a port and reloaded the settings", JSON.stringify(reloaded));
    const after = await browseNames(session, portsRef.id, "Organizes");
    check(after.some((r) => r.display === "Printer (COM6)") && after.some((r) => r.display === "Scale (COM5)"),
          "the next browse shows the new port", JSON.stringify(after.map((r) => r.display)));
    check((await readValue(session, "ns=1;s=Ports/NodeVersion")) !== versionBefore, "the Ports folder's NodeVersion changed");
    // The monitored item lives on through the reload.
    await ask({ op: "feed", port: "COM5", data: "13.0 kg\r" });
    check(await until(() => seen.some((dv) => dv.value.value === "13.0 kg"), 5000),
          "the monitored Value reports after the reload");

    // A client that disconnects without closing: its session ends at its
    // time-out, the endpoint goes on.
    const sessions = () => readValue(session, "i=2277");
    const timeouts = () => readValue(session, "i=2281");
    const timeoutsBefore = await timeouts();
    const child = await abandonedClient();
    check(child !== null && (await sessions()) === 2, "a second client opened a session");
    child.kill("SIGKILL");
    const gone = await until(async () => (await sessions()) === 1 && (await timeouts()) === timeoutsBefore + 1, 15000);
    check(gone, "its session times out after it dropped its connection");
    check((await readValue(session, valueId)) === "13.0 kg", "the endpoint serves on");

    // The device goes away: Bad_NoCommunication and DeviceLost.
    await ask({ op: "lose", port: "COM5" });
    const lost = await until(async () => (await readValue(session, base + "/DeviceState")) === "DeviceLost", 10000);
    check(lost, "DeviceState DeviceLost when the device is gone");
    const v = await session.read({ nodeId: valueId, attributeId: AttributeIds.Value });
    check(v.statusCode === StatusCodes.BadNoCommunication, "Value is Bad_NoCommunication meanwhile", v.statusCode.toString());

    await sub.terminate();
    // The main client leaves without CloseSession: the server keeps its
    // session until the time-out; the test ends before.
    await client.disconnect();
    check(true, "disconnect without closing the session");
}

if (process.argv[3] === "--abandon") {
    abandon().catch((e) => { console.error("abandoned client: " + e.message); process.exit(1); });
} else {
    const watchdog = setTimeout(() => { console.error("FAIL  the test did not end in 120 s"); process.exit(100); }, 120000);
    main().then(() => {
        clearTimeout(watchdog);
        process.exit(failures);
    }).catch((e) => {
        console.error("FAIL  " + (e && e.stack ? e.stack : e));
        process.exit(100);
    });
}

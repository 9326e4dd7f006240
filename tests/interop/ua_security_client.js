// One connection of node-opcua's client, which nobody here wrote, for the
// security interoperability test (ua_security_test.py): it connects with the
// policy, mode, certificate and user the JSON argument names, and prints what
// happened as one JSON line on stdout, after the marker.
//
// usage: node ua_security_client.js opc.tcp://HOST:PORT '{"policy": "Basic256Sha256", "mode": "SignAndEncrypt",
//        "cert": PEM-FILE, "key": PEM-FILE, "pki": FOLDER, "uri": APPLICATION-URI, "user": NAME, "password": TEXT,
//        "write": TEXT}'
"use strict";
const {
    OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, UserTokenType, DataType,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const MARK = "@@result ";
const url = process.argv[2];
const job = JSON.parse(process.argv[3]);

async function main() {
    const result = { connected: false, session: false };
    const options = {
        endpointMustExist: false,
        applicationUri: job.uri || "urn:linvaro-test:client",
        securityMode: MessageSecurityMode[job.mode || "None"],
        securityPolicy: SecurityPolicy[job.policy || "None"],
        connectionStrategy: { maxRetry: 0 },
        requestedSessionTimeout: 10000,
    };
    if (job.cert) {
        options.certificateFile = job.cert;
        options.privateKeyFile = job.key;
        // The server's certificate is new to this client every run.
        options.clientCertificateManager = new OPCUACertificateManager({
            rootFolder: job.pki, automaticallyAcceptUnknownCertificate: true,
        });
    }
    const client = OPCUAClient.create(options);
    // A refused channel makes the client try again for ever otherwise.
    client.on("backoff", () => client.disconnect().catch(() => {}));
    const started = Date.now();
    try {
        await client.connect(url);
        result.connected = true;
        result.endpoints = (await client.getEndpoints()).map((e) => ({
            policy: e.securityPolicyUri.split("#")[1], mode: MessageSecurityMode[e.securityMode],
            tokens: e.userIdentityTokens.map((t) => UserTokenType[t.tokenType]), certificate: !!e.serverCertificate,
        }));
        const identity = job.user ? { type: UserTokenType.UserName, userName: job.user, password: job.password }
            : undefined;
        const session = await client.createSession(identity);
        result.session = true;
        result.openMs = Date.now() - started;
        const v = await session.read([
            { nodeId: "ns=1;s=Scale_COM5", attributeId: AttributeIds.UserAccessLevel },
            { nodeId: "ns=1;s=Scale_COM5", attributeId: AttributeIds.AccessLevel },
        ]);
        result.userAccessLevel = v[0].value.value;
        result.accessLevel = v[1].value.value;
        if (job.write !== undefined) {
            const w = await session.write({ nodeId: "ns=1;s=Scale_COM5", attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.String, value: job.write } } });
            result.write = w.name;
        }
        await session.close();
    } catch (e) {
        result.error = String(e.message || e).split("\n")[0];
    }
    await client.disconnect().catch(() => {});
    process.stdout.write(MARK + JSON.stringify(result) + "\n");
}

main().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });

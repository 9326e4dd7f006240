// An independent Sparkplug B codec for the tests: the npm package
// sparkplug-payload, which nobody here wrote.
//   node sparkplug.js decode DIR     DIR/index.txt lists "<file> <topic>";
//                                    prints one JSON line per message
//   node sparkplug.js encode JSON    writes the encoded payload to stdout
'use strict';
const fs = require('fs');
const path = require('path');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

function plain(value) {
    if (value && typeof value === 'object' && typeof value.toNumber === 'function') return value.toString();
    if (value instanceof Uint8Array) return Buffer.from(value).toString('hex');
    return value;
}

const [command, arg] = process.argv.slice(2);
if (command === 'decode') {
    const lines = fs.readFileSync(path.join(arg, 'index.txt'), 'utf8').split('\n').filter(Boolean);
    for (const line of lines) {
        const space = line.indexOf(' ');
        const file = line.slice(0, space);
        const topic = line.slice(space + 1);
        const out = { topic };
        if (topic.startsWith('spBv1.0/STATE/')) {
            out.text = fs.readFileSync(path.join(arg, file), 'utf8');
        } else {
            try {
                const p = sparkplug.decodePayload(fs.readFileSync(path.join(arg, file)));
                out.timestamp = plain(p.timestamp);
                out.seq = p.seq === undefined || p.seq === null ? null : plain(p.seq);
                out.metrics = (p.metrics || []).map(m => ({
                    name: m.name, type: m.type, value: plain(m.value),
                    timestamp: m.timestamp === undefined || m.timestamp === null ? null : plain(m.timestamp),
                    historical: !!m.isHistorical,
                }));
            } catch (e) {
                out.error = String(e.message || e);
            }
        }
        process.stdout.write(JSON.stringify(out) + '\n');
    }
} else if (command === 'encode') {
    const payload = JSON.parse(arg);
    if (payload.timestamp === undefined) payload.timestamp = Date.now();
    process.stdout.write(Buffer.from(sparkplug.encodePayload(payload)));
} else {
    process.stderr.write('usage: node sparkplug.js decode DIR | encode JSON\n');
    process.exit(2);
}

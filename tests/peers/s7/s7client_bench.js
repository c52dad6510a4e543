// The snap7 client that node-snap7 brings, timed for bench_s7: connects to
// 127.0.0.1:PORT (rack 0, slot 2) and reads the flag word MW20 with
// S7Client.ReadArea, one blocking call at a time.
// Options: --port N, --reads N (default 2000), --warmup N (default 200).
// Prints one line: "roundtrips_us" and every round trip in microseconds.
'use strict';

const snap7 = require('node-snap7');

let port = 0;
let reads = 2000;
let warmup = 200;
const argv = process.argv.slice(2);
for (let i = 0; i + 1 < argv.length; i += 2) {
    if (argv[i] === '--port') port = parseInt(argv[i + 1], 10);
    else if (argv[i] === '--reads') reads = parseInt(argv[i + 1], 10);
    else if (argv[i] === '--warmup') warmup = parseInt(argv[i + 1], 10);
}

const client = new snap7.S7Client();
client.SetParam(client.RemotePort, port);
if (!client.ConnectTo('127.0.0.1', 0, 2)) {
    process.stdout.write('error connect: ' + client.ErrorText(client.LastError()) + '\n');
    process.exit(1);
}

function readOnce() {
    return client.ReadArea(client.S7AreaMK, 0, 20, 2, client.S7WLByte);
}

for (let i = 0; i < warmup; ++i) readOnce();

const samples = [];
let failures = 0;
for (let i = 0; i < reads; ++i) {
    const start = process.hrtime.bigint();
    const result = readOnce();
    const end = process.hrtime.bigint();
    if (!result || result.length !== 2) ++failures;
    samples.push(Number(end - start) / 1000);
}
client.Disconnect();
process.stdout.write('failures ' + failures + '\n');
process.stdout.write('roundtrips_us ' + samples.map((v) => v.toFixed(2)).join(' ') + '\n');

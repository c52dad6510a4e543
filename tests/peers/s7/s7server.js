// An S7 server on 127.0.0.1 for the tests and the benchmark (node-snap7's
// S7Server). Areas registered, with known contents:
//   inputs, outputs, flags: 256 bytes each; data blocks 1 and 10: 256 bytes each;
//   timers and counters: 64 of each, 2 bytes per element.
// Options:
//   --port N        ISO-on-TCP port (required)
//   --lifetime S    stop by itself after S seconds (default 120)
//   --set AREA:BYTE:HEX   store bytes before start, e.g. --set MK:20:1234 or
//                   --set DB10:4:FFFF; AREA is PE, PA, MK, TM, CT or DB<n>
//   --timer N:HEX, --counter N:HEX   store the 2 bytes that a read of timer
//                   or counter N answers with
// Prints "ready <port>" once it listens.
'use strict';

const snap7 = require('node-snap7');

function fail(text) {
    process.stderr.write('s7server: ' + text + '\n');
    process.exit(2);
}

let port = 0;
let lifetime = 120;
const settings = [];
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; ++i) {
    const value = argv[i + 1];
    if (argv[i] === '--port') { port = parseInt(value, 10); ++i; }
    else if (argv[i] === '--lifetime') { lifetime = parseFloat(value); ++i; }
    else if (argv[i] === '--set') { settings.push(value); ++i; }
    else if (argv[i] === '--timer' || argv[i] === '--counter') {
        // The snap7 server answers a read of timer or counter N from byte N/2
        // (rounded down) of the registered buffer, not from byte 2N.
        const parts = String(value).split(':');
        const offset = Math.floor(parseInt(parts[0], 10) / 2);
        settings.push((argv[i] === '--timer' ? 'TM:' : 'CT:') + offset + ':' + parts[1]);
        ++i;
    }
    else fail('unknown option ' + argv[i]);
}
if (!(port > 0 && port < 65536)) fail('--port is required');

const server = new snap7.S7Server();
const areas = {
    PE: Buffer.alloc(256),
    PA: Buffer.alloc(256),
    MK: Buffer.alloc(256),
    TM: Buffer.alloc(128),
    CT: Buffer.alloc(128),
    DB1: Buffer.alloc(256),
    DB10: Buffer.alloc(256),
};

for (const setting of settings) {
    const parts = setting.split(':');
    if (parts.length !== 3) fail('bad --set ' + setting);
    const target = areas[parts[0].toUpperCase()];
    if (!target) fail('unknown area ' + parts[0]);
    const bytes = Buffer.from(parts[2], 'hex');
    bytes.copy(target, parseInt(parts[1], 10));
}

server.RegisterArea(server.srvAreaPE, areas.PE);
server.RegisterArea(server.srvAreaPA, areas.PA);
server.RegisterArea(server.srvAreaMK, areas.MK);
server.RegisterArea(server.srvAreaTM, areas.TM);
server.RegisterArea(server.srvAreaCT, areas.CT);
server.RegisterArea(server.srvAreaDB, 1, areas.DB1);
server.RegisterArea(server.srvAreaDB, 10, areas.DB10);

if (!server.SetParam(server.LocalPort, port)) fail('cannot set the port');
if (server.StartTo('127.0.0.1') === false) fail('cannot start: ' + server.ErrorText(server.LastError()));
process.stdout.write('ready ' + port + '\n');

function stop() {
    server.Stop();
    process.exit(0);
}
setTimeout(stop, lifetime * 1000);
process.on('SIGTERM', stop);
process.on('SIGINT', stop);

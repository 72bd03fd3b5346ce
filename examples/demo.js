'use strict';
// Calls each of the seven functions of brannic.node once and prints what came back.
const path = require('node:path');

const brannic = require(path.resolve(__dirname, '..', process.env.BRANNIC_BUILD_DIR || 'build', 'brannic.node'));

function show(call, result) {
  console.log(`${call.padEnd(44)} -> ${JSON.stringify(result)}`);
}

show('version()', brannic.version());
show('init()', brannic.init());
show("reportSignal(2, 'demo signal')", brannic.reportSignal(2, 'demo signal'));
show('triggerSignal(\'{"action":"scan"}\')', brannic.triggerSignal('{"action":"scan"}'));
show('checkSignal(\'{"check":"status"}\')', brannic.checkSignal('{"check":"status"}'));
show("identityAgent({ user: 'demo' })", brannic.identityAgent({ user: 'demo' }));
show("reportSignal(9, 'out of range')", brannic.reportSignal(9, 'out of range'));
show('close()', brannic.close());
show('triggerSignal(\'{}\') after close()', brannic.triggerSignal('{}'));

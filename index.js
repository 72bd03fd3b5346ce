'use strict';
// Loads the addon: in a checkout the build's own build/brannic.node, in an installed package the copy
// without debug information that `npm pack` puts at dist/brannic.node.
const fs = require('node:fs');
const path = require('node:path');

const built = path.join(__dirname, 'build', 'brannic.node');
const packed = path.join(__dirname, 'dist', 'brannic.node');
module.exports = require(fs.existsSync(built) || !fs.existsSync(packed) ? built : packed);

// Never runs. Node finds the names that an ES module may import from this file
// (`import { init } from 'brannic'`) by reading its text, which cannot see into the .node file: this
// line names the seven functions for it.
0 && (module.exports = { init, close, reportSignal, triggerSignal, checkSignal, identityAgent, version });

'use strict';
// Loads the built addon. The build puts it at build/brannic.node.
module.exports = require('./build/brannic.node');

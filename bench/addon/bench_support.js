'use strict';
// What the addon benchmarks share: the median, the folder of the built benchmark programs, and a run with
// the stand-in daemon started and the addon loaded.
const path = require('node:path');
const { Daemon, ADDON } = require('../../tests/js/support/daemon');

const BENCH_DIR = path.join(path.dirname(ADDON), 'bench');

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

const us = (ns) => `${(ns / 1000).toFixed(1)} us`;

// Starts the daemon, runs fn(addon) and stops everything again; a failure ends the process with status 1.
function run(fn) {
  (async () => {
    const daemon = await Daemon.start();
    const addon = require(ADDON);
    try {
      await fn(addon);
    } finally {
      addon.close();
      await daemon.stop();
    }
  })().catch((e) => {
    console.error(e.message);
    process.exit(1);
  });
}

module.exports = { BENCH_DIR, median, us, run };

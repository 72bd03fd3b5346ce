'use strict';
// Runs every JavaScript test file under tests/js with Node's built-in test runner, one file at a time
// (the daemon-backed tests use the real socket path, so they must not overlap).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const dir = path.join(__dirname, '..', 'tests', 'js');
const files = fs.existsSync(dir)
  ? fs.readdirSync(dir).filter((f) => f.endsWith('.test.js')).sort().map((f) => path.join(dir, f))
  : [];
if (files.length === 0) {
  console.log('no JavaScript test files');
  process.exit(0);
}
let failed = 0;
for (const file of files) {
  const r = spawnSync(process.execPath, ['--test', file], { stdio: 'inherit' });
  if (r.status !== 0) failed++;
}
process.exit(failed === 0 ? 0 : 1);

'use strict';
// brannic.node when its own allocations fail. A child Node process runs with a preloaded shim
// (tests/addon/fail_alloc_shim.c) that makes malloc or calloc fail only when brannic.node calls them.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { Daemon, ADDON } = require('./support/daemon');

const buildDir = path.dirname(ADDON);
const SHIM = path.join(buildDir, 'tests', 'addon', 'fail_alloc_shim.so');
// A sanitizer or fuzzing build has no shim: its runtime owns the allocator.
const cache = path.join(buildDir, 'CMakeCache.txt');
const instrumented = fs.existsSync(cache) && /^BRANNIC_(SANITIZE|FUZZ):BOOL=ON$/m.test(fs.readFileSync(cache, 'utf8'));
const skip = instrumented ? 'no allocation shim in an instrumented build' : false;

const NO_MEMORY = { ok: false, error: 'BNQ_ERR_NO_MEMORY' };
const INVALID = { ok: false, error: 'BNQ_ERR_INVALID_ARG' };

// Runs `source` in a child Node process with the shim failing `failing` ("malloc", "calloc" or ""), and
// returns what it printed as JSON. The child finds the addon in process.env.ADDON.
function inChild(failing, source) {
  assert.ok(fs.existsSync(SHIM), `${SHIM} is built`);
  const r = spawnSync(process.execPath, ['-e', source], {
    env: { ...process.env, LD_PRELOAD: SHIM, BRANNIC_FAIL_ALLOC: failing, ADDON },
    encoding: 'utf8',
    timeout: 60000,
  });
  assert.equal(r.status, 0, `child failed: ${r.stderr}`);
  return JSON.parse(r.stdout);
}

test('when the instance slot cannot be allocated, loading throws', { skip }, () => {
  const load = `
    let out;
    try {
      out = Object.keys(require(process.env.ADDON)).length;
    } catch (e) {
      out = { message: e.message, code: e.code === undefined ? 'none' : e.code };
    }
    console.log(JSON.stringify(out));
  `;
  for (const [failing, expected] of [
    ['', 7],
    ['malloc', 7],
    ['calloc', { message: 'Failed to allocate addon instance data', code: 'none' }],
  ]) {
    assert.deepEqual(inChild(failing, load), expected, failing || 'nothing fails');
  }
});

test('when a string argument cannot be copied, the result is BNQ_ERR_NO_MEMORY without a message', { skip }, async () => {
  // The identity request leaves a failure text in the context; a failed copy must not carry it.
  const daemon = await Daemon.start(['--status', '3=-4']);
  try {
    const out = inChild('malloc', `
      const a = require(process.env.ADDON);
      const copies = () => [a.reportSignal(1, 'x'), a.triggerSignal('{}'), a.checkSignal('{}'), a.triggerSignal('')];
      const out = { withoutContext: copies(), init: a.init(), agent: a.identityAgent() };
      out.withContext = copies();
      out.emptyContent = a.reportSignal(1, '');
      a.close();
      console.log(JSON.stringify(out));
    `);
    assert.deepEqual(out, {
      withoutContext: [NO_MEMORY, NO_MEMORY, NO_MEMORY, NO_MEMORY],
      init: { ok: true },
      agent: { ok: false, error: 'BNQ_ERR_AUTH_FAILED', message: 'server: unauthorized' },
      withContext: [NO_MEMORY, NO_MEMORY, NO_MEMORY, NO_MEMORY],
      emptyContent: INVALID,
    });
    assert.deepEqual(daemon.requests().map((r) => r.command), [3], 'nothing but the identity request was sent');
  } finally {
    await daemon.stop();
  }
});

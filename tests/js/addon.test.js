'use strict';
// brannic.node from JavaScript against the stand-in daemon.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { Daemon, ADDON, sleep } = require('./support/daemon');

const addon = require(ADDON);
const INVALID = { ok: false, error: 'BNQ_ERR_INVALID_ARG' };

// Runs fn with a started daemon and an initialised addon; stops both afterwards.
async function withDaemon(args, fn) {
  const daemon = await Daemon.start(args);
  try {
    assert.deepEqual(addon.init(), { ok: true });
    await fn(daemon);
  } finally {
    addon.close();
    await daemon.stop();
  }
}

test('exports the seven functions in order, and version', () => {
  assert.deepEqual(Object.keys(addon), [
    'init', 'close', 'reportSignal', 'triggerSignal', 'checkSignal', 'identityAgent', 'version',
  ]);
  assert.equal(addon.version(), '0.2.0.1001');
  assert.equal(addon.version(1, 2), '0.2.0.1001');
});

test('the package entry loads the built addon, by path and by the package\'s own name', { skip: ADDON !== path.resolve(__dirname, '../../build/brannic.node') }, () => {
  assert.equal(require('../..'), addon);
  assert.equal(require('brannic'), addon);
});

test('without a context every request is refused without a message', () => {
  for (const call of [
    () => addon.reportSignal(1, 'x'),
    () => addon.triggerSignal('{}'),
    () => addon.checkSignal('{}'),
    () => addon.identityAgent(),
    () => addon.identityAgent({ a: 1 }),
  ]) {
    assert.deepEqual(call(), INVALID);
  }
  assert.deepEqual(addon.close(), { ok: true });
  assert.deepEqual(addon.close(), { ok: true });
});

test('init without a daemon', () => {
  const r = addon.init();
  assert.deepEqual(r, {
    ok: false,
    error: 'BNQ_ERR_DAEMON_UNAVAIL',
    message: 'connect failed: daemon not running',
  });
  assert.deepEqual(addon.triggerSignal('{}'), INVALID);
});

test('reportSignal argument conversions and what the daemon receives', async () => {
  await withDaemon([], async (daemon) => {
    const sent = [
      [2.9, 2],
      [NaN, 0],
      [4294967299, 3],
      [8, 8],
      [-0.5, 0],
      [Infinity, 0],
    ];
    for (const [type] of sent) assert.deepEqual(addon.reportSignal(type, 'x', 'ignored'), { ok: true });
    for (const args of [[-1, 'x'], [9, 'x'], ['1', 'x'], [1], [], [1, ''], [1, 5], [null, 'x']]) {
      assert.deepEqual(addon.reportSignal(...args), INVALID, JSON.stringify(args));
    }
    const got = daemon.requests();
    assert.deepEqual(
      got.map((r) => [r.command, r.payload.toString()]),
      sent.map(([, type]) => [4, `{"content":"x","type":${type}}`]),
    );
  });
});

test('reportSignal content: escapes, the NUL cut and the 8192-byte cut', async () => {
  await withDaemon([], async (daemon) => {
    assert.deepEqual(addon.reportSignal(1, 'é\u{1F600}\t"/'), { ok: true });
    assert.deepEqual(addon.reportSignal(1, 'ab\0cd'), { ok: true });
    assert.deepEqual(addon.reportSignal(1, 'a'.repeat(8191) + '€'), { ok: true });
    const [escapes, nul, long] = daemon.requests().map((r) => r.payload.toString());
    assert.equal(escapes, '{"content":"\\u00e9\\ud83d\\ude00\\t\\"/","type":1}');
    assert.equal(nul, '{"content":"ab","type":1}');
    assert.equal(JSON.parse(long).content, 'a'.repeat(8191));
  });
});

test('triggerSignal and checkSignal', async () => {
  const reply = '{"sessionId":"0123456789abcdef0123456789abcdef0123XYZ","signalResult":"done","x":1}';
  await withDaemon(['--data', `6=${reply}`], async (daemon) => {
    assert.deepEqual(addon.triggerSignal('{"biz":1}'), { ok: true });
    assert.deepEqual(addon.triggerSignal(''), { ...INVALID, message: 'biz_json is NULL or empty' });
    assert.deepEqual(addon.checkSignal(''), { ...INVALID, message: 'ctx or request_json is NULL or empty' });
    for (const bad of [[123], [], [{}]]) {
      assert.deepEqual(addon.triggerSignal(...bad), INVALID);
      assert.deepEqual(addon.checkSignal(...bad), INVALID);
    }
    const r = addon.checkSignal('{"q":"é"}');
    assert.deepEqual(r, { ok: true, session_id: '0123456789abcdef0123456789abcdef0123', signal_result: 'done' });
    assert.deepEqual(Object.keys(r), ['ok', 'session_id', 'signal_result']);
    assert.deepEqual(
      daemon.requests().map((q) => [q.command, q.payload.toString()]),
      [[5, '{"biz":1}'], [6, '{"q":"é"}']],
    );
  });
  await withDaemon(['--data', '6={"signalResult":"only"}'], async () => {
    assert.deepEqual(addon.checkSignal('{}'), { ok: true, signal_result: 'only' });
  });
  await withDaemon(['--data', '6=[1]'], async () => {
    assert.deepEqual(addon.checkSignal('{}'), {
      ok: false, error: 'BNQ_ERR_PROTOCOL', message: 'parse response failed',
    });
  });
});

// The RPC layer's messages carry at most 1 MiB after their length prefix; the rest of a request message
// takes 88 bytes. A longer text fails before it is sent, on the first connection and again on the new one.
test('a request text over the message bound never reaches the daemon, and the context stays usable', async () => {
  const largest = 1048576 - 88;
  await withDaemon(['--data', '6={}'], async (daemon) => {
    for (const call of [addon.triggerSignal, addon.checkSignal]) {
      assert.deepEqual(call('x'.repeat(largest)), { ok: true });
      assert.deepEqual(call('x'.repeat(largest + 1)), {
        ok: false, error: 'BNQ_ERR_DAEMON_UNAVAIL', message: 'rpc failed: rpc error after reconnect',
      });
    }
    assert.deepEqual(addon.triggerSignal('{}'), { ok: true });
    assert.deepEqual(daemon.requests().map((r) => [r.command, r.payload.length]),
      [[5, largest], [6, largest], [5, 2]]);
  });
});

test('identityAgent payloads and token', async () => {
  await withDaemon(['--data', '3=token-1'], async (daemon) => {
    const ok = { ok: true, token: 'token-1' };
    assert.deepEqual(addon.identityAgent(), ok);
    assert.deepEqual(addon.identityAgent(undefined), ok);
    assert.deepEqual(addon.identityAgent(null), ok);
    assert.deepEqual(addon.identityAgent([1, 2]), ok);
    assert.deepEqual(addon.identityAgent({ user: 'ü' }), ok);
    const long = { k: 'v'.repeat(600) };
    assert.deepEqual(addon.identityAgent(long), ok);
    assert.deepEqual(addon.identityAgent({ toJSON: () => undefined }), ok);
    for (const bad of ['x', 1, true, Symbol('s'), () => 1, 10n]) {
      assert.deepEqual(addon.identityAgent(bad), INVALID);
    }
    const cyclic = {};
    cyclic.self = cyclic;
    assert.deepEqual(addon.identityAgent(cyclic), INVALID);
    assert.deepEqual(addon.identityAgent({ big: 1n }), INVALID);
    // Reaching JSON.stringify throws: the exception is cleared, not passed on.
    const stringify = Object.getOwnPropertyDescriptor(JSON, 'stringify');
    Object.defineProperty(JSON, 'stringify', { get() { throw new Error('unreachable'); }, configurable: true });
    let unreachable;
    try {
      unreachable = addon.identityAgent({ a: 1 });
    } catch (e) {
      unreachable = e;
    } finally {
      Object.defineProperty(JSON, 'stringify', stringify);
    }
    assert.deepEqual(unreachable, INVALID);

    const payloads = daemon.requests().map((r) => r.payload.toString());
    assert.deepEqual(payloads, [
      '', '', '', '[1,2]', '{"user":"ü"}', JSON.stringify(long).slice(0, 511), '',
    ]);
  });
  await withDaemon(['--status', '3=-4'], async () => {
    assert.deepEqual(addon.identityAgent(), {
      ok: false, error: 'BNQ_ERR_AUTH_FAILED', message: 'server: unauthorized',
    });
  });
});

test('init twice closes the first context first', async () => {
  await withDaemon([], async (daemon) => {
    assert.deepEqual(addon.init(), { ok: true });
    const events = daemon.events().map((e) => `${e.event} ${e.fields.conn}`);
    assert.ok(events.indexOf('close 1') >= 0 && events.indexOf('close 1') < events.indexOf('accept 2'), events.join());
    assert.deepEqual(addon.triggerSignal('{}'), { ok: true });
    await daemon.stop();
    const r = addon.init();
    assert.equal(r.error, 'BNQ_ERR_DAEMON_UNAVAIL');
    assert.deepEqual(addon.triggerSignal('{}'), INVALID, 'a failed init leaves no context');
  });
});

test('a daemon that restarts between calls is reached again', async () => {
  let daemon = await Daemon.start();
  try {
    assert.deepEqual(addon.init(), { ok: true });
    await daemon.stop();
    daemon = await Daemon.start();
    assert.deepEqual(addon.triggerSignal('{"n":2}'), { ok: true });
    assert.equal(daemon.requests().length, 1);
  } finally {
    addon.close();
    await daemon.stop();
  }
});

function runWorker(source) {
  return new Promise((resolve, reject) => {
    const w = new Worker(source, { eval: true, workerData: { addon: ADDON } });
    let message;
    w.on('message', (m) => { message = m; });
    w.on('error', reject);
    w.on('exit', (code) => (code === 0 ? resolve(message) : reject(new Error(`worker exit ${code}`))));
  });
}

test('workers have their own context, closed when the worker ends', async () => {
  await withDaemon(['--data', '3=tok'], async (daemon) => {
    const result = await runWorker(`
      const { parentPort, workerData } = require('node:worker_threads');
      const a = require(workerData.addon);
      parentPort.postMessage([a.identityAgent(), a.init(), a.identityAgent({ w: 1 })]);
      // No close(): the environment's teardown must close the context.
    `);
    assert.deepEqual(result, [INVALID, { ok: true }, { ok: true, token: 'tok' }]);
    // The main thread's context is untouched by the worker's.
    assert.deepEqual(addon.identityAgent(), { ok: true, token: 'tok' });
    const until = Date.now() + 5000;
    while (!daemon.events('close').some((e) => e.fields.conn === '2') && Date.now() < until) await sleep(10);
    assert.deepEqual(daemon.events('accept').map((e) => e.fields.conn), ['1', '2']);
    assert.ok(daemon.events('close').some((e) => e.fields.conn === '2'), 'worker connection closed');
    assert.ok(!daemon.events('close').some((e) => e.fields.conn === '1'), 'main connection still open');
  });
});

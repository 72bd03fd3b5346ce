'use strict';
// brannic.node end to end on Linux: only a daemon whose executable carries a valid signature under the
// built-in key is trusted, on the first connection and on every reconnection.
const test = require('node:test');
const { after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Daemon, ADDON, DAEMON, VARIANTS, sleep } = require('./support/daemon');

const addon = require(ADDON);
const REFUSED = {
  ok: false,
  error: 'BNQ_ERR_DAEMON_UNAVAIL',
  message: 'connect failed: server signature verification failed',
};
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'brannic-sig-'));
after(() => fs.rmSync(scratch, { recursive: true, force: true }));

// A copy of `program` at scratch/<folder>/tolvane_daemon, changed by `edit` (bytes => bytes).
function copyOf(program, folder, edit = (b) => b) {
  const dir = path.join(scratch, folder);
  fs.mkdirSync(dir, { recursive: true });
  const out = path.join(dir, 'tolvane_daemon');
  fs.writeFileSync(out, edit(fs.readFileSync(program)), { mode: 0o755 });
  return out;
}

// Changes one byte of code that never runs: the daemon's spare function holds the constant 0x5A17C0DE.
function changeOneCodeByte(bytes) {
  const marker = Buffer.from([0xde, 0xc0, 0x17, 0x5a]);
  const at = bytes.indexOf(marker);
  assert.ok(at >= 0 && bytes.indexOf(marker, at + 1) < 0, 'the marker stands once in the daemon');
  const copy = Buffer.from(bytes);
  copy[at] ^= 0x01;
  return copy;
}

async function withProgram(program, fn, args = []) {
  const daemon = await Daemon.start(args, { program });
  try {
    await fn(daemon);
  } finally {
    addon.close();
    await daemon.stop();
  }
}

test('the signed daemon is accepted and all seven functions work', async () => {
  await withProgram(DAEMON, async (daemon) => {
    assert.deepEqual(addon.init(), { ok: true });
    assert.deepEqual(addon.reportSignal(3, 'signed'), { ok: true });
    assert.deepEqual(addon.triggerSignal('{"t":1}'), { ok: true });
    assert.deepEqual(addon.checkSignal('{"c":1}'), { ok: true, session_id: 's-42', signal_result: 'clean' });
    assert.deepEqual(addon.identityAgent({ who: 'me' }), { ok: true, token: 'tok-1' });
    assert.equal(addon.version(), '0.2.0.1001');
    assert.deepEqual(addon.close(), { ok: true });
    assert.deepEqual(daemon.requests().map((r) => r.command), [4, 5, 6, 3]);
  }, ['--data', '6={"sessionId":"s-42","signalResult":"clean"}', '--data', '3=tok-1']);
});

const refused = [
  ['an unsigned copy', () => path.join(VARIANTS, 'Tolvane-unsigned', 'tolvane_daemon')],
  ['a copy with one changed byte in its code', () => copyOf(DAEMON, 'Tolvane-changed', changeOneCodeByte)],
  ['a copy signed by another key', () => path.join(VARIANTS, 'Tolvane-otherkey', 'tolvane_daemon')],
  ['a copy whose certificate window has ended', () => path.join(VARIANTS, 'Tolvane-expired', 'tolvane_daemon')],
];
for (const [name, program] of refused) {
  test(`${name} is refused after all four attempts`, async () => {
    await withProgram(program(), async (daemon) => {
      const started = Date.now();
      assert.deepEqual(addon.init(), REFUSED);
      assert.ok(Date.now() - started >= 2900, 'three pauses of 1000 ms');
      assert.equal(daemon.events('accept').length, 4);
      assert.deepEqual(daemon.requests(), []);
      assert.deepEqual(addon.triggerSignal('{}'), { ok: false, error: 'BNQ_ERR_INVALID_ARG' });
    });
  });
}

// Bytes after the last section are not signed, so a signed daemon padded with a hole stays valid; the peer
// check refuses at once an executable larger than 1 GiB, before reading any of it.
const GiB = 2 ** 30;
for (const [size, accepted] of [[GiB, true], [GiB + 1, false]]) {
  test(`a signed daemon padded to ${size} bytes is ${accepted ? 'accepted' : 'refused'}`, async () => {
    const program = copyOf(DAEMON, `Tolvane-padded-${size}`);
    fs.truncateSync(program, size);
    await withProgram(program, async (daemon) => {
      assert.deepEqual(addon.init(), accepted ? { ok: true } : REFUSED);
      assert.equal(daemon.events('accept').length, accepted ? 1 : 4);
    });
  });
}

// The peer check trusts the file the daemon's process runs, whatever has become of the name it was started
// from. Removing or replacing a running program leaves its executable link showing "<path> (deleted)".
const UNSIGNED = path.join(VARIANTS, 'Tolvane-unsigned', 'tolvane_daemon');
const changedWhileRunning = [
  {
    name: 'an unsigned daemon whose removed file has a signed file at "<path> (deleted)" is refused',
    program: () => copyOf(UNSIGNED, 'Tolvane-removed'),
    change: (program) => {
      fs.rmSync(program);
      fs.copyFileSync(DAEMON, `${program} (deleted)`);
    },
    accepted: false,
  },
  {
    name: 'a signed daemon whose file is renamed over by an unsigned one is accepted',
    program: () => copyOf(DAEMON, 'Tolvane-replaced'),
    change: (program) => {
      fs.copyFileSync(UNSIGNED, `${program}.new`);
      fs.renameSync(`${program}.new`, program);
    },
    accepted: true,
  },
];
for (const c of changedWhileRunning) {
  test(c.name, async () => {
    const program = c.program();
    await withProgram(program, async (daemon) => {
      c.change(program);
      if (c.accepted) {
        assert.deepEqual(addon.init(), { ok: true });
        assert.deepEqual(addon.reportSignal(1, 'still signed'), { ok: true });
        assert.equal(daemon.requests().length, 1);
      } else {
        assert.deepEqual(addon.init(), REFUSED);
        assert.equal(daemon.events('accept').length, 4);
        assert.deepEqual(daemon.requests(), []);
      }
    });
  });
}

// From a user namespace of its own, a process may point its executable link at any file it may execute.
test('an unsigned daemon whose executable link names the signed daemon is refused', async (t) => {
  const program = path.join(VARIANTS, 'Tolvane-relinked', 'tolvane_daemon');
  await withProgram(program, async (daemon) => {
    const proc = `/proc/${daemon.child.pid}`;
    if (fs.statSync(`${proc}/exe`).ino !== fs.statSync(DAEMON).ino) {
      t.skip('the kernel refused the change of the executable link (see the daemon\'s stderr)');
      return;
    }
    assert.notEqual(fs.statSync(`${proc}/ns/user`).ino, fs.statSync('/proc/self/ns/user').ino);
    assert.deepEqual(addon.init(), REFUSED);
    assert.equal(daemon.events('accept').length, 4);
    assert.deepEqual(daemon.requests(), []);
  });
});

test('a daemon started under a name without "Tolvane" ends the attempts at once', async () => {
  await withProgram(copyOf(DAEMON, 'plain'), async (daemon) => {
    const started = Date.now();
    assert.deepEqual(addon.init(), {
      ok: false,
      error: 'BNQ_ERR_DAEMON_UNAVAIL',
      message: 'connect failed: daemon not running',
    });
    assert.ok(Date.now() - started < 900, 'no pause');
    assert.equal(daemon.events('accept').length, 0);
  });
});

test('a daemon that restarts between calls is checked again before the next request', async () => {
  let daemon = await Daemon.start();
  try {
    assert.deepEqual(addon.init(), { ok: true });
    await daemon.stop();
    daemon = await Daemon.start([], { program: path.join(VARIANTS, 'Tolvane-unsigned', 'tolvane_daemon') });
    assert.deepEqual(addon.triggerSignal('{"n":1}'), {
      ok: false,
      error: 'BNQ_ERR_DAEMON_UNAVAIL',
      message: 'rpc failed: server signature verification failed',
    });
    assert.equal(daemon.events('accept').length, 1, 'one checked reconnect');
    assert.deepEqual(daemon.requests(), [], 'the unsigned daemon never receives the request');
    await daemon.stop();
    daemon = await Daemon.start();
    assert.deepEqual(addon.triggerSignal('{"n":2}'), { ok: true });
    assert.deepEqual(daemon.requests().map((r) => r.payload.toString()), ['{"n":2}']);
  } finally {
    addon.close();
    await daemon.stop();
  }
});

test('an unsigned process that takes the socket path of a running daemon gets nothing', async () => {
  // The genuine daemon closes its connection after each Request reply and keeps running (and its pid file).
  const genuine = await Daemon.start(['--close-after', 'request']);
  let impostor;
  try {
    assert.deepEqual(addon.init(), { ok: true });
    assert.deepEqual(addon.triggerSignal('{"n":1}'), { ok: true });
    await sleep(50);
    impostor = await Daemon.start([], {
      program: path.join(VARIANTS, 'Tolvane-unsigned', 'tolvane_daemon'),
      pidFile: false,
    });
    assert.deepEqual(addon.triggerSignal('{"n":2}'), {
      ok: false,
      error: 'BNQ_ERR_DAEMON_UNAVAIL',
      message: 'rpc failed: server signature verification failed',
    });
    assert.deepEqual(impostor.requests(), []);
    assert.deepEqual(genuine.requests().map((r) => r.payload.toString()), ['{"n":1}']);
  } finally {
    addon.close();
    if (impostor) await impostor.stop();
    await genuine.stop();
  }
});

'use strict';
// The npm package: what `npm pack` puts in it, and an application that installs the packed file without
// the network and loads it by name, with require and as an ES module.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { ADDON } = require('./support/daemon');

const ROOT = path.resolve(__dirname, '..', '..');
// npm packs the checkout's build/brannic.node; a test run against another build tree has none to pack.
const OTHER_BUILD = ADDON !== path.join(ROOT, 'build', 'brannic.node');

// Runs a command and returns its result; fails the test when it could not be started.
function run(cmd, args, opts) {
  const r = spawnSync(cmd, args, { encoding: 'utf8', timeout: 120000, ...opts });
  assert.equal(r.error, undefined, `${cmd} ${args.join(' ')}: ${r.error}`);
  return r;
}

// npm with a cache of its own under dir, so the test neither reads nor fills the user's.
function npm(args, cwd, dir) {
  const env = { ...process.env, npm_config_cache: path.join(dir, 'npm-cache'), npm_config_update_notifier: 'false' };
  return run('npm', [...args, '--no-audit', '--no-fund'], { cwd, env });
}

// Makes a temporary folder and removes it after fn, whatever fn did.
async function inTempDir(fn) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'brannic-pack-'));
  try {
    await fn(dir);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

test('npm pack holds the entry and the module stripped of debug information, and an app installs it offline, requires and imports it by name', { skip: OTHER_BUILD }, () =>
  inTempDir((dir) => {
    const packed = path.join(dir, 'packed');
    fs.mkdirSync(packed);
    const pack = npm(['pack', '--pack-destination', packed], ROOT, dir);
    assert.equal(pack.status, 0, pack.stderr);
    const tarballs = fs.readdirSync(packed);
    assert.equal(tarballs.length, 1, tarballs.join(' '));
    const tarball = path.join(packed, tarballs[0]);

    const list = run('tar', ['-tzf', tarball]);
    assert.equal(list.status, 0, list.stderr);
    const modules = list.stdout.split('\n').filter((f) => f.endsWith('.node'));
    assert.deepEqual(list.stdout.split('\n').filter(Boolean).sort(), [
      'package/README.md', 'package/dist/brannic.node', 'package/index.js', 'package/package.json',
    ]);

    const app = path.join(dir, 'app');
    fs.mkdirSync(app);
    fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
    const install = npm(['install', '--offline', tarball], app, dir);
    assert.equal(install.status, 0, install.stderr);

    const load = run(process.execPath, ['-e', `
      const brannic = require('brannic');
      console.log(JSON.stringify([require.resolve('brannic'), Object.keys(brannic), brannic.version()]));`], { cwd: app });
    assert.equal(load.status, 0, load.stderr);
    assert.deepEqual(JSON.parse(load.stdout), [
      path.join(fs.realpathSync(app), 'node_modules', 'brannic', 'index.js'),
      ['init', 'close', 'reportSignal', 'triggerSignal', 'checkSignal', 'identityAgent', 'version'],
      '0.2.0.1001',
    ]);

    // From an ES module the seven functions import by name, the same ones require gives.
    const esm = run(process.execPath, ['--input-type=module', '-e', `
      import { init, version } from 'brannic';
      import * as names from 'brannic';
      import { createRequire } from 'node:module';
      const brannic = createRequire(process.cwd() + '/')('brannic');
      console.log(JSON.stringify([Object.keys(names), version(), init === brannic.init,
        Object.keys(brannic).every((k) => names[k] === brannic[k])]));`], { cwd: app });
    assert.equal(esm.status, 0, esm.stderr);
    assert.deepEqual(JSON.parse(esm.stdout), [
      ['checkSignal', 'close', 'default', 'identityAgent', 'init', 'reportSignal', 'triggerSignal', 'version'],
      '0.2.0.1001', true, true,
    ]);

    const manifest = run(process.execPath, ['-p', `require('brannic/package.json').version`], { cwd: app });
    assert.equal(manifest.status, 0, manifest.stderr);
    assert.equal(manifest.stdout.trim(), '0.2.0-1001');

    // The installed module carries no debug information.
    const module = path.join(app, 'node_modules', 'brannic', modules[0].slice('package/'.length));
    const sections = run('readelf', ['--section-headers', '--wide', module]);
    assert.equal(sections.status, 0, sections.stderr);
    assert.match(sections.stdout, /\.dynsym/);
    assert.deepEqual(sections.stdout.match(/\.debug_\w+/g), null);
  }));

test('npm pack refuses, saying why, when the module is not built', () =>
  inTempDir((dir) => {
    // The package's own files without a build tree.
    const pkg = path.join(dir, 'pkg');
    fs.mkdirSync(pkg);
    for (const f of ['package.json', 'index.js', 'README.md']) fs.copyFileSync(path.join(ROOT, f), path.join(pkg, f));
    const pack = npm(['pack'], pkg, dir);
    assert.notEqual(pack.status, 0);
    assert.match(pack.stderr, /build\/brannic\.node is missing/);
    assert.deepEqual(fs.readdirSync(pkg).filter((f) => f.endsWith('.tgz')), []);
  }));

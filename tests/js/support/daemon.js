'use strict';
// Starts the stand-in Tolvane daemon at the paths compiled into the addon, and reads back what it received.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..', '..', '..');
const buildDir = path.resolve(root, process.env.BRANNIC_BUILD_DIR || 'build');
const SOCKET_PATH = '/tmp/tolvane_rpc_service.sock';
const PID_FILE = '/var/.data/Tolvane/run/Tolvane.pid';
const DAEMON = process.env.BRANNIC_STANDIN_DAEMON || path.join(buildDir, 'tests', 'daemon', 'Tolvane', 'tolvane_daemon');
const ADDON = path.join(buildDir, 'brannic.node');
// Copies of the stand-in the client must refuse, made by the build (tests/daemon/CMakeLists.txt).
const VARIANTS = path.join(buildDir, 'tests', 'daemon', 'variants');

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function isSocket(p) {
  try {
    return fs.statSync(p).isSocket();
  } catch {
    return false;
  }
}

class Daemon {
  // Starts a daemon program (by default the signed stand-in) with extra arguments and resolves once it
  // listens. It writes the pid file unless pidFile is false.
  static async start(args = [], { program = DAEMON, pidFile = true } = {}) {
    const d = new Daemon();
    d.pidFile = pidFile;
    d.log = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'brannic-js-')), 'daemon.log');
    fs.rmSync(SOCKET_PATH, { force: true });
    const own = pidFile ? ['--pid-file', PID_FILE] : [];
    d.child = spawn(program, ['--socket', SOCKET_PATH, ...own, '--log', d.log, ...args], {
      stdio: ['ignore', 'ignore', 'inherit'],
    });
    d.exited = new Promise((resolve) => d.child.once('exit', resolve));
    const until = Date.now() + 5000;
    while (!isSocket(SOCKET_PATH)) {
      if (d.child.exitCode !== null || Date.now() > until) {
        await d.stop();
        throw new Error('stand-in daemon did not start');
      }
      await sleep(5);
    }
    return d;
  }

  // Stops the daemon and removes its pid file (if it wrote one) and its log.
  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      this.child.kill('SIGTERM');
      await this.exited;
    }
    if (this.pidFile) fs.rmSync(PID_FILE, { force: true });
    fs.rmSync(path.dirname(this.log), { recursive: true, force: true });
  }

  // The log as a list of {event, fields}.
  events(which) {
    if (!fs.existsSync(this.log)) return [];
    return fs
      .readFileSync(this.log, 'utf8')
      .split('\n')
      .filter(Boolean)
      .map((line) => {
        const [event, ...words] = line.split(' ');
        const fields = {};
        for (const w of words) {
          const eq = w.indexOf('=');
          if (eq > 0) fields[w.slice(0, eq)] = w.slice(eq + 1);
        }
        return { event, fields };
      })
      .filter((e) => !which || e.event === which);
  }

  // The Request calls received, as {command, payload} with the payload as a Buffer.
  requests() {
    return this.events('request')
      .filter((e) => e.fields.command !== undefined)
      .map((e) => ({ command: Number(e.fields.command), payload: Buffer.from(e.fields.payload || '', 'hex') }));
  }
}

module.exports = { Daemon, ADDON, DAEMON, VARIANTS, SOCKET_PATH, PID_FILE, sleep };

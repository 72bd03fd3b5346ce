'use strict';
// Median time of init() against the signed stand-in daemon, the share of it spent in the signature check of
// the daemon's executable, and that check against `openssl dgst -sha256` of the same file, in one run.
// Usage (as root: the daemon runs at the real paths):
//   taskset -c 0 node bench/addon/bench_init.js [RUNS]
const { execFileSync, spawnSync } = require('node:child_process');
const path = require('node:path');
const { DAEMON } = require('../../tests/js/support/daemon');
const { BENCH_DIR, median, us, run } = require('./bench_support');

const runs = Number(process.argv[2] || 101);

run((addon) => {
  const inits = [];
  const dgsts = [];
  for (let i = 0; i < runs; i++) {
    const start = process.hrtime.bigint();
    if (!addon.init().ok) throw new Error('init failed');
    inits.push(Number(process.hrtime.bigint() - start));
    const d = process.hrtime.bigint();
    const r = spawnSync('openssl', ['dgst', '-sha256', DAEMON], { stdio: 'ignore' });
    dgsts.push(Number(process.hrtime.bigint() - d));
    if (r.status !== 0) throw new Error('openssl dgst failed');
  }
  addon.close();
  const check = Number(execFileSync(path.join(BENCH_DIR, 'bench_addon_signature_check'), [DAEMON, String(runs)]));
  const init = median(inits);
  const dgst = median(dgsts);
  console.log(`init() median ${us(init)} over ${runs} runs (daemon executable: ${DAEMON})`);
  console.log(`signature check (isTolvaneSign, in-process) median ${us(check)}: ${(100 * check / init).toFixed(1)} % of init()`);
  console.log(`openssl dgst -sha256 of the same file (whole process) median ${us(dgst)}: check/openssl ${(check / dgst).toFixed(3)}`);
});

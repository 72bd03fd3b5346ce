'use strict';
// Median time of one reportSignal call from JavaScript against the stand-in daemon (connection kept),
// against the RPC layer's own Ping round trip measured in the same run, round by round.
// Usage (as root: the daemon runs at the real paths):
//   taskset -c 0 node bench/addon/bench_report_signal.js [ROUNDS] [CALLS]
// One processor for all three processes keeps cross-processor wake-ups, which dominate and vary, out.
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { BENCH_DIR, median, us, run } = require('./bench_support');

const rounds = Number(process.argv[2] || 7);
const calls = Number(process.argv[3] || 2000);
const baseline = path.join(BENCH_DIR, 'bench_addon_ping_baseline');

run((addon) => {
  if (!addon.init().ok) throw new Error('init failed');
  const ratios = [];
  const reports = [];
  const pings = [];
  for (let r = 0; r < rounds; r++) {
    const times = [];
    for (let i = 0; i < calls; i++) {
      const start = process.hrtime.bigint();
      if (!addon.reportSignal(1, 'benchmark signal').ok) throw new Error('reportSignal failed');
      times.push(Number(process.hrtime.bigint() - start));
    }
    const report = median(times);
    const ping = Number(execFileSync(baseline, [String(calls)]).toString().trim());
    reports.push(report);
    pings.push(ping);
    ratios.push(report / ping);
  }
  console.log(`reportSignal median ${us(median(reports))}, Ping round trip median ${us(median(pings))}`);
  console.log(`ratio reportSignal/Ping per round: ${ratios.map((x) => x.toFixed(3)).join(' ')}`);
  console.log(`median ratio ${median(ratios).toFixed(3)} (${rounds} rounds of ${calls} calls)`);
});

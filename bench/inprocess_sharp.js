// trimlet: crop image files. SPDX-License-Identifier: MIT
// sharp's side of scripts/bench_inprocess.sh: the case file of
// bench/inprocess.c, one worker thread, no operation cache, the output in
// memory; prints "NAME WALL:CPU ... BYTES" (ms; CPU: the process's, every
// thread's) per case after a warm-up call.
//   node inprocess_sharp.js SHARP_DIR CALLS CASEFILE
const [sharpDir, calls, caseFile] = process.argv.slice(2);
const sharp = require(sharpDir + '/node_modules/sharp');
const fs = require('fs');
sharp.concurrency(1);
sharp.cache(false);

async function once(c, keep) {
  let s = sharp(c.input);
  if (c.thumb > 0) {
    s = s.resize(c.thumb, c.thumb, {fit: 'cover', position: sharp.strategy.attention});
  } else {
    s = s.extract({left: c.box[0], top: c.box[1], width: c.box[2], height: c.box[3]});
  }
  s = c.format === 'png' ? s.png() : s.jpeg({quality: 90});
  const buf = await s.toBuffer();
  if (keep) fs.writeFileSync(keep, buf);
  return buf.length;
}

(async () => {
  for (const line of fs.readFileSync(caseFile, 'utf8').split('\n')) {
    const f = line.trim().split(/\s+/);
    if (f.length < 13) continue;
    const c = {name: f[0], input: f[1], format: f[2], box: f.slice(8, 12).map(Number), thumb: +f[12]};
    const size = await once(c, `${caseFile}.${c.name}.sharp`);
    const times = [];
    for (let i = 0; i < +calls; ++i) {
      const t0 = process.hrtime.bigint(), c0 = process.cpuUsage();
      await once(c, null);
      const cpu = process.cpuUsage(c0);
      times.push((Number(process.hrtime.bigint() - t0) / 1e6).toFixed(2) + ':' +
                 ((cpu.user + cpu.system) / 1e3).toFixed(2));
    }
    console.log(`${c.name} ${times.join(' ')} ${size}`);
  }
})().catch((e) => { console.error(e); process.exit(1); });

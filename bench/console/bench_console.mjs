// The console's speed figures, printed: first paint of the doors page with the log-on (by the tab's
// token), a page of 100 swipe-log rows on a log of 1,000,000, and 10 consoles taking 1,000 events/s.
// Run from the build: node bench/console/bench_console.mjs [rows] [seconds]
import os from 'node:os';
import { Road, LOCK_MAC, launchBrowser, waitFor } from '../../tests/console/harness.mjs';

const ROWS = Number(process.argv[2] ?? 1000000);
const SECONDS = Number(process.argv[3] ?? 10);
const CONSOLES = 10;
// The machine is shared: each figure says how busy it was.
const load = () => `load average ${os.loadavg()[0].toFixed(1)}`;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const road = await new Road().start();
const browser = await launchBrowser();
try {
    await road.seed([
        `insert into ac_device (devicename, mac, ipaddress, devicetype) values ('Front', '${LOCK_MAC}', '${road.lockIp}', 1)`,
        ...[1, 2, 3, 4].map((d) => `insert into ac_doorinfo (doorname, dooraddress, deviceid) values ('Door ${d}', ${d}, 1)`),
    ]);
    const loaded = Date.now();
    await road.admin.call('AS_Execute', ['dsp_open_public',
        'insert into brushcardlog (brushcardtime, cardno, mac, devicename, doornumber, doorname, eventtype, holder) ' +
        `with recursive n(i) as (select 1 union all select i + 1 from n where i < ${ROWS}) ` +
        "select '2026-01-01 08:00:00', cast(100000 + i as text), 'x', 'Front', 1 + i % 4, 'Door', 'let through', 'Staff ' || i from n",
        null, null], 600000);
    console.log(`swipe log filled with ${ROWS} rows in ${Date.now() - loaded} ms`);

    const { token } = await road.admin.call('Logon', { operator: 'SYSTEM', password: '1' });
    const consoleContext = async () => {
        const context = await browser.newContext();
        await context.addInitScript((t) => sessionStorage.setItem('morvane.token', t), token);
        return context;
    };

    // First paint: a fresh tab that logs on by token, reads the doors and paints them.
    const paints = [];
    for (let i = 0; i < 7; ++i) {
        const context = await consoleContext();
        const page = await context.newPage();
        await page.goto(`${road.url}#doors`);
        await page.waitForFunction(() => document.body.dataset.doorsPaintedAt);
        paints.push(Number(await page.evaluate(() => document.body.dataset.doorsPaintedAt)));
        await context.close();
    }
    console.log(`first paint of the doors page (log-on included): median ${median(paints).toFixed(0)} ms, ` +
        `max ${Math.max(...paints).toFixed(0)} ms over ${paints.length} loads (the first warms the cache); ${load()}`);

    // A page of 100 rows, click to rows painted, on the filled log.
    const context = await consoleContext();
    const page = await context.newPage();
    await page.goto(`${road.url}#swipes`);
    await page.waitForSelector('#swipes tbody tr');
    const pages = [];
    for (let i = 0; i < 10; ++i) {
        await page.evaluate(() => { delete document.getElementById('main').dataset.pageMs; });
        await page.click(i % 2 ? '#next-page' : '#filter');
        await page.waitForFunction(() => document.getElementById('main').dataset.pageMs);
        pages.push(Number(await page.evaluate(() => document.getElementById('main').dataset.pageMs)));
    }
    console.log(`a page of 100 swipe-log rows on ${ROWS} rows: median ${median(pages).toFixed(1)} ms, max ${Math.max(...pages).toFixed(1)} ms; ${load()}`);
    await context.close();

    // 10 consoles on the doors page while 1,000 events/s are published.
    const consoles = [];
    for (let i = 0; i < CONSOLES; ++i) {
        const c = await consoleContext();
        const p = await c.newPage();
        await p.goto(`${road.url}#doors`);
        await p.waitForFunction(() => window.morvane.rpc.subscribed);
        // The longest time between two frames: a page that falls behind stops painting.
        await p.evaluate(() => {
            window.frameGap = 0;
            let last = performance.now();
            const tick = (now) => { window.frameGap = Math.max(window.frameGap, now - last); last = now; requestAnimationFrame(tick); };
            requestAnimationFrame(tick);
            window.received = 0;
            window.ends = [];
            window.morvane.rpc.addEventListener('event', () => { window.received++; });
            // A stream the server ended, or a dropped link, is a console that fell behind.
            window.morvane.rpc.addEventListener('streamend', (e) => { window.ends.push(e.detail.reason); });
            window.morvane.rpc.addEventListener('link', (e) => { if (!e.detail.up) window.ends.push('link down'); });
        });
        consoles.push({ c, p });
    }
    const start = Date.now();
    for (let tick = 0; tick < SECONDS * 10; ++tick) {
        await road.admin.call('InjectEvents', { count: 100, bytes: 100, lock: LOCK_MAC });
        const due = start + (tick + 1) * 100;
        await new Promise((r) => setTimeout(r, Math.max(0, due - Date.now())));
    }
    const rate = (SECONDS * 1000 * 1000) / (Date.now() - start);
    // Caught up: every published event received (the page follows only the kinds it shows, so the newest
    // number of the whole stream, a log-on perhaps, is not the one to wait for).
    const caughtUp = Date.now();
    let counts = [];
    await waitFor('every console to receive every event', async () => {
        counts = await Promise.all(consoles.map(({ p }) => p.evaluate(() => window.received)));
        return counts.every((n) => n >= SECONDS * 1000);
    }, 60000, 100).catch((e) => console.log(`${e.message}: consoles at ${counts.join(' ')}`));
    const lag = Date.now() - caughtUp;
    const stats = await Promise.all(consoles.map(({ p }) => p.evaluate(() => [window.received, window.frameGap, window.ends])));
    const ends = stats.flatMap((s) => s[2]);
    if (ends.length)
        console.log(`streams ended or links dropped ${ends.length} times: ${[...new Set(ends)].join('; ')}`);
    console.log(`${CONSOLES} consoles, ${rate.toFixed(0)} events/s for ${SECONDS} s: each received ` +
        `${Math.min(...stats.map((s) => s[0]))}..${Math.max(...stats.map((s) => s[0]))} of ${SECONDS * 1000}; ` +
        `all had every event ${lag} ms after the last was published; longest frame gap ` +
        `${Math.max(...stats.map((s) => s[1])).toFixed(0)} ms; ${load()}`);
    for (const { c } of consoles)
        await c.close();
} finally {
    await browser.close();
    await road.stop();
}

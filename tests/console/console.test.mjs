// End-to-end scenarios of the browser console in headless Chromium, against the real socket server,
// application server and controller simulator on SQLite. Screenshots of each page at desktop and phone
// widths go to $SCREENSHOT_DIR.
import fs from 'node:fs';
import path from 'node:path';
import { Road, LOCK_MAC, BOARD_MAC, BOARD_SERIAL, launchBrowser, waitFor } from './harness.mjs';

const shots = process.env.SCREENSHOT_DIR ?? path.resolve('build/screenshots');
fs.mkdirSync(shots, { recursive: true });
const failures = [];

async function scenario(name, body) {
    const started = Date.now();
    try {
        await body();
        console.log(`PASS ${name} (${Date.now() - started} ms)`);
    } catch (error) {
        failures.push(name);
        console.log(`FAIL ${name}: ${error.stack ?? error}`);
    }
}

function check(condition, what) {
    if (!condition)
        throw new Error(what);
}

async function logOn(page, url, operator, password) {
    await page.goto(url);
    await page.fill('#operator', operator);
    await page.fill('#password', password);
    await page.click('#logon');
    await page.waitForSelector('#nav a', { timeout: 5000 });
}

async function screenshots(page, name) {
    for (const [label, width] of [['desktop', 1280], ['phone', 390]]) {
        await page.setViewportSize({ width, height: 800 });
        await page.waitForTimeout(50); // one layout at the new width
        await page.screenshot({ path: path.join(shots, `${name}-${label}.png`), fullPage: true });
        if (label === 'phone' && (name === 'doors' || name === 'swipes')) {
            const overflow = await page.evaluate(() => document.documentElement.scrollWidth);
            check(overflow <= 390, `${name} is ${overflow} px wide on a 390-px screen`);
        }
    }
    await page.setViewportSize({ width: 1280, height: 800 });
}

const road = await new Road().start({ ringEvents: 100, slowReader: true });
const browser = await launchBrowser();
try {
    // A device with two doors, a staff member, 250 logged swipes; a clerk who may handle staff but no cards.
    const rows = Array.from({ length: 250 }, (_, i) =>
        `('2026-01-01 08:${String(Math.floor(i / 60)).padStart(2, '0')}:${String(i % 60).padStart(2, '0')}', '${1000 + i}', 'Front', 1, 'Lobby', 'let through', 'Old ${i}')`);
    await road.seed([
        `insert into ac_device (devicename, mac, ipaddress, devicetype) values ('Front', '${LOCK_MAC}', '${road.lockIp}', 1)`,
        "insert into ac_doorinfo (doorname, dooraddress, deviceid) values ('Lobby', 1, 1)",
        "insert into ac_doorinfo (doorname, dooraddress, deviceid) values ('Store', 2, 1)",
        "insert into ac_staffer (username, cardnumber, cardfettle) values ('Ann', '1223476', 0)",
        `insert into brushcardlog (brushcardtime, cardno, devicename, doornumber, doorname, eventtype, holder) values ${rows.join(',')}`,
        "insert into ac_popedomgroup (popedomgroupname) values ('Clerks')",
        ...[[1001, 'atn_base_staff'], [1009, 'atn_scanallcontrol']].map(([id, m]) =>
            'insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, pbrowse, pinsert, pedit, pdelete) ' +
            `values (2, ${id}, '${m}', 1, 1, 1, 0)`),
        "insert into ac_operator (popedomgroupid, operatorname, operatorpasd) values (2, 'clerk', 'c')",
    ]);
    check((await road.admin.call('BegScanControl', [road.lockIp, LOCK_MAC, 1])).retval === 0, 'monitoring started');

    const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    const page = await context.newPage();
    page.on('pageerror', (e) => console.log(`page error: ${e}`));

    await scenario('log on as SYSTEM: doors page, default password told, token for the tab only, files with their policy', async () => {
        await logOn(page, road.url, 'SYSTEM', '1');
        await page.waitForSelector('#doors tbody tr');
        check(await page.isVisible('#warning'), 'default-password notice shown');
        const kept = await page.evaluate(() => [sessionStorage.getItem('morvane.token'), localStorage.length]);
        check(kept[0]?.length === 43 && kept[1] === 0, `token in sessionStorage only: ${kept}`);
        // Loaded again, the tab logs on by its token.
        await page.reload();
        await page.waitForSelector('#doors tbody tr');
        check(await page.locator('#doors tbody tr').count() === 2, 'both doors listed');
        await screenshots(page, 'doors');
        // Served with its policy beside the upgrade on the same port, and nothing outside its directory.
        const response = await page.request.get(`${road.url}app.js`);
        check(response.headers()['content-security-policy']?.includes("default-src 'self'"), 'policy');
        check(response.headers()['content-type'].startsWith('text/javascript'), 'script type');
        check((await page.request.get(`${road.url}../CMakeLists.txt`)).status() === 404, 'no escape');
    });

    await scenario('open a door (the simulator receives it) and see a simulated swipe within 500 ms', async () => {
        await road.simulator({ cmd: 'clearlog' });
        await page.click('#doors tr[data-door="1"] button.open');
        await waitFor('the open-door command in the simulator log', async () =>
            ((await road.simulator({ cmd: 'log', mac: LOCK_MAC })).log ?? []).some((e) => /open/i.test(JSON.stringify(e))), 5000);
        await page.waitForFunction(() => window.morvane.rpc.subscribed);
        const before = Date.now();
        await road.swipe(0x12AB34, 1);
        await page.waitForFunction(() => document.getElementById('events').textContent.includes(String(0x12AB34)),
            null, { timeout: 3000, polling: 10 });
        const ms = Date.now() - before;
        console.log(`  swipe to screen: ${ms} ms`);
        check(ms < 500, `swipe took ${ms} ms`);
    });

    await scenario('add a staff member with a card: it is in the database', async () => {
        await page.goto(`${road.url}#staff`);
        await page.waitForSelector('#add-staff');
        await page.fill('#new-name', 'Bob Console');
        await page.fill('#new-card', '7654321');
        await page.click('#add-staff button[type=submit]');
        await page.waitForSelector('#staff tbody tr >> text=Bob Console');
        const found = await road.admin.query("select username, cardnumber from ac_staffer where username = 'Bob Console'");
        check(found.length === 1 && found[0].cardnumber === '7654321', `stored: ${JSON.stringify(found)}`);
        await screenshots(page, 'staff');
    });

    await scenario('page the swipe log, newest first; the other pages render', async () => {
        await page.goto(`${road.url}#swipes`);
        await page.waitForSelector('#swipes tbody tr');
        const first = await page.locator('#swipes tbody tr').count();
        const top = await page.locator('#swipes tbody tr').first().textContent();
        const firstCards = await page.locator('#swipes tbody tr td:nth-child(2)').allTextContents();
        await page.click('#next-page');
        await page.waitForFunction((t) => document.querySelector('#swipes tbody tr')?.textContent !== t, top);
        const second = await page.locator('#swipes tbody tr td:nth-child(2)').allTextContents();
        check(first === 100 && second.length === 100, `pages of 100: ${first}, ${second.length}`);
        check(Number(second[0]) === Number(firstCards[99]) - 1 && Number(second[0]) > Number(second[99]),
            `second page goes on where the first ended: ${firstCards[99]} then ${second[0]}..${second[99]}`);
        await page.fill('#filter-staff', 'Old 7');
        await page.dispatchEvent('#filter-staff', 'change');
        await page.click('#filter');
        await page.waitForFunction(() => [...document.querySelectorAll('#swipes tbody tr td:nth-child(3)')].every((c) => c.textContent.includes('Old 7')));
        await screenshots(page, 'swipes');
        for (const name of ['devices', 'operators', 'syslog']) {
            await page.goto(`${road.url}#${name}`);
            await page.waitForSelector('main table', { state: 'attached' });
            await screenshots(page, name);
        }
    });

    await scenario('find the boards on the network and add one with a click', async () => {
        await page.goto(`${road.url}#devices`);
        await page.click('#find-boards');
        await page.click(`#boards tr[data-serial="${BOARD_SERIAL}"] button.add-board`, { timeout: 5000 });
        await page.waitForSelector(`#devices tr[data-mac="${BOARD_MAC}"]`);
        const stored = await road.admin.query(`select ipaddress, devicetype from ac_device where mac = '${BOARD_MAC}'`);
        check(stored.length === 1 && stored[0].ipaddress === road.boardIp, `stored: ${JSON.stringify(stored)}`);
    });

    await scenario('the doors page shows a board door open as the board tells it, and closed again on refresh', async () => {
        await road.seed([`insert into ac_doorinfo (doorname, dooraddress, deviceid) select 'Gate', 2, id from ac_device where mac = '${BOARD_MAC}'`]);
        await road.simulator({ cmd: 'door', mac: BOARD_MAC, door: 2, open: true });
        await page.goto(`${road.url}#doors`);
        const cell = `#doors tr[data-mac="${BOARD_MAC}"][data-door="2"] td:nth-child(2)`;
        await page.waitForSelector(`${cell}[data-state="open"]`, { timeout: 4000 });
        await road.simulator({ cmd: 'door', mac: BOARD_MAC, door: 2, open: false });
        await page.click('#refresh-doors');
        await page.waitForSelector(`${cell}[data-state="closed"]`, { timeout: 4000 });
    });

    await scenario('drop the connection: the page shows it, reconnects, and the missed events arrive with a gap notice', async () => {
        await page.goto(`${road.url}#doors`);
        await page.waitForSelector('#doors tbody tr');
        await page.waitForFunction(() => window.morvane.rpc.subscribed);
        // The server's side goes: what the page sees when the network drops.
        await page.evaluate(() => { window.morvane.rpc.retryMs = 1500; window.morvane.rpc.ws.close(); });
        await page.waitForSelector('#link:not(.hidden)', { timeout: 2000 });
        await road.swipe(0x55AA01, 2);
        // More than the ring keeps, so that a gap must be told.
        await road.admin.call('InjectEvents', { count: 150, bytes: 10, lock: '00-00-00-00-00-99' });
        await page.waitForSelector('#link.hidden', { state: 'attached', timeout: 10000 });
        await page.waitForFunction(() => document.querySelector('#events .gap'), null, { timeout: 5000 });
        // The page follows only the kinds it shows: it catches up with the newest of those, one more injected.
        const { newest } = await road.admin.call('Subscribe', { kinds: ['status'] });
        await road.admin.call('InjectEvents', { count: 1, bytes: 10, lock: '00-00-00-00-00-99' });
        const lastStatus = await waitFor('the injected event', () =>
            road.admin.notifications.find((n) => n.params?.seq > newest)?.params.seq, 5000);
        await road.admin.call('Unsubscribe', {});
        await page.waitForFunction((n) => window.morvane.rpc.lastSeq >= n, lastStatus, { timeout: 5000 });
        // A swipe after the resume arrives as before.
        await road.swipe(0x55AA02, 2);
        await page.waitForFunction(() => document.getElementById('events').textContent.includes(String(0x55AA02)), null, { timeout: 3000 });
    });

    await scenario('a console that stops reading loses its stream: it resumes from its last number and tells the gap', async () => {
        await page.goto(`${road.url}#doors`);
        await page.waitForFunction(() => window.morvane.rpc.subscribed);
        await page.evaluate(() => {
            const rpc = window.morvane.rpc;
            // The first stream end (the socket server's own end of the same stream may follow) and the resume.
            rpc.addEventListener('streamend', () => { window.resume ??= { lastSeq: rpc.lastSeq }; });
            const call = rpc.call.bind(rpc);
            rpc.call = (method, params) => {
                if (method === 'Subscribe' && window.resume && !('since' in window.resume))
                    window.resume.since = params.since;
                return call(method, params);
            };
        });
        // The page's thread busy: the browser stops taking the socket's data, the server's queue for it fills
        // and stays full past FullTimeout. Again if the machine was too slow to fill it within one busy spell.
        const ended = async () => (await road.admin.call('EventSubscribers', {})).disconnected
            ?.some((d) => /did not read/.test(d.reason ?? ''));
        for (let spell = 0; spell < 3 && !(await ended()); ++spell) {
            const busy = page.evaluate(() => { const end = performance.now() + 5000; while (performance.now() < end); });
            await waitFor('the stream ended', async () => {
                await road.admin.call('InjectEvents', { count: 40, bytes: 65536, lock: '00-00-00-00-00-98' });
                return ended();
            }, 4000, 0).catch(() => {});
            await busy;
        }
        check(await ended(), 'the server ended the stream');
        await page.waitForFunction(() => window.resume && 'since' in window.resume && window.morvane.rpc.subscribed,
            null, { timeout: 10000 });
        const resume = await page.evaluate(() => window.resume);
        check(resume.since === resume.lastSeq && resume.since > 0, `resumed from the last number: ${JSON.stringify(resume)}`);
        await page.waitForFunction(() => document.querySelector('#events .gap'), null, { timeout: 5000 });
        // The newest lines only: the list holds megabytes of the big events.
        await road.swipe(0x55AA03, 1);
        await page.waitForFunction(() => [...document.getElementById('events').children].slice(0, 20)
            .some((line) => line.textContent.includes(String(0x55AA03))), null, { timeout: 5000 });
    });

    await scenario('an operator without card rights: no card buttons, and the server refuses the call', async () => {
        const clerkContext = await browser.newContext();
        const clerk = await clerkContext.newPage();
        await logOn(clerk, road.url, 'clerk', 'c');
        check(!(await clerk.isVisible('#nav-operators')) && !(await clerk.isVisible('#nav-swipes')), 'admin and log pages hidden');
        await clerk.goto(`${road.url}#staff`);
        await clerk.waitForSelector('#staff tbody tr');
        check(await clerk.locator('#staff button.issue, #staff button.revoke, #staff button.lost, #new-card').count() === 0,
            'no card buttons');
        check(await clerk.locator('#staff button.edit').count() > 0, 'staff may still be edited');
        const refusal = await clerk.evaluate(async () => {
            const rpc = window.morvane.rpc;
            try {
                await rpc.records('dsp_makecard', 'select ID, userid, cardnumber from ac_makecard', null, 0);
                await rpc.apply('dsp_makecard', [{ state: 4, new: { userid: 1, cardnumber: '999' } }]);
                return 'allowed';
            } catch (e) {
                return e.message;
            }
        });
        check(/lacks/.test(refusal), `refused: ${refusal}`);
        const finding = await clerk.evaluate(() => window.morvane.rpc.call('FindBoards', {}).then(() => 'allowed', (e) => e.message));
        check(/lacks the browse right .*atn_base_controls/.test(finding), `boards not found for the clerk: ${finding}`);
        const stored = await road.admin.query("select count(*) as n from ac_makecard where cardnumber = '999'");
        check(Number(stored[0].n) === 0, 'nothing written');
        await clerkContext.close();
    });

    await scenario('change the own password: the notice goes', async () => {
        await page.goto(`${road.url}#password`);
        await page.fill('#old-password', '1');
        await page.fill('#new-password', 'better-one');
        await page.click('#change');
        await page.waitForSelector('#warning.hidden', { state: 'attached' });
        const again = await road.logOn('SYSTEM', 'better-one');
        again.close();
    });

    await context.close();
} finally {
    await browser.close();
    await road.stop();
}
console.log(failures.length ? `${failures.length} scenario(s) failed: ${failures.join('; ')}` : 'all scenarios passed');
process.exit(failures.length ? 1 : 0);

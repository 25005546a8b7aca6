// Starts the whole road for the console's tests and benchmarks: the controller simulator, the socket server
// (serving the console) and the application server it starts, in a private directory; a JSON-lines client
// over TCP for seeding and checking the database; and the browser.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const sourceDir = path.resolve(here, '../..');
export const binDir = process.env.MORVANE_BIN_DIR ?? path.join(sourceDir, 'build/bin');
export const LOCK_MAC = '00-1A-2B-3C-4D-01';
export const BOARD_MAC = '00-12-23-34-45-56';
export const BOARD_SERIAL = 423187757;

// Every wait is bounded.
export async function waitFor(what, check, ms = 10000, step = 20) {
    const end = Date.now() + ms;
    for (;;) {
        const value = await check();
        if (value)
            return value;
        if (Date.now() > end)
            throw new Error(`timed out after ${ms} ms waiting for ${what}`);
        await new Promise((r) => setTimeout(r, step));
    }
}

// A JSON-lines connection: call() answers by id, notifications are kept.
export class LineClient {
    static connect(port) {
        return new Promise((resolve, reject) => {
            const socket = net.connect(port, '127.0.0.1', () => resolve(new LineClient(socket)));
            socket.once('error', reject);
        });
    }
    constructor(socket) {
        this.socket = socket;
        this.buffer = '';
        this.nextId = 1;
        this.pending = new Map();
        this.notifications = [];
        socket.setEncoding('utf8');
        socket.on('data', (chunk) => {
            this.buffer += chunk;
            for (let end; (end = this.buffer.indexOf('\n')) >= 0;) {
                const line = this.buffer.slice(0, end);
                this.buffer = this.buffer.slice(end + 1);
                const message = JSON.parse(line);
                const waiter = this.pending.get(message.id);
                if (waiter) {
                    this.pending.delete(message.id);
                    waiter(message);
                } else {
                    this.notifications.push(message);
                }
            }
        });
    }
    call(method, params, ms = 20000) {
        const id = this.nextId++;
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error(`${method}: no answer in ${ms} ms`)), ms);
            this.pending.set(id, (message) => {
                clearTimeout(timer);
                message.error ? reject(new Error(`${method}: ${message.error.message}`)) : resolve(message.result);
            });
            this.socket.write(`${JSON.stringify({ jsonrpc: '2.0', id, method, params })}\n`);
        });
    }
    execute(sql) { return this.call('AS_Execute', ['dsp_open_public', sql, null, null]); }
    async query(sql) {
        const result = await this.call('AS_GetRecords', ['dsp_open_public', -1, 0, 1, sql, null, null]);
        const packet = result.retval.value;
        const names = packet.fields.map((f) => f.name.toLowerCase());
        return packet.rows.map((row) => Object.fromEntries(row.map((v, i) => [names[i], v])));
    }
    close() { this.socket.destroy(); }
}

function randomLoopback() {
    const n = () => Math.floor(Math.random() * 250) + 1;
    return `127.${100 + Math.floor(Math.random() * 150)}.${n()}.${n()}`;
}

export class Road {
    // `slowReader`: a console that stops reading for a second loses its stream (small queues, FullTimeout=1).
    async start({ ringEvents = 100000, slowReader = false } = {}) {
        this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-console-'));
        const program = `${this.dir}/`;
        fs.mkdirSync(`${this.dir}/lock`, { mode: 0o700 });
        // A door board that answers the request for its record: the broadcast goes to its own address here.
        this.boardIp = randomLoopback();
        fs.writeFileSync(`${this.dir}/systeminfo.ini`, '[Device]\r\nport=0\r\n[System]\r\nComVersion=1\r\n' +
            '[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\nDataBaseName=console.db\r\n' +
            `[Events]\r\nRingEvents=${ringEvents}\r\n${slowReader ? 'QueueEvents=1000\r\nQueueBytes=1048576\r\nFullTimeout=1\r\n' : ''}[Boards]\r\nBroadcast=${this.boardIp}\r\nWait=500\r\n`);
        fs.writeFileSync(`${this.dir}/scktsrvr.ini`, '[Security]\r\nLogon=1\r\n[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\n' +
            `WebPort=0\r\n[Limits]\r\nMaxPerAddress=0\r\n${slowReader ? 'MaxOutput=65536\r\n' : ''}[Console]\r\nDirectory=${sourceDir}/console\r\n`);
        for (const name of ['scktsrvr', 'regsvr32', 'KestrovaCom.so'])
            fs.symlinkSync(path.join(binDir, name), path.join(this.dir, name));
        this.env = { ...process.env, MORVANE_PROGRAM_DIR: program, MORVANE_REGISTRY: `${this.dir}/classes.reg`,
            MORVANE_LOCK_DIR: `${this.dir}/lock`, MORVANE_KESTROVA_TIMEOUT_MS: '80', MORVANE_KESTROVA_ATTEMPTS: '2',
            MORVANE_MONITOR_PORT: '9', MORVANE_EVENTS_INJECT: '1', QT_QPA_PLATFORM: 'offscreen' };
        for (const [program, args] of [['morvane', ['-regserver']], ['regsvr32', ['/s', `${this.dir}/KestrovaCom.so`]]]) {
            const run = spawnSync(path.join(binDir, program), args, { env: this.env, timeout: 20000 });
            if (run.status !== 0)
                throw new Error(`${program} ${args.join(' ')}: ${run.status} ${run.stderr}`);
        }
        this.lockIp = randomLoopback();
        fs.writeFileSync(`${this.dir}/sim.json`, JSON.stringify({ controlPort: 0,
            controllers: [{ mac: LOCK_MAC, ip: this.lockIp, port: 2008, kind: 'lock', doors: 4 },
                { mac: BOARD_MAC, ip: this.boardIp, port: 60000, kind: 'uhppote', serial: BOARD_SERIAL, doors: 2 }] }));
        this.sim = spawn(path.join(binDir, 'ctrlsim'), [`${this.dir}/sim.json`], { env: this.env });
        let simOut = '';
        this.sim.stdout.on('data', (d) => { simOut += d; });
        const controlPort = Number((await waitFor('ctrlsim', () => /control port (\d+)/.exec(simOut)))[1]);
        this.control = await LineClient.connect(controlPort);
        this.server = spawn(path.join(binDir, 'scktsrvr'), [], { env: this.env });
        let serverErr = '';
        this.server.stderr.on('data', (d) => { serverErr += d; });
        const ready = await waitFor('scktsrvr', () => /serving TCP [\d.]+:(\d+) and WebSocket [\d.]+:(\d+)/.exec(serverErr));
        this.tcpPort = Number(ready[1]);
        this.webPort = Number(ready[2]);
        this.url = `http://127.0.0.1:${this.webPort}/`;
        this.admin = await this.logOn('SYSTEM', '1');
        return this;
    }

    async logOn(operator, password) {
        const client = await LineClient.connect(this.tcpPort);
        await client.call('Logon', { operator, password });
        await client.call('CreateObject', { progid: 'server.rmtserver' });
        return client;
    }

    // The simulator's control port: one JSON object per line, one answer each.
    simulator(command) {
        return new Promise((resolve, reject) => {
            const socket = this.control.socket;
            const timer = setTimeout(() => reject(new Error('ctrlsim: no answer')), 5000);
            let text = '';
            const onData = (d) => {
                text += d;
                const end = text.indexOf('\n');
                if (end < 0) return;
                socket.off('data', onData);
                clearTimeout(timer);
                resolve(JSON.parse(text.slice(0, end)));
            };
            socket.on('data', onData);
            socket.write(`${JSON.stringify(command)}\n`);
        });
    }
    swipe(card, door) { return this.simulator({ cmd: 'swipe', mac: LOCK_MAC, card, door }); }

    async seed(statements) {
        for (const sql of statements)
            await this.admin.execute(sql);
    }

    async stop() {
        this.admin?.close();
        this.server?.kill('SIGTERM');
        this.sim?.kill('SIGTERM');
        await new Promise((r) => setTimeout(r, 300));
        // The application server ends once its last client has gone.
        fs.rmSync(this.dir, { recursive: true, force: true });
    }
}

export async function launchBrowser() {
    const args = process.getuid?.() === 0 ? ['--no-sandbox'] : [];
    return chromium.launch({ executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', headless: true, args });
}

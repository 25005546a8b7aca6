// The one connection of a console tab: JSON-RPC over the server's WebSocket, the log-on by token after a
// drop, and the event stream resumed from the last sequence number seen.

const TOKEN_KEY = 'morvane.token';
const CALL_TIMEOUT_MS = 15000;
const BATCH = 250;
const ACCESS_DENIED = -2147024891; // E_ACCESSDENIED: the session is gone

export class Rpc extends EventTarget {
    constructor(url) {
        super();
        this.url = url;
        this.ws = null;
        this.nextId = 1;
        this.pending = new Map();
        this.session = null;   // the Logon result
        this.lastSeq = 0;       // the newest event seen: a resume starts after it
        this.subscribed = false;
        this.kinds = null;      // the event kinds the page shows; null: no stream
        this.wanted = false;    // the operator is logged on: reconnect after a drop
        this.retryMs = 250;
        this.restarting = null; // the one resume in flight after a drop or a stream end
    }

    get token() { return sessionStorage.getItem(TOKEN_KEY); }

    open() {
        return new Promise((resolve, reject) => {
            const ws = new WebSocket(this.url);
            this.ws = ws;
            ws.onopen = () => { this.retryMs = 250; this.emit('link', { up: true }); resolve(); };
            ws.onerror = () => reject(new Error('cannot reach the server'));
            ws.onclose = () => this.dropped(ws);
            ws.onmessage = (m) => this.received(m.data);
        });
    }

    dropped(ws) {
        if (ws !== this.ws)
            return;
        this.ws = null;
        for (const { reject, timer } of this.pending.values()) {
            clearTimeout(timer);
            reject(new Error('connection lost'));
        }
        this.pending.clear();
        this.subscribed = false;
        this.emit('link', { up: false });
        if (this.wanted) {
            setTimeout(() => this.reconnect(), this.retryMs);
            this.retryMs = Math.min(this.retryMs * 2, 5000);
        }
    }

    async reconnect() {
        if (!this.wanted || this.ws)
            return;
        try {
            await this.open();
            await this.restart();
        } catch (e) {
            if (this.ws)
                this.ws.close();
        }
    }

    // The same session by its token, the object again, the stream from the last number: after a drop, and
    // after the server ended the stream (a console that fell behind, or an application server that ended:
    // either took the object and the log-on of the connection with it).
    restart() {
        this.restarting ??= this.resume().then(() => this.emit('resumed', {}), (error) => {
            // A session that is gone for good: the operator logs on again.
            if (error.code === ACCESS_DENIED) {
                this.forget();
                this.emit('ended', { reason: error.message });
            }
            throw error;
        }).finally(() => { this.restarting = null; });
        return this.restarting;
    }

    received(text) {
        let message;
        try { message = JSON.parse(text); } catch { return; }
        if (message.id === undefined || message.id === null) {
            if (message.method === 'Event') {
                this.delivered(message.params);
            } else if (message.method === 'Events') {
                for (const event of message.params?.events ?? [])
                    this.delivered(event);
            } else if (message.method === 'EventStreamEnd') {
                this.subscribed = false;
                this.emit('streamend', message.params);
                this.restartSoon();
            }
            return;
        }
        const waiter = this.pending.get(message.id);
        if (!waiter)
            return;
        this.pending.delete(message.id);
        clearTimeout(waiter.timer);
        if (message.error) {
            const error = new Error(message.error.message);
            error.code = message.error.code;
            waiter.reject(error);
        } else {
            waiter.resolve(message.result);
        }
    }

    delivered(event) {
        if (event.seq > this.lastSeq)
            this.lastSeq = event.seq;
        this.emit('event', event);
    }

    call(method, params) {
        if (!this.ws || this.ws.readyState !== WebSocket.OPEN)
            return Promise.reject(new Error('not connected'));
        const id = this.nextId++;
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => {
                this.pending.delete(id);
                reject(new Error(`${method}: no answer within ${CALL_TIMEOUT_MS / 1000} s`));
            }, CALL_TIMEOUT_MS);
            this.pending.set(id, { resolve, reject, timer });
            this.ws.send(JSON.stringify({ jsonrpc: '2.0', id, method, params }));
        });
    }

    // The log-on and the object are sent together: the server takes the requests after a Logon under its
    // outcome, so one round trip does for both.
    // `sent` runs once the log-on is on its way: what it asks for then is answered right after it.
    async logon(operator, password, sent) {
        if (!this.ws)
            await this.open();
        return this.started(this.call('Logon', { operator, password }), sent);
    }

    async logonByToken(sent) {
        if (!this.token)
            return null;
        if (!this.ws)
            await this.open();
        try {
            return await this.started(this.call('Logon', { token: this.token }), sent);
        } catch (e) {
            this.forget();
            return null;
        }
    }

    async started(logon, sent) {
        const created = this.call('CreateObject', { progid: 'server.rmtserver' });
        created.catch(() => {}); // a refused log-on is the error told
        sent?.();
        const result = await logon;
        sessionStorage.setItem(TOKEN_KEY, result.token);
        this.session = result;
        this.wanted = true;
        await created;
        return result;
    }

    forget() {
        this.wanted = false;
        this.session = null;
        sessionStorage.removeItem(TOKEN_KEY);
    }

    // After a stream end: a moment later, so that the socket server's own end of the same stream (it comes
    // when the application server lets the connection go) is taken with it; again, later, if it fails.
    restartSoon(ms = 300) {
        if (!this.wanted || !this.ws || this.restartTimer)
            return;
        this.restartTimer = setTimeout(() => {
            this.restartTimer = null;
            this.restart().catch((error) => {
                if (error.code !== ACCESS_DENIED && !this.subscribed)
                    this.restartSoon(Math.min(ms * 2, 5000));
            });
        }, ms);
    }

    async resume() {
        const logon = this.call('Logon', { token: this.token });
        const created = this.call('CreateObject', { progid: 'server.rmtserver' }).catch((error) => {
            // The object outlived the stream: it serves on.
            if (!String(error.message).includes('already holds an object'))
                throw error;
        });
        created.catch(() => {}); // told by the log-on when that failed first
        this.session = { ...this.session, ...(await logon) };
        await created;
        if (this.kinds)
            await this.subscribe(true);
    }

    // The stream of the kinds a page shows ([] for none). Another page's stream starts from now: its page
    // reads what is there; only a resume of the same stream takes what was missed.
    follow(kinds) {
        // One change at a time, in the order the pages asked.
        this.following = (this.following ?? Promise.resolve()).catch(() => {}).then(() => this.followNow(kinds));
        return this.following;
    }

    async followNow(kinds) {
        const wanted = kinds.length ? [...kinds].sort() : null;
        if (JSON.stringify(wanted) === JSON.stringify(this.kinds) && (this.subscribed || !wanted))
            return;
        this.kinds = wanted;
        if (this.subscribed) {
            this.subscribed = false;
            await this.call('Unsubscribe', {});
        }
        if (wanted)
            await this.subscribe(false);
    }

    async subscribe(resuming) {
        // Many events to a message: a browser pays per message.
        const params = { kinds: this.kinds ?? [], batch: BATCH };
        if (resuming && this.lastSeq > 0)
            params.since = this.lastSeq;
        let result;
        try {
            result = await this.call('Subscribe', params);
        } catch (e) {
            // The ring was lost (a new server): take what comes from now on.
            if (!String(e.message).includes('past the newest'))
                throw e;
            delete params.since;
            result = await this.call('Subscribe', params);
        }
        this.subscribed = true;
        if (!resuming)
            this.lastSeq = Math.max(this.lastSeq, result.newest);
        if (result.lost > 0)
            this.emit('gap', { lost: result.lost });
        return result;
    }

    async logoff() {
        this.wanted = false;
        try { await this.call('Logoff', {}); } catch { /* gone already */ }
        this.forget();
        if (this.ws)
            this.ws.close();
    }

    emit(type, detail) { this.dispatchEvent(new CustomEvent(type, { detail })); }

    may(module, right = 'browse') {
        const s = this.session;
        return !!s && (s.administrator || (s.rights?.[module] ?? []).includes(right));
    }

    // A provider's rows as objects: `count` -1 for all, n for the next n of the statement's cursor.
    async records(provider, sql, params = null, count = -1) {
        const result = await this.call('AS_GetRecords', [provider, count, 0, 3, sql, params, null]);
        return packetRows(result.retval);
    }

    async more(provider, count) {
        const result = await this.call('AS_GetRecords', [provider, count, 0, 1, '', null, null]);
        return packetRows(result.retval);
    }

    async apply(provider, changes) {
        const delta = { vt: 'packet', value: { changes } };
        const result = await this.call('AS_ApplyUpdates', [provider, delta, 0, 0, null]);
        const packet = result.retval?.value ?? result.retval;
        if (packet && packet.errorCount > 0)
            throw new Error(packet.errors.map((e) => e.message).join('; '));
        return packet;
    }
}

export function packetRows(retval) {
    const packet = retval?.value ?? retval;
    if (!packet || !packet.rows)
        return [];
    const names = (packet.fields ?? []).map((f) => f.name.toLowerCase());
    return packet.rows.map((row) => Object.fromEntries(row.map((v, i) => [names[i] ?? String(i), v])));
}

export function serverUrl() {
    return `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`;
}

// The one connection of a console tab: JSON-RPC over the server's WebSocket, the log-on by token after a
// drop, and the event stream resumed from the last sequence number seen.

const TOKEN_KEY = 'morvane.token';
const CALL_TIMEOUT_MS = 15000;

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
        this.wanted = false;    // the operator is logged on: reconnect after a drop
        this.retryMs = 250;
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
            await this.resume();
            this.emit('resumed', {});
        } catch (e) {
            if (this.ws)
                this.ws.close();
        }
    }

    received(text) {
        let message;
        try { message = JSON.parse(text); } catch { return; }
        if (message.id === undefined || message.id === null) {
            if (message.method === 'Event') {
                const event = message.params;
                if (event.seq > this.lastSeq)
                    this.lastSeq = event.seq;
                this.emit('event', event);
            } else if (message.method === 'EventStreamEnd') {
                this.subscribed = false;
                this.emit('streamend', message.params);
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

    async logon(operator, password) {
        if (!this.ws)
            await this.open();
        const result = await this.call('Logon', { operator, password });
        return this.started(result);
    }

    async logonByToken() {
        if (!this.token)
            return null;
        if (!this.ws)
            await this.open();
        try {
            return await this.started(await this.call('Logon', { token: this.token }));
        } catch (e) {
            sessionStorage.removeItem(TOKEN_KEY);
            return null;
        }
    }

    async started(result) {
        sessionStorage.setItem(TOKEN_KEY, result.token);
        this.session = result;
        this.wanted = true;
        await this.call('CreateObject', { progid: 'server.rmtserver' });
        return result;
    }

    // After a drop: the same session by its token, the object again, the stream from the last number.
    async resume() {
        const result = await this.call('Logon', { token: this.token });
        this.session = { ...this.session, ...result };
        await this.call('CreateObject', { progid: 'server.rmtserver' });
        if (this.subscribedOnce)
            await this.subscribe();
    }

    async subscribe() {
        this.subscribedOnce = true;
        const params = this.lastSeq > 0 ? { since: this.lastSeq } : {};
        let result;
        try {
            result = await this.call('Subscribe', params);
        } catch (e) {
            // The ring was lost (a new server): take what comes from now on.
            if (!String(e.message).includes('past the newest'))
                throw e;
            result = await this.call('Subscribe', {});
        }
        this.subscribed = true;
        if (result.lost > 0)
            this.emit('gap', { lost: result.lost });
        return result;
    }

    async logoff() {
        this.wanted = false;
        try { await this.call('Logoff', {}); } catch { /* gone already */ }
        sessionStorage.removeItem(TOKEN_KEY);
        this.session = null;
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

// Every door of every device with its live state, the door commands, and the live event list.
import { h, coalesced, toast } from '../dom.js';
import { t } from '../i18n.js';

const DOORS_SQL = 'select d.ID, d.doorname, d.dooraddress, d.opendelaydtime, v.devicename, v.mac, v.ipaddress ' +
    'from ac_doorinfo d left join ac_device v on v.id = d.deviceid order by v.devicename, d.dooraddress';
const KEEP_EVENTS = 200;
const REPAINT_MS = 100; // a live list need not move sixty times a second

const macKey = (mac) => String(mac ?? '').replace(/[^0-9a-f]/gi, '').toUpperCase();

// The controller commands of one object go to the device of its last OpenCon.
export async function command(rpc, door, method, params) {
    if (rpc.openedMac !== door.mac) {
        await rpc.call('OpenCon', [1, door.mac, door.ipaddress]);
        rpc.openedMac = door.mac;
    }
    const result = await rpc.call(method, params);
    return result.retval;
}

export function prefetch(rpc) {
    return rpc.records('dsp_doorinfo', DOORS_SQL);
}

// `ahead`: the rows asked for with the log-on, if they were.
export async function show(main, rpc, id, ahead) {
    const started = performance.now();
    const doors = await (ahead ?? Promise.reject(new Error())).catch(() => prefetch(rpc));
    const state = new Map(); // mac|door → {text, time, open, link}
    const canCommand = rpc.may('atn_scanallcontrol', 'edit');
    const canDelay = rpc.may('atnDeviceInitialize', 'edit');

    const tbody = h('tbody');
    const list = h('div', { class: 'events', id: 'events' });
    const keyOf = (mac, door) => `${macKey(mac)}|${door}`;
    const run = async (door, method, params) => {
        try {
            const status = await command(rpc, door, method, params);
            touch(keyOf(door.mac, door.dooraddress), { link: status === 1001 || status === 1002 ? 'down' : 'up' });
            toast(status === 0 ? `${t('done')}: ${method}` : `${method}: ${status}`, status !== 0);
            repaint();
        } catch (error) {
            toast(error.message, true);
        }
    };
    const rows = doors.map((door) => {
        const cells = { state: h('td'), link: h('td'), last: h('td', { class: 'wide' }) };
        const delay = h('input', { type: 'number', min: 0, max: 255, value: door.opendelaydtime ?? 4, size: 3 });
        const actions = h('div', { class: 'actions' },
            canCommand && h('button', { class: 'open', onclick: () => run(door, 'RmtOpenDoor', [door.dooraddress]) }, t('open')),
            canCommand && h('button', { onclick: () => run(door, 'ExigLongOpenDoor', [door.dooraddress]) }, t('hold')),
            canCommand && h('button', { onclick: () => run(door, 'ExigLongCloseDoor', ['0', door.dooraddress]) }, t('lock')),
            canDelay && h('span', {}, delay, h('button', { onclick: () =>
                run(door, 'OpenDoorDelayTime', [door.dooraddress, Number(delay.value)]) }, t('set'))));
        tbody.append(h('tr', { 'data-mac': door.mac, 'data-door': door.dooraddress },
            h('td', {}, door.doorname ?? `${t('door')} ${door.dooraddress}`, h('br'), h('small', {}, door.devicename)),
            cells.state, cells.link, cells.last, h('td', {}, actions)));
        return { door, cells };
    });

    const byKey = new Map(rows.map((row) => [keyOf(row.door.mac, row.door.dooraddress), row]));
    const byMac = new Map(); // a device's rows
    for (const row of rows)
        byMac.set(macKey(row.door.mac), [...(byMac.get(macKey(row.door.mac)) ?? []), row]);
    const dirty = new Set(byKey.keys());
    // Lines not yet on screen, oldest first; never more than the list keeps.
    let pending = [];
    const lineOf = (e) => {
        if (e.gapLine)
            return h('div', { class: 'gap' }, e.gapLine);
        const who = e.staffName ?? e.operator ?? '';
        return h('div', {}, `${e.time?.slice(11, 23) ?? ''} #${e.seq} ${e.kind} ${e.deviceName ?? e.lock ?? ''} ` +
            `${e.door ?? ''} ${e.card ?? e.method ?? ''} ${who} ${e.text ?? e.outcome ?? ''}`);
    };
    // Rows stay in place: a frame touches only the doors that changed and puts the new lines on top.
    const repaint = coalesced(() => {
        for (const key of dirty) {
            const { cells } = byKey.get(key);
            const s = state.get(key) ?? {};
            cells.state.textContent = s.open === undefined ? t('unknown') : s.open ? t('opened') : t('closed');
            cells.state.dataset.state = s.open === undefined ? '' : s.open ? 'open' : 'closed';
            cells.link.textContent = s.link ? t(s.link) : t('unknown');
            cells.link.className = s.link ?? '';
            cells.last.textContent = s.text ? `${s.time.slice(11, 19)} ${s.text}` : '';
        }
        dirty.clear();
        if (pending.length) {
            const fresh = document.createDocumentFragment();
            for (let i = pending.length - 1; i >= 0; --i)
                fresh.append(lineOf(pending[i]));
            pending = [];
            list.prepend(fresh);
            while (list.childElementCount > KEEP_EVENTS)
                list.lastElementChild.remove();
        }
    }, REPAINT_MS);
    const add = (line) => {
        pending.push(line);
        if (pending.length > 2 * KEEP_EVENTS)
            pending = pending.slice(-KEEP_EVENTS);
    };
    const touch = (key, change) => {
        if (!byKey.has(key))
            return;
        state.set(key, { ...state.get(key), ...change });
        dirty.add(key);
    };

    const onEvent = ({ detail: e }) => {
        if (e.lost || e.dropped)
            add({ gapLine: `${t('gap')}: ${e.lost ?? e.dropped}` });
        add(e);
        if (e.lock && e.door) {
            const text = e.text ?? e.method;
            const change = { text, time: e.time ?? '',
                link: e.kind === 'command' && (e.status === 1001 || e.status === 1002) ? 'down' : 'up' };
            if (/open/i.test(text ?? '')) change.open = true;
            if (/clos/i.test(text ?? '')) change.open = false;
            touch(keyOf(e.lock, e.door), change);
        } else if (e.kind === 'link') {
            for (const { door } of byMac.get(macKey(e.lock)) ?? [])
                touch(keyOf(door.mac, door.dooraddress), { link: e.state === 'up' ? 'up' : 'down' });
        }
        repaint();
    };
    // What the devices tell now: each door's open state where the device tells it, and its link.
    const readStates = async () => {
        try {
            const { devices } = await rpc.call('DoorStates', {});
            for (const device of devices ?? []) {
                const open = new Map((device.doors ?? []).map((d) => [d.door, d.open]));
                for (const { door } of byMac.get(macKey(device.mac)) ?? []) {
                    const change = { link: device.link };
                    if (open.has(Number(door.dooraddress)))
                        change.open = open.get(Number(door.dooraddress));
                    touch(keyOf(door.mac, door.dooraddress), change);
                }
            }
            repaint();
        } catch (error) {
            toast(error.message, true);
        }
    };
    const onGap = ({ detail }) => { add({ gapLine: `${t('gap')}: ${detail.lost}` }); repaint(); };
    rpc.addEventListener('event', onEvent);
    rpc.addEventListener('gap', onGap);

    main.replaceChildren(
        h('section', { class: 'card scroll' }, h('h2', {}, t('doors'), ' ',
            h('button', { id: 'refresh-doors', onclick: readStates }, t('refresh'))), h('table', { id: 'doors' },
            h('thead', {}, h('tr', {}, h('th', {}, t('door')), h('th', {}, t('state')), h('th', {}, t('link')),
                h('th', { class: 'wide' }, t('lastEvent')), h('th', {}, ''))), tbody)),
        h('section', { class: 'card' }, h('h2', {}, t('events')), list));
    repaint();
    readStates();
    // For the benchmark: since the navigation began (the log-on included) and since the page began.
    requestAnimationFrame(() => {
        document.body.dataset.doorsPaintedAt = performance.now().toFixed(1);
        document.body.dataset.doorsPaintMs = (performance.now() - started).toFixed(1);
    });
    return () => { rpc.removeEventListener('event', onEvent); rpc.removeEventListener('gap', onGap); };
}

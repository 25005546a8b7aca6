// The devices: monitoring on and off, link state, add and edit through deltas, an address set by MAC,
// and every card of a device loaded again with progress.
import { h, toast } from '../dom.js';
import { t } from '../i18n.js';

const macKey = (mac) => String(mac ?? '').replace(/[^0-9a-f]/gi, '').toUpperCase();
const SQL = 'select id, devicename, ipaddress, mac, devicetype, subnetMask, gateway from ac_device order by id';

export async function show(main, rpc) {
    const canEdit = rpc.may('atn_base_controls', 'edit');
    const canAdd = rpc.may('atn_base_controls', 'insert');
    const canMonitor = rpc.may('atn_scanallcontrol', 'edit');
    const canSetIp = rpc.may('atnsetdeviceip', 'edit');
    const canReload = rpc.may('afreshdowncard', 'edit');
    const link = new Map();
    const tbody = h('tbody');
    let devices = [];

    const call = async (method, params) => {
        try {
            const result = await rpc.call(method, params);
            toast(result.retval === 0 ? `${t('done')}: ${method}` : `${method}: ${result.retval}`, result.retval !== 0);
            return result.retval;
        } catch (error) {
            toast(error.message, true);
            return null;
        }
    };
    const apply = async (changes) => {
        try {
            await rpc.records('dsp_deviceview', SQL, null, 0);
            await rpc.apply('dsp_deviceview', changes);
            toast(t('done'));
            await reload();
        } catch (error) {
            toast(error.message, true);
        }
    };
    const reloadCards = async (device, bar) => {
        const staff = await rpc.records('dsp_stafferView',
            "select cardnumber, cardtype from ac_staffer where cardfettle = 0 and cardnumber <> ''", null, -1);
        await rpc.call('OpenCon', [1, device.mac, device.ipaddress]);
        rpc.openedMac = device.mac;
        bar.max = staff.length || 1;
        bar.hidden = false;
        let failed = 0;
        for (let i = 0; i < staff.length; ++i) {
            const r = await rpc.call('AddCardUser', [Number(staff[i].cardnumber), staff[i].cardtype ?? 0, 0, '', 0, '', '2099-12-31', 0, 0]);
            if (r.retval !== 0) failed++;
            bar.value = i + 1;
        }
        toast(`${staff.length - failed} / ${staff.length}`, failed > 0);
    };
    const ask = (label, value = '') => { const a = prompt(label, value ?? ''); return a == null ? null : a.trim(); };

    const paint = () => {
        tbody.replaceChildren(...devices.map((d) => {
            const bar = h('progress', { hidden: true, value: 0 });
            const state = link.get(d.mac);
            return h('tr', { 'data-mac': d.mac }, h('td', {}, d.devicename), h('td', {}, d.ipaddress), h('td', { class: 'wide' }, d.mac),
                h('td', { class: 'wide' }, d.devicetype), h('td', { class: state ?? '' }, state ? t(state) : t('unknown')),
                h('td', {}, h('div', { class: 'actions' },
                    canMonitor && h('button', { onclick: async () => { const s = await call('BegScanControl', [d.ipaddress, d.mac, 1]); link.set(d.mac, s === 0 ? 'up' : 'down'); paint(); } }, t('start')),
                    canMonitor && h('button', { onclick: () => call('StopScanControl', []) }, t('stop')),
                    canEdit && h('button', { onclick: () => { const ip = ask(t('ip'), d.ipaddress); if (ip) apply([{ state: 8, old: { id: d.id }, new: { ipaddress: ip } }]); } }, t('edit')),
                    canSetIp && h('button', { onclick: () => { const ip = ask(t('ip'), d.ipaddress); if (ip) call('UDPLoadLinkInfo', [d.mac, location.hostname, ip, d.subnetmask ?? '255.255.255.0', d.gateway ?? '']); } }, t('setIp')),
                    canReload && h('button', { onclick: () => reloadCards(d, bar).catch((e) => toast(e.message, true)) }, t('reloadCards')), bar)));
        }));
    };
    const reload = async () => { devices = await rpc.records('dsp_deviceview', SQL, null, -1); paint(); };
    const onEvent = ({ detail: e }) => {
        if (e.kind === 'link' && e.lock) { link.set(e.lock, 'down'); paint(); }
        else if ((e.kind === 'swipe' || e.kind === 'door' || e.kind === 'status') && e.lock && link.get(e.lock) !== 'up') { link.set(e.lock, 'up'); paint(); }
    };
    rpc.addEventListener('event', onEvent);

    // The boards on the site network that answer the broadcast; one not in the table is added with a click.
    const found = h('tbody');
    const findBoards = async (button) => {
        button.disabled = true;
        try {
            const { boards } = await rpc.call('FindBoards', {});
            const known = new Set(devices.map((d) => macKey(d.mac)));
            found.replaceChildren(...boards.map((b) => {
                const mac = b.mac.replace(/:/g, '-').toUpperCase();
                return h('tr', { 'data-serial': b.serial }, h('td', {}, b.serial), h('td', {}, b.ip), h('td', { class: 'wide' }, mac),
                    h('td', {}, known.has(macKey(mac)) ? t('done') : canAdd && h('button', { class: 'add-board', onclick: () =>
                        apply([{ state: 4, new: { devicename: `${t('board')} ${b.serial}`, ipaddress: b.ip, mac, devicetype: 1 } }]) },
                    t('add'))));
            }));
            if (!boards.length)
                toast(t('noBoards'));
        } catch (error) {
            toast(error.message, true);
        } finally {
            button.disabled = false;
        }
    };
    const name = h('input', { placeholder: t('name') });
    const ip = h('input', { placeholder: t('ip') });
    const mac = h('input', { placeholder: t('mac') });
    const kind = h('select', {}, h('option', { value: 1 }, 'lock'), h('option', { value: 2 }, 'serial'), h('option', { value: 3 }, 'switch'));
    main.replaceChildren(h('section', { class: 'card' }, h('h2', {}, t('devices')),
        canAdd && h('form', { class: 'toolbar', onsubmit: (e) => { e.preventDefault(); apply([{ state: 4, new: {
            devicename: name.value, ipaddress: ip.value, mac: mac.value, devicetype: Number(kind.value) } }]); } },
        name, ip, mac, kind, h('button', { class: 'primary', type: 'submit' }, t('add'))),
        h('div', { class: 'scroll' }, h('table', { id: 'devices' }, h('thead', {}, h('tr', {}, h('th', {}, t('name')), h('th', {}, t('ip')),
            h('th', { class: 'wide' }, t('mac')), h('th', { class: 'wide' }, t('kind')), h('th', {}, t('link')), h('th', {}, ''))), tbody)),
        h('div', { class: 'toolbar' }, h('button', { id: 'find-boards', onclick: (e) => findBoards(e.currentTarget) }, t('findBoards'))),
        h('table', { id: 'boards' }, found)));
    await reload();
    return () => rpc.removeEventListener('event', onEvent);
}

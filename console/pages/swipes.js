// The swipe log, newest first, a page of 100 at a time by key, filtered by date, door and staff; live
// swipes appear at the top; the filtered rows export as CSV.
import { h, coalesced, toast } from '../dom.js';
import { t } from '../i18n.js';

const PAGE = 100;
const KEEP = PAGE * 5; // rows on screen with the live ones
const COLUMNS = ['id', 'brushcardtime', 'cardno', 'holder', 'devicename', 'doornumber', 'doorname', 'eventtype'];

function statement(filter, before) {
    const where = [];
    const params = [];
    if (before) { where.push('ID < :before'); params.push(['before', before]); }
    if (filter.from) { where.push('brushcardtime >= :from'); params.push(['from', `${filter.from} 00:00:00`]); }
    if (filter.to) { where.push('brushcardtime <= :to'); params.push(['to', `${filter.to} 23:59:59`]); }
    if (filter.door) { where.push('doornumber = :door'); params.push(['door', Number(filter.door)]); }
    if (filter.staff) { where.push('(holder like :staff or cardno like :staff)'); params.push(['staff', `%${filter.staff}%`]); }
    const sql = `select ${COLUMNS.join(', ')} from brushcardlog` + (where.length ? ` where ${where.join(' and ')}` : '') +
        ' order by ID desc';
    return { sql, params: params.length ? params : null };
}

function csvField(value) {
    const text = value == null ? '' : String(value);
    // A leading formula character is neutralised so that a spreadsheet does not run it.
    const safe = /^[=+\-@]/.test(text) ? `'${text}` : text;
    return /[",\n]/.test(safe) ? `"${safe.replace(/"/g, '""')}"` : safe;
}

export async function show(main, rpc) {
    const filter = {};
    let rows = [];
    let lastId = 0;
    const tbody = h('tbody');
    const input = (name, type) => h('input', { id: `filter-${name}`, type, onchange: (e) => { filter[name] = e.target.value; } });
    const status = h('span', { id: 'swipes-status' });

    const rowOf = (r) => h('tr', {},
        h('td', {}, r.brushcardtime), h('td', {}, r.cardno), h('td', {}, r.holder),
        h('td', { class: 'wide' }, r.devicename), h('td', {}, r.doornumber), h('td', { class: 'wide' }, r.doorname),
        h('td', {}, r.eventtype));
    const paint = coalesced(() => { live = []; tbody.replaceChildren(...rows.map(rowOf)); });
    // Live rows go on top of those in place, the oldest beyond the limit go.
    let live = [];
    const paintLive = coalesced(() => {
        const fresh = document.createDocumentFragment();
        for (let i = live.length - 1; i >= 0; --i)
            fresh.append(rowOf(live[i]));
        live = [];
        tbody.prepend(fresh);
        while (tbody.childElementCount > KEEP)
            tbody.lastElementChild.remove();
    }, 100);

    const load = async (next) => {
        const clicked = performance.now();
        try {
            const { sql, params } = statement(filter, next ? lastId : 0);
            const page = await rpc.records('dsp_brushcardlog', sql, params, PAGE);
            rows = page;
            lastId = page.length ? page[page.length - 1].id : lastId;
            paint();
            requestAnimationFrame(() => {
                const ms = performance.now() - clicked;
                main.dataset.pageMs = ms.toFixed(1);
                status.textContent = `${page.length} rows, ${ms.toFixed(0)} ms`;
            });
        } catch (error) {
            toast(error.message, true);
        }
    };

    const exportCsv = async () => {
        const { sql, params } = statement(filter, 0);
        const all = await rpc.records('dsp_brushcardlog', sql, params, -1);
        const text = [COLUMNS.join(','), ...all.map((r) => COLUMNS.map((c) => csvField(r[c])).join(','))].join('\r\n');
        const link = h('a', { href: URL.createObjectURL(new Blob([text], { type: 'text/csv' })), download: 'swipes.csv' });
        link.click();
        setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    };

    const onEvent = ({ detail: e }) => {
        if (e.kind !== 'swipe' && e.kind !== 'door')
            return;
        if (filter.door && Number(filter.door) !== e.door)
            return;
        if (filter.staff && !`${e.staffName ?? ''} ${e.card}`.includes(filter.staff))
            return;
        live.push({ brushcardtime: (e.controllerTime ?? e.time ?? '').replace('T', ' '), cardno: e.card,
            holder: e.staffName, devicename: e.deviceName, doornumber: e.door, doorname: e.doorName, eventtype: e.text });
        if (live.length > 2 * KEEP)
            live = live.slice(-KEEP);
        paintLive();
    };
    rpc.addEventListener('event', onEvent);

    main.replaceChildren(h('section', { class: 'card' }, h('h2', {}, t('swipes')),
        h('div', { class: 'toolbar' },
            h('label', {}, t('from'), input('from', 'date')), h('label', {}, t('to'), input('to', 'date')),
            h('label', {}, t('door'), input('door', 'number')), h('label', {}, t('holder'), input('staff', 'search')),
            h('button', { id: 'filter', class: 'primary', onclick: () => load(false) }, t('filter')),
            h('button', { id: 'next-page', onclick: () => load(true) }, t('more')),
            h('button', { id: 'export', onclick: exportCsv }, t('exportCsv')), status),
        h('div', { class: 'scroll' }, h('table', { id: 'swipes' }, h('thead', {}, h('tr', {},
            h('th', {}, t('time')), h('th', {}, t('card')), h('th', {}, t('holder')), h('th', { class: 'wide' }, t('device')),
            h('th', {}, t('door')), h('th', { class: 'wide' }, t('name')), h('th', {}, t('event')))), tbody))));
    await load(false);
    return () => rpc.removeEventListener('event', onEvent);
}

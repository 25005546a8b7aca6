// Staff and their cards: search as you type, add and edit through deltas, the card's life (issue, cancel,
// lost, replace) and loading one card to the controllers.
import { h, toast } from '../dom.js';
import { t } from '../i18n.js';

const SQL = 'select id, username, phone, cardnumber, cardtype, cardfettle from ac_staffer ' +
    'where username like :q or cardnumber like :q order by id';
// cardfettle: 0 in use, 1 reported lost, 2 no card.
const FETTLE = ['in use', 'lost', '—'];

export async function show(main, rpc) {
    const may = (module, right) => rpc.may(module, right);
    const canAdd = may('atn_base_staff', 'insert');
    const canEdit = may('atn_base_staff', 'edit');
    const tbody = h('tbody');
    const query = h('input', { id: 'staff-search', type: 'search', placeholder: t('search') });
    let rows = [];
    let timer = 0;

    const search = async () => {
        rows = await rpc.records('dsp_stafferView', SQL, [['q', `%${query.value}%`]], 50);
        paint();
    };
    const edit = async (old, changes) => {
        try {
            await rpc.records('dsp_stafferView', SQL, [['q', '%']], 0);
            await rpc.apply('dsp_stafferView', [{ state: 8, old: { id: old.id }, new: changes }]);
            toast(t('done'));
            await search();
        } catch (error) {
            toast(error.message, true);
        }
    };
    // Issuing is written to the card register first: the server refuses it to an operator without the right.
    const issue = async (row, card) => {
        try {
            await rpc.records('dsp_makecard', 'select ID, userid, cardnumber, cardfettle, maketime from ac_makecard where ID = 0', null, 0);
            await rpc.apply('dsp_makecard', [{ state: 4, new: { userid: row.id, cardnumber: card, cardfettle: 0,
                maketime: new Date().toISOString().slice(0, 19) } }]);
            await edit(row, { cardnumber: card, cardfettle: 0, alreadyissue: true });
        } catch (error) {
            toast(error.message, true);
        }
    };
    const loadCard = async (row) => {
        try {
            const devices = await rpc.records('dsp_deviceview', 'select mac, ipaddress from ac_device', null, -1);
            let failed = 0;
            for (const device of devices) {
                await rpc.call('OpenCon', [1, device.mac, device.ipaddress]);
                rpc.openedMac = device.mac;
                const result = await rpc.call('AddCardUser', [Number(row.cardnumber), row.cardtype ?? 0, 0, '', 0, '', '2099-12-31', 0, 0]);
                if (result.retval !== 0) failed++;
            }
            toast(failed ? `${failed} / ${devices.length} failed` : t('done'), failed > 0);
        } catch (error) {
            toast(error.message, true);
        }
    };
    const ask = (label, value = '') => { const answer = prompt(label, value); return answer == null ? null : answer.trim(); };

    const paint = () => {
        tbody.replaceChildren(...rows.map((row) => {
            const hasCard = row.cardnumber && row.cardfettle !== 2;
            const actions = h('div', { class: 'actions' },
                canEdit && h('button', { class: 'edit', onclick: () => { const name = ask(t('name'), row.username); if (name) edit(row, { username: name }); } }, t('edit')),
                !hasCard && may('atn_card_IcOut', 'insert') && h('button', { class: 'issue', onclick: () => { const c = ask(t('card')); if (c) issue(row, c); } }, t('issue')),
                hasCard && may('atn_card_revoke', 'edit') && h('button', { class: 'revoke', onclick: () => edit(row, { cardnumber: '', cardfettle: 2 }) }, t('cancel')),
                hasCard && may('atnloscard', 'edit') && h('button', { class: 'lost', onclick: () => edit(row, { cardfettle: 1 }) }, t('lost')),
                hasCard && may('atninsteadcard', 'edit') && h('button', { class: 'replace', onclick: () => { const c = ask(t('card')); if (c) edit(row, { cardnumber: c, cardfettle: 0 }); } }, t('replace')),
                hasCard && may('afreshdowncard', 'edit') && h('button', { class: 'load', onclick: () => loadCard(row) }, t('loadCard')));
            return h('tr', { 'data-id': row.id }, h('td', {}, row.id), h('td', {}, row.username),
                h('td', { class: 'wide' }, row.phone), h('td', {}, row.cardnumber), h('td', { class: 'wide' }, FETTLE[row.cardfettle] ?? ''),
                h('td', {}, actions));
        }));
    };

    const name = h('input', { id: 'new-name', placeholder: t('name') });
    const card = h('input', { id: 'new-card', placeholder: t('card'), inputmode: 'numeric' });
    const add = async (e) => {
        e.preventDefault();
        try {
            await rpc.records('dsp_stafferView', SQL, [['q', '%']], 0);
            await rpc.apply('dsp_stafferView', [{ state: 4, new: { username: name.value, cardnumber: card.value || null,
                cardfettle: card.value ? 0 : 2, alreadyissue: !!card.value } }]);
            toast(t('done'));
            query.value = name.value;
            name.value = card.value = '';
            await search();
        } catch (error) {
            toast(error.message, true);
        }
    };
    query.addEventListener('input', () => { clearTimeout(timer); timer = setTimeout(search, 150); });
    main.replaceChildren(h('section', { class: 'card' }, h('h2', {}, t('staff')),
        h('div', { class: 'toolbar' }, query),
        canAdd && h('form', { class: 'toolbar', id: 'add-staff', onsubmit: add }, name,
            may('atn_card_IcOut', 'insert') && card, h('button', { class: 'primary', type: 'submit' }, t('add'))),
        h('div', { class: 'scroll' }, h('table', { id: 'staff' }, h('thead', {}, h('tr', {}, h('th', {}, t('number')),
            h('th', {}, t('name')), h('th', { class: 'wide' }, 'Phone'), h('th', {}, t('card')), h('th', { class: 'wide' }, t('state')),
            h('th', {}, ''))), tbody))));
    await search();
}

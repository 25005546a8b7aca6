// For administrators: the system log, and the operators with their groups' rights.
import { h } from '../dom.js';
import { t } from '../i18n.js';

function table(rows) {
    const names = rows.length ? Object.keys(rows[0]) : [];
    return h('div', { class: 'scroll' }, h('table', {}, h('thead', {}, h('tr', {}, names.map((n) => h('th', {}, n)))),
        h('tbody', {}, rows.map((r) => h('tr', {}, names.map((n) => h('td', {}, r[n])))))));
}

export async function show(main, rpc, id) {
    if (id === 'syslog') {
        const rows = await rpc.records('dsp_systemlog', 'select * from ac_SystemLog order by ID desc', null, 100);
        main.replaceChildren(h('section', { class: 'card' }, h('h2', {}, t('syslog')), table(rows)));
        return;
    }
    const operators = await rpc.records('dsp_operator',
        'select o.ID, o.operatorname, o.popedomgroupid, o.username from ac_operator o order by o.ID', null, -1);
    const rights = await rpc.records('dsp_popedomgroupmodule',
        'select popedomgroupid, menuenglishname, pbrowse, pinsert, pedit, pdelete from ac_popedomgroupmodule ' +
        'order by popedomgroupid, menuenglishname', null, -1);
    main.replaceChildren(h('section', { class: 'card' }, h('h2', {}, t('operators')), table(operators)),
        h('section', { class: 'card' }, h('h2', {}, t('rights')), table(rights)));
}

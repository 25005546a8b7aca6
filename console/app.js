// The console's shell: log-on, the navigation between pages, the link and default-password notices.
import { Rpc, serverUrl } from './rpc.js';
import { h, toast } from './dom.js';
import { loadLabels, t, toggleLanguage } from './i18n.js';

// `kinds`: the events a page shows; the stream carries no others.
const PAGES = [
    { id: 'doors', module: 'atn_scanallcontrol', kinds: ['swipe', 'door', 'status', 'switch', 'link', 'command'],
        load: () => import('./pages/doors.js') },
    { id: 'devices', module: 'atn_base_controls', kinds: ['swipe', 'door', 'status', 'link'],
        load: () => import('./pages/devices.js') },
    { id: 'staff', module: 'atn_base_staff', load: () => import('./pages/staff.js') },
    { id: 'swipes', module: 'act_contl_readlogdata', kinds: ['swipe', 'door'], load: () => import('./pages/swipes.js') },
    { id: 'syslog', admin: true, load: () => import('./pages/admin.js') },
    { id: 'operators', admin: true, load: () => import('./pages/admin.js') },
];

const rpc = new Rpc(serverUrl());
window.morvane = { rpc }; // for the end-to-end tests and the benchmark
let current = null;
let cleanup = () => {};
let early = null; // { id, data }: the first page's reads, asked for together with the log-on

// Sent right behind the log-on, so that the first page's rows come one round trip after it.
function readAhead(id) {
    const page = PAGES.find((p) => p.id === id);
    if (!page?.load)
        return;
    early = { id, data: page.load().then((module) => module.prefetch?.(rpc)) };
    early.data.catch(() => {});
}

function allowed(page) {
    return page.admin ? !!rpc.session?.administrator : rpc.may(page.module);
}

function header() {
    document.title = t('title');
    document.getElementById('lang').textContent = t('language');
    const logoff = document.getElementById('logoff');
    logoff.textContent = t('logoff');
    logoff.hidden = !rpc.session;
    document.getElementById('who').textContent = rpc.session ? rpc.session.operator : '';
    const nav = document.getElementById('nav');
    nav.replaceChildren(...(rpc.session ? PAGES.filter(allowed) : []).map((page) =>
        h('a', { href: `#${page.id}`, id: `nav-${page.id}`, class: current === page.id ? 'active' : '' }, t(page.id))));
    const warning = document.getElementById('warning');
    warning.replaceChildren();
    warning.classList.toggle('hidden', !rpc.session?.defaultPassword);
    if (rpc.session?.defaultPassword)
        warning.append(t('defaultPassword'), ' ', h('a', { href: '#password' }, t('changePassword')));
}

function logonPage(main) {
    const operator = h('input', { id: 'operator', autocomplete: 'username', value: 'SYSTEM' });
    const password = h('input', { id: 'password', type: 'password', autocomplete: 'current-password' });
    const message = h('p', { id: 'logon-error', class: 'down' });
    const form = h('form', { class: 'card logon', onsubmit: async (e) => {
        e.preventDefault();
        try {
            await rpc.logon(operator.value, password.value, () => { loadLabels(rpc); readAhead('doors'); });
            location.hash = '#doors';
            route();
        } catch (error) {
            message.textContent = error.message;
        }
    } }, h('h2', {}, t('title')), h('label', {}, t('operator'), operator), h('label', {}, t('password'), password),
    h('button', { class: 'primary', type: 'submit', id: 'logon' }, t('logon')), message);
    main.replaceChildren(form);
    password.focus();
}

function passwordPage(main) {
    const old = h('input', { id: 'old-password', type: 'password', autocomplete: 'current-password' });
    const fresh = h('input', { id: 'new-password', type: 'password', autocomplete: 'new-password' });
    main.replaceChildren(h('form', { class: 'card logon', onsubmit: async (e) => {
        e.preventDefault();
        try {
            await rpc.call('ChangePassword', { old: old.value, new: fresh.value });
            // Every other session of the operator ends; this one goes on.
            rpc.session.defaultPassword = false;
            toast(t('changed'));
            location.hash = '#doors';
        } catch (error) {
            toast(error.message, true);
        }
    } }, h('h2', {}, t('changePassword')), h('label', {}, t('oldPassword'), old),
    h('label', {}, t('newPassword'), fresh), h('button', { class: 'primary', type: 'submit', id: 'change' }, t('save'))));
}

async function route() {
    const main = document.getElementById('main');
    if (!rpc.session) {
        cleanup();
        cleanup = () => {};
        current = null;
        header();
        return logonPage(main);
    }
    const id = location.hash.slice(1) || 'doors';
    current = id;
    await loadLabels(rpc);
    header();
    if (id === 'password')
        return passwordPage(main);
    const page = PAGES.find((p) => p.id === id && allowed(p)) ?? PAGES.find(allowed);
    if (!page) {
        main.replaceChildren(h('p', {}, t('refused')));
        return;
    }
    current = page.id;
    header();
    // The stream is asked for beside the page's first reads, not before them.
    const kinds = rpc.may('atn_scanallcontrol') ? page.kinds ?? [] : [];
    rpc.follow(kinds).catch((error) => toast(error.message, true));
    const module = await page.load();
    const ahead = early?.id === page.id ? early.data : null;
    early = null;
    cleanup();
    try {
        cleanup = (await module.show(main, rpc, page.id, ahead)) ?? (() => {});
    } catch (error) {
        cleanup = () => {};
        main.replaceChildren(h('p', { class: 'down' }, error.message));
    }
}

document.getElementById('lang').addEventListener('click', () => { toggleLanguage(); route(); });
document.getElementById('logoff').addEventListener('click', async () => { await rpc.logoff(); route(); });
window.addEventListener('hashchange', route);
rpc.addEventListener('link', (e) => {
    const bar = document.getElementById('link');
    bar.textContent = t('offline');
    bar.classList.toggle('hidden', e.detail.up || !rpc.wanted);
    document.body.dataset.link = e.detail.up ? 'up' : 'down';
});

rpc.addEventListener('ended', () => route());

(async () => {
    // The first page's module loads while the log-on is on its way, and its reads follow the log-on.
    const first = location.hash.slice(1) || 'doors';
    PAGES.find((p) => p.id === first)?.load().catch(() => {});
    try {
        await rpc.logonByToken(() => { loadLabels(rpc); readAhead(first); });
    } catch { /* shown by the log-on page */ }
    route();
})();

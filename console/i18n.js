// The console's labels in English and Chinese; the operator's choice is kept for the tab.
const LABELS = {
    en: {
        title: 'Morvane console', operator: 'Operator', password: 'Password', logon: 'Log on', logoff: 'Log off',
        doors: 'Doors', devices: 'Devices', staff: 'Staff and cards', swipes: 'Swipe log', syslog: 'System log',
        operators: 'Operators and rights', online: 'Connected', offline: 'Connection lost: reconnecting…',
        defaultPassword: 'The default password is still in use: change it now.', changePassword: 'Change password',
        oldPassword: 'Current password', newPassword: 'New password', changed: 'Password changed',
        open: 'Open', hold: 'Hold open', lock: 'Lock', delay: 'Open delay (s)', set: 'Set', door: 'Door',
        device: 'Device', state: 'State', link: 'Link', lastEvent: 'Last event', events: 'Live events',
        up: 'up', down: 'down', unknown: '—', name: 'Name', ip: 'IP address', mac: 'MAC', kind: 'Kind',
        monitor: 'Monitor', start: 'Start', stop: 'Stop', add: 'Add', save: 'Save', edit: 'Edit',
        setIp: 'Set IP by MAC', reloadCards: 'Reload cards', search: 'Search', card: 'Card', number: 'No.',
        issue: 'Issue card', cancel: 'Cancel card', lost: 'Report lost', replace: 'Replace card',
        loadCard: 'Load to controllers', from: 'From', to: 'To', holder: 'Holder', time: 'Time',
        event: 'Event', more: 'Next page', exportCsv: 'Export CSV', filter: 'Filter', gap: 'Events were missed',
        group: 'Group', rights: 'Rights', refused: 'Refused', done: 'Done', language: '中文',
        findBoards: 'Find boards on the network', board: 'Board', noBoards: 'No board answered',
        opened: 'open', closed: 'closed', refresh: 'Refresh',
    },
    zh: {
        title: '门禁控制台', operator: '操作员', password: '密码', logon: '登录', logoff: '退出',
        doors: '门', devices: '设备', staff: '人员与卡', swipes: '刷卡记录', syslog: '系统日志',
        operators: '操作员与权限', online: '已连接', offline: '连接中断：正在重连…',
        defaultPassword: '仍在使用默认密码：请立即修改。', changePassword: '修改密码',
        oldPassword: '当前密码', newPassword: '新密码', changed: '密码已修改',
        open: '开门', hold: '常开', lock: '关门', delay: '开门延时(秒)', set: '设置', door: '门',
        device: '设备', state: '状态', link: '连接', lastEvent: '最近事件', events: '实时事件',
        up: '正常', down: '断开', unknown: '—', name: '名称', ip: 'IP地址', mac: 'MAC', kind: '类型',
        monitor: '监控', start: '开始', stop: '停止', add: '添加', save: '保存', edit: '编辑',
        setIp: '按MAC设置IP', reloadCards: '重新下载卡', search: '搜索', card: '卡号', number: '编号',
        issue: '发卡', cancel: '退卡', lost: '挂失', replace: '补卡',
        loadCard: '下载到控制器', from: '从', to: '到', holder: '持卡人', time: '时间',
        event: '事件', more: '下一页', exportCsv: '导出CSV', filter: '筛选', gap: '有事件丢失',
        group: '权限组', rights: '权限', refused: '被拒绝', done: '完成', language: 'English',
        findBoards: '搜索网络上的控制器', board: '控制器', noBoards: '没有控制器应答',
        opened: '开', closed: '关', refresh: '刷新',
    },
};

const KEY = 'morvane.language';
const LANGUAGE_IDS = { zh: 2052, en: 1033 };
const ACCESS_DENIED = -2147024891;
// The labels of the language database, by language; the table above stands in for what it lacks.
const stored = {};
const asked = {};

export function language() { return sessionStorage.getItem(KEY) === 'zh' ? 'zh' : 'en'; }
export function toggleLanguage() { sessionStorage.setItem(KEY, language() === 'zh' ? 'en' : 'zh'); }
export function t(key) { return stored[language()]?.[key] ?? LABELS[language()][key] ?? key; }

// Reads the current language's labels once per tab (asked for with the log-on, it costs no round trip of
// its own); a server without them leaves the built-in ones.
export function loadLabels(rpc) {
    const lang = language();
    asked[lang] ??= rpc.call('ConsoleLabels', { language: LANGUAGE_IDS[lang] }).then(
        (result) => { stored[lang] = result.labels ?? {}; },
        (error) => {
            // Asked before the log-on went through: ask again after it; a server without them: never again.
            if (error.code === ACCESS_DENIED)
                delete asked[lang];
        });
    return asked[lang];
}

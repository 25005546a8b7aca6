// Runs before the modules have loaded: a tab that has logged on opens its connection at once and sends the
// log-on by its token, the object, the labels and the doors page's read, so that they are answered while
// the modules are still on their way. rpc.js takes the connection and the answers over (Rpc.adopt): the
// requests are made exactly as the modules would make them, and the modules' calls get these answers.
'use strict';
window.morvaneBoot = {
    // The doors page's read (pages/doors.js).
    doorsSql: 'select d.ID, d.doorname, d.dooraddress, d.opendelaydtime, v.devicename, v.mac, v.ipaddress ' +
        'from ac_doorinfo d left join ac_device v on v.id = d.deviceid order by v.devicename, d.dooraddress',
    early: null,
};
(() => {
    const token = sessionStorage.getItem('morvane.token');
    if (!token)
        return;
    const ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`);
    const early = { ws, requests: [], messages: [] };
    const ask = (method, params) => early.requests.push({ jsonrpc: '2.0', id: early.requests.length + 1, method, params });
    ask('Logon', { token });
    ask('CreateObject', { progid: 'server.rmtserver' });
    ask('ConsoleLabels', { language: sessionStorage.getItem('morvane.language') === 'zh' ? 2052 : 1033 });
    if ((location.hash.slice(1) || 'doors') === 'doors')
        ask('AS_GetRecords', ['dsp_doorinfo', -1, 0, 3, window.morvaneBoot.doorsSql, null, null]);
    ws.onopen = () => { for (const request of early.requests) ws.send(JSON.stringify(request)); };
    ws.onmessage = (m) => early.messages.push(m.data);
    window.morvaneBoot.early = early;
})();

// The console's page: sign in, browse the object tree, see what is in
// force at an object and why, ask the reverse questions, read the change
// log. Everything it shows comes from the administration API
// (/admin/v1/...) and is put on the page as text, never as markup.
'use strict';

const state = { csrf: '', selected: null, lastTable: null, certificate: null };

// ---- small helpers ---------------------------------------------------------

function $(id) { return document.getElementById(id); }

// An element with attributes and children (strings become text nodes).
function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c ?? '')));
  return e;
}

function clear(node, ...children) { node.replaceChildren(...children); }

class ApiError extends Error {
  constructor(status, body) { super((body && body.error) || ('HTTP ' + status)); this.status = status; this.body = body; }
}

async function api(method, path, { query, body, ifMatch } = {}) {
  const url = new URL(path, location.origin);
  for (const [k, v] of Object.entries(query || {}))
    for (const one of Array.isArray(v) ? v : [v]) if (one !== undefined && one !== null) url.searchParams.append(k, one);
  // X-Gx-Console: no password dialog of the browser's own on a 401.
  const headers = { 'X-Gx-Console': '1' };
  if (method !== 'GET') headers['X-CSRF-Token'] = state.csrf;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (ifMatch) headers['If-Match'] = ifMatch;
  const r = await fetch(url, { method, headers, credentials: 'same-origin',
                               body: body === undefined ? undefined : JSON.stringify(body) });
  const text = await r.text();
  let json = null;
  try { json = text ? JSON.parse(text) : null; } catch (e) { json = null; }
  if (r.status === 401 && !path.startsWith('/console/')) { showLogin('Your session has ended; sign in again.'); }
  if (!r.ok) throw new ApiError(r.status, json);
  // The sequence number the answer was made at (a write's If-Match).
  if (json && typeof json === 'object' && r.headers.get('ETag')) json._etag = r.headers.get('ETag');
  return json;
}

function table(headers, rows) {
  const t = el('table', {}, el('thead', {}, el('tr', {}, ...headers.map(h => el('th', { scope: 'col' }, h)))));
  const tb = el('tbody');
  for (const row of rows) tb.append(el('tr', {}, ...row.map(c => el('td', {}, c))));
  t.append(tb);
  state.lastTable = { headers, rows };
  $('ask-csv').disabled = false;
  return t;
}

function errorLine(e) { return el('p', { class: 'error', role: 'alert' }, e.message || String(e)); }

// ---- signing in and out --------------------------------------------------------

function showLogin(message) {
  $('app-view').hidden = true;
  $('who').hidden = true;
  $('login-view').hidden = false;
  $('login-error').textContent = message || '';
  // Offered when the connection carries a certificate the service accepts.
  $('login-certificate').hidden = !state.certificate;
  $('login-certificate-name').textContent = state.certificate ? 'Your certificate names ' + state.certificate + '.' : '';
}

async function showApp(admin) {
  $('login-view').hidden = true;
  $('app-view').hidden = false;
  $('who').hidden = false;
  $('admin-name').textContent = admin;
  await loadChildren($('tree'), '/', null, true);
}

async function login(ev, withCertificate) {
  ev.preventDefault();
  const token = $('login-token').value;
  const body = withCertificate ? { certificate: true }
             : token ? { token } : { user: $('login-user').value, password: $('login-password').value };
  try {
    const s = await api('POST', '/console/login', { body });
    state.csrf = s.csrf;
    $('login-password').value = '';
    $('login-token').value = '';
    await showApp(s.admin);
  } catch (e) {
    $('login-error').textContent = e.status !== 401 ? e.message
      : withCertificate ? 'The certificate is not accepted.' : 'The name and password, or the token, are not accepted.';
  }
}

async function logout() {
  try { await api('POST', '/console/logout'); } catch (e) { /* signed out either way */ }
  state.csrf = '';
  clear($('tree'));
  showLogin('Signed out.');
}

// ---- the tree ----------------------------------------------------------------------

function nodeItem(child) {
  const li = el('li', { 'data-path': child.path });
  const sub = el('ul');
  const toggle = el('button', { type: 'button', class: 'toggle', 'aria-label': 'expand ' + child.path,
                                'aria-expanded': 'false' }, child.children ? '+' : ' ');
  if (!child.children) toggle.disabled = true;
  toggle.addEventListener('click', async () => {
    const open = toggle.getAttribute('aria-expanded') === 'true';
    if (open) { clear(sub); toggle.setAttribute('aria-expanded', 'false'); toggle.textContent = '+'; return; }
    await loadChildren(sub, child.path, null, true);
    toggle.setAttribute('aria-expanded', 'true');
    toggle.textContent = '-';
  });
  const name = el('button', { type: 'button', class: 'node' }, child.name);
  name.addEventListener('click', () => select(child.path));
  li.append(toggle, name, sub);
  return li;
}

// Appends a page of path's children to list (replacing it when fresh).
async function loadChildren(list, path, after, fresh) {
  let page;
  try {
    page = await api('GET', '/admin/v1/objects', { query: { under: path, after, limit: 100 } });
  } catch (e) { list.append(el('li', {}, errorLine(e))); return; }
  if (fresh) {
    clear(list);
    if (path === '/') list.append(nodeItem({ name: '/', path: '/', children: false }));
  }
  for (const child of page.items) list.append(nodeItem(child));
  if (page.next) {
    const more = el('li', { class: 'more' });
    more.append(el('button', { type: 'button', onclick: async () => { more.remove(); await loadChildren(list, path, page.next, false); } },
                   'more...'));
    list.append(more);
  }
}

// Opens the tree down to path and selects it.
async function jump(path) {
  path = path.trim();
  if (!path.startsWith('/')) path = '/' + path;
  if (path.length > 1) path = path.replace(/\/+$/, '');
  const parts = path.split('/').filter(Boolean);
  let prefix = '';
  for (let i = 0; i < parts.length - 1; i++) {
    prefix += '/' + parts[i];
    const li = document.querySelector(`li[data-path="${CSS.escape(prefix)}"]`);
    if (!li) break;
    const toggle = li.querySelector(':scope > button.toggle');
    if (toggle.getAttribute('aria-expanded') !== 'true' && !toggle.disabled) await toggle.click();
  }
  await select(path);
}

// Goes to text when it names an object; otherwise lists the objects whose
// path begins with it (the children of its parent whose names begin with
// its last part), each a button that goes there.
async function search(text) {
  let path = text.trim();
  if (!path.startsWith('/')) path = '/' + path;
  const results = $('search-results');
  clear(results);
  const cut = path.lastIndexOf('/');
  const parent = cut === 0 ? '/' : path.slice(0, cut), prefix = path.slice(cut + 1);
  if (!prefix) { await jump(path); return; }
  let page;
  try {
    page = await api('GET', '/admin/v1/objects', { query: { under: parent, prefix, limit: 50 } });
  } catch (e) { results.append(el('li', {}, errorLine(e))); return; }
  if (page.items.length === 1 && page.items[0].path === path) { await jump(path); return; }
  if (!page.items.length) results.append(el('li', {}, 'No object begins with ' + path));
  for (const item of page.items)
    results.append(el('li', {}, el('button', { type: 'button', class: 'node', onclick: () => jump(item.path) }, item.path)));
  if (page.next) results.append(el('li', { class: 'more' }, 'and more: type more of the name'));
}

// ---- an object -----------------------------------------------------------------------

async function select(path) {
  state.selected = path;
  for (const b of document.querySelectorAll('.tree button.node')) b.removeAttribute('aria-current');
  const li = document.querySelector(`li[data-path="${CSS.escape(path)}"] > button.node`);
  if (li) li.setAttribute('aria-current', 'true');
  $('object-title').textContent = path;
  clear($('ask-result'));
  clear($('panel-history'));
  // The log is read when its tab is opened: reading it costs more than
  // anything else the page asks, and requests are answered one at a time.
  if (!$('panel-history').hidden) await Promise.all([showObject(path), showHistory(path)]);
  else await showObject(path);
}

function policyBlock(kind, name, at, details) {
  const box = el('section', { class: 'policy' }, el('h4', {}, `${kind} ${name}`, at ? ` (attached at ${at})` : ''));
  if (details) box.append(details);
  return box;
}

// An ACL's entries with their action letters in a column per action group
// (the groups no entry uses left out).
async function aclDetails(name) {
  const [acl, cat] = await Promise.all([api('GET', '/admin/v1/acls/' + encodeURIComponent(name)), actionCatalogue()]);
  const v = acl.value || {};
  const entries = v.entries || [];
  const groups = cat.groups.map(g => g.name).filter(g => entries.some(e => lettersOf(e.actions || '', g).size));
  const rows = entries.map(e => [e.type, e.name || e.id || '',
                                 ...groups.map(g => [...lettersOf(e.actions || '', g)].join(''))]);
  return el('div', {}, el('p', {}, v.description || ''),
            table(['Entry', 'Who', ...groups.map(g => g === 'primary' ? 'Actions' : `Actions (${g})`)], rows),
            ...attributesTable(v.attributes));
}

const dayNames = { mon: 'Monday', tue: 'Tuesday', wed: 'Wednesday', thu: 'Thursday', fri: 'Friday',
                   sat: 'Saturday', sun: 'Sunday' };

// A POP's access window in words: "Monday to Friday, 07:00 to 19:00
// (Europe/Berlin)". The days are listed as the POP names them, a run of
// three or more consecutive days as its first and last.
function windowText(access) {
  if (!access) return 'No access window: any day, any time.';
  const order = Object.keys(dayNames), days = (access.days || []).filter(d => d in dayNames);
  let dayText = 'every day';
  if (days.length && days.length < 7) {
    const idx = days.map(d => order.indexOf(d)).sort((a, b) => a - b);
    const runs = [];
    for (const i of idx) {
      const last = runs[runs.length - 1];
      if (last && last[1] === i - 1) last[1] = i; else runs.push([i, i]);
    }
    dayText = runs.map(([a, b]) => b - a >= 2 ? `${dayNames[order[a]]} to ${dayNames[order[b]]}`
                                               : order.slice(a, b + 1).map(d => dayNames[d]).join(', ')).join(', ');
  }
  const hours = access.from && access.to ? `${access.from} to ${access.to}` : 'all day';
  return `Access window: ${dayText}, ${hours} (${access.zone || 'UTC'}).`;
}

// Extended attributes ({"name": ["value", ...]}) as a table, or nothing.
function attributesTable(attributes) {
  const rows = Object.entries(attributes || {}).map(([k, v]) => [k, Array.isArray(v) ? v.join(', ') : String(v)]);
  return rows.length ? [el('h5', {}, 'Extended attributes'), table(['Attribute', 'Values'], rows)] : [];
}

async function popDetails(name) {
  const pop = await api('GET', '/admin/v1/pops/' + encodeURIComponent(name));
  const v = pop.value || {};
  const rows = (v.ipauth || []).map(n => [n.network + '/' + n.netmask, String(n.level)]);
  rows.push(['any other address', String(v.default_level ?? '')]);
  return el('div', { class: 'pop' }, el('p', {}, v.description || ''),
            el('p', { class: 'pop-window' }, windowText(v.access)),
            el('p', { class: 'pop-warning' }, v.warning
              ? 'Warning mode: a denial is only reported, and access is granted.'
              : 'Warning mode off: denials are enforced.'),
            el('p', {}, `Audit level ${v.audit ?? 0}.`),
            el('h5', {}, 'Authentication level required, by network'),
            table(['Network', 'Level'], rows), ...attributesTable(v.attributes));
}

async function ruleDetails(name) {
  const rule = await api('GET', '/admin/v1/rules/' + encodeURIComponent(name));
  const v = rule.value || {};
  return el('div', {}, el('p', {}, v.description || ''), el('pre', {}, v.text || ''),
            v.reason ? el('p', {}, 'Reason given on a denial: ' + v.reason) : '', ...attributesTable(v.attributes));
}

async function showObject(path) {
  const panel = $('panel-object');
  clear(panel, el('p', {}, 'Loading...'));
  const parts = [];
  try {
    const obj = await api('GET', '/admin/v1/objects' + (path === '/' ? '/' : path));
    const { attributes, ...fields } = obj.value || {};
    const rows = Object.entries(fields).map(([k, v]) => [k, typeof v === 'string' ? v : JSON.stringify(v)]);
    parts.push(el('h3', {}, 'Attached here'), rows.length ? table(['Field', 'Value'], rows) : el('p', {}, 'Nothing.'),
               ...attributesTable(attributes));
    // Reading the object needed c here: the controls to change it go with it.
    parts.push(await attachForm(path, obj._etag));
    if (obj.value && obj.value.acl) parts.push(await aclEditor(obj.value.acl));
  } catch (e) {
    if (e.status === 403) {
      // Without c here the service shows nothing of the object: say so,
      // and offer no control.
      clear(panel, el('p', { id: 'no-control', role: 'status' },
                      'You do not hold the control permission (c) on this object: its policy is not shown to you ' +
                      'and you cannot change it.'));
      return;
    }
    parts.push(el('h3', {}, 'Attached here'), e.status === 404 ? el('p', {}, 'No record of its own.') : errorLine(e));
  }
  try {
    const why = await api('POST', '/admin/v1/explain', { body: { object: path, actions: 'r' } });
    parts.push(el('h3', {}, 'In force'));
    if (why.acl) parts.push(policyBlock('ACL', why.acl.name, why.acl.attached_at, await aclDetails(why.acl.name)));
    else parts.push(el('p', {}, 'No ACL is in force.'));
    if (why.pop) parts.push(policyBlock('POP', why.pop.name, why.pop.attached_at, await popDetails(why.pop.name)));
    if (why.rule) parts.push(policyBlock('Rule', why.rule.name, why.rule.attached_at, await ruleDetails(why.rule.name)));
  } catch (e) { parts.push(errorLine(e)); }
  clear(panel, ...parts);
}

// What a logged change changed ("acl web-docs"), and a value before or
// after it ("(none)": not there).
function changeName(c) {
  for (const k of ['object', 'acl', 'pop', 'rule']) if (k in c) return `${k} ${c[k]}`;
  return '';
}
function valueText(v) { return v === undefined || v === null ? '(none)' : JSON.stringify(v, null, 1); }

// The object's change log, filtered by administrator and by time (from,
// to: "2026-12-07" or "2026-12-07T10:00:00Z"; the log's times are UTC).
async function showHistory(path) {
  const panel = $('panel-history');
  const who = el('input', { id: 'history-who', 'aria-label': 'administrator', placeholder: 'administrator' });
  const from = el('input', { id: 'history-from', 'aria-label': 'from (UTC)', placeholder: 'from 2026-12-01' });
  const to = el('input', { id: 'history-to', 'aria-label': 'to (UTC)', placeholder: 'to 2026-12-31T23:59:59Z' });
  const list = el('div', { id: 'history-list' });
  let entries = [];
  const render = () => {
    const shown = entries.filter(e => (!who.value || e.who === who.value.trim()) &&
                                      (!from.value || (e.time || '') >= from.value.trim()) &&
                                      (!to.value || (e.time || '') <= to.value.trim()));
    const rows = [];
    for (const e of shown) {
      const changes = e.changes && e.changes.length ? e.changes : [{}];
      for (const c of changes)
        rows.push([String(e.sequence), e.time || '', `${e.who}@${e.address}`, e.command || '', changeName(c),
                   el('pre', {}, valueText(c.before)), el('pre', {}, valueText(c.after))]);
    }
    clear(list, rows.length ? table(['Sequence', 'Time (UTC)', 'Who', 'Command', 'What', 'Before', 'After'], rows)
                            : el('p', {}, 'No change recorded here.'));
  };
  for (const input of [who, from, to]) input.addEventListener('input', render);
  clear(panel, el('div', { class: 'buttons' }, who, from, to), list);
  try {
    const log = await api('GET', '/admin/v1/log', { query: { object: path } });
    entries = log.entries || [];
    render();
  } catch (e) { clear(list, errorLine(e)); }
}

// ---- changing ------------------------------------------------------------------------

let catalogue = null;

async function actionCatalogue() {
  if (!catalogue) catalogue = await api('GET', '/admin/v1/actions');
  return catalogue;
}

// The action letters of one group in an ACL entry's action string
// ("Tr[admin]xy" -> primary "Tr", admin "xy").
function lettersOf(actions, group) {
  const out = {};
  let current = 'primary';
  for (let i = 0; i < actions.length; i++) {
    const ch = actions[i];
    if (ch === '[') { const end = actions.indexOf(']', i); current = actions.slice(i + 1, end); i = end; continue; }
    (out[current] = out[current] || new Set()).add(ch);
  }
  return out[group] || new Set();
}

function outcomeMessage(e) {
  if (e.status === 412) {
    const now = e.body && e.body.sequence !== undefined ? ` (it is at ${e.body.sequence} now)` : '';
    return 'Someone else changed the policy since you loaded it' + now + '. Reload to see their change, then make yours again.';
  }
  return e.message;
}

// An editor of ACL name's entries: a row per entry, a checkbox per action
// of the catalogue, grouped; preview shows what decisions would change,
// commit makes the change at the sequence number the ACL was read at.
async function aclEditor(name) {
  const [acl, cat] = await Promise.all([api('GET', '/admin/v1/acls/' + encodeURIComponent(name)), actionCatalogue()]);
  const v = acl.value || {};
  const box = el('section', { id: 'acl-editor' }, el('h3', {}, `Edit ACL ${name}`));
  const groups = cat.groups.filter(g => g.actions.length);
  const head = el('tr', {}, el('th', { scope: 'col' }, 'Entry'), el('th', { scope: 'col' }, 'Who'));
  for (const g of groups) for (const a of g.actions)
    head.append(el('th', { scope: 'col', title: `${a.label} (${g.name})` }, g.name === 'primary' ? a.action : `[${g.name}]${a.action}`));
  const body = el('tbody');
  const rowFor = (entry) => {
    const tr = el('tr', { 'data-type': entry.type, 'data-name': entry.name || entry.id || '' },
                  el('td', {}, entry.type), el('td', {}, entry.name || entry.id || ''));
    for (const g of groups) {
      const have = lettersOf(entry.actions || '', g.name);
      for (const a of g.actions) {
        const label = `${entry.type} ${entry.name || ''} ${a.label || a.action}`.trim();
        const cb = el('input', { type: 'checkbox', 'data-group': g.name, 'data-action': a.action, 'aria-label': label });
        cb.checked = have.has(a.action);
        tr.append(el('td', {}, cb));
      }
    }
    return tr;
  };
  for (const e of v.entries || []) body.append(rowFor(e));
  const t = el('table', { class: 'editor' }, el('thead', {}, head), body);
  const kind = el('select', { id: 'new-entry-type', 'aria-label': 'kind of new entry' },
                  el('option', { value: 'user' }, 'user'), el('option', { value: 'group' }, 'group'),
                  el('option', { value: 'any-other' }, 'any other'), el('option', { value: 'unauthenticated' }, 'unauthenticated'));
  const who = el('input', { id: 'new-entry-name', 'aria-label': 'name of new entry', placeholder: 'name' });
  const add = el('button', { type: 'button', id: 'new-entry-add' }, 'Add entry');
  add.addEventListener('click', () => {
    const type = kind.value;
    if ((type === 'user' || type === 'group') && !who.value.trim()) return;
    body.append(rowFor({ type, name: type === 'user' || type === 'group' ? who.value.trim() : '', actions: '' }));
    who.value = '';
  });
  const result = el('div', { id: 'change-result', role: 'status' });
  const entries = () => [...body.querySelectorAll('tr')].map(tr => {
    let actions = '';
    for (const g of groups) {
      const letters = [...tr.querySelectorAll(`input[data-group="${CSS.escape(g.name)}"]`)].filter(c => c.checked).map(c => c.dataset.action).join('');
      if (letters) actions += g.name === 'primary' ? letters : `[${g.name}]${letters}`;
    }
    const e = { type: tr.dataset.type, actions };
    if (tr.dataset.name) e.name = tr.dataset.name;
    return e;
  }).filter(e => e.actions);
  const send = async (dryRun) => {
    const query = dryRun ? { 'dry-run': 'true' } : undefined;
    const value = { ...v, entries: entries() };
    return api('PUT', '/admin/v1/acls/' + encodeURIComponent(name), { body: value, query, ifMatch: acl._etag });
  };
  const preview = el('button', { type: 'button', id: 'acl-preview' }, 'Preview impact');
  preview.addEventListener('click', async () => {
    try {
      const p = await send(true);
      const regions = (p.effect && p.effect.regions) || [];
      const rows = [];
      for (const r of regions) for (const c of r.changes || [])
        rows.push([r.prefix, c.name || c.subject, c.before, c.after, c.gained || '', c.lost || '']);
      clear(result, el('h4', {}, 'Impact'), el('p', {}, (p.changes || []).join('; ') || 'No change.'),
            rows.length ? table(['Subtree', 'Who', 'Before', 'After', 'Gained', 'Lost'], rows) : el('p', {}, 'No decision changes.'));
    } catch (e) { clear(result, errorLine({ message: outcomeMessage(e) })); }
  });
  const commit = el('button', { type: 'button', id: 'acl-commit' }, 'Commit');
  commit.addEventListener('click', async () => {
    try {
      const c = await send(false);
      clear(result, el('p', { id: 'committed' }, `Committed at sequence ${c.sequence}.`));
      if (state.selected) setTimeout(() => showObjectKeepingResult(state.selected, result), 0);
    } catch (e) {
      const reload = el('button', { type: 'button', id: 'acl-reload', onclick: () => select(state.selected) }, 'Reload');
      clear(result, errorLine({ message: outcomeMessage(e) }), reload);
    }
  });
  box.append(el('p', {}, v.description || ''), t,
             el('div', { class: 'buttons' }, kind, who, add, preview, commit), result);
  return box;
}

async function showObjectKeepingResult(path, result) {
  const message = result.textContent;
  await showObject(path);
  const again = document.getElementById('change-result');
  if (again) clear(again, el('p', { id: 'committed' }, message));
}

// Attaching or detaching an ACL, POP or rule at path.
async function attachForm(path, etag) {
  const kind = el('select', { id: 'attach-kind', 'aria-label': 'kind to attach' },
                  el('option', { value: 'acl' }, 'ACL'), el('option', { value: 'pop' }, 'POP'), el('option', { value: 'rule' }, 'rule'));
  const name = el('input', { id: 'attach-name', 'aria-label': 'name to attach', placeholder: 'name' });
  const out = el('div', { role: 'status' });
  const go = async (method) => {
    try {
      const target = '/admin/v1/attachments/' + kind.value + path;
      const r = await api(method, target, { body: method === 'PUT' ? { name: name.value } : undefined, ifMatch: etag });
      clear(out, el('p', {}, `Done at sequence ${r.sequence}.`));
      await select(path);
    } catch (e) { clear(out, errorLine({ message: outcomeMessage(e) })); }
  };
  return el('div', { class: 'buttons' }, kind, name,
            el('button', { type: 'button', id: 'attach', onclick: () => go('PUT') }, 'Attach'),
            el('button', { type: 'button', id: 'detach', onclick: () => go('DELETE') }, 'Detach'), out);
}

// ---- asking ----------------------------------------------------------------------------

function callerFields() {
  const kind = $('ask-kind').value, name = $('ask-name').value.trim();
  if (kind === 'user') return { user: name };
  if (kind === 'groups') return { groups: name.split(',').map(s => s.trim()).filter(Boolean) };
  return {};
}

async function explain(ev) {
  ev.preventDefault();
  if (!state.selected) return;
  const out = $('ask-result');
  const q = { object: state.selected, actions: $('ask-actions').value, ...callerFields() };
  if ($('ask-ip').value) q.ip = $('ask-ip').value;
  if ($('ask-time').value) q.context = { time: $('ask-time').value };
  try {
    const e = await api('POST', '/admin/v1/explain', { body: q });
    clear(out, el('p', { class: e.granted ? 'granted' : 'denied', id: 'decision' }, e.decision),
          el('p', { id: 'reason' }, e.reason || ''),
          el('h4', {}, 'Conditions'), table(['Condition', 'Outcome', 'Why'], (e.conditions || []).map(c => [c.name, c.outcome, c.why])),
          el('h4', {}, 'Entries of the ACL in force'),
          table(['Entry', 'Who', 'Actions', 'Applies', 'Why'],
                (e.entries || []).map(x => [x.type, x.name || x.uuid || '', x.actions, x.applied ? 'yes' : 'no', x.why])));
  } catch (err) { clear(out, errorLine(err)); }
}

async function whoCan() {
  if (!state.selected) return;
  const out = $('ask-result');
  try {
    const w = await api('GET', '/admin/v1/who-can', { query: { object: state.selected, actions: $('ask-actions').value } });
    const rows = [];
    for (const u of w.users || []) rows.push(['user', u.name || u.uuid, u.permissions, u.granted ? 'yes' : 'no']);
    for (const g of w.groups || []) rows.push(['group', g.name || g.uuid, g.permissions, g.granted ? 'yes' : 'no']);
    if (w.any_other && w.any_other.entry) rows.push(['any other', '', w.any_other.permissions, w.any_other.granted ? 'yes' : 'no']);
    if (w.unauthenticated && w.unauthenticated.entry)
      rows.push(['unauthenticated', '', w.unauthenticated.permissions, w.unauthenticated.granted ? 'yes' : 'no']);
    clear(out, el('h4', {}, `Who can ${w.actions} at ${w.object}`), table(['Kind', 'Name', 'Permissions', 'Granted'], rows),
          el('p', {}, w.conditions && w.conditions.any ? 'Conditions: ' + w.conditions.text : 'No conditions.'));
  } catch (err) { clear(out, errorLine(err)); }
}

async function whatCan() {
  if (!state.selected) return;
  const out = $('ask-result');
  const c = callerFields();
  const query = { under: state.selected, actions: $('ask-actions').value };
  // A caller known only by groups is asked about as a uuid no user has.
  if (c.user) query.user = c.user;
  else if (c.groups) { query.uuid = '00000000-0000-0000-0000-000000000000'; query.group = c.groups; }
  try {
    const w = await api('GET', '/admin/v1/what-can', { query });
    const regions = Array.isArray(w) ? w : (w.regions || []);
    const rows = regions.map(r => [r.prefix, (r.except || []).join(', '), r.conditional ? 'yes' : 'no',
                                   r.conditions && r.conditions.any ? r.conditions.text : '']);
    clear(out, el('h4', {}, `Where the caller may ${query.actions} under ${state.selected}`),
          table(['Subtree', 'Except', 'Conditional', 'Conditions'], rows));
  } catch (err) { clear(out, errorLine(err)); }
}

function csvCell(v) {
  const s = v instanceof Node ? v.textContent : String(v ?? '');
  // A cell a spreadsheet would take for a formula is quoted as text.
  const safe = /^[=+\-@\t\r]/.test(s) ? "'" + s : s;
  return '"' + safe.replace(/"/g, '""') + '"';
}

function exportCsv() {
  if (!state.lastTable) return;
  const lines = [state.lastTable.headers, ...state.lastTable.rows].map(r => r.map(csvCell).join(','));
  const url = URL.createObjectURL(new Blob([lines.join('\r\n') + '\r\n'], { type: 'text/csv' }));
  const a = el('a', { href: url, download: 'gxcore-review.csv' });
  document.body.append(a);
  a.click();
  a.remove();
  URL.revokeObjectURL(url);
}

// ---- tabs and start -----------------------------------------------------------------------

function showTab(name) {
  for (const t of ['object', 'ask', 'history']) {
    $('tab-' + t).setAttribute('aria-selected', String(t === name));
    $('panel-' + t).hidden = t !== name;
  }
}

document.addEventListener('DOMContentLoaded', async () => {
  $('login-form').addEventListener('submit', ev => login(ev, false));
  $('login-certificate-submit').addEventListener('click', ev => login(ev, true));
  $('logout').addEventListener('click', logout);
  $('jump-form').addEventListener('submit', ev => { ev.preventDefault(); search($('jump-path').value); });
  $('ask-form').addEventListener('submit', explain);
  $('ask-who').addEventListener('click', whoCan);
  $('ask-what').addEventListener('click', whatCan);
  $('ask-csv').addEventListener('click', exportCsv);
  for (const t of ['object', 'ask', 'history']) $('tab-' + t).addEventListener('click', () => showTab(t));
  $('tab-history').addEventListener('click', () => { if (state.selected) showHistory(state.selected); });
  try {
    const s = await api('GET', '/console/session');
    state.csrf = s.csrf;
    await showApp(s.admin);
  } catch (e) {
    state.certificate = (e.body && e.body.certificate) || null;
    showLogin('');
  }
});

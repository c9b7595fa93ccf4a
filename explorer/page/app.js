// The explorer's page: a folder tree, a listing that draws only the rows in
// view, search, previews, the archive's versions and (with --write)
// changes. It talks to the JSON API under /api/ (doc/tavmerk-util.1.scd,
// SERVE) and keeps its place in the address's #fragment and the version
// it shows in ?at=, so that back, forward and reload keep them.
'use strict';

const ROW = 24;                  // row height in pixels, as in app.css
const TEXT_HEAD = 1 << 20;       // text shown before "Load all"
const HEX_PAGE = 4096;           // bytes per page of the hex view
const POLL_MS = 3000;            // how often the archive's version is asked for

const token = document.querySelector('meta[name="tavmerk-token"]').content;
const writable = document.querySelector('meta[name="tavmerk-write"]').content === '1';
const $ = (id) => document.getElementById(id);

const state = {
  folder: '',        // the folder listed ('' the top)
  items: [],         // its rows, sorted
  searching: '',     // the query whose results are listed, or ''
  sort: { key: 'name', down: false },
  selected: -1,
  version: '',       // the version the listing shows
  previewing: null,  // the row previewed
  at: '',            // the earlier version browsed (its id), or '' for the one in force
};

// Changes are offered with --write, and only on the version in force.
function canWrite() {
  return writable && !state.at;
}

// ---- talking to the server

function query(params) {
  const parts = [];
  for (const [key, value] of Object.entries(params)) parts.push(key + '=' + encodeURIComponent(value));
  return parts.join('&');
}

// The query of a read: `params` and the version browsed.
function reading(params) {
  return query(state.at ? { ...params, at: state.at } : params);
}

// A row's path as the API takes it: its raw bytes where they are not UTF-8.
function pathParams(row, name = 'path') {
  return row[name + '_hex'] !== undefined ? { [name + '_hex']: row[name + '_hex'] } : { [name]: row[name] };
}

async function getJson(url) {
  const res = await fetch(url, { headers: { 'X-Tavmerk-Token': token } });
  const body = await res.json().catch(() => ({ error: res.statusText }));
  if (!res.ok) throw Object.assign(new Error(body.error || res.statusText), { status: res.status });
  return body;
}

async function postJson(url, body) {
  const res = await fetch(url, {
    method: 'POST',
    headers: { 'X-Tavmerk-Token': token, 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  const answer = await res.json().catch(() => ({ error: res.statusText }));
  if (!res.ok) throw new Error(answer.error || res.statusText);
  return answer;
}

// ---- messages, progress, the banner

function say(text, error = false) {
  const box = $('message');
  box.textContent = text;
  box.classList.toggle('error', error);
  box.hidden = !text;
}

function progress(done, total, label) {
  $('progress').hidden = total === 0;
  $('progress-bar').style.width = total ? Math.round((100 * done) / total) + '%' : '0';
  $('progress-text').textContent = label || '';
}

async function pollVersion() {
  if (state.at) return;  // an earlier version does not change
  try {
    const { version } = await getJson('/api/version');
    $('banner').hidden = !state.version || version === state.version;
  } catch (e) {
    // The server may be gone; the next poll tries again.
  }
}

// ---- formatting

function size(n) {
  if (n === undefined) return '';
  if (n < 1024) return n + ' B';
  const units = ['KiB', 'MiB', 'GiB'];
  let value = n / 1024, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  return value.toFixed(value < 10 ? 1 : 0) + ' ' + units[unit];
}

function ratio(row) {
  if (row.kind === 'folder' || row.kind === 'deleted' || !row.expanded_size) return undefined;
  return row.stored_size / row.expanded_size;
}

function joinPath(folder, name) {
  return folder ? folder + '/' + name : name;
}

function parentOf(path) {
  const at = path.lastIndexOf('/');
  return at < 0 ? '' : path.slice(0, at);
}

// ---- the listing

function sortItems() {
  const { key, down } = state.sort;
  const value = {
    name: (r) => r.name.toLowerCase(),
    size: (r) => r.expanded_size || 0,
    stored: (r) => r.stored_size || 0,
    kind: (r) => r.kind,
    ratio: (r) => ratio(r) ?? -1,
  }[key];
  state.items.sort((a, b) => {
    if (!state.searching && (a.kind === 'folder') !== (b.kind === 'folder')) return a.kind === 'folder' ? -1 : 1;
    const x = value(a), y = value(b);
    const order = x < y ? -1 : x > y ? 1 : a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
    return down ? -order : order;
  });
  for (const span of document.querySelectorAll('#columns span')) {
    span.classList.toggle('sorted', span.dataset.sort === key);
    span.classList.toggle('down', span.dataset.sort === key && down);
  }
}

function drawRows() {
  const list = $('list');
  $('spacer').style.height = state.items.length * ROW + 'px';
  const first = Math.max(0, Math.floor(list.scrollTop / ROW) - 5);
  const last = Math.min(state.items.length, Math.ceil((list.scrollTop + list.clientHeight) / ROW) + 5);
  for (const old of list.querySelectorAll('.row')) old.remove();
  const rows = document.createDocumentFragment();
  for (let i = first; i < last; i++) rows.appendChild(rowElement(state.items[i], i));
  list.appendChild(rows);
}

function rowElement(item, index) {
  const row = document.createElement('div');
  row.className = 'row ' + (item.kind === 'folder' ? 'folder' : item.kind);
  if (index === state.selected) row.classList.add('selected');
  row.style.top = index * ROW + 'px';
  row.dataset.index = index;
  const r = ratio(item);
  const cells = [
    ['c-name', state.searching ? item.path : item.name],
    ['c-size', item.kind === 'folder' ? '' : size(item.expanded_size)],
    ['c-stored', item.kind === 'folder' ? '' : size(item.stored_size)],
    ['c-kind', item.kind],
    ['c-ratio', r === undefined ? '' : Math.round(r * 100) + '%'],
  ];
  for (const [cls, text] of cells) {
    const cell = document.createElement('span');
    cell.className = cls;
    cell.textContent = text;
    if (cls === 'c-name') cell.title = item.path;
    row.appendChild(cell);
  }
  if (canWrite() && item.kind === 'folder') dropTarget(row, () => item.path);
  return row;
}

let drawPending = false;
function redraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => { drawPending = false; drawRows(); });
}

function select(index, scroll = true) {
  if (!state.items.length) return;
  state.selected = Math.max(0, Math.min(state.items.length - 1, index));
  // The rows drawn stay: a click followed by another on the same row is a
  // double click only where it is the same element.
  for (const row of $('list').querySelectorAll('.row')) {
    row.classList.toggle('selected', Number(row.dataset.index) === state.selected);
  }
  if (scroll) {
    const list = $('list');
    const top = state.selected * ROW;
    if (top < list.scrollTop) list.scrollTop = top;
    else if (top + ROW > list.scrollTop + list.clientHeight) list.scrollTop = top + ROW - list.clientHeight;
  }
}

function showCount(extra = '') {
  const files = state.items.filter((r) => r.kind !== 'folder').length;
  $('count').textContent = `${state.items.length} entries (${files} files, ${state.items.length - files} folders)${extra}`;
}

function crumbs(path) {
  const box = $('crumbs');
  box.textContent = '';
  const levels = path ? path.split('/') : [];
  const link = (label, target) => {
    const a = document.createElement('a');
    a.textContent = label;
    a.onclick = () => go(target);
    box.appendChild(a);
  };
  link('archive', '');
  levels.forEach((level, i) => {
    box.appendChild(document.createTextNode(' / '));
    link(level, levels.slice(0, i + 1).join('/'));
  });
}

async function listFolder(folder, selectName) {
  const body = await getJson('/api/children?' + reading({ path: folder }));
  state.folder = folder;
  state.searching = '';
  state.items = body.items;
  state.version = body.version;
  $('banner').hidden = true;
  sortItems();
  state.selected = selectName === undefined ? -1 : state.items.findIndex((r) => r.name === selectName);
  $('list').scrollTop = 0;
  crumbs(folder);
  showCount();
  $('download-folder').href = '/api/tar?' + reading({ path: folder });
  markTree(folder);
  if (state.selected >= 0) select(state.selected);
  drawRows();
}

// Where the address points: a folder, or a file to preview in its folder.
async function go(path, push = true) {
  if (push && decodeHash() !== path) {
    location.hash = encodeURIComponent(path);
    return;  // hashchange comes back here
  }
  try {
    await listFolder(path);
    closePreview();
  } catch (e) {
    if (e.status !== 404 || !path) return say(e.message, true);
    try {
      await listFolder(parentOf(path), path.slice(path.lastIndexOf('/') + 1));
      const row = state.items[state.selected];
      if (row) preview(row);
    } catch (e2) {
      say(e2.message, true);
    }
  }
}

function decodeHash() {
  try {
    return decodeURIComponent(location.hash.slice(1));
  } catch (e) {
    return '';
  }
}

function open(row) {
  if (!row) return;
  if (row.kind === 'folder') go(row.path);
  else {
    if (decodeHash() !== row.path) history.replaceState(null, '', '#' + encodeURIComponent(row.path));
    preview(row);
  }
}

// ---- search

let searchTimer = 0;
let searchSeq = 0;
function searchChanged() {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(runSearch, 120);
}

async function runSearch() {
  const q = $('search').value;
  if (!q) {
    if (state.searching) listFolder(state.folder);
    return;
  }
  const seq = ++searchSeq;
  try {
    const body = await getJson('/api/search?' + reading({ q }));
    if (seq !== searchSeq) return;  // a later query answered first
    state.searching = q;
    state.items = body.results;
    state.selected = state.items.length ? 0 : -1;
    sortItems();
    $('list').scrollTop = 0;
    showCount(body.capped ? ` — the first ${body.limit} only; refine the search` : '');
    drawRows();
  } catch (e) {
    say(e.message, true);
  }
}

// ---- the folder tree, read a level at a time

function treeNode(name, path) {
  const node = document.createElement('div');
  node.className = 'node';
  node.dataset.path = path;
  const twisty = document.createElement('span');
  twisty.className = 'twisty';
  twisty.textContent = '\u25B8';
  const label = document.createElement('span');
  label.className = 'label';
  label.textContent = name;
  const kids = document.createElement('div');
  kids.className = 'kids';
  kids.style.paddingLeft = '14px';
  kids.hidden = true;
  node.append(twisty, label, kids);
  twisty.onclick = (e) => { e.stopPropagation(); toggle(node); };
  label.onclick = () => go(path);
  if (canWrite()) dropTarget(label, () => path);
  return node;
}

async function toggle(node, openIt) {
  const kids = node.querySelector(':scope > .kids');
  const twisty = node.querySelector(':scope > .twisty');
  const opening = openIt ?? kids.hidden;
  if (opening && !node.dataset.loaded) {
    const body = await getJson('/api/children?' + reading({ path: node.dataset.path }));
    kids.textContent = '';
    for (const row of body.items) if (row.kind === 'folder') kids.appendChild(treeNode(row.name, row.path));
    node.dataset.loaded = '1';
  }
  kids.hidden = !opening;
  twisty.textContent = opening ? '\u25BE' : '\u25B8';
}

async function resetTree() {
  const tree = $('tree');
  tree.textContent = '';
  const root = treeNode('archive', '');
  tree.appendChild(root);
  await toggle(root, true);
}

// Opens the tree down to `folder` and marks it.
async function markTree(folder) {
  for (const n of document.querySelectorAll('.node.current')) n.classList.remove('current');
  let node = document.querySelector('#tree .node');
  if (!node) return;
  const levels = folder ? folder.split('/') : [];
  try {
    for (let i = 0; i < levels.length; i++) {
      await toggle(node, true);
      const want = levels.slice(0, i + 1).join('/');
      const next = [...node.querySelector(':scope > .kids').children].find((c) => c.dataset.path === want);
      if (!next) return;
      node = next;
    }
    node.classList.add('current');
  } catch (e) {
    // A folder gone meanwhile: the banner says the archive changed.
  }
}

// ---- previews

let hexAt = 0;

function fileUrl(row, extra = {}) {
  return '/api/file?' + reading({ ...pathParams(row), ...extra });
}

function closePreview() {
  $('preview').hidden = true;
  state.previewing = null;
}

async function readBytes(row, from, to) {
  const headers = { 'X-Tavmerk-Token': token };
  if (to !== undefined) headers.Range = `bytes=${from}-${to - 1}`;
  const res = await fetch(fileUrl(row), { headers });
  if (!res.ok) throw new Error((await res.json().catch(() => ({}))).error || res.statusText);
  return new Uint8Array(await res.arrayBuffer());
}

const IMAGE = /\.(png|jpe?g|gif|bmp|webp)$/i;

async function preview(row) {
  state.previewing = row;
  $('preview').hidden = false;
  $('preview-name').textContent = row.path;
  $('preview-download').href = fileUrl(row, { download: 1 });
  $('preview-all').hidden = true;
  $('hex-pager').hidden = true;
  const body = $('preview-body');
  body.textContent = '';
  const info = `${size(row.expanded_size)} (${row.expanded_size} bytes), ${row.kind}` +
    (row.kind !== 'deleted' ? `, stored ${row.stored_size} bytes at ${row.data_offset}, checksum ${row.checksum}` : '');
  $('preview-info').textContent = info;
  if (row.kind === 'deleted') return;
  if (IMAGE.test(row.name)) {
    const img = document.createElement('img');
    img.alt = row.name;
    img.src = fileUrl(row);
    body.appendChild(img);
    return;
  }
  try {
    const head = await readBytes(row, 0, Math.min(row.expanded_size, TEXT_HEAD));
    if (state.previewing !== row) return;
    if (looksBinary(head)) return showHex(row, 0);
    showText(head, row.expanded_size > head.length);
  } catch (e) {
    body.textContent = e.message;
  }
}

function looksBinary(bytes) {
  const n = Math.min(bytes.length, 8192);
  for (let i = 0; i < n; i++) if (bytes[i] === 0) return true;
  return false;
}

function decodeText(bytes) {
  try {
    return { text: new TextDecoder('utf-8', { fatal: true }).decode(bytes), encoding: 'UTF-8' };
  } catch (e) {
    // A cut at the 1 MiB mark may split a character: try without the last 3 bytes.
    if (bytes.length === TEXT_HEAD) {
      try {
        return { text: new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(bytes.subarray(0, bytes.length - 3)), encoding: 'UTF-8' };
      } catch (e2) { /* Latin-1 below */ }
    }
    let text = '';
    for (let i = 0; i < bytes.length; i += 8192) text += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
    return { text, encoding: 'Latin-1 (not UTF-8)' };
  }
}

function showText(bytes, more) {
  const { text, encoding } = decodeText(bytes);
  const lines = text.split('\n');
  if (lines.length > 1 && lines[lines.length - 1] === '') lines.pop();  // a last line ends the text
  const pre = document.createElement('pre');
  pre.className = 'text';
  const out = document.createDocumentFragment();
  lines.forEach((line, i) => {
    const ln = document.createElement('span');
    ln.className = 'ln';
    ln.textContent = i + 1;
    out.append(ln, line + '\n');
  });
  pre.appendChild(out);
  const body = $('preview-body');
  body.textContent = '';
  body.appendChild(pre);
  $('preview-info').textContent += ` — text, ${encoding}` + (more ? `, the first ${size(bytes.length)} shown` : '');
  $('preview-all').hidden = !more;
}

async function loadAll() {
  const row = state.previewing;
  if (!row) return;
  $('preview-all').hidden = true;
  $('preview-info').textContent = 'loading…';
  const bytes = await readBytes(row, 0);
  $('preview-info').textContent = `${row.expanded_size} bytes`;
  showText(bytes, false);
}

async function showHex(row, at) {
  hexAt = at;
  const end = Math.min(row.expanded_size, at + HEX_PAGE);
  const bytes = end > at ? await readBytes(row, at, end) : new Uint8Array(0);
  if (state.previewing !== row) return;
  const lines = [];
  for (let i = 0; i < bytes.length; i += 16) {
    const slice = bytes.subarray(i, i + 16);
    const hex = [...slice].map((b) => b.toString(16).padStart(2, '0')).join(' ').padEnd(47, ' ');
    const ascii = [...slice].map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push([(at + i).toString(16).padStart(8, '0'), hex, ascii]);
  }
  const pre = document.createElement('pre');
  pre.className = 'hex';
  for (const [off, hex, ascii] of lines) {
    const o = document.createElement('span');
    o.className = 'off';
    o.textContent = off;
    const a = document.createElement('span');
    a.className = 'asc';
    a.textContent = ascii;
    pre.append(o, hex + '  ', a, '\n');
  }
  const body = $('preview-body');
  body.textContent = '';
  body.appendChild(pre);
  $('hex-pager').hidden = false;
  $('hex-where').textContent = `${at}–${end} of ${row.expanded_size}`;
  $('hex-prev').disabled = at === 0;
  $('hex-next').disabled = end >= row.expanded_size;
}

// ---- changes (with --write)

function reportChanges(answer, what) {
  const lines = (answer.changes || []).map((c) => `${c.outcome} ${c.path}${c.to ? ' -> ' + c.to : ''}`);
  say(`${what}: ${lines.length} change${lines.length === 1 ? '' : 's'}\n` + lines.slice(0, 20).join('\n') +
    (lines.length > 20 ? `\n… and ${lines.length - 20} more` : ''));
}

async function changed(answer, what) {
  reportChanges(answer, what);
  await resetTree();
  await listFolder(state.folder);
  if (!$('history').hidden) await loadHistory();
}

async function removeSelected() {
  const row = state.items[state.selected];
  if (!canWrite() || !row) return;
  if (!confirm(`Remove ${row.path}${row.kind === 'folder' ? ' and everything in it' : ''}?`)) return;
  try {
    await changed(await postJson('/api/remove', { paths: [pathParams(row)] }), 'removed');
  } catch (e) {
    say(e.message, true);
  }
}

async function renameSelected() {
  const row = state.items[state.selected];
  if (!canWrite() || !row) return;
  const to = prompt(`New path for ${row.path}`, row.path);
  if (!to || to === row.path) return;
  try {
    await changed(await postJson('/api/rename', { ...renameFrom(row), to }), 'renamed');
  } catch (e) {
    say(e.message, true);
  }
}

function renameFrom(row) {
  return row.path_hex !== undefined ? { from_hex: row.path_hex } : { from: row.path };
}

async function newFolder() {
  if (!canWrite()) return;
  const name = prompt('New folder name', '');
  if (!name) return;
  try {
    await changed(await postJson('/api/mkdir', { path: joinPath(state.folder, name) }), 'made');
  } catch (e) {
    say(e.message, true);
  }
}

// Sends files (each {path, file}) and empty folders to the archive folder
// `to`, as one request, one commit.
function upload(to, files, folders) {
  if (!canWrite() || (!files.length && !folders.length)) return;
  const manifest = {
    files: files.map((f) => ({ path: f.path, size: f.file.size })),
    folders,
  };
  const body = new Blob([JSON.stringify(manifest) + '\n', ...files.map((f) => f.file)]);
  const total = body.size;
  const xhr = new XMLHttpRequest();
  xhr.open('POST', '/api/upload?' + query({ to }));
  xhr.setRequestHeader('X-Tavmerk-Token', token);
  xhr.upload.onprogress = (e) => progress(e.loaded, total, `sending ${size(e.loaded)} of ${size(total)}`);
  xhr.upload.onload = () => progress(total, total, 'committing…');
  xhr.onload = async () => {
    progress(0, 0);
    let answer;
    try {
      answer = JSON.parse(xhr.responseText);
    } catch (e) {
      answer = { error: xhr.statusText || 'no answer' };
    }
    if (xhr.status !== 200) return say(answer.error || xhr.statusText, true);
    await changed(answer, 'uploaded');
  };
  xhr.onerror = () => { progress(0, 0); say('the upload failed: the server did not answer', true); };
  progress(0, total, 'sending…');
  xhr.send(body);
}

// Walks a dropped folder (FileSystemEntry) into files and empty folders.
async function walkEntry(entry, prefix, files, folders) {
  const path = prefix ? prefix + '/' + entry.name : entry.name;
  if (entry.isFile) {
    const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
    files.push({ path, file });
    return;
  }
  const reader = entry.createReader();
  let all = [];
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (!batch.length) break;
    all = all.concat(batch);
  }
  if (!all.length) folders.push(path);
  for (const child of all) await walkEntry(child, path, files, folders);
}

function dropTarget(element, folderOf) {
  element.addEventListener('dragover', (e) => {
    e.preventDefault();
    e.stopPropagation();
    element.classList.add('drop');
  });
  element.addEventListener('dragleave', () => element.classList.remove('drop'));
  element.addEventListener('drop', async (e) => {
    e.preventDefault();
    e.stopPropagation();
    element.classList.remove('drop');
    const files = [], folders = [];
    const entries = [...e.dataTransfer.items].map((i) => i.webkitGetAsEntry && i.webkitGetAsEntry()).filter(Boolean);
    if (entries.length) {
      for (const entry of entries) await walkEntry(entry, '', files, folders);
    } else {
      for (const file of e.dataTransfer.files) files.push({ path: file.name, file });
    }
    upload(folderOf(), files, folders);
  });
}

// ---- versions (History)

// Shows version `at` ('' the one in force): read only, the tree and the
// listing read anew, the address keeping it for a reload.
async function showVersion(at) {
  state.at = at === '' ? '' : String(at);  // version 0 is a version too
  history.replaceState(null, '', location.pathname + (state.at ? '?' + query({ at: state.at }) : '') + location.hash);
  markVersion();
  closePreview();
  try {
    await resetTree();
  } catch (e) {
    return say(e.message, true);
  }
  await go(decodeHash(), false);
}

// The marks of the version shown: the banner, the write controls, its row.
function markVersion() {
  document.body.classList.toggle('writable', canWrite());
  $('at-banner').hidden = !state.at;
  $('at-id').textContent = state.at;
  $('at-undo').hidden = !writable;
  if (state.at) $('banner').hidden = true;
  for (const row of document.querySelectorAll('#history-list .version')) {
    row.classList.toggle('viewed', row.dataset.version === state.at);
  }
}

async function openHistory() {
  $('history').hidden = false;
  closePreview();
  await loadHistory();
}

async function loadHistory() {
  try {
    drawHistory(await getJson('/api/log'));
  } catch (e) {
    say(e.message, true);
  }
}

function drawHistory(body) {
  const list = $('history-list');
  list.textContent = '';
  body.versions.forEach((v, i) => list.appendChild(versionRow(v, i === 0)));
  $('history-end').textContent = body.end === 'repack' ? 'history ends at a repack'
    : body.end === 'damaged' ? `history damaged before version ${body.damaged_before}` : '';
  markVersion();
}

function versionRow(v, current) {
  const row = document.createElement('div');
  row.className = 'version';
  row.dataset.version = current ? '' : String(v.version);
  const span = (cls, text) => {
    const e = document.createElement('span');
    e.className = cls;
    e.textContent = text;
    return e;
  };
  const line = document.createElement('div');
  line.className = 'v-line';
  line.append(span('v-id', String(v.version)), span('v-time', v.time ? v.time.replace('T', ' ').replace('Z', ' UTC') : '—'),
    span('v-counts', `${v.files} file${v.files === 1 ? '' : 's'}` +
      (v.added === null ? '' : `  +${v.added} ~${v.changed} -${v.removed}`)));
  const summary = (v.added === null ? '(first recorded)' : v.summary) + (current ? ' — current' : '') +
    (v.data_kept ? '' : ' (data dropped)');
  const actions = document.createElement('div');
  actions.className = 'v-actions';
  const button = (label, act, cls) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    b.className = cls;
    b.onclick = act;
    actions.appendChild(b);
    return b;
  };
  if (current) {
    button('View', () => showVersion(''), 'v-view');
  } else if (v.data_kept) {
    button('View', () => showVersion(v.version), 'v-view');
    button('Compare with current', () => compare(v.version), 'v-compare');
    if (writable) button('Undo to this version', () => undoTo(v.version), 'v-undo');
  }
  row.append(line, span('v-summary', summary), actions);
  return row;
}

async function compare(id) {
  try {
    const body = await getJson('/api/diff?' + query({ from: id }));
    const lines = body.changes.map((c) => `${c.change} ${c.path}${c.kind === 'folder' ? '/' : ''}`);
    $('diff').hidden = false;
    $('diff-head').textContent = `version ${id} → current: ` +
      (lines.length ? `${lines.length} difference${lines.length === 1 ? '' : 's'}` : 'no differences');
    $('diff-lines').textContent = lines.join('\n');
  } catch (e) {
    say(e.message, true);
  }
}

async function undoTo(id) {
  if (!writable) return;
  if (!confirm(`Undo to version ${id}? Its files become current again, in one new version (which can be undone in turn).`)) return;
  try {
    const answer = await postJson('/api/undo', { to: String(id) });
    await showVersion('');
    reportChanges(answer, `undone to version ${id}`);
    if (!$('history').hidden) await loadHistory();
  } catch (e) {
    say(e.message, true);
  }
}

// ---- wiring

function rowAt(event) {
  const row = event.target.closest('.row');
  return row ? Number(row.dataset.index) : -1;
}

function keys(e) {
  if (e.key === '/' && document.activeElement !== $('search')) {
    e.preventDefault();
    $('search').focus();
    return;
  }
  if (document.activeElement === $('search')) {
    if (e.key === 'Escape') { $('search').value = ''; runSearch(); $('list').focus(); }
    if (e.key === 'ArrowDown' || e.key === 'Enter') { $('list').focus(); if (state.selected < 0) select(0); }
    return;
  }
  if (document.activeElement && document.activeElement.tagName === 'INPUT') return;
  const page = Math.max(1, Math.floor($('list').clientHeight / ROW) - 1);
  const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
  if (e.key in moves) {
    e.preventDefault();
    select(state.selected + moves[e.key]);
  } else if (e.key === 'Home') {
    select(0);
  } else if (e.key === 'End') {
    select(state.items.length - 1);
  } else if (e.key === 'Enter' || e.key === 'ArrowRight') {
    open(state.items[state.selected]);
  } else if ((e.key === 'Backspace' || e.key === 'ArrowLeft') && !state.searching && state.folder) {
    go(parentOf(state.folder));
  } else if (e.key === 'Delete') {
    removeSelected();
  } else if (e.key === 'F2') {
    renameSelected();
  }
}

async function start() {
  state.at = new URLSearchParams(location.search).get('at') || '';
  // The token out of the address; the version shown stays in it.
  history.replaceState(null, '', location.pathname + (state.at ? '?' + query({ at: state.at }) : '') + location.hash);
  markVersion();
  const list = $('list');
  list.addEventListener('scroll', redraw);
  window.addEventListener('resize', redraw);
  list.addEventListener('click', (e) => { const i = rowAt(e); if (i >= 0) { select(i, false); list.focus(); } });
  list.addEventListener('dblclick', (e) => { const i = rowAt(e); if (i >= 0) open(state.items[i]); });
  document.addEventListener('keydown', keys);
  $('search').addEventListener('input', searchChanged);
  for (const span of document.querySelectorAll('#columns span')) {
    span.onclick = () => {
      const key = span.dataset.sort;
      state.sort = { key, down: state.sort.key === key ? !state.sort.down : key !== 'name' };
      sortItems();
      drawRows();
    };
  }
  $('preview-close').onclick = closePreview;
  $('preview-all').onclick = loadAll;
  $('hex-prev').onclick = () => showHex(state.previewing, Math.max(0, hexAt - HEX_PAGE));
  $('hex-next').onclick = () => showHex(state.previewing, hexAt + HEX_PAGE);
  $('reload').onclick = async () => {
    await resetTree();
    await listFolder(state.folder);
    if (!$('history').hidden) await loadHistory();
  };
  $('history-button').onclick = () => ($('history').hidden ? openHistory() : ($('history').hidden = true));
  $('history-close').onclick = () => { $('history').hidden = true; };
  $('at-back').onclick = () => showVersion('');
  $('at-undo').onclick = () => undoTo(state.at);
  $('new-folder').onclick = newFolder;
  $('rename').onclick = renameSelected;
  $('remove').onclick = removeSelected;
  $('upload-input').onchange = (e) => {
    upload(state.folder, [...e.target.files].map((file) => ({ path: file.name, file })), []);
    e.target.value = '';
  };
  if (writable) dropTarget(list, () => state.folder);  // upload() refuses while an earlier version is shown
  window.addEventListener('hashchange', () => go(decodeHash(), false));
  try {
    const info = await getJson('/api/info');
    $('title').textContent = info.archive;
    document.title = info.archive + ' — tavmerk';
    await resetTree();
  } catch (e) {
    say(e.message, true);
  }
  await go(decodeHash(), false);
  setInterval(pollVersion, POLL_MS);
}

start();

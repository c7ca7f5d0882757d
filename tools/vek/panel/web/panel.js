// The page of `vek panel`: every action is one call of the panel's JSON API.
'use strict';

const $ = (id) => document.getElementById(id);
const hex = (n) => '0x' + (n >>> 0).toString(16).toUpperCase().padStart(2, '0');
let lastCall = 0;

async function api(path, body) {
  const init = body === undefined ? {} : { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  const res = await fetch(path, init);
  const out = await res.json();
  refreshActivity();
  if (!out.ok) throw new Error(out.error.message);
  return out;
}

// Shows what a call gave (or why it failed) in an <output>.
async function report(outputId, work, describe) {
  const out = $(outputId);
  try {
    const r = await work();
    out.className = r.result && r.result !== 'DEV_OK' ? 'bad' : 'ok';
    out.textContent = describe ? describe(r) : (r.result || 'done');
    return r;
  } catch (e) {
    out.className = 'bad';
    out.textContent = e.message;
    return null;
  }
}

const formObject = (form) => Object.fromEntries(new FormData(form));

// ---- Boards --------------------------------------------------------------
async function refreshBoards() {
  const { boards } = await api('/api/boards');
  const rows = boards.map((b) => {
    const tr = document.createElement('tr');
    const layout = b.layout && b.layout.width ? `${b.layout.width} × ${b.layout.height}` : '';
    const type = b.board_type === undefined ? '' : (b.board_type_name || b.board_type);
    for (const text of [b.index, b.port, b.serial, `${hex(b.vendor)}:${hex(b.product)} ${b.backend}`, b.firmware || '', type, layout])
      tr.insertCell().textContent = text;
    const button = document.createElement('button');
    button.id = `open-${b.index}`;
    button.textContent = b.open ? 'open' : 'Open';
    button.disabled = b.open;
    button.onclick = () => report('init-result', () => api('/api/open', { index: b.index }), () => 'opened').then(boardChanged);
    tr.insertCell().append(button);
    return tr;
  });
  $('board-list').replaceChildren(...rows);
  const open = boards.find((b) => b.open);
  $('status').textContent = open ? `board ${open.port} open` : 'no board open';
  return open;
}

async function boardChanged() {
  const open = await refreshBoards();
  if (open) { previewTiming(); refreshGpio(); }
}

// ---- Frames --------------------------------------------------------------
async function uploadFiles(files) {
  const bar = $('load-progress');
  bar.max = files.length;
  bar.value = 0;
  let address = $('frame-address').value.trim();
  for (const file of files) {
    const query = new URLSearchParams({ name: file.name, planes: $('planes').value, resize: $('resize').checked ? '1' : '0' });
    if (address) query.set('address', address);
    address = '';  // the next ones follow it
    const r = await report('load-result', async () => {
      const res = await fetch('/api/frames?' + query, { method: 'POST', body: file });
      const out = await res.json();
      if (!out.ok) throw new Error(`${file.name}: ${out.error.message}`);
      return out;
    }, (f) => `${f.name} at ${hex(f.address)}`);
    if (!r) break;
    bar.value += 1;
  }
  refreshActivity();
  if (bar.value === files.length) $('load-result').textContent = `${files.length} file(s) loaded`;
}

async function loadSet(set) {
  await report('load-result', () => api('/api/frames/generated', { set }), (r) => `${r.frames.length} frames loaded`);
  $('load-progress').value = $('load-progress').max;
}

async function readGallery() {
  const r = await report('gallery-result', () => api('/api/gallery'), (g) =>
    `${g.frames.filter((f) => f.verified).length} of ${g.frames.length} verified`);
  if (!r) return;
  const stamp = Date.now();
  $('gallery').replaceChildren(...r.frames.map((f, i) => {
    const fig = document.createElement('figure');
    fig.className = f.verified ? 'verified' : 'unverified';
    const img = document.createElement('img');
    img.src = `/api/thumbs/${i}.png?v=${stamp}`;
    img.alt = f.name;
    const cap = document.createElement('figcaption');
    cap.textContent = `${f.name} @ ${hex(f.address)}`;
    fig.append(img, cap);
    return fig;
  }));
}

// ---- Timing, trigger, GPIO ---------------------------------------------------
let previewTimer = 0;
function previewTiming() {
  clearTimeout(previewTimer);
  previewTimer = setTimeout(async () => {
    const out = $('timing-result');
    try {
      const p = await api('/api/timing/preview', formObject($('timing-form')));
      out.className = p.result === 'DEV_OK' ? '' : 'bad';
      out.textContent = p.result === 'DEV_OK' ? `will write${p.short_period ? ' (short-period timing)' : ''}` : `cannot be met: ${p.result}`;
      $('timing-preview').replaceChildren(...p.registers.map((reg) => {
        const tr = document.createElement('tr');
        for (const t of [hex(reg.address), reg.value, reg.us.toFixed(2)]) tr.insertCell().textContent = t;
        return tr;
      }));
    } catch (e) { out.className = 'bad'; out.textContent = e.message; }
  }, 250);
}

function showGpio(g) {
  $('gpio-input').textContent = hex(g.input);
  $('gpio-output').textContent = hex(g.output);
  for (let line = 0; line < 8; ++line) {
    const box = $(`gpio-${line}`);
    box.checked = ((g.output >>> line) & 1) === 1;
    box.parentElement.classList.toggle('high', ((g.input >>> line) & 1) === 1);
  }
}

async function refreshGpio() {
  try { showGpio(await api('/api/gpio')); } catch (e) { $('gpio-input').textContent = e.message; }
}

function makeGpioSwitches() {
  $('gpio-lines').replaceChildren(...Array.from({ length: 8 }, (_, line) => {
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.id = `gpio-${line}`;
    box.onchange = async () => {
      let output = 0;
      for (let l = 0; l < 8; ++l) if ($(`gpio-${l}`).checked) output |= 1 << l;
      try { showGpio(await api('/api/gpio', { output })); } catch (e) { $('gpio-input').textContent = e.message; }
    };
    label.append(box, ` line ${line}`);
    return label;
  }));
}

// ---- Names ---------------------------------------------------------------
async function loadNames() {
  const names = await api('/api/names');
  const options = (list) => list.map((e) => new Option(`${e.name} (${e.number})`, e.name));
  $('command-name').replaceChildren(...options(names.commands));
  $('inquiry-name').replaceChildren(...options(names.inquiries));
  $('register-names').replaceChildren(...names.registers.map((e) => new Option(hex(e.number), e.name)));
}

// ---- Activity ------------------------------------------------------------
let activityBusy = false;
async function refreshActivity() {
  if (activityBusy) return;
  activityBusy = true;
  try {
    const res = await fetch(`/api/activity?after=${lastCall}`);
    const { calls } = await res.json();
    const body = $('calls');
    for (const c of calls) {
      const tr = body.insertRow(0);
      for (const t of [c.seq, c.at.toFixed(3), c.call, c.result, c.ms.toFixed(1)]) tr.insertCell().textContent = t;
      tr.cells[3].className = c.code === 0 ? 'ok' : 'bad';
      lastCall = c.seq;
    }
  } finally { activityBusy = false; }
}

const traceKinds = ['', 'request', 'completion', 'write', 'read', 'control', 'data', 'abort', 'reset', 'pause', 'fault', 'attach', 'detach'];
function traceLine(e) {
  const kind = traceKinds[e.kind] || e.kind;
  const where = e.board < 0 ? '' : `board ${e.board} `;
  if (e.kind === 3 || e.kind === 4) return `${where}${kind} ${hex(e.address)} = ${hex(e.value)}`;
  if (e.kind === 6) return `${where}data ${e.direction ? 'in' : 'out'} ${e.bytes} of ${e.length} bytes on ${hex(e.endpoint)}`;
  if (e.kind === 9) return `pause ${e.value} ms`;
  return `${where}${kind} endpoint ${hex(e.endpoint)} bytes ${e.bytes}`;
}

function followTrace() {
  const pre = $('trace');
  new EventSource('/api/trace').onmessage = (m) => {
    const e = JSON.parse(m.data);
    if (e.kind === 1 || e.kind === 2) return;  // the register and data lines say it better
    pre.append(`${e.ms} ms  ${traceLine(e)}\n`);
    while (pre.childNodes.length > 400) pre.firstChild.remove();
    pre.scrollTop = pre.scrollHeight;
  };
}

// ---- Wiring --------------------------------------------------------------
function onSubmit(id, work) {
  $(id).addEventListener('submit', (ev) => { ev.preventDefault(); work(ev.target, ev.submitter); });
}

window.addEventListener('DOMContentLoaded', () => {
  makeGpioSwitches();
  $('attach-virtual').onclick = () => report('init-result', () => api('/api/boards/virtual', {}), (r) => `virtual board ${r.board} attached`).then(refreshBoards);
  $('close-board').onclick = () => report('init-result', () => api('/api/close', {}), () => 'closed').then(refreshBoards);
  onSubmit('init-form', (f) => report('init-result', () => api('/api/init', formObject(f))).then(boardChanged));
  const drop = $('drop-zone');
  drop.addEventListener('dragover', (ev) => { ev.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (ev) => { ev.preventDefault(); drop.classList.remove('over'); uploadFiles([...ev.dataTransfer.files]); });
  $('file-input').addEventListener('change', (ev) => uploadFiles([...ev.target.files]));
  $('load-gray').onclick = () => loadSet('gray');
  $('load-phase').onclick = () => loadSet('phase');
  $('read-gallery').onclick = readGallery;
  $('timing-form').addEventListener('input', previewTiming);
  onSubmit('timing-form', (f) => report('timing-result', () => api('/api/timing', formObject(f))));
  onSubmit('frequency-form', (f) => report('frequency-result', () => api('/api/frequency', formObject(f))));
  onSubmit('trigger-form', (f) => {
    const body = formObject(f);
    body.enable = f.elements.enable.checked;
    return report('trigger-result', () => api('/api/trigger', body));
  });
  onSubmit('command-form', (f) => report('command-result', () => api('/api/command', formObject(f)), (r) => `${r.result}, value ${r.value}`));
  onSubmit('inquiry-form', (f) => report('inquiry-result', () => api('/api/inquire', formObject(f)), (r) => `${r.result}: ${r.value} (${hex(r.value)})`));
  onSubmit('register-form', (f, button) => {
    const body = formObject(f);
    const path = button && button.name === 'write' ? '/api/register/write' : '/api/register/read';
    return report('register-result', () => api(path, body), (r) => `${hex(r.address)} = ${hex(r.value)}`);
  });
  loadNames();
  boardChanged();
  followTrace();
  setInterval(refreshActivity, 2000);
});

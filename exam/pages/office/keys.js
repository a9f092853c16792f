// Keys: every master item with its key and figures; change a key, accept
// another answer, void an item or make it a bonus, each after the preview of
// whose totals change (the re-key's dry run); integrity's proposed keys for
// the items flagged "key?", each accepted in one step; the history of keys.
import { $, T, api, button, clear, el, examQuery, needAuthor, number, say, shortcuts, when, withProgress } from './common.js';

const SHOWN_CHANGES = 200;

let context = null;
let data = null;
let selected = 0;
let panel = null; // {item, change, preview, revision}
let previewRound = 0;

function query() {
  return examQuery(context.exam);
}

function keys() {
  return [
    ['i', T.keysKeyItems], ['↑ ↓', T.keysKeyMove], ['A B C …', T.keysKeyLetter], ['Space', T.keysKeySpace],
    ['Delete', T.keysKeyVoid], ['=', T.keysKeyBonus], ['Enter', T.keysKeyEnter], ['Esc', T.keysKeyEsc],
    ['f', T.keysKeyFixes], ['h', T.keysKeyHistory],
  ];
}

function questionsText(item) {
  const entries = Object.entries(item.questions);
  if (entries.length === 1) return String(entries[0][1]);
  return entries.map(([v, q]) => T.keysOnVersion(v, q)).join(', ');
}

function stateText(item) {
  if (item.kind !== 'scored') return T.gridKinds[item.kind];
  return item.all ? T.keysAll(item.all) : item.key || '–';
}

// The words of a change: "key C", "also right B D", "void".
function changeText(change) {
  if (change.void) return T.keysChangeVoid;
  if (change.bonus) return T.keysChangeBonus;
  if (change.key && change.accept) return T.keysChangeKeyAccept(change.key, change.accept);
  if (change.key) return T.keysChangeKey(change.key);
  return T.keysChangeAccept(change.accept);
}

// ------------------------------------------------------------- the preview

function side(s) {
  return s.scored ? number(s.total) : T.keysNotScored;
}

function renderPreview(box, preview) {
  clear(box);
  const n = preview.changed.length;
  box.appendChild(el('p', 'preview-summary', T.keysPreviewSummary(n, preview.unchanged)));
  if (!n) return;
  const wrap = el('div', 'table-wrap');
  wrap.tabIndex = 0;
  wrap.setAttribute('role', 'region');
  wrap.setAttribute('aria-label', T.keysPreviewLabel);
  const table = el('table', 'list');
  const head = el('thead');
  const hr = el('tr');
  for (const h of [T.keysColSheet, T.keysColStudent, T.keysColName, T.keysColVersion, T.keysColBefore, T.keysColAfter, T.keysColChange]) {
    const th = el('th', null, h);
    th.scope = 'col';
    hr.appendChild(th);
  }
  head.appendChild(hr);
  table.appendChild(head);
  const body = el('tbody');
  for (const c of preview.changed.slice(0, SHOWN_CHANGES)) {
    const tr = el('tr');
    tr.appendChild(el('td', 'number', c.sheet));
    tr.appendChild(el('td', null, c.student_id || '–'));
    tr.appendChild(el('td', null, c.name));
    tr.appendChild(el('td', null, c.version));
    tr.appendChild(el('td', 'number', side(c.before)));
    tr.appendChild(el('td', 'number', side(c.after)));
    tr.appendChild(el('td', 'number', c.change === null ? '' : (c.change > 0 ? '+' : '') + number(c.change)));
    body.appendChild(tr);
  }
  table.appendChild(body);
  wrap.appendChild(table);
  box.appendChild(wrap);
  if (n > SHOWN_CHANGES) box.appendChild(el('p', 'hint', T.keysMoreChanges(n - SHOWN_CHANGES)));
}

async function dryRun(item, change) {
  return api('/api/rekey' + query(), { item, ...change, dry_run: true });
}

async function store(item, change, revision) {
  const author = needAuthor();
  if (!author) return null;
  // Every sheet is scored again: the page shows how far while it waits.
  const done = await withProgress(context.exam,
    () => api('/api/rekey' + query(), { item, ...change, dry_run: false, author, revision }));
  say(T.keysStored(done.revision, done.note, done.changed.length));
  return done;
}

// ------------------------------------------------------------ the panel

function closePanel(focusRow) {
  panel = null;
  const box = $('keys-panel');
  if (box) {
    clear(box);
    box.hidden = true;
  }
  if (focusRow) selectRow(selected, true);
}

function openPanel(index, change) {
  selected = index;
  const item = data.items[index];
  panel = { item: item.item, change: change || null, preview: null, revision: data.revision };
  const box = $('keys-panel');
  clear(box);
  box.hidden = false;
  const h = el('h3', null, T.keysPanelHeading(item.item, questionsText(item)));
  h.id = 'keys-panel-heading';
  h.tabIndex = -1;
  box.appendChild(h);
  box.appendChild(el('p', null, T.keysPanelNow(stateText(item), item.accept, item.points)));

  const form = el('fieldset', 'choices');
  form.appendChild(el('legend', null, T.keysPanelWhat));
  const options = item.options.split('');
  const pick = (kind) => {
    for (const r of form.querySelectorAll('input[name="keys-kind"]')) r.checked = r.value === kind;
    update();
  };
  const choice = (kind, text, extra) => {
    const row = el('div', 'choice');
    const label = el('label');
    const r = el('input');
    r.type = 'radio';
    r.name = 'keys-kind';
    r.value = kind;
    r.id = 'keys-kind-' + kind;
    r.addEventListener('change', update);
    label.appendChild(r);
    label.appendChild(document.createTextNode(' ' + text));
    row.appendChild(label);
    if (extra) row.appendChild(extra);
    form.appendChild(row);
  };
  const keySelect = el('select');
  keySelect.id = 'keys-new-key';
  keySelect.setAttribute('aria-label', T.keysNewKeyLabel(item.item));
  for (const option of options) {
    const o = el('option', null, option);
    o.value = option;
    keySelect.appendChild(o);
  }
  keySelect.value = item.key && options.includes(item.key) ? item.key : options[0];
  keySelect.addEventListener('change', () => pick('key'));
  choice('key', item.kind === 'scored' ? T.keysKindKey : T.keysKindCountAgain, keySelect);
  const accepts = el('span', 'accepts');
  for (const option of options) {
    const label = el('label', 'check');
    const c = el('input');
    c.type = 'checkbox';
    c.value = option;
    c.id = 'keys-accept-' + option;
    c.checked = item.accept.includes(option);
    c.addEventListener('change', () => pick('accept'));
    label.appendChild(c);
    label.appendChild(document.createTextNode(' ' + option));
    accepts.appendChild(label);
  }
  if (item.kind === 'scored' && !item.all) choice('accept', T.keysKindAccept, accepts);
  if (item.kind !== 'void') choice('void', T.keysKindVoid);
  if (item.kind !== 'bonus') choice('bonus', T.keysKindBonus);
  box.appendChild(form);

  const preview = el('div', 'preview');
  preview.id = 'keys-preview';
  preview.setAttribute('aria-live', 'polite');
  box.appendChild(preview);
  const tools = el('div', 'toolbar');
  const confirm = button(T.keysConfirm, async () => {
    if (!panel || !panel.preview) return;
    confirm.disabled = true;
    try {
      const done = await store(panel.item, panel.change, panel.revision);
      if (done) {
        const at = selected;
        await reload();
        selectRow(at, true);
      } else {
        confirm.disabled = false;
      }
    } catch (e) {
      say(e.message, true);
      if (e.status === 409 || e.status === 503) await reload(); // changed elsewhere, or maybe stored: look again
      else confirm.disabled = false;
    }
  }, 'primary');
  confirm.id = 'keys-confirm';
  confirm.disabled = true;
  tools.appendChild(confirm);
  tools.appendChild(button(T.keysCancel, () => closePanel(true)));
  box.appendChild(tools);

  // The change the panel shows now, previewed at once.
  function update() {
    const kind = (form.querySelector('input[name="keys-kind"]:checked') || {}).value;
    let c = null;
    if (kind === 'key') c = { key: keySelect.value };
    if (kind === 'accept') {
      const chosen = [...accepts.querySelectorAll('input:checked')].map((x) => x.value).filter((x) => x !== item.key).join('');
      c = chosen ? { accept: chosen } : { key: item.key };
    }
    if (kind === 'void') c = { void: true };
    if (kind === 'bonus') c = { bonus: true };
    panel.change = c;
    panel.preview = null;
    confirm.disabled = true;
    clear(preview);
    if (!c) return;
    const round = ++previewRound;
    preview.appendChild(el('p', 'hint', T.keysPreviewing(changeText(c))));
    dryRun(item.item, c).then((p) => {
      if (round !== previewRound || !panel) return;
      panel.preview = p;
      renderPreview(preview, p);
      confirm.textContent = T.keysConfirmWhat(item.item, changeText(c), p.changed.length);
      confirm.disabled = false;
      // Opened by a key on the item: once the preview is there, Enter confirms.
      if (panel.focusConfirm) {
        panel.focusConfirm = false;
        confirm.focus();
      }
    }).catch((e) => {
      if (round !== previewRound) return;
      clear(preview);
      preview.appendChild(el('p', 'problem', e.message));
    });
  }

  h.focus();
  if (change) {
    panel.focusConfirm = true;
    if (change.key !== undefined) {
      keySelect.value = change.key;
      pick('key');
    } else if (change.void) pick('void');
    else if (change.bonus) pick('bonus');
    else if (change.accept !== undefined) {
      for (const c of accepts.querySelectorAll('input')) if (change.accept.includes(c.value)) c.checked = true;
      pick('accept');
      panel.focusConfirm = false;
      const first = [...accepts.querySelectorAll('input')].find((x) => x.value !== item.key);
      if (first) first.focus();
    }
  }
  box.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') {
      event.preventDefault();
      event.stopPropagation();
      closePanel(true);
    }
  });
}

// ------------------------------------------------------------- the fixes

async function renderFixes() {
  const box = $('keys-fixes');
  clear(box);
  const h = el('h3', null, T.keysFixesHeading);
  h.id = 'keys-fixes-heading';
  h.tabIndex = -1;
  box.appendChild(h);
  let fixes;
  try {
    fixes = await api('/api/keyfixes' + query());
  } catch (e) {
    box.appendChild(el('p', 'problem', e.message));
    return;
  }
  if (!fixes.fixes.length) {
    box.appendChild(el('p', 'hint', T.keysNoFixes));
    return;
  }
  box.appendChild(el('p', 'hint', T.keysFixesHint));
  const list = el('ul', 'fixes');
  for (const fix of fixes.fixes) {
    const li = el('li', 'fix');
    li.appendChild(el('p', null, T.keysFix(fix.item, fix.version, fix.keyed, fix.proposed, number(fix.keyed_r), number(fix.proposed_r),
      fix.proposed_share === null ? '' : Math.round(fix.proposed_share * 100))));
    if (fix.version !== null) {
      li.appendChild(el('p', 'hint', T.keysFixVersion(fix.version)));
      list.appendChild(li);
      continue;
    }
    const preview = el('div', 'preview');
    preview.setAttribute('aria-live', 'polite');
    preview.appendChild(el('p', 'hint', T.keysPreviewing(changeText({ key: fix.proposed }))));
    li.appendChild(preview);
    const accept = button(T.keysFixAccept(fix.item, fix.proposed), async () => {
      accept.disabled = true;
      try {
        if (await store(fix.item, { key: fix.proposed }, fixes.revision)) await reload();
        else accept.disabled = false;
      } catch (e) {
        say(e.message, true);
        if (e.status === 409 || e.status === 503) await reload();
        else accept.disabled = false;
      }
    }, 'primary');
    accept.disabled = true;
    li.appendChild(accept);
    list.appendChild(li);
    dryRun(fix.item, { key: fix.proposed }).then((p) => {
      renderPreview(preview, p);
      accept.disabled = false;
    }).catch((e) => {
      clear(preview);
      preview.appendChild(el('p', 'problem', e.message));
    });
  }
  box.appendChild(list);
}

// ------------------------------------------------------------ the history

function differences(before, after) {
  if (!before || !after) return '';
  const out = [];
  const n = Math.max(before.key.length, after.key.length);
  for (let i = 0; i < n; i++) {
    const m = i + 1;
    const s = String(m);
    const was = after.void.includes(m) ? 'void' : after.bonus.includes(m) ? 'bonus' : '';
    const had = before.void.includes(m) ? 'void' : before.bonus.includes(m) ? 'bonus' : '';
    if (was !== had) out.push(T.keysDiffKind(m, T.gridKinds[was || 'scored']));
    if (before.key[i] !== after.key[i]) out.push(T.keysDiffKey(m, before.key[i] || '–', after.key[i] || '–'));
    if ((before.accept[s] || '') !== (after.accept[s] || '')) out.push(T.keysDiffAccept(m, after.accept[s] || '–'));
    if (before.points[s] !== after.points[s]) out.push(T.keysDiffPoints(m, number(after.points[s])));
  }
  return out.join('; ');
}

function renderHistory() {
  const box = $('keys-history');
  clear(box);
  const h = el('h3', null, T.keysHistoryHeading);
  h.id = 'keys-history-heading';
  h.tabIndex = -1;
  box.appendChild(h);
  const wrap = el('div', 'table-wrap');
  wrap.tabIndex = 0;
  wrap.setAttribute('role', 'region');
  wrap.setAttribute('aria-labelledby', h.id);
  const table = el('table', 'list');
  const head = el('thead');
  const hr = el('tr');
  for (const t of [T.keysColRevision, T.keysColWhen, T.keysColWho, T.keysColKind, T.keysColWhat]) {
    const th = el('th', null, t);
    th.scope = 'col';
    hr.appendChild(th);
  }
  head.appendChild(hr);
  table.appendChild(head);
  const body = el('tbody');
  data.history.forEach((r, i) => {
    const older = data.history[i + 1];
    const tr = el('tr');
    const th = el('th', null, r.revision);
    th.scope = 'row';
    tr.appendChild(th);
    tr.appendChild(el('td', null, when(r.created_at)));
    tr.appendChild(el('td', null, r.author));
    tr.appendChild(el('td', null, T.revisionKinds[r.kind] || r.kind));
    const what = r.note || (older ? differences(older.keys, r.keys) : '') || (r.keys ? T.keysKeyWas(r.keys.key) : '');
    tr.appendChild(el('td', null, what));
    body.appendChild(tr);
  });
  table.appendChild(body);
  wrap.appendChild(table);
  box.appendChild(wrap);
}

// ------------------------------------------------------------ the items

function selectRow(index, focus) {
  const rows = document.querySelectorAll('#keys-rows tr');
  if (!rows.length) return;
  selected = Math.max(0, Math.min(rows.length - 1, index));
  rows.forEach((r, i) => {
    r.tabIndex = i === selected ? 0 : -1;
    r.classList.toggle('selected', i === selected);
    if (i === selected) r.setAttribute('aria-current', 'true');
    else r.removeAttribute('aria-current');
  });
  if (focus) rows[selected].focus();
}

function renderItems() {
  const body = $('keys-rows');
  clear(body);
  data.items.forEach((item, index) => {
    const tr = el('tr', item.kind !== 'scored' ? item.kind : null);
    tr.tabIndex = -1;
    tr.dataset.index = String(index);
    const th = el('th', null, item.item);
    th.scope = 'row';
    tr.appendChild(th);
    tr.appendChild(el('td', null, questionsText(item)));
    tr.appendChild(el('td', 'key-cell', stateText(item)));
    tr.appendChild(el('td', null, item.accept));
    tr.appendChild(el('td', 'number', number(item.points)));
    const f = item.figures;
    tr.appendChild(el('td', 'number', f ? number(f.p) : ''));
    tr.appendChild(el('td', 'number', f ? number(f.d) : ''));
    tr.appendChild(el('td', 'number', f ? number(f.r) : ''));
    tr.appendChild(el('td', f && f.flags.includes('key?') ? 'problem' : null,
      f ? f.flags.map((x) => T.flagNames[x] || x).join(', ') : ''));
    const actions = el('td', 'actions');
    const change = button(T.keysChangeButton, () => openPanel(index));
    change.setAttribute('aria-label', T.keysChangeItem(item.item));
    change.tabIndex = -1;
    actions.appendChild(change);
    tr.appendChild(actions);
    tr.addEventListener('click', () => selectRow(index, false));
    tr.addEventListener('focus', () => selectRow(index, false));
    body.appendChild(tr);
  });
  selectRow(selected, false);
}

function onTableKey(event) {
  const tr = event.target.closest('#keys-rows tr');
  if (!tr || event.altKey || event.metaKey || event.ctrlKey) return;
  const index = Number(tr.dataset.index);
  const item = data.items[index];
  let used = true;
  switch (event.key) {
    case 'ArrowUp': selectRow(index - 1, true); break;
    case 'ArrowDown': selectRow(index + 1, true); break;
    case 'Home': selectRow(0, true); break;
    case 'End': selectRow(data.items.length - 1, true); break;
    case 'PageUp': selectRow(index - 10, true); break;
    case 'PageDown': selectRow(index + 10, true); break;
    case 'Enter': openPanel(index); break;
    case 'Delete': if (item.kind !== 'void') openPanel(index, { void: true }); break;
    case '=': case '+': if (item.kind !== 'bonus') openPanel(index, { bonus: true }); break;
    case ' ': if (item.kind === 'scored' && !item.all) openPanel(index, { accept: item.accept }); break;
    default: {
      const option = event.key.length === 1 &&
        (item.options.includes(event.key) ? event.key : item.options.includes(event.key.toUpperCase()) ? event.key.toUpperCase() : null);
      if (option && !item.all) openPanel(index, { key: option });
      else used = false;
    }
  }
  if (used) {
    event.preventDefault();
    event.stopPropagation();
  }
}

async function reload() {
  data = await api('/api/keys' + query());
  closePanel(false);
  $('keys-summary').textContent = T.keysSummary(data.revision, data.sheets, data.scored);
  renderItems();
  renderHistory();
  await renderFixes();
}

export default {
  id: 'keys',
  office: true,
  needsExam: true,
  title: () => T.navKeys,
  keys,
  async show(root, ctx) {
    context = ctx;
    selected = 0;
    panel = null;
    const h = el('h2', null, T.keysHeading(ctx.exam.title || ctx.exam.exam));
    root.appendChild(h);
    const summary = el('p');
    summary.id = 'keys-summary';
    root.appendChild(summary);
    root.appendChild(el('p', 'hint', T.keysIntro));

    const items = el('section');
    items.setAttribute('aria-labelledby', 'keys-items-heading');
    const ih = el('h3', null, T.keysItemsHeading);
    ih.id = 'keys-items-heading';
    items.appendChild(ih);
    const wrap = el('div', 'table-wrap');
    const table = el('table', 'list keys-table');
    table.setAttribute('aria-labelledby', ih.id);
    const head = el('thead');
    const hr = el('tr');
    for (const t of [T.gridItem, T.keysColQuestions, T.keysColKey, T.gridAccepted, T.gridPointsColumn, T.colP, T.colD, T.colR, T.colFlags, T.colActions]) {
      const th = el('th', null, t);
      th.scope = 'col';
      hr.appendChild(th);
    }
    head.appendChild(hr);
    table.appendChild(head);
    const body = el('tbody');
    body.id = 'keys-rows';
    table.appendChild(body);
    table.addEventListener('keydown', onTableKey);
    wrap.appendChild(table);
    items.appendChild(wrap);
    root.appendChild(items);

    const panelBox = el('section', 'panel');
    panelBox.id = 'keys-panel';
    panelBox.hidden = true;
    panelBox.setAttribute('aria-labelledby', 'keys-panel-heading');
    items.insertBefore(panelBox, wrap);

    const fixes = el('section');
    fixes.id = 'keys-fixes';
    fixes.setAttribute('aria-labelledby', 'keys-fixes-heading');
    root.insertBefore(fixes, items);
    const history = el('section');
    history.id = 'keys-history';
    history.setAttribute('aria-labelledby', 'keys-history-heading');
    root.appendChild(history);
    root.appendChild(shortcuts(keys()));
    await reload();
  },
  onKey(event) {
    switch (event.key) {
      case 'i': selectRow(selected, true); return true;
      case 'f': $('keys-fixes-heading')?.focus(); return true;
      case 'h': $('keys-history-heading')?.focus(); return true;
      case 'Escape': if (panel) { closePanel(true); return true; } return false;
      default: return false;
    }
  },
};

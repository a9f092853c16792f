// The answer key as a grid of master items x options, typed as fast as on
// paper: the whole key into one field ("ABCDA..."), or the grid with arrow
// keys and letters; accepted answers, void, bonus and points per item.
import { T, button, clear, el, field, say } from './common.js';

const PAGE_ROWS = 10;
const NO_KEY = '*';

// `o.items()`: the items ({key, accept, kind, points}, changed in place);
// `o.shape(m)`: {question, options} of master item m; `o.defaultPoints()`;
// `o.changed()`: after every change.
export default function keyGrid(o) {
  const state = { row: 0, col: 0, problems: {} };
  const root = el('div', 'key-grid');
  const lineId = 'new-key';

  const line = el('input');
  line.id = lineId;
  line.className = 'wide key-line';
  line.autocomplete = 'off';
  line.spellcheck = false;
  line.setAttribute('autocapitalize', 'characters');
  const lineNote = el('p', 'hint');
  lineNote.id = lineId + '-note';
  lineNote.setAttribute('aria-live', 'polite');
  const lineField = field(T.gridLine, line, T.gridLineHint);
  line.setAttribute('aria-describedby', line.getAttribute('aria-describedby') + ' ' + lineNote.id);
  lineField.appendChild(lineNote);
  root.appendChild(lineField);

  const bar = el('div', 'toolbar grid-bar');
  const status = el('p', 'grid-status');
  status.id = 'grid-status';
  status.setAttribute('aria-live', 'polite');
  bar.appendChild(status);
  const voidButton = button('', () => act('void'));
  const bonusButton = button('', () => act('bonus'));
  const clearButton = button('', () => act('clear'));
  bar.appendChild(voidButton);
  bar.appendChild(bonusButton);
  bar.appendChild(clearButton);
  const points = el('input');
  points.id = 'grid-points';
  points.inputMode = 'decimal';
  points.size = 5;
  points.autocomplete = 'off';
  const pointsField = field(T.gridPoints(1), points);
  pointsField.classList.add('inline');
  bar.appendChild(pointsField);
  root.appendChild(bar);

  const wrap = el('div', 'table-wrap grid-wrap');
  const table = el('table', 'list key-table');
  table.setAttribute('role', 'grid');
  table.setAttribute('aria-label', T.gridLabel);
  table.setAttribute('aria-describedby', status.id);
  wrap.appendChild(table);
  root.appendChild(wrap);

  const items = () => o.items();
  const options = (i) => o.shape(i + 1).options;

  // The key text: one character an item, trailing items without a key left out.
  function keyText() {
    const list = items();
    let end = list.length;
    while (end > 0 && !list[end - 1].key) end--;
    return list.slice(0, end).map((it) => it.key || NO_KEY).join('');
  }

  // The option a typed character names on item i (any case), or null.
  function optionFor(i, c) {
    const opts = options(i);
    if (opts.includes(c)) return c;
    const other = c === c.toUpperCase() ? c.toLowerCase() : c.toUpperCase();
    return opts.includes(other) ? other : null;
  }

  function fromLine() {
    const list = items();
    const typed = [...line.value].filter((c) => !/\s/.test(c));
    const wrong = [];
    list.forEach((it, i) => {
      const c = typed[i];
      if (c === undefined || '*.-_'.includes(c)) {
        it.key = '';
        return;
      }
      const option = optionFor(i, c);
      it.key = option || c.toUpperCase();
      if (!option) wrong.push(T.gridNotOption(i + 1, c, options(i)));
      if (it.key) it.accept = it.accept.split('').filter((x) => x !== it.key).join('');
    });
    const notes = [];
    if (typed.length > list.length) notes.push(T.gridTooLong(typed.length, list.length));
    else notes.push(T.gridTyped(Math.min(typed.length, list.length), list.length));
    lineNote.textContent = notes.concat(wrong.slice(0, 3)).join(' · ');
    lineNote.className = wrong.length || typed.length > list.length ? 'hint problem' : 'hint';
    for (let i = 0; i < list.length; i++) paintRow(i);
    describe();
    o.changed();
  }
  line.addEventListener('input', fromLine);

  function cellsOf(i) {
    return table.querySelectorAll('tbody tr')[i]?.querySelectorAll('td.option') || [];
  }

  function cellText(label, it) {
    if (it.key === label) return T.gridCellKey(label);
    if (it.accept.includes(label)) return T.gridCellAccept(label);
    return label;
  }

  function paintRow(i) {
    const tr = table.querySelectorAll('tbody tr')[i];
    const it = items()[i];
    if (!tr || !it) return;
    const opts = options(i);
    tr.className = [it.kind !== 'scored' ? it.kind : '', state.problems[i + 1] ? 'problem-row' : ''].join(' ').trim();
    tr.querySelectorAll('td.option').forEach((td, c) => {
      const label = opts[c];
      if (label === undefined) return;
      td.classList.toggle('key', it.key === label);
      td.classList.toggle('accept', it.accept.includes(label));
      td.setAttribute('aria-selected', it.key === label ? 'true' : 'false');
      td.setAttribute('aria-label', cellText(label, it));
    });
    const keyed = it.key && !opts.includes(it.key);
    tr.querySelector('td.accepted').textContent = (keyed ? T.gridStray(it.key) + ' ' : '') + it.accept;
    tr.querySelector('td.kind').textContent = T.gridKinds[it.kind];
    tr.querySelector('td.points').textContent = it.points === '' ? o.defaultPoints() : it.points;
    const note = tr.querySelector('td.note');
    note.textContent = state.problems[i + 1] || '';
  }

  function render() {
    clear(table);
    const list = items();
    const shapes = list.map((_, i) => o.shape(i + 1));
    const widest = Math.max(1, ...shapes.map((s) => s.options.length));
    const same = shapes.length && shapes.every((s) => s.options === shapes[0].options) ? shapes[0].options : null;
    const head = el('thead');
    const hr = el('tr');
    const headings = [T.gridItem, T.gridQuestion];
    for (let c = 0; c < widest; c++) headings.push(same ? same[c] : T.gridOption(c + 1));
    headings.push(T.gridAccepted, T.gridKind, T.gridPointsColumn, T.gridNote);
    for (const h of headings) {
      const th = el('th', null, h);
      th.scope = 'col';
      hr.appendChild(th);
    }
    head.appendChild(hr);
    table.appendChild(head);
    const body = el('tbody');
    list.forEach((it, i) => {
      const tr = el('tr');
      const th = el('th', null, String(i + 1));
      th.scope = 'row';
      tr.appendChild(th);
      tr.appendChild(el('td', 'number', shapes[i].question === null ? '–' : String(shapes[i].question)));
      for (let c = 0; c < widest; c++) {
        const label = shapes[i].options[c];
        const td = el('td', label === undefined ? 'none' : 'option', label === undefined ? '' : label);
        if (label !== undefined) {
          td.setAttribute('role', 'gridcell');
          td.tabIndex = -1;
          td.dataset.row = String(i);
          td.dataset.col = String(c);
          td.addEventListener('click', () => { focus(i, c); setKey(i, label, false); });
        }
        tr.appendChild(td);
      }
      tr.appendChild(el('td', 'accepted'));
      tr.appendChild(el('td', 'kind'));
      tr.appendChild(el('td', 'points number'));
      tr.appendChild(el('td', 'note problem'));
      body.appendChild(tr);
    });
    table.appendChild(body);
    if (document.activeElement !== line) line.value = keyText();
    for (let i = 0; i < list.length; i++) paintRow(i);
    state.row = Math.min(state.row, Math.max(0, list.length - 1));
    roving(false);
    describe();
  }

  // One cell of the grid takes Tab: the current one.
  function roving(focusIt) {
    const cells = cellsOf(state.row);
    if (!cells.length) return;
    state.col = Math.max(0, Math.min(state.col, cells.length - 1));
    for (const td of table.querySelectorAll('td.option[tabindex="0"]')) td.tabIndex = -1;
    const td = cells[state.col];
    td.tabIndex = 0;
    if (focusIt) {
      td.focus();
      td.scrollIntoView({ block: 'nearest', inline: 'nearest' });
    }
  }

  function focus(row, col) {
    const n = items().length;
    if (!n) return;
    state.row = Math.max(0, Math.min(n - 1, row));
    state.col = col;
    roving(true);
    describe();
  }

  function describe() {
    const it = items()[state.row];
    const m = state.row + 1;
    if (!it) {
      status.textContent = T.gridEmpty;
      for (const b of [voidButton, bonusButton, clearButton]) b.disabled = true;
      points.disabled = true;
      return;
    }
    const shape = o.shape(m);
    status.textContent = T.gridStatus(m, shape.question, it.key, it.accept, it.kind);
    voidButton.textContent = it.kind === 'void' ? T.gridUnvoid(m) : T.gridVoid(m);
    bonusButton.textContent = it.kind === 'bonus' ? T.gridUnbonus(m) : T.gridBonus(m);
    clearButton.textContent = T.gridClear(m);
    for (const b of [voidButton, bonusButton, clearButton]) b.disabled = false;
    points.disabled = false;
    pointsField.querySelector('label').textContent = T.gridPoints(m);
    if (document.activeElement !== points) points.value = it.points;
    points.placeholder = o.defaultPoints();
  }

  points.addEventListener('input', () => {
    const it = items()[state.row];
    if (!it) return;
    it.points = points.value.trim();
    paintRow(state.row);
    o.changed();
  });

  function after(i) {
    paintRow(i);
    if (document.activeElement !== line) line.value = keyText();
    describe();
    o.changed();
  }

  function setKey(i, label, advance) {
    const it = items()[i];
    it.key = label;
    it.accept = it.accept.split('').filter((x) => x !== label).join('');
    after(i);
    if (advance && i + 1 < items().length) {
      const next = options(i + 1).indexOf(label);
      focus(i + 1, next >= 0 ? next : state.col);
    }
  }

  function act(what) {
    const i = state.row;
    const it = items()[i];
    if (!it) return;
    if (what === 'void') it.kind = it.kind === 'void' ? 'scored' : 'void';
    if (what === 'bonus') it.kind = it.kind === 'bonus' ? 'scored' : 'bonus';
    if (what === 'clear') {
      it.key = '';
      it.accept = '';
    }
    after(i);
  }

  function toggleAccept(i, label) {
    const it = items()[i];
    if (it.key === label) {
      say(T.gridIsKey(i + 1, label));
      return;
    }
    it.accept = it.accept.includes(label)
      ? it.accept.split('').filter((x) => x !== label).join('')
      : options(i).split('').filter((x) => x === label || it.accept.includes(x)).join('');
    after(i);
  }

  table.addEventListener('keydown', (event) => {
    const td = event.target.closest('td.option');
    if (!td || event.altKey || event.metaKey) return;
    const i = Number(td.dataset.row);
    const c = Number(td.dataset.col);
    const n = items().length;
    const label = options(i)[c];
    let used = true;
    switch (event.key) {
      case 'ArrowUp': focus(i - 1, c); break;
      case 'ArrowDown': focus(i + 1, c); break;
      case 'ArrowLeft': focus(i, c - 1); break;
      case 'ArrowRight': focus(i, c + 1); break;
      case 'Home': event.ctrlKey ? focus(0, c) : focus(i, 0); break;
      case 'End': event.ctrlKey ? focus(n - 1, c) : focus(i, options(i).length - 1); break;
      case 'PageUp': focus(i - PAGE_ROWS, c); break;
      case 'PageDown': focus(i + PAGE_ROWS, c); break;
      case 'Enter': setKey(i, label, true); break;
      case ' ': toggleAccept(i, label); break;
      case 'Backspace': act('clear'); break;
      case 'Delete': act('void'); break;
      case '=': case '+': act('bonus'); break;
      default:
        if (event.ctrlKey || event.key.length !== 1 || event.key === '?') {
          used = false;
          break;
        }
        {
          const option = optionFor(i, event.key);
          if (option) setKey(i, option, true);
          else say(T.gridNotOption(i + 1, event.key, options(i)), true);
        }
    }
    if (used) {
      event.preventDefault();
      event.stopPropagation();
    }
  });

  return {
    element: root,
    lineId,
    render,
    current: () => state.row + 1,
    focusItem(m) {
      focus(m - 1, state.col);
    },
    // Problems of the checker by master item: shown in their rows.
    markProblems(byItem) {
      state.problems = byItem;
      for (let i = 0; i < items().length; i++) paintRow(i);
    },
  };
}

keyGrid.keys = () => [
  ['A B C …', T.gridKeyLetter],
  ['↑ ↓ ← →', T.gridKeyMove],
  ['Enter', T.gridKeyEnter],
  ['Space', T.gridKeySpace],
  ['Backspace', T.gridKeyBackspace],
  ['Delete', T.gridKeyDelete],
  ['=', T.gridKeyBonus],
  ['PageUp PageDown', T.gridKeyPage],
];

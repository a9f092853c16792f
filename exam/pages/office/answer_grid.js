// The answers of a typed sheet as a key-entry grid: rows (items) × their
// options, several marks to a row allowed, typed as fast as on paper (the
// answer key's grid is key_grid.js: one key to an item, with accepted
// answers, void, bonus and points). One field takes the whole line ("ABCDA-(AC)B…": a letter per row,
// "-" for a blank, "(AC)" for several marks); the grid shows it and takes
// the keyboard too: ↑ ↓ ← → move, a letter sets the row to that option and
// goes to the next row, Shift and a letter adds or removes a mark, Space
// marks or unmarks the cell, "-" or Delete blanks the row. Field and grid
// follow each other.
import { el } from './common.js';

// "ABC-(AC)" <-> ['A', 'B', 'C', '', 'AC']; a letter that is no option of
// its row is left out (and reported).
export function parseAnswers(text, rows) {
  const out = [];
  const bad = [];
  for (let i = 0; i < text.length; ++i) {
    const c = text[i];
    if (c === ' ' || c === ',' || c === '\t') continue;
    let marks = '';
    if (c === '-' || c === '.') {
      marks = '';
    } else if (c === '(') {
      const close = text.indexOf(')', i);
      if (close < 0) {
        bad.push(i + 1);
        break;
      }
      marks = text.slice(i + 1, close).replace(/[\s,]/g, '');
      i = close;
    } else {
      marks = c;
    }
    const row = rows[out.length];
    if (row) {
      const fixed = [...marks].map((m) => (row.options.includes(m) ? m : m.toUpperCase()));
      if (fixed.some((m) => !row.options.includes(m))) bad.push(i + 1);
      marks = [...row.options].filter((o) => fixed.includes(o)).join('');
    }
    out.push(marks);
  }
  return { answers: out, bad };
}

export function formatAnswers(answers) {
  return answers.map((a) => (a === '' ? '-' : a.length === 1 ? a : '(' + a + ')')).join('');
}

export function answerGrid(rows, labels) {
  const answers = rows.map(() => '');
  const wrap = el('div', 'answer-grid');
  const line = el('input', 'wide answer-line');
  line.id = 'answer-line';
  line.autocomplete = 'off';
  line.spellcheck = false;
  line.setAttribute('aria-describedby', 'answer-line-hint');
  const label = el('label', null, labels.line);
  label.htmlFor = line.id;
  const hint = el('p', 'hint', labels.lineHint);
  hint.id = 'answer-line-hint';
  const count = el('p', 'hint');
  count.setAttribute('aria-live', 'polite');
  wrap.append(label, line, hint, count);

  const options = [];
  for (const r of rows) for (const o of r.options) if (!options.includes(o)) options.push(o);
  const table = el('table', 'list grid');
  table.setAttribute('role', 'grid');
  table.setAttribute('aria-label', labels.grid);
  const head = el('thead');
  const hr = el('tr');
  hr.appendChild(el('th', null, labels.item));
  for (const o of options) hr.appendChild(el('th', null, o));
  head.appendChild(hr);
  table.appendChild(head);
  const body = el('tbody');
  const cells = [];  // [row][option index] -> the cell's checkbox, or null
  rows.forEach((r, ri) => {
    const tr = el('tr');
    const th = el('th', null, labels.rowName(r));
    th.scope = 'row';
    tr.appendChild(th);
    const mine = [];
    options.forEach((o, oi) => {
      const td = el('td');
      if (r.options.includes(o)) {
        const box = el('input');
        box.type = 'checkbox';
        box.tabIndex = ri === 0 && oi === 0 ? 0 : -1;
        box.setAttribute('aria-label', labels.cellName(r, o));
        box.dataset.row = String(ri);
        box.dataset.option = o;
        box.addEventListener('change', () => {
          toggle(ri, o, box.checked);
        });
        box.addEventListener('focus', () => { current = [ri, oi]; setRoving(); });
        td.appendChild(box);
        mine.push(box);
      } else {
        mine.push(null);
      }
      tr.appendChild(td);
    });
    cells.push(mine);
    body.appendChild(tr);
  });
  table.appendChild(body);
  const scroll = el('div', 'table-wrap answer-grid-scroll');
  scroll.appendChild(table);
  wrap.appendChild(scroll);

  let current = [0, 0];
  let onChange = () => {};

  function setRoving() {
    for (const row of cells) for (const c of row) if (c) c.tabIndex = -1;
    const c = cells[current[0]] && cells[current[0]][current[1]];
    if (c) c.tabIndex = 0;
  }

  function show() {
    rows.forEach((r, ri) => {
      options.forEach((o, oi) => {
        const c = cells[ri][oi];
        if (c) c.checked = answers[ri].includes(o);
      });
    });
    count.textContent = labels.count(Math.min(lastTyped, rows.length), rows.length);
  }

  let lastTyped = 0;  // rows the line reaches

  function fromLine() {
    const { answers: parsed, bad } = parseAnswers(line.value, rows);
    for (let i = 0; i < rows.length; ++i) answers[i] = parsed[i] || '';
    lastTyped = Math.min(parsed.length, rows.length);
    line.setAttribute('aria-invalid', bad.length || parsed.length > rows.length ? 'true' : 'false');
    show();
    if (parsed.length > rows.length) count.textContent = labels.tooMany(parsed.length, rows.length);
    else if (bad.length) count.textContent = labels.notAnOption(bad[0]);
    onChange();
  }

  function toLine() {
    lastTyped = Math.max(lastTyped, current[0] + 1);
    line.value = formatAnswers(answers.slice(0, Math.max(lastTyped, 0)));
    line.setAttribute('aria-invalid', 'false');
    show();
    onChange();
  }

  function toggle(ri, o, on) {
    const set = new Set(answers[ri]);
    if (on) set.add(o);
    else set.delete(o);
    answers[ri] = [...rows[ri].options].filter((x) => set.has(x)).join('');
    current[0] = ri;
    toLine();
  }

  function focusCell(ri, oi) {
    ri = Math.max(0, Math.min(rows.length - 1, ri));
    let c = cells[ri][oi];
    if (!c) {
      const first = cells[ri].findIndex((x) => x);
      oi = oi >= cells[ri].length ? cells[ri].length - 1 : first;
      c = cells[ri][oi] || cells[ri][first];
    }
    if (!c) return;
    current = [ri, Number(cells[ri].indexOf(c))];
    setRoving();
    c.focus();
  }

  table.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    const [ri, oi] = current;
    const key = event.key;
    let handled = true;
    if (key === 'ArrowDown') focusCell(ri + 1, oi);
    else if (key === 'ArrowUp') focusCell(ri - 1, oi);
    else if (key === 'ArrowRight') focusCell(ri, Math.min(options.length - 1, oi + 1));
    else if (key === 'ArrowLeft') focusCell(ri, Math.max(0, oi - 1));
    else if (key === 'Home') focusCell(0, oi);
    else if (key === 'End') focusCell(rows.length - 1, oi);
    else if (key === '-' || key === 'Delete' || key === 'Backspace') {
      answers[ri] = '';
      current[0] = ri;
      toLine();
      if (key === '-') focusCell(ri + 1, oi);
    } else if (key.length === 1 && key !== ' ') {
      const o = rows[ri].options.includes(key) ? key : key.toUpperCase();
      if (!rows[ri].options.includes(o)) {
        handled = false;
      } else if (event.shiftKey) {
        toggle(ri, o, !answers[ri].includes(o));
      } else {
        answers[ri] = o;
        current[0] = ri;
        toLine();
        focusCell(ri + 1, options.indexOf(o));
      }
    } else {
      handled = false;
    }
    if (handled) event.preventDefault();
  });
  line.addEventListener('input', fromLine);

  return {
    element: wrap,
    line,
    answers: () => answers.slice(),
    text: () => formatAnswers(answers),
    complete: () => lastTyped >= rows.length && line.getAttribute('aria-invalid') !== 'true',
    clear() {
      line.value = '';
      fromLine();
    },
    focus() {
      line.focus();
    },
    focusGrid() {
      focusCell(current[0], current[1]);
    },
    set onChange(f) {
      onChange = f;
    },
  };
}

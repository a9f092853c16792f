// New exam (and edit before the first sheet): the title, the form, the
// student ID and roster, the versions, the answer key as a grid of master
// items x options, the scoring and what goes to review. The page writes the
// exam file the command line takes, shows it, downloads it, and has it
// checked by the server's own checker, each problem shown at its field.
import {
  $, T, api, button, clear, el, field, fileBase64, needAuthor, saveBlob, say, shortcuts, textBase64,
} from './common.js';
import keyGrid from './key_grid.js';

const CHECK_DELAY_MS = 400;
const PREVIEW_ROWS = 8;
const UPLOADED = '\u0000uploaded';
const ENCODINGS = ['utf-8', 'gbk', 'gb18030', 'big5', 'latin1', 'cp1252', 'utf-16'];

let context = null;
let model = null;
let forms = [];
let checkTimer = 0;
let checkRound = 0;
let grid = null;
let ui = {};

// ------------------------------------------------------------------ helpers

// JSON with // and /* */ comments (as the exam file may have) as plain JSON.
function stripComments(text) {
  let out = '';
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '"') {
      const start = i;
      for (i++; i < text.length && text[i] !== '"'; i++) if (text[i] === '\\') i++;
      out += text.slice(start, i + 1);
    } else if (c === '/' && text[i + 1] === '/') {
      while (i < text.length && text[i] !== '\n') i++;
      out += '\n';
    } else if (c === '/' && text[i + 1] === '*') {
      i += 2;
      while (i < text.length && !(text[i] === '*' && text[i + 1] === '/')) i++;
      i++;
    } else {
      out += c;
    }
  }
  return out;
}

// "11-70", "1,3,5-9", 12 or an array of those as the numbers in order; null when malformed.
function ranges(value) {
  const parts = Array.isArray(value) ? value : [value];
  const out = [];
  for (const part of parts) {
    if (typeof part === 'number' && Number.isInteger(part) && part > 0) {
      out.push(part);
      continue;
    }
    if (typeof part !== 'string') return null;
    for (const piece of part.split(',')) {
      const m = /^\s*(\d+)\s*(?:-\s*(\d+)\s*)?$/.exec(piece);
      if (!m) return null;
      const from = Number(m[1]);
      const to = m[2] === undefined ? from : Number(m[2]);
      if (from < 1 || to < from || to - from > 10000) return null;
      for (let n = from; n <= to; n++) out.push(n);
    }
  }
  return out;
}

// [5, 6, 7, 9] as "5-7,9".
function rangesText(numbers) {
  const out = [];
  for (let i = 0; i < numbers.length;) {
    let j = i;
    while (j + 1 < numbers.length && numbers[j + 1] === numbers[j] + 1) j++;
    out.push(j > i ? numbers[i] + '-' + numbers[j] : String(numbers[i]));
    i = j + 1;
  }
  return out.join(',');
}

// An order typed or pasted: numbers separated by anything else.
function orderOf(text) {
  const numbers = String(text || '').match(/\d+/g);
  return numbers ? numbers.map(Number) : [];
}

// JSON as people write it: two spaces, arrays of numbers on one line.
function pretty(value, indent) {
  const pad = '  '.repeat(indent);
  if (Array.isArray(value)) {
    if (value.every((v) => typeof v === 'number')) return '[' + value.join(', ') + ']';
    return '[\n' + value.map((v) => pad + '  ' + pretty(v, indent + 1)).join(',\n') + '\n' + pad + ']';
  }
  if (value && typeof value === 'object') {
    const entries = Object.entries(value);
    if (!entries.length) return '{}';
    return '{\n' + entries.map(([k, v]) => pad + '  ' + JSON.stringify(k) + ': ' + pretty(v, indent + 1)).join(',\n') +
      '\n' + pad + '}';
  }
  return JSON.stringify(value);
}

function numberOr(text, otherwise) {
  const s = String(text).trim().replace(',', '.').replace('−', '-');
  if (s === '') return otherwise;
  const v = Number(s);
  return Number.isFinite(v) ? v : NaN;
}

// -------------------------------------------------------------- the model

function emptyModel() {
  return {
    edit: null, // {project, exam} when editing
    name: '',
    title: '',
    form: null, // {name, data (null: an example), text, layouts, problems, loads}
    studentQuestions: '',
    roster: null, // {name, data, encoding, idColumn, check, keptEncoding}
    versionBy: 'none', // none, question, layout
    versionQuestion: '',
    versions: [{ name: '1', order: '' }],
    itemsText: '',
    items: [], // per master item: {key, accept, kind, points, extra}
    preset: 'right', // right, negative, custom
    correct: '1',
    wrong: '0',
    blank: '0',
    multiple: '0',
    floorOn: false,
    floor: '0',
    review: { blank: false, multiple: true, doubtful: true, confidence: '0' },
    unknown: {}, // members of an edited exam file this page does not show
  };
}

function newItem() {
  return { key: '', accept: '', kind: 'scored', points: '', extra: {} };
}

// The layout the first version's sheets are read on.
function firstLayout() {
  const layouts = (model.form && model.form.layouts) || [];
  if (!layouts.length) return null;
  if (model.versionBy === 'layout') {
    const named = layouts.find((l) => l.letter === (model.versions[0] || {}).name);
    if (named) return named;
  }
  return layouts[0];
}

function itemQuestions() {
  return ranges(model.itemsText.trim() === '' ? [] : model.itemsText) || [];
}

// Master item m (from 1) of the first version: its question and options.
function itemShape(m) {
  const questions = itemQuestions();
  const order = orderOf(model.versions[0] && model.versions[0].order);
  const position = order.length === questions.length ? order.indexOf(m) : m - 1;
  const q = questions[position];
  const layout = firstLayout();
  const shape = layout && layout.questions[q - 1];
  return { question: q || null, options: shape ? shape.options.replace(/ /g, '') : '' };
}

function syncItems() {
  const n = itemQuestions().length;
  while (model.items.length < n) model.items.push(newItem());
  model.items.length = n;
}

// The options a wrong answer is one of, for negative marking.
function optionCount(m) {
  return itemShape(m).options.length;
}

function negativeWrong(points, k) {
  return k > 1 ? -points / (k - 1) : 0;
}

// -------------------------------------------------------- the exam file

function examObject() {
  const j = {};
  if (model.title.trim()) j.title = model.title.trim();
  j.form = model.form ? model.form.name : '';
  if (model.studentQuestions.trim()) {
    j.student = { questions: model.studentQuestions.trim() };
    if (model.roster) {
      j.student.roster = model.roster.name;
      const encoding = model.roster.data ? model.roster.encoding : model.roster.keptEncoding;
      if (encoding && encoding !== 'utf-8') j.student.roster_encoding = encoding;
    }
  }
  if (model.versionBy === 'question') j.version = { question: numberOr(model.versionQuestion, 0) };
  if (model.versionBy === 'layout') j.version = { layout: true };
  j.items = model.itemsText.trim();
  j.key = model.items.map((it) => it.key || '*').join('');
  if (model.versionBy !== 'none') {
    j.keys = {};
    for (const v of model.versions) {
      const order = orderOf(v.order);
      j.keys[v.name.trim()] = order.length ? { order } : {};
    }
  }
  const correct = model.preset === 'custom' ? numberOr(model.correct, 1) : 1;
  const scoring = { correct };
  let baseK = null;
  let uniform = true;
  if (model.preset === 'negative') {
    model.items.forEach((it, i) => {
      if (it.kind !== 'scored') return;
      const k = optionCount(i + 1);
      if (baseK === null) baseK = k;
      else if (k !== baseK) uniform = false;
    });
    scoring.wrong = uniform && baseK ? negativeWrong(correct, baseK) : 0;
  } else {
    scoring.wrong = model.preset === 'custom' ? numberOr(model.wrong, 0) : 0;
  }
  scoring.blank = model.preset === 'custom' ? numberOr(model.blank, 0) : 0;
  scoring.multiple = model.preset === 'custom' ? numberOr(model.multiple, 0) : 0;
  if (model.floorOn) scoring.floor = numberOr(model.floor, 0);
  const rules = {};
  model.items.forEach((it, i) => {
    const m = i + 1;
    if (it.kind === 'void' || it.kind === 'bonus') {
      rules[String(m)] = it.kind;
      return;
    }
    const rule = { ...it.extra };
    const points = numberOr(it.points, null);
    if (points !== null) rule.points = points;
    if (it.accept) rule.accept = it.accept;
    if (model.preset === 'negative') {
      const own = negativeWrong(points === null ? correct : points, optionCount(m));
      if (own !== scoring.wrong) rule.wrong = own;
    }
    if (Object.keys(rule).length) rules[String(m)] = rule;
  });
  if (Object.keys(rules).length) scoring.items = rules;
  j.scoring = scoring;
  j.review = {
    blank: model.review.blank,
    multiple: model.review.multiple,
    doubtful: model.review.doubtful,
    confidence: numberOr(model.review.confidence, 0),
  };
  return { ...j, ...model.unknown };
}

function examText() {
  return pretty(examObject(), 0) + '\n';
}

// What the server takes as the exam's form and roster.
function formBody() {
  if (!model.form) return { name: '' };
  return model.form.data ? { name: model.form.name, data: model.form.data } : { name: model.form.name };
}

function rosterBody() {
  const r = model.roster;
  if (!r) return null;
  return { name: r.name, data: r.data || r.keptData, encoding: r.data ? r.encoding : '', id_column: r.data ? r.idColumn : 'id' };
}

// -------------------------------------------------- reading an exam file

function fromExamText(text, form, roster) {
  const m = emptyModel();
  const j = JSON.parse(stripComments(text));
  const known = ['title', 'form', 'student', 'version', 'items', 'key', 'keys', 'scoring', 'review'];
  for (const [k, v] of Object.entries(j)) if (!known.includes(k)) m.unknown[k] = v;
  m.title = j.title || '';
  m.form = form;
  if (j.student) {
    const q = j.student.questions;
    m.studentQuestions = typeof q === 'string' ? q : rangesText(ranges(q) || []);
    if (roster) m.roster = { ...roster, keptEncoding: j.student.roster_encoding || '' };
  }
  if (j.version && j.version.question !== undefined) {
    m.versionBy = 'question';
    m.versionQuestion = String(j.version.question);
  } else if (j.version && j.version.layout) {
    m.versionBy = 'layout';
  }
  m.itemsText = typeof j.items === 'string' ? j.items : rangesText(ranges(j.items) || []);
  const n = (ranges(j.items) || []).length;
  let key = typeof j.key === 'string' ? j.key : '';
  m.versions = [];
  for (const [name, v] of Object.entries(j.keys || {})) {
    const order = v && typeof v === 'object' && Array.isArray(v.order) ? v.order.join(' ') : '';
    m.versions.push({ name, order });
    if (!key) key = typeof v === 'string' ? v : (v && v.answers) || '';
  }
  if (!m.versions.length) m.versions = [{ name: '1', order: '' }];
  const s = j.scoring || {};
  const correct = s.correct === undefined ? 1 : s.correct;
  m.correct = String(correct);
  m.wrong = String(s.wrong || 0);
  m.blank = String(s.blank || 0);
  m.multiple = String(s.multiple || 0);
  if (s.floor !== undefined && s.floor !== null) {
    m.floorOn = true;
    m.floor = String(s.floor);
  }
  for (let i = 0; i < n; i++) {
    const it = newItem();
    const c = key[i];
    it.key = c && c !== '*' ? c : '';
    m.items.push(it);
  }
  for (const [name, rule] of Object.entries(s.items || {})) {
    for (const master of ranges(name) || []) {
      const it = m.items[master - 1];
      if (!it) continue;
      if (rule === 'void' || rule === 'bonus') {
        it.kind = rule;
        continue;
      }
      const rest = { ...rule };
      if (rest.void) it.kind = 'void';
      if (rest.bonus) it.kind = 'bonus';
      if (rest.points !== undefined) it.points = String(rest.points);
      if (rest.accept) it.accept = rest.accept;
      for (const f of ['void', 'bonus', 'points', 'accept']) delete rest[f];
      it.extra = rest;
    }
  }
  const r = j.review || {};
  m.review = {
    blank: r.blank === true,
    multiple: r.multiple !== false,
    doubtful: r.doubtful !== false,
    confidence: String(r.confidence || 0),
  };
  return m;
}

// Which preset the figures are, once the form tells each item's options.
function guessPreset() {
  const correct = numberOr(model.correct, 1);
  const wrong = numberOr(model.wrong, 0);
  const plain = numberOr(model.blank, 0) === 0 && numberOr(model.multiple, 0) === 0;
  if (plain && correct === 1 && wrong === 0 && model.items.every((it) => !('wrong' in it.extra))) {
    model.preset = 'right';
    return;
  }
  const negative = plain && correct === 1 && model.items.every((it, i) => {
    if (it.kind !== 'scored') return true;
    const own = 'wrong' in it.extra ? it.extra.wrong : wrong;
    const points = numberOr(it.points, correct);
    return Math.abs(own - negativeWrong(points, optionCount(i + 1))) < 1e-12;
  });
  if (negative) {
    model.preset = 'negative';
    for (const it of model.items) delete it.extra.wrong;
    return;
  }
  model.preset = 'custom';
}

// --------------------------------------------------------------- problems

// The field a problem's JSON pointer names, and the words to say where.
function fieldOf(pointer) {
  const p = pointer || '';
  const item = /^\/scoring\/items\/([^/]+)/.exec(p);
  if (item) {
    const first = (ranges(decodeURIComponent(item[1]).replace(/~1/g, '/').replace(/~0/g, '~')) || [])[0];
    if (first) return { focus: () => grid.focusItem(first), where: T.newAtItem(first) };
  }
  const version = /^\/keys\/([^/]+)/.exec(p);
  if (version) {
    const name = version[1].replace(/~1/g, '/').replace(/~0/g, '~');
    const index = model.versions.findIndex((v) => v.name.trim() === name);
    const id = index >= 0 ? 'new-order-' + index : 'new-version-by';
    return { id, where: T.newAtVersion(name) };
  }
  const table = [
    ['/title', 'new-title'], ['/form', 'new-form'], ['/student/questions', 'new-student'],
    ['/student/roster_encoding', 'new-roster-encoding'], ['/student/roster', 'new-roster-file'],
    ['/student', 'new-student'], ['/version/question', 'new-version-question'], ['/version', 'new-version-by'],
    ['/items', 'new-items'], ['/key', 'new-key'], ['/keys', 'new-version-by'],
    ['/scoring/correct', 'new-correct'], ['/scoring/wrong', 'new-wrong'], ['/scoring/blank', 'new-blank'],
    ['/scoring/multiple', 'new-multiple'], ['/scoring/floor', 'new-floor'], ['/scoring', 'new-preset-right'],
    ['/review/confidence', 'new-confidence'], ['/review', 'new-review-blank'],
  ];
  for (const [prefix, id] of table) {
    if (p === prefix || p.startsWith(prefix + '/')) {
      if (id === 'new-correct' && model.preset !== 'custom') return { id: 'new-preset-' + model.preset, where: T.newAtField(p) };
      return { id, where: T.newAtField(p) };
    }
  }
  return { id: 'new-file-text', where: T.newAtFile };
}

function clearProblems() {
  for (const e of document.querySelectorAll('#page .field-problem')) e.remove();
  for (const e of document.querySelectorAll('#page [aria-invalid="true"]')) {
    e.removeAttribute('aria-invalid');
    const described = (e.getAttribute('aria-describedby') || '').split(' ').filter((x) => !x.startsWith('problem-'));
    if (described.length) e.setAttribute('aria-describedby', described.join(' '));
    else e.removeAttribute('aria-describedby');
  }
  grid.markProblems({});
}

function showProblems(problems) {
  clearProblems();
  const list = ui.problems;
  clear(list);
  const byItem = {};
  problems.forEach((p, index) => {
    const target = fieldOf(p.pointer);
    const li = el('li', 'problem');
    const go = button(target.where, () => (target.focus ? target.focus() : $(target.id).focus()), 'link');
    li.appendChild(go);
    li.appendChild(document.createTextNode(' ' + p.message + (p.line ? ' ' + T.newAtLine(p.line, p.column) : '')));
    list.appendChild(li);
    if (target.focus) {
      const m = /^\/scoring\/items\/([^/]+)/.exec(p.pointer);
      for (const item of ranges(m ? m[1] : '') || []) byItem[item] = p.message;
      return;
    }
    const control = $(target.id);
    if (!control) return;
    const note = el('p', 'field-problem problem', p.message);
    note.id = 'problem-' + index;
    (control.closest('.field, fieldset') || control.parentNode).appendChild(note);
    control.setAttribute('aria-invalid', 'true');
    const described = control.getAttribute('aria-describedby');
    control.setAttribute('aria-describedby', (described ? described + ' ' : '') + note.id);
  });
  grid.markProblems(byItem);
  ui.checkState.textContent = problems.length ? T.newProblems(problems.length) : T.newNoProblems;
  ui.checkState.className = problems.length ? 'problem' : 'ok';
}

// ------------------------------------------------------------- rendering

function changed() {
  ui.fileText.value = examText();
  clearTimeout(checkTimer);
  checkTimer = setTimeout(check, CHECK_DELAY_MS);
}

async function check() {
  clearTimeout(checkTimer);
  const round = ++checkRound;
  if (!model.form) {
    showProblems([{ pointer: '/form', line: 0, column: 0, message: T.newChooseForm }]);
    return false;
  }
  try {
    const result = await api('/api/check/exam', { exam: ui.fileText.value, form: formBody() });
    if (round !== checkRound) return false;
    showProblems(result.problems);
    return result.problems.length === 0;
  } catch (e) {
    say(e.message, true);
    return false;
  }
}

function input(id, value, onInput, attributes) {
  const i = el('input');
  i.id = id;
  i.value = value;
  for (const [k, v] of Object.entries(attributes || {})) i.setAttribute(k, v);
  i.addEventListener('input', () => onInput(i.value));
  return i;
}

function section(root, id, heading, hint) {
  const s = el('section', 'form-section');
  s.setAttribute('aria-labelledby', id + '-heading');
  const h = el('h3', null, heading);
  h.id = id + '-heading';
  s.appendChild(h);
  if (hint) s.appendChild(el('p', 'hint', hint));
  root.appendChild(s);
  return s;
}

// "questions 1-8: weighted digit (8421)" for each run of one type.
function layoutSummary(layout) {
  const runs = [];
  layout.questions.forEach((q, i) => {
    const last = runs[runs.length - 1];
    if (last && last.type === q.type && last.options === q.options && last.to === i) last.to = i + 1;
    else runs.push({ from: i + 1, to: i + 1, type: q.type, options: q.options });
  });
  return runs.map((r) => T.newQuestionRun(r.from === r.to ? String(r.from) : r.from + '–' + r.to,
    T.fieldTypes[r.type] || r.type, r.options.trim()));
}

// The first runs that look like a student ID (digits) and items (single choice).
function suggest() {
  const layout = firstLayout();
  if (!layout) return;
  const runs = [];
  layout.questions.forEach((q, i) => {
    const last = runs[runs.length - 1];
    if (last && last.type === q.type && last.to === i) last.to = i + 1;
    else runs.push({ from: i + 1, to: i + 1, type: q.type });
  });
  const text = (r) => (r.from === r.to ? String(r.from) : r.from + '-' + r.to);
  const id = runs.find((r) => 'Bbs'.includes(r.type) && r.to > r.from);
  const items = runs.filter((r) => r.type === 'S').sort((a, b) => (b.to - b.from) - (a.to - a.from))[0];
  if (!model.studentQuestions && id) {
    model.studentQuestions = text(id);
    ui.student.value = model.studentQuestions;
  }
  if (!model.itemsText && items) {
    model.itemsText = text(items);
    ui.items.value = model.itemsText;
  }
}

function renderForm() {
  const box = ui.formInfo;
  clear(box);
  const f = model.form;
  if (!f) return;
  const problems = f.problems || [];
  if (!f.loads) box.appendChild(el('p', 'problem', T.newFormDoesNotLoad));
  if (problems.length) {
    const list = el('ul', 'problems');
    for (const p of problems) {
      const li = el('li', p.severity === 'warning' ? 'warning' : 'problem');
      if (p.line > 0) {
        const go = button(T.newFormLine(p.line), () => showFormLine(p.line), 'link');
        li.appendChild(go);
        li.appendChild(document.createTextNode(' '));
      }
      li.appendChild(document.createTextNode(T.newSeverity[p.severity] + ': ' + p.message));
      list.appendChild(li);
    }
    box.appendChild(list);
  }
  for (const layout of f.layouts || []) {
    const d = el('details');
    d.appendChild(el('summary', null, T.newLayout(layout.letter, layout.questions.length)));
    const ul = el('ul');
    for (const line of layoutSummary(layout)) ul.appendChild(el('li', null, line));
    d.appendChild(ul);
    box.appendChild(d);
  }
  if (f.text) {
    const d = el('details');
    d.id = 'new-form-source';
    d.appendChild(el('summary', null, T.newFormText));
    const ol = el('ol', 'source');
    const bad = new Map(problems.filter((p) => p.line > 0).map((p) => [p.line, p]));
    f.text.split('\n').forEach((line, i) => {
      const li = el('li', bad.has(i + 1) ? (bad.get(i + 1).severity === 'warning' ? 'warning' : 'problem') : null);
      li.id = 'form-line-' + (i + 1);
      li.tabIndex = -1;
      li.appendChild(el('code', null, line));
      if (bad.has(i + 1)) li.appendChild(el('span', 'line-note', ' ← ' + bad.get(i + 1).message));
      ol.appendChild(li);
    });
    d.appendChild(ol);
    box.appendChild(d);
  }
}

function showFormLine(line) {
  const d = $('new-form-source');
  if (!d) return;
  d.open = true;
  const li = $('form-line-' + line);
  if (li) li.focus();
}

async function chooseForm(name) {
  const f = forms.find((x) => x.name === name);
  model.form = f ? { name, data: null, text: f.text, layouts: f.layouts, loads: f.loads, problems: f.problems } : null;
  afterForm();
}

// The form select shows the form in use: an example, or the file uploaded.
function showFormChoice() {
  const f = model.form;
  ui.uploadedOption.hidden = !(f && f.data);
  ui.uploadedOption.textContent = f && f.data ? T.newFormUploaded(f.name) : '';
  ui.formSelect.value = !f ? '' : f.data ? UPLOADED : f.name;
}

async function uploadForm(file) {
  if (!file) return;
  const data = await fileBase64(file);
  const checked = await api('/api/check/form', { data });
  const text = new TextDecoder('gbk').decode(Uint8Array.from(atob(data), (c) => c.charCodeAt(0)));
  model.form = { name: file.name, data, text, layouts: checked.layouts, loads: checked.loads, problems: checked.problems };
  afterForm();
}

function afterForm() {
  showFormChoice();
  renderForm();
  suggest();
  if (model.versionBy === 'layout') layoutVersions();
  syncItems();
  grid.render();
  renderVersions();
  changed();
}

// ----------------------------------------------------------------- roster

async function checkRoster() {
  const r = model.roster;
  if (!r || !r.data) return;
  try {
    r.check = await api('/api/check/roster', { data: r.data, encoding: r.encoding, id_column: r.idColumn });
  } catch (e) {
    say(e.message, true);
    return;
  }
  if (!r.idColumn && r.check.columns.length) {
    const id = r.check.columns.find((c) => c.toLowerCase() === 'id');
    if (id === undefined) {
      r.idColumn = r.check.columns[0];
      await checkRoster();
      return;
    }
  }
  renderRoster();
  changed();
}

function renderRoster() {
  const box = ui.rosterInfo;
  clear(box);
  const r = model.roster;
  ui.rosterColumn.disabled = !r || !r.data;
  ui.rosterEncoding.disabled = !r || !r.data;
  clear(ui.rosterColumn);
  if (!r) return;
  if (!r.data) {
    box.appendChild(el('p', 'hint', T.newRosterKept(r.name)));
    return;
  }
  const c = r.check;
  if (!c) return;
  for (const name of c.columns) {
    const o = el('option', null, name);
    o.value = name;
    ui.rosterColumn.appendChild(o);
  }
  ui.rosterColumn.value = r.idColumn || (c.columns.find((x) => x.toLowerCase() === 'id') || '');
  box.appendChild(el('p', null, T.newRosterCount(c.count)));
  if (c.problems.length) {
    const ul = el('ul', 'problems');
    for (const p of c.problems) ul.appendChild(el('li', 'problem', (p.line ? T.newRosterLine(p.line) + ' ' : '') + p.message));
    box.appendChild(ul);
  }
  if (c.columns.length) {
    const wrap = el('div', 'table-wrap');
    wrap.tabIndex = 0;
    wrap.setAttribute('role', 'region');
    wrap.setAttribute('aria-label', T.newRosterPreview);
    const table = el('table', 'list');
    const caption = el('caption', null, T.newRosterPreviewOf(Math.min(PREVIEW_ROWS, c.rows.length), c.count));
    table.appendChild(caption);
    const tr = el('tr');
    c.columns.forEach((name) => {
      const th = el('th', name === ui.rosterColumn.value ? 'chosen' : null, name === ui.rosterColumn.value ? name + ' (' + T.newIdColumnMark + ')' : name);
      th.scope = 'col';
      tr.appendChild(th);
    });
    const head = el('thead');
    head.appendChild(tr);
    table.appendChild(head);
    const body = el('tbody');
    for (const row of c.rows) {
      const r2 = el('tr');
      for (const cell of row) r2.appendChild(el('td', null, cell));
      body.appendChild(r2);
    }
    table.appendChild(body);
    wrap.appendChild(table);
    box.appendChild(wrap);
  }
}

// --------------------------------------------------------------- versions

function layoutVersions() {
  const layouts = (model.form && model.form.layouts) || [];
  const kept = new Map(model.versions.map((v) => [v.name, v.order]));
  model.versions = layouts.filter((l) => l.letter).map((l) => ({ name: l.letter, order: kept.get(l.letter) || '' }));
  if (!model.versions.length) model.versions = [{ name: '1', order: '' }];
}

function renderVersions() {
  const box = ui.versionList;
  clear(box);
  ui.versionQuestionBox.hidden = model.versionBy !== 'question';
  if (model.versionBy === 'none') {
    box.appendChild(el('p', 'hint', T.newOneVersion));
    return;
  }
  const n = itemQuestions().length;
  model.versions.forEach((v, index) => {
    const fs = el('fieldset', 'version');
    fs.appendChild(el('legend', null, T.newVersionLegend(index + 1)));
    const name = input('new-version-name-' + index, v.name, (value) => { v.name = value; changed(); }, { maxlength: '8', autocomplete: 'off' });
    if (model.versionBy === 'layout') name.readOnly = true;
    fs.appendChild(field(T.newVersionName, name, model.versionBy === 'layout' ? T.newVersionNameLayout : T.newVersionNameQuestion));
    const order = el('textarea');
    order.id = 'new-order-' + index;
    order.rows = 2;
    order.value = v.order;
    order.spellcheck = false;
    const count = el('p', 'hint');
    count.id = 'new-order-count-' + index;
    const countText = () => {
      const got = orderOf(v.order).length;
      count.textContent = got ? T.newOrderCount(got, n) : T.newOrderNone;
    };
    order.addEventListener('input', () => { v.order = order.value; countText(); changed(); });
    fs.appendChild(field(T.newVersionOrder, order, T.newVersionOrderHint));
    order.setAttribute('aria-describedby', order.getAttribute('aria-describedby') + ' ' + count.id);
    fs.appendChild(count);
    countText();
    if (model.versionBy === 'question' && model.versions.length > 1) {
      fs.appendChild(button(T.newRemoveVersion(v.name || index + 1), () => {
        model.versions.splice(index, 1);
        renderVersions();
        changed();
        $('new-add-version').focus();
      }));
    }
    box.appendChild(fs);
  });
  if (model.versionBy === 'question') {
    const add = button(T.newAddVersion, () => {
      model.versions.push({ name: String(model.versions.length + 1), order: '' });
      renderVersions();
      changed();
      $('new-version-name-' + (model.versions.length - 1)).focus();
    });
    add.id = 'new-add-version';
    box.appendChild(add);
  }
}

function setVersionBy(by) {
  model.versionBy = by;
  if (by === 'layout') layoutVersions();
  if (by === 'question' && model.versions.length < 2) {
    model.versions = [{ name: '1', order: '' }, { name: '2', order: '' }];
  }
  if (by === 'none') model.versions = [{ name: '1', order: '' }];
  renderVersions();
  grid.render();
  changed();
}

// ---------------------------------------------------------------- scoring

function renderScoring() {
  const custom = model.preset === 'custom';
  for (const id of ['new-correct', 'new-wrong', 'new-blank', 'new-multiple']) $(id).disabled = !custom;
  $('new-floor').disabled = !model.floorOn;
  const k = optionCount(1);
  ui.presetNote.textContent = model.preset === 'negative' ? T.newNegativeNote(k, negativeWrong(1, k)) : '';
}

function radios(box, name, choices, value, onChange) {
  const fs = el('fieldset', 'choices');
  fs.appendChild(el('legend', null, box));
  for (const [v, text, hint] of choices) {
    const label = el('label');
    const r = el('input');
    r.type = 'radio';
    r.name = name;
    r.value = v;
    r.id = name + '-' + v;
    r.checked = v === value;
    r.addEventListener('change', () => { if (r.checked) onChange(v); });
    label.appendChild(r);
    label.appendChild(document.createTextNode(' ' + text));
    if (hint) label.appendChild(el('span', 'hint', ' ' + hint));
    fs.appendChild(label);
  }
  return fs;
}

function checkbox(id, text, checked, onChange) {
  const label = el('label', 'check');
  const c = el('input');
  c.type = 'checkbox';
  c.id = id;
  c.checked = checked;
  c.addEventListener('change', () => onChange(c.checked));
  label.appendChild(c);
  label.appendChild(document.createTextNode(' ' + text));
  return label;
}

// -------------------------------------------------------------- the page

function build(root) {
  ui = {};
  const heading = el('h2', null, model.edit ? T.newEditHeading(model.edit.exam) : T.newHeading);
  root.appendChild(heading);
  root.appendChild(el('p', 'hint', T.newIntro));

  // The exam.
  const s1 = section(root, 'new-s-exam', T.newSectionExam);
  const name = input('new-name', model.name, (v) => { model.name = v; }, { maxlength: '100', autocomplete: 'off' });
  if (model.edit) name.readOnly = true;
  s1.appendChild(field(T.newName, name, T.newNameHint));
  const title = input('new-title', model.title, (v) => {
    if (!model.edit && model.name === model.title) {
      model.name = v;
      name.value = v;
    }
    model.title = v;
    changed();
  }, { maxlength: '200', autocomplete: 'off' });
  s1.appendChild(field(T.newTitle, title));

  // The form.
  const s2 = section(root, 'new-s-form', T.newSectionForm, T.newFormHint);
  const select = el('select');
  select.id = 'new-form';
  const none = el('option', null, T.newFormNone);
  none.value = '';
  select.appendChild(none);
  for (const f of forms) {
    const o = el('option', null, f.name);
    o.value = f.name;
    select.appendChild(o);
  }
  const uploaded = el('option');
  uploaded.value = UPLOADED;
  uploaded.hidden = true;
  select.appendChild(uploaded);
  ui.uploadedOption = uploaded;
  select.addEventListener('change', () => {
    if (select.value !== UPLOADED) chooseForm(select.value).catch((e) => say(e.message, true));
  });
  ui.formSelect = select;
  s2.appendChild(field(T.newFormExample, select));
  const upload = el('input');
  upload.type = 'file';
  upload.id = 'new-form-file';
  upload.accept = '.form,.txt,text/plain';
  upload.addEventListener('change', () => uploadForm(upload.files[0]).catch((e) => say(e.message, true)));
  s2.appendChild(field(T.newFormUpload, upload));
  ui.formInfo = el('div', 'form-info');
  ui.formInfo.setAttribute('aria-live', 'polite');
  s2.appendChild(ui.formInfo);

  // The student ID and the roster.
  const s3 = section(root, 'new-s-student', T.newSectionStudent, T.newStudentHint);
  ui.student = input('new-student', model.studentQuestions, (v) => { model.studentQuestions = v; changed(); }, { autocomplete: 'off', spellcheck: 'false' });
  s3.appendChild(field(T.newStudentQuestions, ui.student, T.newStudentQuestionsHint));
  const rosterFile = el('input');
  rosterFile.type = 'file';
  rosterFile.id = 'new-roster-file';
  rosterFile.accept = '.csv,text/csv,text/plain';
  rosterFile.addEventListener('change', async () => {
    const file = rosterFile.files[0];
    if (!file) return;
    model.roster = { name: file.name, data: await fileBase64(file), encoding: ui.rosterEncoding.value, idColumn: '', check: null };
    await checkRoster();
  });
  s3.appendChild(field(T.newRosterFile, rosterFile, T.newRosterFileHint));
  const row = el('div', 'row');
  ui.rosterEncoding = el('select');
  ui.rosterEncoding.id = 'new-roster-encoding';
  for (const e of ENCODINGS) {
    const o = el('option', null, T.encodings[e] || e);
    o.value = e;
    ui.rosterEncoding.appendChild(o);
  }
  ui.rosterEncoding.value = (model.roster && model.roster.encoding) || 'utf-8';
  ui.rosterEncoding.addEventListener('change', () => {
    if (!model.roster) return;
    model.roster.encoding = ui.rosterEncoding.value;
    checkRoster();
  });
  row.appendChild(field(T.newRosterEncoding, ui.rosterEncoding));
  ui.rosterColumn = el('select');
  ui.rosterColumn.id = 'new-roster-column';
  ui.rosterColumn.addEventListener('change', () => {
    if (!model.roster) return;
    model.roster.idColumn = ui.rosterColumn.value;
    checkRoster();
  });
  row.appendChild(field(T.newRosterColumn, ui.rosterColumn));
  s3.appendChild(row);
  const noRoster = button(T.newNoRoster, () => {
    model.roster = null;
    rosterFile.value = '';
    renderRoster();
    changed();
  });
  noRoster.id = 'new-roster-none';
  s3.appendChild(noRoster);
  ui.rosterInfo = el('div', 'roster-info');
  ui.rosterInfo.setAttribute('aria-live', 'polite');
  s3.appendChild(ui.rosterInfo);

  // Versions.
  const s4 = section(root, 'new-s-versions', T.newSectionVersions, T.newVersionsHint);
  const by = radios(T.newVersionBy, 'new-version', [
    ['none', T.newVersionByNone],
    ['question', T.newVersionByQuestion],
    ['layout', T.newVersionByLayout],
  ], model.versionBy, setVersionBy);
  by.id = 'new-version-by';
  by.tabIndex = -1;
  s4.appendChild(by);
  ui.versionQuestionBox = field(T.newVersionQuestion,
    input('new-version-question', model.versionQuestion, (v) => { model.versionQuestion = v; changed(); }, { inputmode: 'numeric', autocomplete: 'off' }));
  s4.appendChild(ui.versionQuestionBox);
  ui.versionList = el('div', 'versions');
  s4.appendChild(ui.versionList);

  // Items and the key.
  const s5 = section(root, 'new-s-key', T.newSectionKey, T.newKeyHint);
  ui.items = input('new-items', model.itemsText, (v) => {
    model.itemsText = v;
    syncItems();
    grid.render();
    renderVersions();
    changed();
  }, { autocomplete: 'off', spellcheck: 'false' });
  s5.appendChild(field(T.newItems, ui.items, T.newItemsHint));
  grid = keyGrid({
    items: () => model.items,
    shape: itemShape,
    defaultPoints: () => (model.preset === 'custom' ? model.correct : '1'),
    changed,
  });
  s5.appendChild(grid.element);

  // Scoring.
  const s6 = section(root, 'new-s-scoring', T.newSectionScoring);
  s6.appendChild(radios(T.newPreset, 'new-preset', [
    ['right', T.newPresetRight, T.newPresetRightHint],
    ['negative', T.newPresetNegative, T.newPresetNegativeHint],
    ['custom', T.newPresetCustom],
  ], model.preset, (v) => { model.preset = v; renderScoring(); grid.render(); changed(); }));
  ui.presetNote = el('p', 'hint');
  ui.presetNote.setAttribute('aria-live', 'polite');
  s6.appendChild(ui.presetNote);
  const figures = el('div', 'row');
  for (const [id, key, label] of [['new-correct', 'correct', T.newCorrect], ['new-wrong', 'wrong', T.newWrong],
    ['new-blank', 'blank', T.newBlank], ['new-multiple', 'multiple', T.newMultiple]]) {
    figures.appendChild(field(label, input(id, model[key], (v) => { model[key] = v; changed(); }, { inputmode: 'decimal', size: '6', autocomplete: 'off' })));
  }
  s6.appendChild(figures);
  const floorRow = el('div', 'row');
  floorRow.appendChild(checkbox('new-floor-on', T.newFloorOn, model.floorOn, (v) => { model.floorOn = v; renderScoring(); changed(); }));
  floorRow.appendChild(field(T.newFloor, input('new-floor', model.floor, (v) => { model.floor = v; changed(); }, { inputmode: 'decimal', size: '6', autocomplete: 'off' })));
  s6.appendChild(floorRow);

  // Review.
  const s7 = section(root, 'new-s-review', T.newSectionReview, T.newReviewHint);
  s7.appendChild(checkbox('new-review-blank', T.newReviewBlank, model.review.blank, (v) => { model.review.blank = v; changed(); }));
  s7.appendChild(checkbox('new-review-multiple', T.newReviewMultiple, model.review.multiple, (v) => { model.review.multiple = v; changed(); }));
  s7.appendChild(checkbox('new-review-doubtful', T.newReviewDoubtful, model.review.doubtful, (v) => { model.review.doubtful = v; changed(); }));
  s7.appendChild(field(T.newConfidence, input('new-confidence', model.review.confidence, (v) => { model.review.confidence = v; changed(); }, { inputmode: 'decimal', size: '6', autocomplete: 'off' }), T.newConfidenceHint));

  // The exam file.
  const s8 = section(root, 'new-s-file', T.newSectionFile, T.newFileHint);
  ui.checkState = el('p', null, '');
  ui.checkState.setAttribute('role', 'status');
  s8.appendChild(ui.checkState);
  ui.problems = el('ul', 'problems');
  ui.problems.id = 'new-problems';
  s8.appendChild(ui.problems);
  const tools = el('div', 'toolbar');
  tools.appendChild(button(T.newCheck, () => check()));
  tools.appendChild(button(T.newDownload, download));
  const make = button(model.edit ? T.newSave : T.newMake, submit, 'primary');
  make.id = 'new-make';
  tools.appendChild(make);
  s8.appendChild(tools);
  ui.fileText = el('textarea');
  ui.fileText.id = 'new-file-text';
  ui.fileText.readOnly = true;
  ui.fileText.rows = 16;
  ui.fileText.spellcheck = false;
  s8.appendChild(field(T.newFileText, ui.fileText));

  root.appendChild(shortcuts(keys()));
}

function download() {
  const stem = (model.name || model.title || 'exam').replace(/[^\p{L}\p{N}]+/gu, '-').replace(/^-|-$/g, '') || 'exam';
  saveBlob(new Blob([ui.fileText.value], { type: 'application/json' }), stem + '.exam.json');
}

async function submit() {
  const author = needAuthor();
  if (!author) return;
  if (!model.edit && !model.name.trim()) {
    say(T.newNameFirst, true);
    $('new-name').focus();
    return;
  }
  if (!(await check())) {
    say(T.newFixFirst, true);
    const first = ui.problems.querySelector('button');
    if (first) first.focus();
    return;
  }
  const body = { exam: ui.fileText.value, form: formBody(), roster: rosterBody(), author };
  try {
    if (model.edit) {
      const q = '?project=' + encodeURIComponent(model.edit.project) + '&exam=' + encodeURIComponent(model.edit.exam);
      const done = await api('/api/exam' + q, body);
      say(T.newSaved(model.edit.exam, done.revision));
      context.go('exams');
    } else {
      const made = await api('/api/exams', { name: model.name.trim(), ...body });
      say(T.newMade(made.exam));
      context.chooseExam({ project: made.project, exam: made.exam, title: model.title || made.exam });
      context.go('exams');
    }
  } catch (e) {
    if (e.data && e.data.lines) {
      showProblems(e.data.lines.map((line) => ({ pointer: '', line: 0, column: 0, message: line })));
    }
    say(e.message, true);
  }
}

async function loadForEdit(exam) {
  const kept = await api('/api/exam?project=' + encodeURIComponent(exam.project) + '&exam=' + encodeURIComponent(exam.exam));
  if (kept.sheets > 0) throw new Error(T.newHasSheets);
  const form = {
    name: kept.form_name, data: kept.form_data, text: null, layouts: kept.form.layouts, loads: kept.form.loads,
    problems: kept.form.problems,
  };
  form.text = new TextDecoder('gbk').decode(Uint8Array.from(atob(kept.form_data), (c) => c.charCodeAt(0)));
  const roster = kept.roster_text ? { name: kept.roster_name, data: null, keptData: textBase64(kept.roster_text) } : null;
  const m = fromExamText(kept.exam_text, form, roster);
  m.edit = { project: exam.project, exam: exam.exam };
  m.name = exam.exam;
  return m;
}

function focusSection(id) {
  const e = $(id);
  if (e) e.focus();
  return true;
}

function keys() {
  return [
    ['t', T.newKeyTitle], ['f', T.newKeyForm], ['i', T.newKeyStudent], ['r', T.newKeyRoster],
    ['v', T.newKeyVersions], ['k', T.newKeyKeyLine], ['a', T.newKeyGrid], ['s', T.newKeyScoring],
    ['w', T.newKeyReview], ['c', T.newKeyCheck], ['d', T.newKeyDownload], ['Ctrl+Enter', T.newKeyMake],
    ['Esc', T.newKeyLeave],
    ...keyGrid.keys(),
  ];
}

function onFieldKey(event) {
  if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
    event.preventDefault();
    submit();
    return;
  }
  if (event.key === 'Escape' && event.target.closest && event.target.closest('#page') &&
      (event.target.matches('input, select, textarea') || event.target.closest('[role="grid"]'))) {
    event.preventDefault();
    event.stopPropagation();
    event.target.blur();
    $('page').focus({ preventScroll: true });
  }
}

export default {
  id: 'new',
  office: true,
  title: () => T.navNew,
  keys,
  async show(root, ctx) {
    context = ctx;
    forms = await api('/api/forms');
    model = emptyModel();
    if (ctx.params.get('edit') && ctx.exam) model = await loadForEdit(ctx.exam);
    build(root);
    syncItems();
    showFormChoice();
    if (model.form) {
      guessPreset();
      for (const r of document.getElementsByName('new-preset')) r.checked = r.value === model.preset;
      renderForm();
    }
    renderRoster();
    renderVersions();
    grid.render();
    renderScoring();
    ui.fileText.value = examText();
    if (model.form) check();
    document.addEventListener('keydown', onFieldKey);
  },
  hide() {
    clearTimeout(checkTimer);
    document.removeEventListener('keydown', onFieldKey);
  },
  onKey(event) {
    switch (event.key) {
      case 't': return focusSection('new-title');
      case 'f': return focusSection('new-form');
      case 'i': return focusSection('new-student');
      case 'r': return focusSection('new-roster-file');
      case 'v': return focusSection('new-version-' + model.versionBy);
      case 'k': return focusSection(grid.lineId);
      case 'a': grid.focusItem(grid.current() || 1); return true;
      case 's': return focusSection('new-preset-' + model.preset);
      case 'w': return focusSection('new-review-blank');
      case 'c': check(); return true;
      case 'd': download(); return true;
      default: return false;
    }
  },
};

export { stripComments, ranges, fromExamText };

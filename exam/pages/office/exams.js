// Exams: every exam of the place with its state (sheets read, students
// missing, waiting for review, last read, flagged items); new, open, back up.
import { $, T, api, button, clear, el, field, say, shortcuts, when } from './common.js';

const REFRESH_MS = 10000;
let timer = 0;
let shown = [];
let selected = 0;
// The highlighted exam, by name: rows come and go as the list is read again,
// and the page opens on the exam the header names (the one just made).
let selectedName = '';
let context = null;

function keys() {
  const rows = [
    ['↑ ↓', T.examsKeyMove],
    ['Enter', T.examsKeyOpen],
    ['v', T.examsKeyReview],
  ];
  if (context && context.office) {
    rows.push(['n', T.examsKeyNew], ['r', T.examsKeyReading], ['k', T.examsKeyKeys], ['s', T.examsKeyResults],
      ['e', T.examsKeyEdit], ['b', T.examsKeyBackup]);
  }
  return rows;
}

function cell(tr, text, className) {
  const td = el('td', className, text);
  tr.appendChild(td);
  return td;
}

function open(exam) {
  if (!context.office) context.go('review', exam);
  else context.go(exam.sheets > 0 ? 'results' : 'reading', exam);
}

async function backup(exam) {
  say(T.backingUp(exam.title));
  const done = await api('/api/backup?project=' + encodeURIComponent(exam.project) + '&exam=' + encodeURIComponent(exam.exam), {});
  say(T.backedUp(done.path, done.sheets));
}

function act(what, exam) {
  const run = async () => {
    try {
      await what(exam);
    } catch (e) {
      say(e.message, true);
    }
  };
  run();
}

function nameOf(exam) {
  return exam ? exam.project + '\n' + exam.exam : '';
}

function select(index, focus) {
  if (!shown.length) return;
  selected = Math.max(0, Math.min(shown.length - 1, index));
  selectedName = nameOf(shown[selected]);
  const rows = document.querySelectorAll('#exam-rows tr');
  rows.forEach((r, i) => r.classList.toggle('selected', i === selected));
  if (focus) rows[selected].querySelector('a').focus();
}

function render(data) {
  const body = $('exam-rows');
  if (!body) return;
  const focusedIndex = [...body.querySelectorAll('a')].indexOf(document.activeElement);
  clear(body);
  shown = data.exams;
  shown.forEach((exam, index) => {
    const tr = el('tr');
    const th = el('th');
    th.scope = 'row';
    const a = el('a', null, exam.title);
    a.href = '#';
    a.addEventListener('click', (e) => { e.preventDefault(); open(exam); });
    a.addEventListener('focus', () => select(index, false));
    th.appendChild(a);
    if (exam.project) th.appendChild(el('span', 'file', exam.project));
    tr.appendChild(th);
    cell(tr, String(exam.sheets), 'number');
    cell(tr, exam.roster ? T.studentsOf(exam.students, exam.roster) : String(exam.students), 'number');
    cell(tr, exam.missing === null ? '–' : String(exam.missing), 'number');
    cell(tr, String(exam.waiting), 'number');
    cell(tr, exam.last_read ? when(exam.last_read) : T.notYet);
    cell(tr, exam.flagged_items === null ? '–' : String(exam.flagged_items), 'number');
    const actions = cell(tr, '', 'actions');
    if (context.office) {
      actions.appendChild(button(T.actionReading, () => context.go('reading', exam)));
    }
    actions.appendChild(button(T.actionReview, () => context.go('review', exam)));
    if (context.office) {
      actions.appendChild(button(T.actionKeys, () => context.go('keys', exam)));
      actions.appendChild(button(T.actionResults, () => context.go('results', exam)));
      if (exam.editable) actions.appendChild(button(T.actionEdit, () => context.go('new', exam, { edit: '1' })));
      actions.appendChild(button(T.actionBackup, () => act(backup, exam)));
    }
    for (const b of actions.querySelectorAll('button')) b.setAttribute('aria-label', b.textContent + ': ' + exam.title);
    body.appendChild(tr);
  });
  $('exams-empty').hidden = shown.length > 0;
  const problems = $('exam-problems');
  clear(problems);
  for (const p of data.problems) problems.appendChild(el('li', null, T.projectProblem(p.project, p.message)));
  problems.hidden = data.problems.length === 0;
  const kept = shown.findIndex((exam) => nameOf(exam) === selectedName);
  select(kept >= 0 ? kept : Math.min(selected, shown.length - 1), focusedIndex >= 0);
}

async function refresh() {
  try {
    render(await api('/api/exams'));
  } catch (e) {
    say(e.message, true);
  }
}

export default {
  id: 'exams',
  title: () => T.navExams,
  keys,
  async show(root, ctx) {
    context = ctx;
    if (ctx.exam) selectedName = nameOf(ctx.exam);
    root.appendChild(el('h2', null, T.examsHeading));
    if (ctx.office) {
      const tools = el('div', 'toolbar');
      tools.appendChild(button(T.newExamButton, () => ctx.go('new')));
      root.appendChild(tools);
    }
    const wrap = el('div', 'table-wrap');
    wrap.tabIndex = 0;
    wrap.setAttribute('role', 'region');
    wrap.setAttribute('aria-label', T.examsHeading);
    const table = el('table', 'list');
    const head = el('thead');
    const hr = el('tr');
    for (const h of [T.colExam, T.colSheets, T.colStudents, T.colMissing, T.colWaiting, T.colLastRead, T.colFlagged, T.colActions]) {
      const th = el('th', null, h);
      th.scope = 'col';
      hr.appendChild(th);
    }
    head.appendChild(hr);
    table.appendChild(head);
    const body = el('tbody');
    body.id = 'exam-rows';
    table.appendChild(body);
    wrap.appendChild(table);
    root.appendChild(wrap);
    const empty = el('p', 'note', ctx.office ? T.noExamsOffice : T.noExams);
    empty.id = 'exams-empty';
    empty.hidden = true;
    root.appendChild(empty);
    const problems = el('ul', 'problems');
    problems.id = 'exam-problems';
    problems.hidden = true;
    root.appendChild(problems);
    if (ctx.office && ctx.session.reviewer_token) {
      const link = el('input');
      link.readOnly = true;
      link.value = location.origin + '/?token=' + ctx.session.reviewer_token;
      link.className = 'wide';
      const box = field(T.reviewerLink, link, T.reviewerLinkHint);
      box.classList.add('reviewer-link');
      root.appendChild(box);
    }
    if (ctx.session.place) root.appendChild(el('p', 'hint', T.placeIs(ctx.session.place)));
    root.appendChild(shortcuts(keys()));
    await refresh();
    clearInterval(timer);
    timer = setInterval(() => { if (!document.hidden) refresh(); }, REFRESH_MS);
  },
  hide() {
    clearInterval(timer);
  },
  onKey(event) {
    const exam = shown[selected];
    switch (event.key) {
      case 'ArrowDown': select(selected + 1, true); return true;
      case 'ArrowUp': select(selected - 1, true); return true;
      case 'Enter': if (exam) open(exam); return !!exam;
      case 'v': if (exam) context.go('review', exam); return !!exam;
      default: break;
    }
    if (!context.office) return false;
    switch (event.key) {
      case 'n': context.go('new'); return true;
      case 'r': if (exam) context.go('reading', exam); return !!exam;
      case 'k': if (exam) context.go('keys', exam); return !!exam;
      case 's': if (exam) context.go('results', exam); return !!exam;
      case 'e': if (exam && exam.editable) context.go('new', exam, { edit: '1' }); return !!exam;
      case 'b': if (exam) act(backup, exam); return !!exam;
      default: return false;
    }
  },
};

// The office page: its pages (one module each), chosen by the address
// ("#/exams", "#/reading?project=..&exam=.."), the navigation, the keys
// every page shares ("g" then a page's letter, "?" for the keys) and the
// exam the pages work on. Review is the review page, opened in this tab.
import {
  $, T, api, author, clear, el, examQuery, forgetToken, inField, say, setAuthor, takeToken, whenUnauthorized,
} from './common.js';
import exams from './exams.js';
// New exam, Keys, Results.
import newExam from './new.js';
import keys from './keys.js';
import results from './results.js';
import reading from './reading.js';

const pages = [exams];
// New exam, Keys, Results.
pages.push(newExam, keys, results);
pages.push(reading);  // Reading: stations, live sheets, typed sheets
const NAVIGATION = [
  { id: 'exams', key: 'e', text: () => T.navExams, needsExam: false },
  { id: 'new', key: 'n', text: () => T.navNew, needsExam: false, office: true },
  { id: 'reading', key: 'r', text: () => T.navReading, needsExam: true, office: true },
  { id: 'review', key: 'v', text: () => T.navReview, needsExam: true },
  { id: 'keys', key: 'k', text: () => T.navKeys, needsExam: true, office: true },
  { id: 'results', key: 's', text: () => T.navResults, needsExam: true, office: true },
];

const EXAM_KEY = 'omr-office-exam';
const state = { session: null, page: null, exam: null, goPending: false };

function currentExam() {
  return state.exam;
}

function chooseExam(exam) {
  state.exam = exam && exam.exam !== undefined ? { project: exam.project || '', exam: exam.exam, title: exam.title || exam.exam } : null;
  try {
    if (state.exam) sessionStorage.setItem(EXAM_KEY, JSON.stringify(state.exam));
    else sessionStorage.removeItem(EXAM_KEY);
  } catch (e) {
    // kept while the page lives
  }
  renderNav();
}

function office() {
  return state.session && state.session.grants.includes('office');
}

function href(id, exam) {
  if (id === 'review') return '/review' + examQuery(exam);
  return '#/' + id + (NAVIGATION.find((n) => n.id === id).needsExam ? examQuery(exam) : '');
}

function renderNav() {
  const nav = $('nav');
  clear(nav);
  const list = el('ul');
  for (const n of NAVIGATION) {
    if (n.office && !office()) continue;
    const li = el('li');
    const a = el('a', null, n.text());
    const usable = !n.needsExam || state.exam;
    if (usable) a.href = href(n.id, state.exam);
    else a.setAttribute('aria-disabled', 'true');
    a.title = T.navKey(n.key);
    if (state.page && state.page.id === n.id) a.setAttribute('aria-current', 'page');
    li.appendChild(a);
    list.appendChild(li);
  }
  nav.appendChild(list);
  $('current-exam').textContent = state.exam ? T.currentExam(state.exam.title) : T.noExamChosen;
}

function go(id, exam, extra) {
  if (exam) chooseExam(exam);
  if (id === 'review') {
    location.href = href('review', state.exam);
    return;
  }
  const target = '#/' + id + (NAVIGATION.find((n) => n.id === id)?.needsExam || extra ? examQuery(state.exam, extra) : '');
  if (location.hash === target) route();
  else location.hash = target;
}

// The page the address names, shown in place of the one before.
async function route() {
  const match = /^#\/([a-z]+)(\?.*)?$/.exec(location.hash) || [null, 'exams', ''];
  const params = new URLSearchParams(match[2] ? match[2].slice(1) : '');
  if (params.has('exam')) {
    const same = state.exam && state.exam.exam === params.get('exam') && state.exam.project === (params.get('project') || '');
    if (!same) chooseExam({ project: params.get('project') || '', exam: params.get('exam') });
  }
  let page = pages.find((p) => p.id === match[1]) || exams;
  if (page.office && !office()) page = exams;
  if (state.page && state.page.hide) state.page.hide();
  state.page = page;
  renderNav();
  const root = $('page');
  clear(root);
  document.title = page.title() + ' · ' + T.officeTitle;
  if (page.needsExam && !state.exam) {
    root.appendChild(el('h2', null, page.title()));
    root.appendChild(el('p', 'note', T.chooseExamFirst));
    return;
  }
  document.body.dataset.state = 'busy';
  try {
    await page.show(root, { exam: state.exam, params, office: office(), session: state.session, go, chooseExam });
  } catch (e) {
    say(e.message || String(e), true);
  } finally {
    document.body.dataset.state = 'idle';
  }
  root.focus({ preventScroll: true });
}

function showKeys() {
  const rows = $('keys-rows');
  clear(rows);
  const common = [
    ['g e / g n / g r', T.keysGoPages],
    ['g v / g k / g s', T.keysGoPages2],
    ['?', T.keysHelp],
  ];
  const own = state.page && state.page.keys ? state.page.keys() : [];
  for (const [key, text] of [...own, ...common]) {
    const tr = el('tr');
    tr.appendChild(el('th', null, key));
    tr.appendChild(el('td', null, text));
    rows.appendChild(tr);
  }
  const d = $('keys-dialog');
  if (!d.open) d.showModal();
}

function onKey(event) {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if ($('keys-dialog').open) return;
  if (document.querySelector('dialog[open]')) return;
  if (inField(event.target)) return;
  if (event.key === '?') {
    event.preventDefault();
    showKeys();
    return;
  }
  if (state.goPending) {
    state.goPending = false;
    const n = NAVIGATION.find((x) => x.key === event.key.toLowerCase());
    if (n && (!n.office || office())) {
      event.preventDefault();
      if (n.needsExam && !state.exam) say(T.chooseExamFirst, true);
      else go(n.id);
    }
    return;
  }
  if (event.key === 'g') {
    state.goPending = true;
    setTimeout(() => { state.goPending = false; }, 1500);
    event.preventDefault();
    return;
  }
  // Enter and Space on a link or button do what it does.
  if ((event.key === 'Enter' || event.key === ' ') && event.target.closest && event.target.closest('a,button,summary')) return;
  if (state.page && state.page.onKey && state.page.onKey(event)) event.preventDefault();
}

async function start() {
  window.OMR_I18N.switcher($('language'));
  $('author').value = author();
  $('author').addEventListener('change', (e) => setAuthor(e.target.value.trim()));
  whenUnauthorized(() => {
    forgetToken();
    $('no-token').hidden = false;
    $('page').hidden = true;
  });
  $('keys-button').addEventListener('click', showKeys);
  $('keys-close').addEventListener('click', () => $('keys-dialog').close());
  document.addEventListener('keydown', onKey);
  if (!takeToken()) {
    $('no-token').hidden = false;
    $('page').hidden = true;
    document.body.dataset.state = 'idle';
    return;
  }
  try {
    state.session = await api('/api/session');
  } catch (e) {
    say(e.message, true);
    document.body.dataset.state = 'idle';
    return;
  }
  try {
    const kept = JSON.parse(sessionStorage.getItem(EXAM_KEY) || 'null');
    if (kept) state.exam = kept;
  } catch (e) {
    state.exam = null;
  }
  window.addEventListener('hashchange', route);
  await route();
}

export { currentExam };
start();

// Reading: the readers on this computer, a station per reader (a name,
// Start and Stop), then live each sheet as it is stored, sheets per minute,
// the students read of the roster and those still missing, each station's
// state in words; and sheets the reader cannot take, typed in.
import {
  $, LANG, T, api, button, clear, el, examQuery, field, live, needAuthor, number, readEvents, say, shortcuts,
} from './common.js';
import { answerGrid } from './answer_grid.js';

const MAX_ROWS = 300;
const PROGRESS_MS = 1000;  // the progress is read again at most this often while sheets come

const state = {
  context: null,
  exam: null,
  title: '',
  host: '',
  readers: [],
  stations: new Map(),  // id -> station
  lastEvent: 0,
  follow: null,  // the AbortController of the live answer
  progressTimer: 0,
  progressAt: 0,
  typed: null,  // the typed sheet's form: shape, grid
  vocabulary: null,  // the server's words (/api/vocabulary)
};

function keys() {
  return [
    ['s', T.readingKeyStart],
    ['x', T.readingKeyStop],
    ['l', T.readingKeyLook],
    ['t', T.readingKeyType],
    ['Ctrl+Enter', T.readingKeyStore],
    ['Esc', T.readingKeyClose],
  ];
}

function words(message) {
  if (!message) return '';
  if (typeof message === 'string') return message;
  return (LANG === 'zh' ? message.zh : message.en) || message.en || '';
}

// A station that may still be told to stop: one that has stopped, or is
// stopping, keeps running until its process ends, and is no target for x.
function stoppable(s) {
  return s.running && !['stopping', 'stopped', 'ended', 'failed'].includes(s.state);
}

// A station's state in words.
function stateText(s) {
  switch (s.state) {
    case 'starting': return T.stationStarting;
    case 'reading': return T.stationReading;
    case 'waiting': return T.stationWaiting;
    case 'refused': return T.stationRefused(s.refused);
    case 'lost': return T.stationLost + (words(s.message) ? ' (' + words(s.message) + ')' : '');
    case 'stopping': return T.stationStopping;
    case 'stopped': return T.stationStopped;
    case 'ended': return T.stationEnded(T.endWords[s.end] || s.end) + (words(s.message) ? ': ' + words(s.message) : '');
    case 'failed': return T.stationFailed(words(s.message));
    default: return s.state;
  }
}

function scoreText(s) {
  if (s.scored) return T.scoreOf(number(s.total), number(s.maximum));
  if (s.code) return T.notReadCode(s.code, words(s.message));
  return T.notScoredShort;
}

// A reason in this page's language: the catalog's words, else the server's (its vocabulary).
function reasonWords(code) {
  if (T.reasonWords && T.reasonWords[code]) return T.reasonWords[code];
  const info = state.vocabulary && state.vocabulary.reasons.find((r) => r.code === code);
  return info ? info.words : code;
}

function reasonsText(s) {
  return (s.reasons || []).map((r) => (r.question ? reasonWords(r.reason) + T.atQuestion(r.question) : reasonWords(r.reason)))
    .join(', ');
}

// ----------------------------------------------------------------- readers

function defaultName(index) {
  return state.host + (state.readers.filter((r) => r.found).length > 1 ? '-' + (index + 1) : '');
}

function renderReaders() {
  const body = $('reader-rows');
  if (!body) return;
  const kept = new Map([...body.querySelectorAll('input')].map((i) => [i.dataset.port, i.value]));
  const focused = body.contains(document.activeElement) && document.activeElement.matches('input')
    ? document.activeElement.dataset.port : null;
  clear(body);
  state.readers.forEach((r, index) => {
    const tr = el('tr');
    const th = el('th', null, r.name);
    th.scope = 'row';
    tr.appendChild(th);
    tr.appendChild(el('td', null, r.firmware || '–'));
    tr.appendChild(el('td', null, r.serial || '–'));
    const name = el('td');
    const action = el('td', 'actions');
    const station = r.station ? state.stations.get(r.station) : null;
    if (station && station.running) {
      name.textContent = station.name;
      const stop = button(T.stopButton, () => stopStation(station));
      stop.setAttribute('aria-label', T.stopStationLabel(station.name));
      action.appendChild(stop);
    } else if (r.found) {
      const input = el('input');
      input.dataset.port = r.port;
      input.maxLength = 200;
      input.value = kept.get(r.port) || defaultName(index);
      input.setAttribute('aria-label', T.stationNameFor(r.name));
      input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') {
          e.preventDefault();
          startStation(r, input.value.trim());
        }
      });
      name.appendChild(input);
      const start = button(T.startButton, () => startStation(r, input.value.trim()), 'primary');
      start.setAttribute('aria-label', T.startOn(r.name));
      start.dataset.port = r.port;
      action.appendChild(start);
    } else {
      name.appendChild(el('span', 'problem', r.problem || T.readerNotFound));
    }
    tr.append(name, action);
    body.appendChild(tr);
  });
  $('readers-empty').hidden = state.readers.length > 0;
  if (focused !== null) {
    const again = [...body.querySelectorAll('input')].find((i) => i.dataset.port === focused);
    if (again) again.focus();
  }
}

async function lookAgain(fresh) {
  $('readers-note').textContent = T.lookingForReaders;
  try {
    const data = await api('/api/readers' + (fresh ? '?fresh=1' : ''));
    state.readers = data.readers;
    state.host = data.host;
    renderReaders();
    $('readers-note').textContent = T.readersFound(data.readers.filter((r) => r.found).length);
  } catch (e) {
    $('readers-note').textContent = '';
    say(e.message, true);
  }
}

async function startStation(reader, name) {
  if (!name) {
    say(T.nameTheStation, true);
    return;
  }
  try {
    const done = await api('/api/reading/start' + examQuery(state.exam), { port: reader.port, station: name });
    updateStation(done.station);
    reader.station = done.station.id;
    renderReaders();
    say(T.stationStarted(name, reader.name));
    const stop = document.querySelector('#reader-rows button');
    if (stop) stop.focus();
  } catch (e) {
    say(e.message, true);
  }
}

async function stopStation(station) {
  try {
    updateStation((await api('/api/reading/stop' + examQuery(state.exam), { station: station.id })).station);
  } catch (e) {
    say(e.message, true);
  }
}

// ---------------------------------------------------------------- stations

function updateStation(s) {
  const before = state.stations.get(s.id);
  // An answer and the live events may come in either order: the latest state stays.
  if (before && s.changes < before.changes) return;
  state.stations.set(s.id, s);
  // A change of state is told (the counts change with every sheet: they are not).
  if (before && (before.state !== s.state || before.refused !== s.refused) && $('reading-status'))
    $('reading-status').textContent = T.stationSays(s.name, stateText(s));
  for (const r of state.readers) {
    if (r.port === s.port) r.station = s.running ? s.id : null;
  }
  renderStations();
  // The readers' table only when a reader is taken or let go: a name being typed there stays.
  if (!before || before.running !== s.running) renderReaders();
}

// Each station's card, changed in place: its Stop button keeps the focus
// while sheets come.
function renderStations() {
  const list = $('station-list');
  if (!list) return;
  const all = [...state.stations.values()].sort((a, b) => a.id - b.id);
  for (const li of [...list.children]) if (!state.stations.has(Number(li.dataset.station))) li.remove();
  for (const s of all) {
    let li = list.querySelector('li[data-station="' + s.id + '"]');
    if (!li) {
      li = el('li');
      li.dataset.station = String(s.id);
      li.append(el('p', 'station-head'), el('p', 'station-state'), el('p', 'station-counts'));
      const stop = button(T.stopButton, () => stopStation(state.stations.get(s.id)));
      stop.setAttribute('aria-label', T.stopStationLabel(s.name));
      li.appendChild(stop);
      list.appendChild(li);
    }
    li.className = 'station state-' + s.state;
    const [head, line, counts, stop] = li.children;
    clear(head);
    head.appendChild(el('strong', null, s.name));
    head.appendChild(document.createTextNode(' · ' + s.reader + (s.firmware ? ' · ' + T.firmwareIs(s.firmware) : '')));
    line.textContent = stateText(s);
    line.dataset.state = s.state;
    counts.textContent = T.stationCounts(s.stored, s.failed, s.waiting, number(Math.round(s.rate * 10) / 10));
    stop.hidden = !stoppable(s);
  }
  $('stations-empty').hidden = all.length > 0;
  const rate = all.filter((s) => s.running).reduce((sum, s) => sum + (s.rate || 0), 0);
  $('rate').textContent = T.sheetsPerMinute(number(Math.round(rate * 10) / 10));
}

// ------------------------------------------------------------------ sheets

function sheetRow(s) {
  const tr = el('tr');
  tr.dataset.sheet = String(s.sheet);
  if (s.source === 'typed') tr.dataset.typed = '1';
  if (s.feed_again) tr.className = 'refused';
  const th = el('th', null, String(s.sheet));
  th.scope = 'row';
  tr.appendChild(th);
  tr.appendChild(el('td', null, s.source === 'typed' ? T.typedBy(s.author) : s.station_name));
  tr.appendChild(el('td', 'id', s.student_id || '–'));
  tr.appendChild(el('td', null, s.name || ''));
  tr.appendChild(el('td', null, s.version || ''));
  tr.appendChild(el('td', 'number', s.feed_again ? T.feedAgainShort : scoreText(s)));
  tr.appendChild(el('td', null, reasonsText(s)));
  return tr;
}

function addSheet(s, live) {
  const body = $('sheet-rows');
  if (!body) return;
  const old = body.querySelector('tr[data-sheet="' + s.sheet + '"]');
  const row = sheetRow(s);
  if (old) old.replaceWith(row);
  else body.insertBefore(row, body.firstChild);
  while (body.rows.length > MAX_ROWS) body.deleteRow(body.rows.length - 1);
  $('sheets-empty').hidden = body.rows.length > 0;
  if (live) {
    $('reading-status').textContent = s.feed_again ? T.stationRefused(s.sheet)
      : T.sheetStored(s.sheet, s.student_id || '–', s.name || '', s.scored ? scoreText(s) : '');
    soonProgress();
  }
}

// ---------------------------------------------------------------- progress

function renderProgress(p) {
  if (!$('progress-text')) return;
  $('progress-text').textContent = p.roster ? T.studentsRead(p.students, p.roster) : T.sheetsRead(p.sheets);
  const bar = $('progress-bar');
  bar.hidden = !p.roster;
  bar.max = Math.max(1, p.roster);
  bar.value = p.students;
  $('progress-counts').textContent = T.progressCounts(p.sheets, p.not_read, p.waiting, p.typed);
  const list = $('missing-list');
  clear(list);
  for (const m of p.missing) list.appendChild(el('li', null, m.name ? m.id + ' · ' + m.name : m.id));
  if (p.missing_count > p.missing.length) list.appendChild(el('li', 'hint', T.andMore(p.missing_count - p.missing.length)));
  $('missing-summary').textContent = T.missingStudents(p.missing_count);
  $('missing').hidden = !p.roster;
}

function soonProgress() {
  if (state.progressTimer) return;
  const wait = Math.max(0, state.progressAt + PROGRESS_MS - Date.now());
  state.progressTimer = setTimeout(async () => {
    state.progressTimer = 0;
    state.progressAt = Date.now();
    try {
      renderProgress(await api('/api/reading/progress' + examQuery(state.exam)));
    } catch (e) {
      // the next sheet tries again
    }
  }, wait);
}

// -------------------------------------------------------------------- live

async function load() {
  const data = await api('/api/reading' + examQuery(state.exam));
  state.title = data.title;
  state.lastEvent = data.last_event;
  state.stations = new Map(data.stations.map((s) => [s.id, s]));
  const body = $('sheet-rows');
  clear(body);
  for (const s of [...data.sheets].reverse()) addSheet(s, false);
  $('sheets-empty').hidden = data.sheets.length > 0;
  renderStations();
  renderProgress(data.progress);
}

function onEvent(name, data, id) {
  if (id !== null) state.lastEvent = Number(id);
  const value = JSON.parse(data);
  if (name === 'sheet') addSheet(value, true);
  else if (name === 'station') updateStation(value);
  else if (name === 'reset') load().catch((e) => say(e.message, true));
}

// Follows the exam's events until the page goes; a lost answer is asked again.
async function follow() {
  const controller = new AbortController();
  state.follow = controller;
  document.body.dataset.live = 'connecting';
  while (!controller.signal.aborted) {
    try {
      const res = await live('/api/reading/events' + examQuery(state.exam, { since: state.lastEvent }), controller.signal);
      if (res.ok) {
        document.body.dataset.live = 'on';
        await readEvents(res, onEvent);
      } else if (res.status === 401 || res.status === 403 || res.status === 404) {
        return;
      }
    } catch (e) {
      if (controller.signal.aborted) return;
    }
    document.body.dataset.live = 'connecting';
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
}

// ------------------------------------------------------------- typed sheet

async function openTyped() {
  const box = $('typed');
  box.hidden = false;
  if (!state.typed) {
    state.typed = { shape: await api('/api/typed' + examQuery(state.exam)) };
    buildTyped();
  }
  ($('typed-id') || state.typed.grid.line).focus();
}

function closeTyped() {
  $('typed').hidden = true;
  $('type-button').focus();
}

function layoutFor(version, part) {
  const shape = state.typed.shape;
  const letter = shape.version_source === 'layout' ? version : part && shape.part_source === 'layout' ? part.name : '';
  return shape.layouts.find((l) => letter && l.letter === letter) || shape.layouts[0];
}

// The items the sheet holds: of an exam in parts, its part's only, numbered on that sheet.
function typedItems() {
  const shape = state.typed.shape;
  const part = $('typed-part') ? shape.parts.find((p) => p.name === $('typed-part').value) : null;
  const layout = layoutFor($('typed-version') ? $('typed-version').value : '', part);
  if (!part) return layout.items;
  return layout.items.slice(part.first, part.first + part.count).map((r, i) => ({ ...r, item: i + 1 }));
}

function renderGrid() {
  const holder = $('typed-grid');
  clear(holder);
  const grid = answerGrid(typedItems(), {
    line: T.typedAnswersLabel,
    lineHint: T.typedAnswersHint,
    grid: T.typedGridLabel,
    item: T.typedItem,
    rowName: (r) => T.typedRow(r.item, r.question),
    cellName: (r, o) => T.typedCell(r.item, o),
    count: (typed, all) => T.typedCount(typed, all),
    tooMany: (typed, all) => T.typedTooMany(typed, all),
    notAnOption: (at) => T.typedNotAnOption(at),
  });
  const old = state.typed.grid ? state.typed.grid.line.value : '';
  holder.appendChild(grid.element);
  grid.line.value = old;
  grid.line.dispatchEvent(new Event('input'));
  state.typed.grid = grid;
}

function buildTyped() {
  const box = $('typed-fields');
  clear(box);
  const shape = state.typed.shape;
  if (shape.id) {
    const id = el('input');
    id.id = 'typed-id';
    id.autocomplete = 'off';
    id.spellcheck = false;
    id.maxLength = 64;
    id.pattern = shape.id.pattern.replace(/^\^/, '').replace(/\$$/, '');
    box.appendChild(field(T.typedIdLabel, id, T.typedIdHint(shape.id.text)));
  }
  if (shape.version_source !== 'single') {
    const version = el('select');
    version.id = 'typed-version';
    for (const v of shape.versions) {
      const o = el('option', null, v);
      o.value = v;
      version.appendChild(o);
    }
    version.addEventListener('change', renderGrid);
    box.appendChild(field(T.typedVersionLabel, version));
  }
  if (shape.parts.length) {
    const part = el('select');
    part.id = 'typed-part';
    for (const p of shape.parts) {
      const o = el('option', null, T.typedPartName(p.name, p.count));
      o.value = p.name;
      part.appendChild(o);
    }
    part.addEventListener('change', renderGrid);
    box.appendChild(field(T.typedPartLabel, part, T.typedPartHint));
  }
  renderGrid();
}

async function storeTyped() {
  const author = needAuthor();
  if (!author) return;
  const grid = state.typed.grid;
  const body = {
    id: $('typed-id') ? $('typed-id').value.trim() : '',
    version: $('typed-version') ? $('typed-version').value : '',
    part: $('typed-part') ? $('typed-part').value : '',
    answers: grid.text(),
    author,
  };
  if (!grid.complete()) {
    say(T.typedIncomplete, true);
    grid.focus();
    return;
  }
  try {
    const done = await api('/api/typed' + examQuery(state.exam), body);
    say(T.typedStored(done.sheet.sheet, done.sheet.scored ? scoreText(done.sheet) : ''));
    grid.clear();
    if ($('typed-id')) {
      $('typed-id').value = '';
      $('typed-id').focus();
    } else {
      grid.focus();
    }
  } catch (e) {
    say(e.message, true);
  }
}

// -------------------------------------------------------------------- page

function section(id, heading) {
  const s = el('section', 'panel');
  s.id = id;
  s.setAttribute('aria-labelledby', id + '-heading');
  const h = el('h3', null, heading);
  h.id = id + '-heading';
  s.appendChild(h);
  return s;
}

function table(headers, bodyId, label) {
  const wrap = el('div', 'table-wrap');
  wrap.tabIndex = 0;
  wrap.setAttribute('role', 'region');
  wrap.setAttribute('aria-label', label);
  const t = el('table', 'list');
  const head = el('thead');
  const tr = el('tr');
  for (const h of headers) {
    const th = el('th', null, h);
    th.scope = 'col';
    tr.appendChild(th);
  }
  head.appendChild(tr);
  t.appendChild(head);
  const body = el('tbody');
  body.id = bodyId;
  t.appendChild(body);
  wrap.appendChild(t);
  return wrap;
}

function build(root) {
  root.appendChild(el('h2', null, T.readingHeading(state.exam.title || state.exam.exam)));

  const readers = section('readers', T.readersHeading);
  readers.appendChild(table([T.colReader, T.colFirmware, T.colSerial, T.colStation, T.colActions], 'reader-rows', T.readersHeading));
  const empty = el('p', 'note', T.noReaders);
  empty.id = 'readers-empty';
  empty.hidden = true;
  readers.appendChild(empty);
  const tools = el('div', 'toolbar');
  tools.appendChild(button(T.lookAgainButton, () => lookAgain(true)));
  const note = el('span', 'hint');
  note.id = 'readers-note';
  note.setAttribute('aria-live', 'polite');
  tools.appendChild(note);
  readers.appendChild(tools);
  root.appendChild(readers);

  const stations = section('stations', T.stationsHeading);
  const rate = el('p', 'rate');
  rate.id = 'rate';
  stations.appendChild(rate);
  const list = el('ul', 'stations');
  list.id = 'station-list';
  stations.appendChild(list);
  const none = el('p', 'hint', T.noStations);
  none.id = 'stations-empty';
  stations.appendChild(none);
  root.appendChild(stations);

  const progress = section('progress', T.progressHeading);
  const text = el('p', 'progress-text');
  text.id = 'progress-text';
  progress.appendChild(text);
  const bar = el('progress');
  bar.id = 'progress-bar';
  bar.setAttribute('aria-labelledby', 'progress-text');
  progress.appendChild(bar);
  const counts = el('p', 'hint');
  counts.id = 'progress-counts';
  progress.appendChild(counts);
  const missing = el('details');
  missing.id = 'missing';
  const summary = el('summary');
  summary.id = 'missing-summary';
  missing.appendChild(summary);
  const missingList = el('ul', 'missing');
  missingList.id = 'missing-list';
  missing.appendChild(missingList);
  progress.appendChild(missing);
  root.appendChild(progress);

  const sheets = section('sheets', T.sheetsHeading);
  const status = el('p', 'hint');
  status.id = 'reading-status';
  status.setAttribute('role', 'status');
  sheets.appendChild(status);
  sheets.appendChild(table([T.colSheet, T.colStationOrTypist, T.colStudentId, T.colName, T.colVersion, T.colScore, T.colReview],
    'sheet-rows', T.sheetsHeading));
  const noSheets = el('p', 'hint', T.noSheetsYet);
  noSheets.id = 'sheets-empty';
  sheets.appendChild(noSheets);
  root.appendChild(sheets);

  const typedSection = section('typing', T.typedHeading);
  typedSection.appendChild(el('p', 'hint', T.typedIntro));
  const typeButton = button(T.typeButton, () => openTyped().catch((e) => say(e.message, true)));
  typeButton.id = 'type-button';
  typedSection.appendChild(typeButton);
  const form = el('div', 'typed');
  form.id = 'typed';
  form.hidden = true;
  const fields = el('div', 'row');
  fields.id = 'typed-fields';
  form.appendChild(fields);
  const grid = el('div');
  grid.id = 'typed-grid';
  form.appendChild(grid);
  const actions = el('div', 'toolbar');
  const store = button(T.typedStoreButton, storeTyped, 'primary');
  store.id = 'typed-store';
  actions.appendChild(store);
  actions.appendChild(button(T.typedCloseButton, closeTyped));
  form.appendChild(actions);
  form.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) {
      e.preventDefault();
      storeTyped();
    } else if (e.key === 'Escape') {
      e.preventDefault();
      closeTyped();
    }
  });
  typedSection.appendChild(form);
  root.appendChild(typedSection);

  root.appendChild(shortcuts(keys()));
}

export default {
  id: 'reading',
  office: true,
  needsExam: true,
  title: () => T.navReading,
  keys,
  async show(root, ctx) {
    state.context = ctx;
    state.exam = ctx.exam;
    state.stations = new Map();
    state.typed = null;
    build(root);
    state.vocabulary = await api('/api/vocabulary' + examQuery(state.exam));
    await Promise.all([load(), lookAgain(false)]);
    renderReaders();
    follow();
  },
  hide() {
    if (state.follow) state.follow.abort();
    state.follow = null;
    clearTimeout(state.progressTimer);
    state.progressTimer = 0;
  },
  onKey(event) {
    switch (event.key) {
      case 's': {
        const start = document.querySelector('#reader-rows button.primary');
        if (start) start.click();
        return !!start;
      }
      case 'x': {
        // One station reading: it stops; several: the first one's Stop takes the focus.
        const running = [...state.stations.values()].filter(stoppable);
        if (running.length === 1) stopStation(running[0]);
        else if (running.length > 1) document.querySelector('#station-list button:not([hidden])').focus();
        return running.length > 0;
      }
      case 'l': lookAgain(true); return true;
      case 't': openTyped().catch((e) => say(e.message, true)); return true;
      default: return false;
    }
  },
};

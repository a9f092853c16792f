// The review page: the queue of doubtful sheets, one sheet at a time, the
// keyboard first. Every text from the server is put in with textContent;
// nothing is kept that the server does not also have, except the reviewer's
// name (localStorage), the access token (sessionStorage: this tab only, sent
// as a bearer header, never a cookie) and where this reviewer is.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const NAME_KEY = 'omr-review-name';
  const TOKEN_KEY = 'omr-review-token';
  const T = window.OMR_TEXT;
  // The server's words (/api/vocabulary, read at start): every review
  // reason with how a person is told it and which correction settles it.
  let vocabulary = null;
  const reasonInfo = (code) => vocabulary.reasons.find((r) => r.code === code) || { code, words: code, question: false, keep: false };
  // In the page's language when its catalog has the server's words for the
  // reason, else those words.
  const reasonWords = (code) => {
    const words = reasonInfo(code).words;
    return (T.reasonWords && T.reasonWords[words]) || words;
  };

  // Opened from the office: the exam is named in the address and goes with
  // every request.
  const EXAM = (() => {
    const given = new URLSearchParams(location.search);
    const out = new URLSearchParams();
    if (given.has('exam')) {
      out.set('project', given.get('project') || '');
      out.set('exam', given.get('exam'));
    }
    return out.toString();
  })();
  const at = (path) => (EXAM ? path + (path.includes('?') ? '&' : '?') + EXAM : path);

  const state = {
    name: '',
    queue: null,
    filter: '',
    sheet: null,
    focus: null, // "12" (a question), "id", "version" or "sheet"
    pending: null, // the answer typed, not stored yet
    skipped: new Set(), // sheets passed by while still waiting
    mine: [], // corrections made here, the latest last: what Backspace undoes
    zoom: 3,
    cells: new Map(), // "line,column" -> the option cell there
    chain: Promise.resolve(),
    actions: 0,
    suggestions: [],
    chosen: -1,
    heldBy: null, // another reviewer who has the open sheet open too
    hold: 0, // seconds a claim lasts unless renewed (the server says)
    renewTimer: 0,
    token: '',
    toggle: false, // "*" pressed: the next letter adds or removes that option
  };

  // ---------------------------------------------------------------- helpers

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }

  let messageTimer = 0;
  function say(text, isError) {
    const m = $('message');
    m.textContent = text;
    m.className = 'shown' + (isError ? ' error' : '');
    clearTimeout(messageTimer);
    messageTimer = setTimeout(() => { m.className = ''; }, isError ? 8000 : 3000);
  }

  function request(body, extra) {
    const init = { credentials: 'omit', cache: 'no-store', headers: { Authorization: 'Bearer ' + state.token }, ...extra };
    if (body !== undefined) {
      init.method = 'POST';
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    return init;
  }

  function clearError() {
    const m = $('message');
    if (m.classList.contains('error')) {
      clearTimeout(messageTimer);
      m.className = '';
      m.textContent = '';
    }
  }

  // Without its token the page shows only how to get in.
  function noToken() {
    state.token = '';
    try {
      sessionStorage.removeItem(TOKEN_KEY);
    } catch (e) {
      // nothing kept
    }
    const note = $('no-token');
    note.hidden = false;
    $('name-dialog').close();
    document.querySelector('main').hidden = true;
    document.body.dataset.state = 'idle';
  }

  async function api(path, body) {
    const res = await fetch(at(path), request(body));
    if (res.status === 401) noToken();
    let data = null;
    try {
      data = await res.json();
    } catch (e) {
      data = null;
    }
    if (!res.ok) {
      const error = new Error(data && data.error ? data.error : T.http(res.status));
      error.status = res.status;
      throw error;
    }
    return data;
  }

  // Actions run one after the other, in the order of the keys.
  function act(action) {
    state.actions += 1;
    document.body.dataset.state = 'busy';
    state.chain = state.chain
      .then(action)
      .catch((e) => say(e.message || String(e), true))
      .then(() => {
        state.actions -= 1;
        if (state.actions === 0) document.body.dataset.state = 'idle';
      });
    return state.chain;
  }

  function percent(x) {
    return Math.round(x * 100) + ' %';
  }

  function number(x) {
    return Number.isInteger(x) ? String(x) : String(Math.round(x * 100) / 100);
  }

  function summarize(reasons) {
    const parts = new Map();
    for (const r of reasons) {
      const words = reasonWords(r.reason);
      if (!parts.has(words)) parts.set(words, []);
      if (r.question) parts.get(words).push('q' + r.question);
    }
    return [...parts].map(([w, qs]) => (qs.length ? w + ' ' + qs.join(' ') : w)).join('; ');
  }

  // ------------------------------------------------------------------ queue

  async function loadQueue() {
    const params = new URLSearchParams();
    if (state.filter) params.set('reason', state.filter);
    if (state.name) params.set('by', state.name);
    const query = params.toString();
    state.queue = await api('/api/queue' + (query ? '?' + query : ''));
    renderQueue();
  }

  function renderQueue() {
    const q = state.queue;
    if (!q) return;
    $('exam-title').textContent = T.review(q.title || q.exam);
    document.title = T.review(q.title || q.exam);
    const done = q.progress.reviewed;
    const all = q.progress.to_review;
    const share = all ? (100 * done) / all : 100;
    $('progress-fill').style.width = share + '%';
    $('progress').setAttribute('aria-valuenow', String(Math.round(share)));
    $('progress-text').textContent = T.progress(done, all, q.progress.waiting);

    const select = $('reason-filter');
    clear(select);
    const every = el('option', null, T.everyReason(q.progress.waiting));
    every.value = '';
    select.appendChild(every);
    for (const [reason, count] of Object.entries(q.counts)) {
      if (!count && reason !== state.filter) continue;
      const o = el('option', null, T.reasonCount(reasonWords(reason), count));
      o.value = reason;
      select.appendChild(o);
    }
    select.value = state.filter;

    const list = $('queue');
    clear(list);
    for (const entry of q.entries) {
      const li = el('li');
      li.dataset.sheet = String(entry.sheet);
      if (state.sheet && state.sheet.sheet === entry.sheet) li.className = 'current';
      if (entry.held_by) li.classList.add('held');
      const b = el('button');
      b.type = 'button';
      b.tabIndex = -1;
      const sure = el('span', 'confidence', T.confidence(percent(entry.confidence)));
      sure.title = T.confidenceHelp;
      b.appendChild(sure);
      b.appendChild(el('span', 'number', T.sheetInQueue(entry.sheet)));
      const who = entry.student_id ? entry.student_id + (entry.name ? ' ' + entry.name : '') : '';
      b.appendChild(el('span', 'who', who));
      b.appendChild(el('span', 'why', summarize(entry.reasons)));
      if (entry.held_by) b.appendChild(el('span', 'holder', T.hasItOpen(entry.held_by)));
      b.addEventListener('click', () => act(() => openSheet(entry.sheet)));
      li.appendChild(b);
      list.appendChild(li);
    }
    const more = q.matched - q.entries.length;
    $('queue-more').textContent = q.entries.length === 0 ? T.nothingWaitingQueue
      : more > 0 ? T.moreNotShown(more) : '';
  }

  // The next sheet nobody else has open; `held` counts those passed by for that.
  function nextInQueue(counts) {
    if (!state.queue) return null;
    const current = state.sheet ? state.sheet.sheet : 0;
    for (const e of state.queue.entries) {
      if (e.sheet === current || state.skipped.has(e.sheet)) continue;
      if (!e.held_by) return e.sheet;
      if (counts) counts.held += 1;
    }
    return null;
  }

  function nothingLeft(counts) {
    if (counts.held) {
      say(T.nothingForYou(counts.held));
    } else {
      say(T.nothingMore(state.skipped.size > 0));
    }
  }

  // ----------------------------------------------------------------- claims

  // Holds the open sheet for this reviewer (or renews it); says who else has it.
  async function claim() {
    if (!state.sheet || !state.name) return;
    const number = state.sheet.sheet;
    const answer = await api('/api/claims', { sheet: number, by: state.name });
    if (!state.sheet || state.sheet.sheet !== number) return;
    state.heldBy = answer.yours ? null : answer.held_by;
    if (answer.hold && answer.hold !== state.hold) {
      state.hold = answer.hold;
      scheduleRenewal();
    }
    renderHeld();
  }

  function scheduleRenewal() {
    clearInterval(state.renewTimer);
    // Well inside the claim's time, at most a minute apart.
    const every = Math.max(250, Math.min(60000, (state.hold * 1000) / 3));
    state.renewTimer = setInterval(() => {
      if (state.sheet && state.actions === 0) claim().catch(() => {});
    }, every);
  }

  function release(name, sheet) {
    if (!name || !sheet) return;
    fetch(at('/api/claims'), request({ sheet, by: name, release: true }, { keepalive: true })).catch(() => {});
  }

  function renderHeld() {
    const note = $('sheet-held');
    note.textContent = state.heldBy
      ? T.openToo(state.heldBy)
      : '';
    note.hidden = !state.heldBy;
  }

  // ------------------------------------------------------------------ sheet

  function question(target) {
    if (!state.sheet || !/^[0-9]+$/.test(target || '')) return null;
    return state.sheet.questions.find((q) => String(q.question) === target) || null;
  }

  // The order steps are taken in: the ID, the version, the questions, the sheet itself.
  function rank(target) {
    if (target === 'id') return 0;
    if (target === 'version') return 1;
    if (target === 'sheet') return 1e9;
    return 1 + Number(target);
  }

  function steps() {
    const s = state.sheet;
    if (!s) return [];
    const settled = new Set(s.reasons.map((r) => reasonInfo(r.reason).settled_by));
    const out = [];
    if (settled.has('id')) out.push('id');
    if (settled.has('version')) out.push('version');
    const qs = [...new Set(s.reasons.filter((r) => r.question > 0).map((r) => r.question))].sort((a, b) => a - b);
    for (const q of qs) out.push(String(q));
    if (settled.has('sheet')) out.push('sheet');
    return out;
  }

  async function openSheet(number, focus) {
    const data = await api('/api/sheets/' + number);
    const same = state.sheet && state.sheet.sheet === data.sheet;
    state.sheet = data;
    if (!same) state.heldBy = null;
    state.pending = null;
    state.cells = new Map();
    for (const q of data.questions) {
      for (const c of q.cells) state.cells.set(c.line + ',' + c.column, { q: q.question, cell: c });
    }
    if (focus !== undefined) state.focus = focus;
    else if (!same) state.focus = steps()[0] || (data.questions[0] ? String(data.questions[0].question) : 'sheet');
    if (location.hash !== '#' + data.sheet) history.replaceState(null, '', '#' + data.sheet);
    renderSheet(!same);
    renderQueue();
    // Opening a sheet, and every reload after a correction, renews the claim.
    await claim();
  }

  function renderSheet(fresh) {
    const s = state.sheet;
    document.body.dataset.sheet = String(s.sheet);
    const readAt = s.read_at.replace('T', ' ').replace('Z', ' UTC');
    $('sheet-title').textContent = s.source === 'typed' ? T.typedSheetTitle(s, readAt) : T.sheetTitle(s, readAt);
    let student = s.student_id ? T.student(s.student_id) : T.noStudent;
    if (s.id_state === 'invalid') student += T.invalid;
    if (s.name) student += ' · ' + s.name;
    if (s.version) student += T.version(s.version);
    if (s.part) student += T.part(s.part);
    $('sheet-student').textContent = student;
    let score = s.voided ? T.voided : s.scored
      ? T.score(number(s.total), number(s.maximum), s.percent === null ? null : number(s.percent))
      : s.code ? T.notRead(s.code) : T.notScored;
    if (s.kept) score += T.kept;
    $('sheet-score').textContent = score;
    const reasons = $('sheet-reasons');
    clear(reasons);
    for (const r of s.reasons) {
      let text = reasonWords(r.reason);
      if (r.question) text += T.atQuestion(r.question);
      if (r.detail) text += ': ' + r.detail;
      reasons.appendChild(el('li', null, text));
    }
    if (!s.reasons.length) reasons.appendChild(el('li', null, T.nothingLeft));

    $('picture').hidden = !s.grid;
    $('picture-note').textContent = s.grid ? T.pictureNote : s.source === 'typed' ? T.typedNoPicture : T.noPicture;
    if (fresh) state.drawn = '';
    renderCorrections();
    renderQuestions();
    renderFocus();
  }

  function renderCorrections() {
    const list = $('corrections');
    clear(list);
    const s = state.sheet;
    for (const c of s.corrections) {
      const li = el('li', c.undone_by ? 'undone' : c.state);
      li.dataset.id = String(c.id);
      const what = /^[0-9]+$/.test(c.target) ? 'q' + c.target : c.target;
      const from = c.old === null ? T.asRead : c.old === '' ? T.blank : c.old;
      const to = c.new === null ? T.asRead : c.new === '' ? T.blank : c.new;
      li.appendChild(el('span', 'change', what + ': ' + from + ' → ' + to));
      li.appendChild(document.createTextNode(' · ' + c.author + ' · ' + c.made_at.replace('T', ' ').replace('Z', '')));
      if (c.reason) {
        li.appendChild(document.createTextNode(' · '));
        li.appendChild(el('span', 'quoted', c.reason));
      }
      let state_ = c.state === 'counts' ? T.stateCounts : c.state === 'withdrawal' ? T.stateReading : T.stateOverridden;
      if (c.undoes) state_ += T.undoes(c.undoes);
      if (c.undone_by) state_ += T.undoneBy(c.undone_by);
      if (c.old !== null && c.new !== null && c.old === c.new && !c.undoes) state_ += T.confirms;
      li.appendChild(document.createTextNode(' · '));
      li.appendChild(el('span', 'state', state_));
      list.appendChild(li);
    }
    if (!s.corrections.length) list.appendChild(el('li', 'none', T.none));
  }

  function shownValue(v) {
    return v === null || v === undefined ? '' : v === '' ? T.blank : v;
  }

  function readOf(q) {
    return q.role === 'item' || q.role === '' ? q.read : q.character;
  }

  function renderQuestions() {
    const body = $('question-rows');
    clear(body);
    for (const q of state.sheet.questions) {
      if (!q.role) continue;
      const tr = el('tr');
      tr.dataset.question = String(q.question);
      const classes = [];
      if (q.reasons.length) classes.push('waiting');
      if (q.value !== null) classes.push('corrected');
      if (state.focus === String(q.question)) classes.push('focus');
      tr.className = classes.join(' ');
      const label = q.role === 'item' ? q.question + (q.item ? ' (' + q.item + ')' : '') : q.question + ' ' + q.role;
      tr.appendChild(el('td', null, label));
      tr.appendChild(el('td', null, shownValue(readOf(q)) || T.blank));
      tr.appendChild(el('td', null, shownValue(q.value)));
      tr.appendChild(el('td', null, percent(q.confidence)));
      tr.appendChild(el('td', null, q.reasons.map(reasonWords).join(', ')));
      tr.addEventListener('click', () => act(async () => { setFocus(String(q.question)); }));
      body.appendChild(tr);
    }
  }

  function setFocus(target) {
    state.focus = target;
    state.pending = null;
    state.toggle = false;
    renderQuestions();
    renderFocus();
  }

  // The cells a target covers, for the zoom.
  function cellsOf(target) {
    const s = state.sheet;
    if (target === 'id') return s.questions.filter((q) => s.exam.student_questions.includes(q.question)).flatMap((q) => q.cells);
    if (target === 'version') {
      const vq = s.questions.find((q) => q.question === s.exam.version_question);
      return vq ? vq.cells : [];
    }
    const q = question(target);
    return q ? q.cells : [];
  }

  function renderFocus() {
    const s = state.sheet;
    if (!s) return;
    const target = state.focus;
    const q = question(target);
    const title = $('current-title');
    const read = $('current-read');
    const value = $('current-value');
    const hint = $('current-hint');
    const cellsBox = $('current-cells');
    clear(cellsBox);
    $('id-box').className = target === 'id' ? 'active' : '';
    if (q) {
      const role = q.role === 'item' ? T.roles.item + (q.item ? ' ' + q.item : '') : T.roles[q.role] || T.roles[''];
      title.textContent = T.questionTitle(q.question, role);
      let text = T.read(shownValue(readOf(q)) || T.blank) + T.confidenceOf(percent(q.confidence));
      if (q.doubt.length) text += ' · ' + q.doubt.join(', ');
      if (q.reasons.length) text += ' · ' + q.reasons.map(reasonWords).join(', ');
      read.textContent = text;
      value.textContent = q.value !== null ? T.correctedTo(shownValue(q.value)) : '';
      for (const c of q.cells) {
        const box = el('div', 'cell' + (c.marked ? ' marked' : '') + (c.doubt.length ? ' doubt' : ''));
        const grey = c.value < 0 ? 255 : 255 - 17 * c.value;
        box.style.background = 'rgb(' + grey + ',' + grey + ',' + grey + ')';
        box.style.color = c.value >= 8 ? '#fff' : '#000';
        box.appendChild(el('span', 'label', c.label));
        box.appendChild(el('span', null, c.value < 0 ? T.off : String(c.value)));
        box.title = T.cellHelp(c);
        cellsBox.appendChild(box);
      }
      hint.textContent = q.role === 'item' ? T.itemHint(q.options.split('').join(' ')) : T.characterHint;
    } else if (target === 'id') {
      title.textContent = T.studentId;
      read.textContent = T.read((s.student_id || T.nothing) + (s.id_state === 'invalid' ? T.invalid : '') +
        (s.name ? ' · ' + s.name : ''));
      value.textContent = s.targets.id !== null ? T.typed(s.targets.id) : '';
      hint.textContent = T.idHint;
    } else if (target === 'version') {
      title.textContent = T.versionTitle;
      read.textContent = T.versionRead(s.version, s.exam.versions.join(', '));
      value.textContent = s.targets.version !== null ? T.correctedTo(s.targets.version) : '';
      hint.textContent = T.versionHint;
    } else {
      title.textContent = T.sheetWhole;
      read.textContent = summarize(s.reasons.filter((r) => !reasonInfo(r.reason).question)) || T.nothing;
      value.textContent = s.targets.sheet !== null ? T.setTo(s.targets.sheet) : '';
      hint.textContent = s.code ? T.notReadHint : T.sheetHint;
    }
    $('pending').textContent = state.toggle ? T.toggleAsk
      : state.pending === null ? '' : T.pending(shownValue(state.pending) || T.blank);
    document.body.dataset.focus = target || '';
    placeFocusBox(target);
  }

  // Where a cell is drawn, unzoomed: the sheet as it lies on the desk, line 1
  // (the edge read last) at the top, so question numbers run as printed.
  function cellBox(line, column) {
    const p = state.sheet.picture;
    return { x: p.margin + (column - 1) * p.cell, y: (line - 1) * p.cell };
  }

  // The grey value the reader sent for a cell (grid rows come last line first).
  function greyAt(line, column) {
    const g = state.sheet.grid;
    return parseInt(g.cells[(g.lines - line) * g.columns + column - 1], 16);
  }

  // The sheet from its grid: every cell in its own grey (a faint mark looks
  // faint), each option's decision as an outline, line numbers in the margin.
  function drawPicture() {
    const s = state.sheet;
    const key = s.sheet + ':' + state.zoom + ':' + s.grid.cells + ':' + s.questions.map((q) => q.cells.map((c) => c.marked ? 1 : 0).join('')).join();
    if (state.drawn === key) return;
    state.drawn = key;
    const canvas = $('picture');
    const p = s.picture;
    const z = state.zoom;
    canvas.width = p.width * z;
    canvas.height = p.height * z;
    canvas.style.width = p.width * z + 'px';
    canvas.style.height = p.height * z + 'px';
    const g = canvas.getContext('2d');
    g.fillStyle = '#fff';
    g.fillRect(0, 0, canvas.width, canvas.height);
    const size = p.cell * z;
    for (let line = 1; line <= s.grid.lines; line++) {
      for (let column = 1; column <= s.grid.columns; column++) {
        const level = 255 - 17 * greyAt(line, column);
        const b = cellBox(line, column);
        g.fillStyle = 'rgb(' + level + ',' + level + ',' + level + ')';
        g.fillRect(b.x * z + 1, b.y * z + 1, size - 2, size - 2);
      }
      if (line % 5 === 0 || line === 1) {
        g.fillStyle = '#555';
        g.font = Math.max(8, Math.round(3.2 * z)) + 'px sans-serif';
        g.textBaseline = 'middle';
        g.fillText(String(line), 2, (line - 0.5) * size);
      }
    }
    for (const q of s.questions) {
      for (const c of q.cells) {
        if (c.value < 0) continue;
        const b = cellBox(c.line, c.column);
        g.lineWidth = c.marked ? Math.max(2, z) : 1;
        g.strokeStyle = c.marked ? '#d21f1f' : c.doubt.length ? '#f08a00' : '#8ea3c7';
        g.setLineDash(c.doubt.length && !c.marked ? [3, 2] : []);
        g.strokeRect(b.x * z + 1.5, b.y * z + 1.5, size - 3, size - 3);
        if (size >= 24) {
          g.setLineDash([]);
          g.fillStyle = c.value >= 8 ? '#fff' : '#1d2330';
          g.font = Math.round(size / 2.4) + 'px sans-serif';
          g.textAlign = 'center';
          g.textBaseline = 'middle';
          g.fillText(c.label, b.x * z + size / 2, b.y * z + size / 2);
          g.textAlign = 'start';
        }
      }
    }
  }

  function placeFocusBox(target) {
    const s = state.sheet;
    const box = $('focus-box');
    const frame = $('picture-frame');
    $('zoom-text').textContent = state.zoom + '×';
    if (!s.grid || !s.picture) {
      box.style.display = 'none';
      return;
    }
    drawPicture();
    const view = $('picture-box');
    // Room around the sheet, so that even a question at its edge can be centred.
    const padX = Math.round(view.clientWidth / 2);
    const padY = Math.round(view.clientHeight / 2);
    frame.style.padding = padY + 'px ' + padX + 'px';
    const z = state.zoom;
    const cells = cellsOf(target).filter((c) => c.value >= 0);
    if (!cells.length) {
      box.style.display = 'none';
      return;
    }
    const cell = s.picture.cell;
    const boxes = cells.map((c) => cellBox(c.line, c.column));
    const left = Math.min(...boxes.map((b) => b.x)) - 2;
    const top = Math.min(...boxes.map((b) => b.y)) - 2;
    const right = Math.max(...boxes.map((b) => b.x)) + cell + 2;
    const bottom = Math.max(...boxes.map((b) => b.y)) + cell + 2;
    box.style.display = 'block';
    box.style.left = padX + left * z + 'px';
    box.style.top = padY + top * z + 'px';
    box.style.width = (right - left) * z + 'px';
    box.style.height = (bottom - top) * z + 'px';
    view.scrollLeft = padX + ((left + right) / 2) * z - view.clientWidth / 2;
    view.scrollTop = padY + ((top + bottom) / 2) * z - view.clientHeight / 2;
  }

  function showCell(event) {
    const s = state.sheet;
    const tip = $('cell-tip');
    if (!s || !s.picture || !s.grid) {
      tip.style.display = 'none';
      return;
    }
    const rect = $('picture').getBoundingClientRect();
    const x = (event.clientX - rect.left) / state.zoom;
    const y = (event.clientY - rect.top) / state.zoom;
    const column = Math.floor((x - s.picture.margin) / s.picture.cell) + 1;
    const line = Math.floor(y / s.picture.cell) + 1;
    if (column < 1 || column > s.grid.columns || line < 1 || line > s.grid.lines) {
      tip.style.display = 'none';
      return;
    }
    let text = T.cellTip(line, column, greyAt(line, column));
    const hit = state.cells.get(line + ',' + column);
    if (hit) {
      text += T.cellTipOption(hit.q, hit.cell);
      if (hit.cell.doubt.length) text += ' · ' + hit.cell.doubt.join(', ');
    }
    tip.textContent = text;
    tip.style.display = 'block';
    tip.style.left = event.clientX + 14 + 'px';
    tip.style.top = event.clientY + 14 + 'px';
  }

  // ------------------------------------------------------------ corrections

  async function correct(target, value) {
    const reasonInput = $('reason-input');
    const body = { sheet: state.sheet.sheet, target, value, author: state.name, reason: reasonInput.value };
    const made = await api('/api/corrections', body);
    state.mine.push({ sheet: state.sheet.sheet, id: made.correction.id, target });
    reasonInput.value = '';
    clearError();
  }

  // After a change: the sheet and the queue as the server has them now.
  async function reload() {
    await openSheet(state.sheet.sheet, state.focus);
    await loadQueue();
  }

  async function goOn(from) {
    const after = steps().filter((t) => rank(t) > rank(from));
    if (after.length) {
      setFocus(after[0]);
      if (after[0] === 'id') $('id-input').focus();
      return;
    }
    await nextSheet();
  }

  async function nextSheet() {
    if (state.sheet && state.sheet.reasons.length) state.skipped.add(state.sheet.sheet);
    await loadQueue();
    const counts = { held: 0 };
    const next = nextInQueue(counts);
    if (next === null) {
      nothingLeft(counts);
      return;
    }
    await openSheet(next);
    if (state.focus === 'id') $('id-input').focus();
  }

  function sameAnswer(a, b) {
    return (a || '') === (b || '');
  }

  async function accept() {
    const s = state.sheet;
    if (!s) return nextSheet();
    const from = state.focus;
    const q = question(from);
    if (q) {
      const now = q.value !== null ? q.value : readOf(q);
      let value = null;
      if (state.pending !== null) {
        if (!sameAnswer(state.pending, now) || q.reasons.length) value = state.pending;
      } else if (q.reasons.length) {
        if (q.role !== 'item' && (now === '.' || now === '>' || now === '?')) {
          say(T.typeCharacter(q.question), true);
          return;
        }
        value = now; // the reading is right: a correction that confirms it
      }
      if (value !== null) {
        await correct(String(q.question), q.role === 'item' && value === '' ? '-' : value);
        await reload();
      }
      return goOn(from);
    }
    if (from === 'version') {
      if (state.pending === null) {
        say(T.typeVersion(s.exam.versions.join(', ')), true);
        return;
      }
      await correct('version', state.pending);
      await reload();
      return goOn(from);
    }
    if (from === 'sheet') {
      let value = state.pending;
      if (value === null && !s.code && s.reasons.some((r) => reasonInfo(r.reason).keep)) value = 'keep';
      if (value !== null) {
        await correct('sheet', value);
        await reload();
      }
      return goOn(from);
    }
    if (from === 'id') return storeId();
    return goOn(from);
  }

  async function storeId() {
    const s = state.sheet;
    const input = $('id-input');
    const chosen = state.chosen >= 0 ? state.suggestions[state.chosen] : null;
    const typed = chosen ? chosen.id : input.value.trim();
    // Reasons about the ID: some a typed ID alone settles, the others keeping the sheet does too.
    const about = s.reasons.map((r) => reasonInfo(r.reason)).filter((r) => r.settled_by === 'id');
    const mustType = about.some((r) => !r.keep);
    if (typed) {
      await correct('id', typed);
    } else if (!mustType && about.length) {
      await correct('sheet', 'keep');
    } else if (mustType) {
      say(T.typeId, true);
      return;
    }
    input.value = '';
    showSuggestions([]);
    input.blur();
    await reload();
    return goOn('id');
  }

  // The latest correction made on this page, else this reviewer's latest on
  // the sheet shown.
  async function undoLast() {
    let last = state.mine.pop();
    if (!last && state.sheet) {
      const s = state.sheet;
      const mine = s.corrections.filter((c) => c.author === state.name && c.undoes === null && c.undone_by === null);
      const c = mine[mine.length - 1];
      if (c) last = { sheet: s.sheet, id: c.id, target: c.target };
    }
    if (!last) {
      say(T.nothingToUndo, true);
      return;
    }
    const done = await api('/api/undo', { sheet: last.sheet, correction: last.id, author: state.name, reason: '' });
    await openSheet(last.sheet, last.target);
    await loadQueue();
    const back = done.correction.new;
    say(T.undone(/^[0-9]+$/.test(last.target) ? T.question(last.target) : last.target,
      back === null ? T.asRead : shownValue(back) || T.blank));
  }

  // ------------------------------------------------------------------- keys

  // A letter sets that option, with Shift or without; after "*" it adds or
  // removes it (several marks).
  function typeKey(key, toggle) {
    const s = state.sheet;
    if (!s) return false;
    const target = state.focus;
    if (target === 'id') {
      const input = $('id-input');
      input.focus();
      input.value += key;
      lookUp();
      return true;
    }
    if (target === 'version') {
      const v = s.exam.versions.find((n) => n.toLowerCase() === key.toLowerCase());
      if (!v) {
        say(T.noVersion(key, s.exam.versions.join(', ')), true);
        return true;
      }
      state.pending = v;
      renderFocus();
      return true;
    }
    if (target === 'sheet') {
      if (key.toLowerCase() === 'k') {
        state.pending = 'keep';
        renderFocus();
        return true;
      }
      return false;
    }
    const q = question(target);
    if (!q) return false;
    if (q.role !== 'item') {
      if (key.length !== 1 || key <= ' ' || key > '~') return false;
      state.pending = key;
      renderFocus();
      return true;
    }
    let label = null;
    if (q.options.includes(key)) label = key;
    else {
      const other = key === key.toUpperCase() ? key.toLowerCase() : key.toUpperCase();
      if (q.options.includes(other)) label = other;
    }
    if (label === null) return false;
    if (toggle) {
      const base = state.pending !== null ? state.pending : q.value !== null ? q.value : q.read;
      const set = new Set(base.split(''));
      if (set.has(label)) set.delete(label);
      else set.add(label);
      state.pending = q.options.split('').filter((o) => set.has(o)).join('');
    } else {
      state.pending = label;
    }
    renderFocus();
    return true;
  }

  function moveQuestion(step) {
    const s = state.sheet;
    if (!s) return;
    const used = s.questions.filter((q) => q.role);
    if (!used.length) return;
    const at = used.findIndex((q) => String(q.question) === state.focus);
    const next = at < 0 ? (step > 0 ? 0 : used.length - 1) : Math.min(Math.max(at + step, 0), used.length - 1);
    setFocus(String(used[next].question));
  }

  async function moveSheet(step) {
    if (!state.queue || !state.queue.entries.length) return;
    const entries = state.queue.entries;
    const at = state.sheet ? entries.findIndex((e) => e.sheet === state.sheet.sheet) : -1;
    const next = at < 0 ? (step > 0 ? 0 : entries.length - 1) : at + step;
    if (next < 0 || next >= entries.length) {
      say(step > 0 ? T.lastSheet : T.firstSheet);
      return;
    }
    await openSheet(entries[next].sheet);
  }

  function zoomBy(step) {
    state.zoom = Math.min(8, Math.max(1, state.zoom + step));
    if (state.sheet) placeFocusBox(state.focus);
  }

  function dialogOpen() {
    return $('name-dialog').open || $('help-dialog').open;
  }

  function toggleHelp() {
    const d = $('help-dialog');
    if (d.open) d.close();
    else d.showModal();
  }

  // What is on screen: a key applies to the question shown when it was
  // pressed, never to one that came up after.
  function view() {
    return state.sheet ? state.sheet.sheet + ':' + state.focus : '';
  }

  // Runs `action` for a key pressed on `seen`, unless the page has moved on
  // since: then the key is dropped, and the page says so.
  function actOn(seen, key, action) {
    act(async () => {
      if (view() !== seen) {
        say(T.keyNotUsed(key), true);
        return;
      }
      await action();
    });
  }

  // Keys that work in the ID field too (it takes letters and digits only).
  function fieldShortcut(event) {
    switch (event.key) {
      case '?': toggleHelp(); return true;
      case '/': $('reason-input').focus(); return true;
      case '+': case '=': zoomBy(1); return true;
      case '-': zoomBy(-1); return true;
      default: return false;
    }
  }

  function onKey(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if ($('help-dialog').open) {
      if (event.key === '?' || event.key === 'Escape') {
        event.preventDefault();
        $('help-dialog').close();
      }
      return;
    }
    if (dialogOpen() || !state.token) return;
    const t = event.target;
    if (t instanceof HTMLInputElement || t instanceof HTMLSelectElement || t instanceof HTMLTextAreaElement) return;
    // Enter and Space on a link or button (the office, the report, a queued sheet) do what it does.
    if ((event.key === 'Enter' || event.key === ' ') && t.closest && t.closest('a,button,summary')) return;
    const seen = view();
    let handled = true;
    switch (event.key) {
      case '?': toggleHelp(); break;
      case 'Enter': actOn(seen, 'Enter', accept); break;
      case ' ': actOn(seen, ' ', async () => { setPendingBlank(); }); break;
      case 'Backspace': act(undoLast); break;
      case 'ArrowDown': act(async () => moveQuestion(1)); break;
      case 'ArrowUp': act(async () => moveQuestion(-1)); break;
      case 'ArrowRight': act(() => moveSheet(1)); break;
      case 'ArrowLeft': act(() => moveSheet(-1)); break;
      case 'Escape': act(async () => { state.pending = null; state.toggle = false; renderFocus(); }); break;
      case 'Delete': actOn(seen, 'Delete', async () => { if (state.sheet) { state.focus = 'sheet'; state.pending = 'void'; renderQuestions(); renderFocus(); } }); break;
      case '#': act(async () => { if (state.sheet) { setFocus('id'); $('id-input').focus(); } }); break;
      case '*': actOn(seen, '*', async () => { state.toggle = true; renderFocus(); }); break;
      case '/': $('reason-input').focus(); break;
      case '+': case '=': zoomBy(1); break;
      case '-': zoomBy(-1); break;
      default: {
        if (event.key.length !== 1) {
          handled = false;
          break;
        }
        const key = event.key;
        actOn(seen, key, async () => {
          const toggle = state.toggle;
          state.toggle = false;
          if (!typeKey(key, toggle)) say(T.noOption(key), true);
        });
      }
    }
    if (handled) event.preventDefault();
  }

  function setPendingBlank() {
    const q = question(state.focus);
    if (!q || q.role !== 'item') {
      say(T.spaceBlank, true);
      return;
    }
    state.pending = '';
    renderFocus();
  }

  // ------------------------------------------------------- the student ID

  let lookUpTimer = 0;
  function lookUp() {
    clearTimeout(lookUpTimer);
    lookUpTimer = setTimeout(async () => {
      const typed = $('id-input').value.trim();
      if (!typed) {
        showSuggestions([]);
        return;
      }
      try {
        const r = await api('/api/roster?q=' + encodeURIComponent(typed));
        if ($('id-input').value.trim() === typed) showSuggestions(r.matches);
      } catch (e) {
        say(e.message, true);
      }
    }, 120);
  }

  function showSuggestions(matches) {
    state.suggestions = matches;
    state.chosen = -1;
    const list = $('id-suggestions');
    clear(list);
    matches.forEach((m, i) => {
      const fields = Object.values(m.fields).filter((f) => f).join(', ');
      const li = el('li', null, m.id + (fields ? ' · ' + fields : ''));
      li.dataset.id = m.id;
      li.addEventListener('mousedown', (e) => {
        e.preventDefault();
        state.chosen = i;
        act(storeId);
      });
      list.appendChild(li);
    });
  }

  // -1 (what was typed) and the suggestions, in a ring.
  function choose(step) {
    const n = state.suggestions.length;
    if (!n) return;
    state.chosen = ((state.chosen + 1 + step + n + 1) % (n + 1)) - 1;
    [...$('id-suggestions').children].forEach((li, i) => { li.className = i === state.chosen ? 'chosen' : ''; });
  }

  function onIdKey(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key.length === 1 && !/^[0-9A-Za-z]$/.test(event.key)) {
      // "#" (the key that brings the field), "?" and the others: never typed.
      event.preventDefault();
      fieldShortcut(event);
      return;
    }
    if (event.key === 'Enter') {
      event.preventDefault();
      act(async () => {
        if (state.focus !== 'id') setFocus('id');
        await storeId();
      });
    } else if (event.key === 'Escape') {
      event.preventDefault();
      $('id-input').value = '';
      showSuggestions([]);
      $('id-input').blur();
    } else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
      event.preventDefault();
      choose(event.key === 'ArrowDown' ? 1 : -1);
    }
  }

  // ------------------------------------------------------------------ name

  function askName() {
    const d = $('name-dialog');
    $('name-input').value = state.name;
    d.showModal();
    $('name-input').focus();
  }

  function saveName() {
    const name = $('name-input').value.trim();
    if (!name) {
      $('name-input').focus();
      return;
    }
    if (state.name !== name && state.sheet) release(state.name, state.sheet.sheet);
    state.name = name;
    if (state.sheet && !firstLoad) act(claim);
    try {
      localStorage.setItem(NAME_KEY, name);
    } catch (e) {
      say(T.noName, true);
    }
    $('reviewer-name').textContent = name;
    $('name-dialog').close();
    if (firstLoad) {
      act(firstLoad);
      firstLoad = null;
    }
  }

  // The first sheet waits for the reviewer's name: which sheets are others' depends on it.
  let firstLoad = null;

  // ----------------------------------------------------------------- start

  // The token of the first address goes to this tab's session storage and
  // leaves the address bar (and the history) at once.
  function takeToken() {
    const params = new URLSearchParams(location.search);
    let token = params.get('token') || '';
    try {
      if (token) sessionStorage.setItem(TOKEN_KEY, token);
      else token = sessionStorage.getItem(TOKEN_KEY) || '';
    } catch (e) {
      // no session storage: the token lives as long as the page
    }
    if (params.has('token')) {
      params.delete('token');
      const rest = params.toString();
      history.replaceState(null, '', location.pathname + (rest ? '?' + rest : '') + location.hash);
    }
    state.token = token;
    return token !== '';
  }

  async function openReport(event) {
    event.preventDefault();
    const tab = window.open('about:blank', '_blank');
    try {
      const ticket = await api('/api/tickets', { path: '/report' });
      if (tab) {
        tab.opener = null;
        tab.location.href = at(ticket.url);
      }
      else window.open(at(ticket.url), '_blank');
    } catch (e) {
      if (tab) tab.close();
      say(e.message, true);
    }
  }

  function fillHelp() {
    const rows = $('help-rows');
    clear(rows);
    for (const [key, text] of T.helpRows) {
      const tr = el('tr');
      tr.appendChild(el('th', null, key));
      tr.appendChild(el('td', null, text));
      rows.appendChild(tr);
    }
  }

  async function start() {
    fillHelp();
    window.OMR_I18N.switcher($('language'));
    if (EXAM) {
      const office = $('office-link');
      office.hidden = false;
      office.href = '/#/exams';
    }
    if (!takeToken()) {
      noToken();
      return;
    }
    try {
      vocabulary = await api('/api/vocabulary');
    } catch (e) {
      say(e.message, true);
      return;
    }
    state.hold = vocabulary.limits.hold.default;
    $('report-link').addEventListener('click', openReport);
    document.addEventListener('keydown', onKey);
    $('id-input').addEventListener('keydown', onIdKey);
    $('id-input').addEventListener('input', () => {
      // Pasted text too: an ID is letters and digits.
      const input = $('id-input');
      const clean = input.value.replace(/[^0-9A-Za-z]/g, '');
      if (clean !== input.value) input.value = clean;
      lookUp();
    });
    $('reason-input').addEventListener('keydown', (e) => {
      if (e.key === 'Enter' || e.key === 'Escape') {
        e.preventDefault();
        if (e.key === 'Escape') e.target.value = '';
        e.target.blur();
      }
    });
    $('name-input').addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        saveName();
      }
    });
    $('name-ok').addEventListener('click', saveName);
    $('name-dialog').addEventListener('cancel', (e) => { if (!state.name) e.preventDefault(); });
    $('change-name').addEventListener('click', askName);
    $('help-button').addEventListener('click', toggleHelp);
    $('help-close').addEventListener('click', () => $('help-dialog').close());
    $('zoom-in').addEventListener('click', () => zoomBy(1));
    $('zoom-out').addEventListener('click', () => zoomBy(-1));
    $('reason-filter').addEventListener('change', (e) => {
      state.filter = e.target.value;
      state.skipped.clear();
      act(loadQueue);
      e.target.blur();
    });
    $('picture-frame').addEventListener('mousemove', showCell);
    $('picture-frame').addEventListener('mouseleave', () => { $('cell-tip').style.display = 'none'; });
    window.addEventListener('focus', () => {
      if (state.actions === 0) act(async () => { await loadQueue(); if (state.sheet) await openSheet(state.sheet.sheet, state.focus); });
    });

    try {
      state.name = localStorage.getItem(NAME_KEY) || '';
    } catch (e) {
      state.name = '';
    }
    $('reviewer-name').textContent = state.name;
    // "#12" in the address opens sheet 12 (an address to give another reviewer).
    const wanted = /^#([0-9]{1,9})$/.exec(location.hash);
    firstLoad = async () => {
      await loadQueue();
      const counts = { held: 0 };
      const first = wanted ? Number(wanted[1]) : nextInQueue(counts);
      if (first !== null) await openSheet(first);
      else if (counts.held) nothingLeft(counts);
      else say(T.nothingWaiting);
    };
    if (state.name) {
      act(firstLoad);
      firstLoad = null;
    } else {
      // A token that opens nothing is told before the name is asked.
      act(() => api('/api/queue?limit=1'));
      askName();
    }
    scheduleRenewal();
    // The sheet goes back when the page goes; a page that cannot say so lets its claim lapse.
    window.addEventListener('pagehide', () => { if (state.sheet) release(state.name, state.sheet.sheet); });
    window.addEventListener('hashchange', () => {
      const m = /^#([0-9]{1,9})$/.exec(location.hash);
      if (m) act(() => openSheet(Number(m[1])));
    });
  }

  start();
})();

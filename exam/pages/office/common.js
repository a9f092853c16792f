// What the office's pages share: the texts, the access token (this tab's
// session storage, sent as a bearer header, never a cookie), requests,
// messages, downloads and small helpers. Every text from the server is put
// in with textContent.

export const T = window.OMR_TEXT;
export const LANG = window.OMR_LANG;
export const $ = (id) => document.getElementById(id);

// The review page uses the same name: a tab that opens it from here keeps the token.
const TOKEN_KEY = 'omr-review-token';
let token = '';

// The token of the first address goes to this tab's session storage and
// leaves the address bar (and the history) at once.
export function takeToken() {
  const params = new URLSearchParams(location.search);
  token = params.get('token') || '';
  try {
    if (token) sessionStorage.setItem(TOKEN_KEY, token);
    else token = sessionStorage.getItem(TOKEN_KEY) || '';
  } catch (e) {
    // no session storage: the token lives as long as the page
  }
  if (params.has('token')) history.replaceState(null, '', location.pathname + location.hash);
  return token !== '';
}

export function forgetToken() {
  token = '';
  try {
    sessionStorage.removeItem(TOKEN_KEY);
  } catch (e) {
    // nothing kept
  }
}

export function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

export function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
}

export function button(text, onClick, className) {
  const b = el('button', className, text);
  b.type = 'button';
  b.addEventListener('click', onClick);
  return b;
}

let messageTimer = 0;
export function say(text, isError) {
  const m = $('message');
  m.textContent = text;
  m.className = 'shown' + (isError ? ' error' : '');
  clearTimeout(messageTimer);
  messageTimer = setTimeout(() => { m.className = ''; }, isError ? 10000 : 4000);
}

// "?project=..&exam=.." for the exam a page works on.
export function examQuery(exam, extra) {
  const q = new URLSearchParams(extra || {});
  if (exam) {
    q.set('project', exam.project);
    q.set('exam', exam.exam);
  }
  const text = q.toString();
  return text ? '?' + text : '';
}

let onUnauthorized = () => {};
export function whenUnauthorized(f) {
  onUnauthorized = f;
}

async function send(path, body, extra) {
  const init = { credentials: 'omit', cache: 'no-store', headers: { Authorization: 'Bearer ' + token }, ...extra };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  if (res.status === 401) onUnauthorized();
  return res;
}

// A JSON request; throws an Error with the server's message (and .status, .data).
export async function api(path, body, extra) {
  const res = await send(path, body, extra);
  let data = null;
  try {
    data = await res.json();
  } catch (e) {
    data = null;
  }
  if (!res.ok) {
    const error = new Error(data && data.error ? data.error : T.http(res.status));
    error.status = res.status;
    error.data = data;
    throw error;
  }
  return data;
}

// Fetches a file with the token and hands it to the browser as a download.
export async function download(path, name, body) {
  const res = await send(path, body);
  if (!res.ok) {
    let message = T.http(res.status);
    try {
      message = (await res.json()).error || message;
    } catch (e) {
      // not JSON
    }
    throw new Error(message);
  }
  // The server's name for the file (its UTF-8 form), else the page's.
  const disposition = /filename\*=UTF-8''([^;]+)/i.exec(res.headers.get('Content-Disposition') || '');
  saveBlob(await res.blob(), disposition ? decodeURIComponent(disposition[1]) : name);
}

export function saveBlob(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = el('a');
  a.href = url;
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// The bytes of a file the user chose, as base64 (the server takes them as they are).
export function fileBase64(file) {
  return new Promise((resolve, reject) => {
    const reader = new FileReader();
    reader.onerror = () => reject(reader.error);
    reader.onload = () => {
      const text = String(reader.result);
      resolve(text.slice(text.indexOf(',') + 1));
    };
    reader.readAsDataURL(file);
  });
}

// Text as the base64 of its UTF-8 bytes (a kept roster sent again).
export function textBase64(text) {
  const bytes = new TextEncoder().encode(text);
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary);
}

export function base64Text(data) {
  const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
  return new TextDecoder().decode(bytes);
}

export function number(x) {
  if (x === null || x === undefined) return '';
  return Number.isInteger(x) ? String(x) : String(Math.round(x * 100) / 100);
}

export function when(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  return isNaN(d) ? iso : d.toLocaleString(LANG === 'zh' ? 'zh-CN' : 'en-GB');
}

// Whether a key belongs to what the user types there.
export function inField(target) {
  return target instanceof HTMLInputElement || target instanceof HTMLTextAreaElement ||
    target instanceof HTMLSelectElement || (target && target.isContentEditable);
}

// A labelled field: <label for> and the control.
export function field(labelText, control, hint) {
  const wrap = el('div', 'field');
  if (!control.id) control.id = 'f-' + Math.random().toString(36).slice(2);
  const label = el('label', null, labelText);
  label.htmlFor = control.id;
  wrap.appendChild(label);
  wrap.appendChild(control);
  if (hint) {
    const h = el('p', 'hint', hint);
    h.id = control.id + '-hint';
    control.setAttribute('aria-describedby', h.id);
    wrap.appendChild(h);
  }
  return wrap;
}

// The keys a page lists under its content (and in the Keys dialog).
export function shortcuts(rows) {
  const section = el('section', 'shortcuts');
  section.setAttribute('aria-label', T.shortcutsLabel);
  const list = el('dl');
  for (const [key, text] of rows) {
    list.appendChild(el('dt', null, key));
    list.appendChild(el('dd', null, text));
  }
  section.appendChild(list);
  return section;
}

// The author of what is made here: the name the review page keeps too.
const NAME_KEY = 'omr-review-name';
export function author() {
  try {
    return localStorage.getItem(NAME_KEY) || '';
  } catch (e) {
    return '';
  }
}
// The name, or '' after asking for it where it is typed.
export function needAuthor() {
  const name = ($('author').value || '').trim();
  if (name) {
    setAuthor(name);
    return name;
  }
  say(T.typeYourName, true);
  $('author').focus();
  return '';
}
export function setAuthor(name) {
  try {
    localStorage.setItem(NAME_KEY, name);
  } catch (e) {
    // kept for this page only
  }
}

// ------------------------------------------------------------ long steps

const STEP_MS = 500; // how often a long step's progress is asked while its request works

function showStep(p) {
  const box = $('step');
  if (!box) return;
  if (!p || !p.step) {
    box.hidden = true;
    return;
  }
  const share = p.total > 0 ? Math.floor((p.done * 100) / p.total) : 0;
  const count = (n) => n.toLocaleString(LANG === 'zh' ? 'zh-CN' : 'en-GB');
  $('step-text').textContent = T.stepProgress(T.steps[p.step] || p.step, count(p.done), count(p.total), share);
  const bar = $('step-bar');
  bar.max = Math.max(p.total, 1);
  bar.value = p.done;
  box.hidden = false;
}

// Runs `work` (a function making a promise of a request on the exam) and,
// while it is pending, shows how far the server's step on the exam is (a
// re-key scores every sheet again).
export async function withProgress(exam, work) {
  let running = true;
  let timer = 0;
  const ask = async () => {
    let p = null;
    try {
      p = await api('/api/progress' + examQuery(exam));
    } catch (e) {
      p = null; // the request's own answer says what went wrong
    }
    if (running) showStep(p);
    return p;
  };
  const poll = async () => {
    await ask();
    if (running) timer = setTimeout(poll, STEP_MS);
  };
  timer = setTimeout(poll, STEP_MS);
  try {
    return await work();
  } catch (e) {
    // A request the server stopped waiting for may still be at work: shown until its step ends.
    if (e.status === 503) {
      clearTimeout(timer);
      while ((await ask())?.step) await new Promise((resolve) => setTimeout(resolve, STEP_MS));
    }
    throw e;
  } finally {
    running = false;
    clearTimeout(timer);
    showStep(null);
  }
}

// ------------------------------------------------------------ live answers

// A request whose answer comes as it is made (server-sent events): the
// response, its body read as a stream (EventSource cannot send the token).
export async function live(path, signal) {
  const res = await send(path, undefined, { signal, headers: { Authorization: 'Bearer ' + token, Accept: 'text/event-stream' } });
  return res;
}

// Calls `onEvent(name, data, id)` for each server-sent event of a response
// as it arrives; resolves when the response ends.
export async function readEvents(res, onEvent) {
  const reader = res.body.getReader();
  const decoder = new TextDecoder();
  let buffer = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    buffer += decoder.decode(value, { stream: true });
    for (let at = buffer.indexOf('\n\n'); at >= 0; at = buffer.indexOf('\n\n')) {
      const block = buffer.slice(0, at);
      buffer = buffer.slice(at + 2);
      let name = 'message';
      let id = null;
      const data = [];
      for (const line of block.split('\n')) {
        if (line.startsWith(':')) continue;
        const colon = line.indexOf(':');
        const field = colon < 0 ? line : line.slice(0, colon);
        const text = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
        if (field === 'event') name = text;
        else if (field === 'id') id = text;
        else if (field === 'data') data.push(text);
      }
      if (data.length) onEvent(name, data.join('\n'), id);
    }
  }
}

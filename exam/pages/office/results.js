// Results: the exam report (opened in a tab of its own by a one-time
// ticket), the downloads the server offers (one row each in its table; their
// words in the catalogs' `downloads`), and the item statistics as a page.
import { $, T, api, button, clear, download, el, examQuery, number, say, shortcuts, withProgress } from './common.js';

let context = null;
let stats = null;

function query() {
  return examQuery(context.exam);
}

function keys() {
  return [
    ['o', T.resultsKeyReport], ['d', T.resultsKeyDownloads], ['v', T.resultsKeyVersion], ['t', T.resultsKeyTable],
  ];
}

async function openReport() {
  const tab = window.open('about:blank', '_blank');
  try {
    const ticket = await api('/api/tickets', { path: '/report' });
    const url = ticket.url + '&' + query().slice(1);
    if (tab) {
      tab.opener = null;
      tab.location.href = url;
    } else {
      window.open(url, '_blank');
    }
  } catch (e) {
    if (tab) tab.close();
    say(e.message, true);
  }
}

function fileName(id) {
  const stem = (context.exam.title || context.exam.exam).replace(/[^\p{L}\p{N}_]+/gu, '-').replace(/^-|-$/g, '') || 'exam';
  return stem + '-' + id;
}

function renderDownloads(list) {
  const body = $('results-downloads');
  clear(body);
  for (const d of list) {
    const words = T.downloads[d.id] || { name: d.id, text: '' };
    const tr = el('tr');
    const th = el('th', null, words.name);
    th.scope = 'row';
    tr.appendChild(th);
    tr.appendChild(el('td', null, words.text));
    const cell = el('td', 'actions');
    if (d.problem) {
      // Not a link that fails: what stands in the way, in the library's words.
      tr.classList.add('unavailable');
      cell.appendChild(el('span', 'problem', T.resultsUnavailable(d.problem)));
      tr.appendChild(cell);
      body.appendChild(tr);
      continue;
    }
    const b = button(T.resultsDownload, async () => {
      b.disabled = true;
      say(T.resultsMaking(words.name));
      try {
        await withProgress(context.exam, () => download('/api/download/' + encodeURIComponent(d.id) + query(), fileName(d.id)));
        say(T.resultsDownloaded(words.name));
      } catch (e) {
        say(e.message, true);
      } finally {
        b.disabled = false;
      }
    });
    b.setAttribute('aria-label', T.resultsDownloadWhat(words.name));
    b.dataset.download = d.id;
    cell.appendChild(b);
    tr.appendChild(cell);
    body.appendChild(tr);
  }
}

function percent(share) {
  return share === null || share === undefined ? '' : Math.round(share * 100) + ' %';
}

function renderSummary(a) {
  const box = $('results-summary');
  clear(box);
  const dl = el('dl', 'figures');
  const rows = [
    [T.resultsSheets, a.sheets], [T.resultsMaximum, number(a.maximum)], [T.resultsMean, number(a.mean)],
    [T.resultsMedian, number(a.median)], [T.resultsSd, number(a.sd)], [T.resultsMin, number(a.min)],
    [T.resultsMax, number(a.max)], [T.resultsAlpha, a.alpha === null ? '–' : a.alpha.toFixed(3)],
    [T.resultsSem, number(a.sem)],
  ];
  for (const [k, v] of rows) {
    const div = el('div');
    div.appendChild(el('dt', null, k));
    div.appendChild(el('dd', null, v === '' || v === null ? '–' : v));
    dl.appendChild(div);
  }
  box.appendChild(dl);
  box.appendChild(el('p', 'hint', T.resultsTotalsNote(a.floored)));
}

function renderItems(a) {
  const body = $('results-items');
  clear(body);
  for (const item of a.items) {
    const tr = el('tr', item.flags.length ? 'flagged' : null);
    const th = el('th', null, item.item);
    th.scope = 'row';
    tr.appendChild(th);
    tr.appendChild(el('td', null, item.key));
    tr.appendChild(el('td', 'number', number(item.maximum)));
    tr.appendChild(el('td', 'number', number(item.mean)));
    tr.appendChild(el('td', 'number', number(item.p)));
    tr.appendChild(el('td', 'number', number(item.d)));
    tr.appendChild(el('td', 'number', number(item.point_biserial)));
    tr.appendChild(el('td', 'number', number(item.r)));
    tr.appendChild(el('td', 'number', item.alpha_if_deleted === null ? '' : item.alpha_if_deleted.toFixed(3)));
    const flags = item.void ? [T.gridKinds.void] : item.flags.map((f) => T.flagNames[f] || f);
    if (item.bonus) flags.unshift(T.gridKinds.bonus);
    tr.appendChild(el('td', item.flags.includes('key?') ? 'problem' : null, flags.join(', ')));
    const options = item.void ? '' : item.options
      .filter((o) => o.kind !== 'label' || o.listed || o.count)
      .map((o) => (o.kind === 'label' ? o.label : T.optionRows[o.kind]) + (o.keyed ? '*' : '') + ' ' + percent(o.share))
      .join(' · ');
    tr.appendChild(el('td', 'options', options));
    body.appendChild(tr);
  }
}

function show(version) {
  const a = version === '' ? stats.overall : stats.versions.find((v) => v.version === version) || stats.overall;
  renderSummary(a);
  renderItems(a);
}

export default {
  id: 'results',
  office: true,
  needsExam: true,
  title: () => T.navResults,
  keys,
  async show(root, ctx) {
    context = ctx;
    root.appendChild(el('h2', null, T.resultsHeading(ctx.exam.title || ctx.exam.exam)));

    const report = el('section');
    report.setAttribute('aria-labelledby', 'results-report-heading');
    const rh = el('h3', null, T.resultsReportHeading);
    rh.id = 'results-report-heading';
    report.appendChild(rh);
    report.appendChild(el('p', 'hint', T.resultsReportHint));
    const open = button(T.resultsOpenReport, openReport, 'primary');
    open.id = 'results-report';
    report.appendChild(open);
    root.appendChild(report);

    const downloads = el('section');
    downloads.setAttribute('aria-labelledby', 'results-downloads-heading');
    const dh = el('h3', null, T.resultsDownloadsHeading);
    dh.id = 'results-downloads-heading';
    downloads.appendChild(dh);
    const dwrap = el('div', 'table-wrap');
    const dtable = el('table', 'list');
    dtable.setAttribute('aria-labelledby', dh.id);
    const dbody = el('tbody');
    dbody.id = 'results-downloads';
    dtable.appendChild(dbody);
    dwrap.appendChild(dtable);
    downloads.appendChild(dwrap);
    root.appendChild(downloads);

    const items = el('section');
    items.setAttribute('aria-labelledby', 'results-items-heading');
    const ih = el('h3', null, T.resultsItemsHeading);
    ih.id = 'results-items-heading';
    items.appendChild(ih);
    const select = el('select');
    select.id = 'results-version';
    const label = el('label', null, T.resultsVersion);
    label.htmlFor = select.id;
    const row = el('div', 'field');
    row.appendChild(label);
    row.appendChild(select);
    items.appendChild(row);
    const summary = el('div');
    summary.id = 'results-summary';
    summary.setAttribute('aria-live', 'polite');
    items.appendChild(summary);
    const wrap = el('div', 'table-wrap');
    wrap.id = 'results-table';
    wrap.tabIndex = 0;
    wrap.setAttribute('role', 'region');
    wrap.setAttribute('aria-labelledby', ih.id);
    const table = el('table', 'list stats');
    const head = el('thead');
    const hr = el('tr');
    for (const [t, title] of [[T.gridItem], [T.keysColKey], [T.colMax], [T.colMean], [T.colP, T.colPTitle],
      [T.colD, T.colDTitle], [T.colRTotal, T.colRTotalTitle], [T.colR, T.colRTitle], [T.colAlphaDeleted],
      [T.colFlags], [T.colOptions, T.colOptionsTitle]]) {
      const th = el('th', null, t);
      th.scope = 'col';
      if (title) th.title = title;
      hr.appendChild(th);
    }
    head.appendChild(hr);
    table.appendChild(head);
    const body = el('tbody');
    body.id = 'results-items';
    table.appendChild(body);
    wrap.appendChild(table);
    items.appendChild(wrap);
    items.appendChild(el('p', 'hint', T.resultsItemsNote));
    root.appendChild(items);
    root.appendChild(shortcuts(keys()));

    const [offered, analysed] = await Promise.all([
      api('/api/downloads' + query()),
      api('/api/stats' + query()).catch((e) => ({ error: e.message })),
    ]);
    renderDownloads(offered);
    if (analysed.error) {
      items.appendChild(el('p', 'problem', analysed.error));
      select.disabled = true;
      return;
    }
    stats = analysed;
    const all = el('option', null, T.resultsAllVersions);
    all.value = '';
    select.appendChild(all);
    for (const v of stats.versions) {
      const o = el('option', null, T.resultsVersionName(v.version));
      o.value = v.version;
      select.appendChild(o);
    }
    select.addEventListener('change', () => show(select.value));
    show('');
  },
  onKey(event) {
    switch (event.key) {
      case 'o': openReport(); return true;
      case 'd': document.querySelector('#results-downloads button')?.focus(); return true;
      case 'v': $('results-version').focus(); return true;
      case 't': $('results-table').focus(); return true;
      default: return false;
    }
  },
};

// The pages' language: the one chosen on a page (kept in this browser), else
// the browser's first language that has a catalog, else English. Sets
// window.OMR_TEXT to that catalog and puts its texts into the page's own
// markup: data-t="name" sets an element's text, data-t-title,
// data-t-aria-label and data-t-placeholder its attributes.
'use strict';

(() => {
  const KEY = 'omr-language';
  const catalogs = window.OMR_TEXTS || {};

  function chosen() {
    try {
      const kept = localStorage.getItem(KEY);
      if (kept && catalogs[kept]) return kept;
    } catch (e) {
      // no storage: the browser's language
    }
    for (const wanted of navigator.languages || [navigator.language || 'en']) {
      const base = String(wanted).toLowerCase().split('-')[0];
      if (catalogs[base]) return base;
    }
    return 'en';
  }

  const lang = chosen();
  const T = catalogs[lang] || catalogs.en;
  window.OMR_LANG = lang;
  window.OMR_TEXT = T;
  document.documentElement.lang = lang === 'zh' ? 'zh-CN' : lang;

  function apply(root) {
    for (const e of root.querySelectorAll('[data-t]')) {
      const text = T[e.dataset.t];
      if (typeof text === 'string') e.textContent = text;
    }
    for (const attribute of ['title', 'aria-label', 'placeholder']) {
      for (const e of root.querySelectorAll('[data-t-' + attribute + ']')) {
        const text = T[e.getAttribute('data-t-' + attribute)];
        if (typeof text === 'string') e.setAttribute(attribute, text);
      }
    }
  }

  // A language switch: every catalog by its own name; a choice reloads the page
  // (the token stays in this tab).
  function switcher(select) {
    while (select.firstChild) select.removeChild(select.firstChild);
    for (const [code, catalog] of Object.entries(catalogs)) {
      const option = document.createElement('option');
      option.value = code;
      option.textContent = catalog.languageName;
      option.lang = code === 'zh' ? 'zh-CN' : code;
      select.appendChild(option);
    }
    select.value = lang;
    select.addEventListener('change', () => {
      try {
        localStorage.setItem(KEY, select.value);
      } catch (e) {
        return;
      }
      location.reload();
    });
  }

  window.OMR_I18N = Object.freeze({ lang, apply, switcher });
  apply(document);
})();

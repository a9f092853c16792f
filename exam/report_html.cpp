#include "report_html.h"

#include <algorithm>
#include <cmath>

#include "report_common.h"

namespace omr::exam {

namespace {

constexpr const char* kStyle = R"(
:root{--ink:#1b1f24;--mute:#5c6670;--line:#d5dbe1;--key:#1f7a3d;--rival:#c2410c;--bar:#8a96a3;--flag:#b42318}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact;box-sizing:border-box}
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",Arial,sans-serif;color:var(--ink);
max-width:1100px;margin:0 auto;padding:16px 20px}
h1{font-size:24px;margin:0 0 2px}h2{font-size:18px;margin:28px 0 8px;border-bottom:2px solid var(--line)}
h3{font-size:15px;margin:0 0 6px}.sub,.note{color:var(--mute)}.note{font-size:12px}
table{border-collapse:collapse;margin:6px 0}th,td{padding:3px 8px;border-bottom:1px solid var(--line);text-align:left;
vertical-align:middle}th{font-weight:600;background:#f3f5f7}td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
table.sortable th{cursor:pointer;user-select:none}table.sortable th[aria-sort=ascending]::after{content:" \25B2"}
table.sortable th[aria-sort=descending]::after{content:" \25BC"}
tr.void td{color:var(--mute)}tr.hit td{background:#fff4ef}.flag{color:var(--flag);font-weight:600}.none{color:var(--mute)}
.figures{display:grid;grid-template-columns:repeat(auto-fill,minmax(120px,1fr));gap:8px;margin:8px 0}
.figures div{border:1px solid var(--line);border-radius:6px;padding:6px 10px}
.figures b{display:block;font-size:20px;font-variant-numeric:tabular-nums}.figures span{color:var(--mute);font-size:12px}
svg text{font-family:inherit}svg.hist{width:100%;max-width:760px;height:auto}
svg.opt{display:block}.opt .k{fill:var(--key)}.opt .r{fill:var(--rival)}.opt .o{fill:var(--bar)}.opt .s{fill:#c3cad1}.opt .t{fill:#eef1f4}
.opt text{font-size:10px;fill:var(--ink)}.opt .kl{fill:var(--key);font-weight:600}.opt .pc{fill:var(--mute)}.hist .bar{fill:#5b7fa6}.hist text{font-size:11px;fill:var(--mute)}
.hist .mean{stroke:var(--rival);stroke-width:1.5;stroke-dasharray:4 3}.axis{stroke:#9aa4ae}
.panel{border:1px solid var(--line);border-left:4px solid var(--flag);border-radius:6px;padding:10px 14px;margin:10px 0}
.panel p{margin:4px 0}.panel td.kd{color:var(--key);font-weight:600}.panel tr.rv td{color:var(--rival);font-weight:600}
dl.terms{display:grid;grid-template-columns:max-content 1fr;gap:2px 12px;font-size:12px;color:var(--mute)}
dl.terms dt{font-weight:600;color:var(--ink)}#review td:first-child{text-align:right}
@page{size:A4;margin:14mm 12mm}
@media print{body{font-size:10px;max-width:none;padding:0}h1{font-size:18px}h2{font-size:14px;break-after:avoid}
table{width:100%}th,td{padding:1px 6px}#review td:nth-child(3){white-space:nowrap}
a{color:inherit;text-decoration:none}
.panel,tr,svg,.figures div{break-inside:avoid}thead{display:table-header-group}.screen{display:none}
table.sortable th::after{content:""!important}}
)";

// Sorting the tables by a click on a heading; the page reads without it.
constexpr const char* kScript = R"(
(function(){
function key(c){var v=c.getAttribute('data-v');if(v===null)v=c.textContent.trim();if(v==='')return null;
var f=Number(v);return isNaN(f)?v.toLowerCase():f;}
function cmp(a,b){if(a===null)return b===null?0:1;if(b===null)return -1;
if(typeof a!==typeof b){a=String(a);b=String(b);}return a<b?-1:a>b?1:0;}
function sortBy(t,i,th){var d=th.getAttribute('aria-sort')==='ascending'?-1:1;
var hs=t.tHead.rows[0].cells;for(var j=0;j<hs.length;j++)hs[j].removeAttribute('aria-sort');
th.setAttribute('aria-sort',d>0?'ascending':'descending');var b=t.tBodies[0];
var rs=Array.prototype.slice.call(b.rows);rs.sort(function(x,y){
var kx=key(x.cells[i]),ky=key(y.cells[i]);if(kx===null||ky===null)return cmp(kx,ky);return d*cmp(kx,ky);});
for(var k=0;k<rs.length;k++)b.appendChild(rs[k]);}
var ts=document.querySelectorAll('table.sortable');
for(var n=0;n<ts.length;n++){(function(t){var hs=t.tHead.rows[0].cells;
for(var i=0;i<hs.length;i++){(function(i,th){th.tabIndex=0;th.addEventListener('click',function(){sortBy(t,i,th);});
th.addEventListener('keydown',function(e){if(e.key==='Enter'||e.key===' '){e.preventDefault();sortBy(t,i,th);}});
})(i,hs[i]);}})(ts[n]);}
})();
)";

std::string Num(double v, int digits) {
  return Fixed(v, digits);
}

// A numeric cell: shown with `digits` decimals, sorted by the full value.
void NumCell(std::string& h, const std::optional<double>& v, int digits, std::string_view why = "undefined") {
  if (v) {
    h += "<td class=n data-v=\"" + Fixed(*v, 6) + "\">" + Fixed(*v, digits) + "</td>";
  } else {
    h += "<td class=\"n none\" data-v=\"\" title=\"" + std::string(why) + "\">&ndash;</td>";
  }
}

std::string Count(std::int64_t v) {
  return std::to_string(v);
}

void Figure(std::string& h, const std::string& label, const std::string& value) {
  h += "<div><b>" + value + "</b><span>";
  h += label;
  h += "</span></div>";
}

std::string VersionName(const Analysis& a) {
  return a.allVersions ? "all versions" : EscapeHtml(a.version);
}

void Summary(std::string& h, const ExamAnalysis& exam, const std::string& counted) {
  const TestResult& t = exam.overall.test;
  h += "<section id=summary><h2>Summary</h2><div class=figures>";
  Figure(h, counted, Count(t.n));
  Figure(h, "items scored", std::to_string(t.k));
  Figure(h, "points possible", Num(t.maximum, 2));
  Figure(h, "mean", Fixed(t.mean, 2, "&ndash;"));
  Figure(h, "median", Fixed(t.median, 2, "&ndash;"));
  Figure(h, "standard deviation", Fixed(t.sd, 2, "&ndash;"));
  Figure(h, "minimum", Fixed(t.min, 2, "&ndash;"));
  Figure(h, "maximum", Fixed(t.max, 2, "&ndash;"));
  Figure(h, "reliability (alpha, " + std::to_string(t.alphaItems) + " items)", Fixed(t.alpha, 3, "&ndash;"));
  Figure(h, "standard error (SEM)", Fixed(t.sem, 2, "&ndash;"));
  h += "</div><p class=note id=totals-note>" + EscapeHtml(TotalsNote(t)) + "</p>";
  if (exam.versions.size() > 1 || (exam.versions.size() == 1 && !exam.versions[0].version.empty())) {
    h += "<table class=sortable><thead><tr><th>Version</th><th class=n>Sheets</th><th class=n>Mean</th>"
         "<th class=n>Median</th><th class=n>SD</th><th class=n>Min</th><th class=n>Max</th>"
         "<th class=n>Alpha</th><th class=n>SEM</th><th class=n>Flagged items</th></tr></thead><tbody>";
    for (const Analysis& v : exam.versions) {
      const TestResult& vt = v.test;
      int flagged = 0;
      for (const ItemResult& i : v.items) flagged += i.flags != 0;
      h += "<tr><td>" + VersionName(v) + "</td><td class=n>" + Count(vt.n) + "</td>";
      NumCell(h, vt.mean, 2, "no sheets");
      NumCell(h, vt.median, 2, "no sheets");
      NumCell(h, vt.sd, 2, "no sheets");
      NumCell(h, vt.min, 2, "no sheets");
      NumCell(h, vt.max, 2, "no sheets");
      NumCell(h, vt.alpha, 3, "undefined: fewer than two items or no variance");
      NumCell(h, vt.sem, 2, "undefined");
      h += "<td class=n>" + std::to_string(flagged) + "</td></tr>";
    }
    h += "</tbody></table>";
  }
  h += "</section>";
}

// Tick step of about `target` ticks over [0, top].
double NiceStep(double top, int target) {
  if (top <= 0) return 1;
  const double raw = top / target;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double s : {1.0, 2.0, 5.0, 10.0}) {
    if (s * p >= raw) return std::max(1.0, s * p);
  }
  return std::max(1.0, 10 * p);
}

void Histogram(std::string& h, const TestResult& t) {
  h += "<section id=distribution><h2>Distribution of totals</h2>";
  if (t.distribution.empty()) {
    h += "<p class=none>No sheet has been scored.</p></section>";
    return;
  }
  const double W = 760, H = 250, left = 46, right = 10, top = 12, bottom = 40;
  const double pw = W - left - right, ph = H - top - bottom;
  std::int64_t most = 1;
  for (const Bin& b : t.distribution) most = std::max(most, b.count);
  const double step = NiceStep(static_cast<double>(most), 5);
  const double ymax = std::ceil(static_cast<double>(most) / step) * step;
  const std::size_t nb = t.distribution.size();
  const double bw = pw / static_cast<double>(nb);
  const double lo = t.distribution.front().low, hi = t.distribution.back().high;
  h += "<svg class=hist viewBox=\"0 0 760 250\" role=img aria-label=\"Histogram of the totals\">";
  for (double y = 0; y <= ymax + 1e-9; y += step) {
    const double py = top + ph - y / ymax * ph;
    h += "<line class=axis x1=\"" + Num(left - 4, 1) + "\" x2=\"" + Num(left + pw, 1) + "\" y1=\"" +
         Num(py, 1) + "\" y2=\"" + Num(py, 1) + "\" stroke-opacity=\"" + (y == 0 ? "1" : "0.25") + "\"/>";
    h += "<text x=\"" + Num(left - 8, 1) + "\" y=\"" + Num(py + 4, 1) + "\" text-anchor=end>" + Num(y, 0) +
         "</text>";
  }
  const std::size_t labelEvery = nb <= 20 ? 1 : (nb + 19) / 20;
  const bool whole = t.distribution.front().high - t.distribution.front().low == 1.0;
  for (std::size_t i = 0; i < nb; ++i) {
    const Bin& b = t.distribution[i];
    const double x = left + bw * static_cast<double>(i);
    const double bh = static_cast<double>(b.count) / ymax * ph;
    const std::string range = whole ? Num(b.low, 0) : Num(b.low, 2) + " to " + Num(b.high, 2);
    h += "<rect class=bar x=\"" + Num(x + 1, 1) + "\" y=\"" + Num(top + ph - bh, 1) + "\" width=\"" +
         Num(std::max(1.0, bw - 2), 1) + "\" height=\"" + Num(bh, 1) + "\"><title>" + range + ": " +
         Count(b.count) + " sheets</title></rect>";
    if (i % labelEvery == 0) {
      const double lx = whole ? x + bw / 2 : x;
      const std::string text = whole ? Num(b.low, 0) : Fixed(b.low, b.high - b.low < 1 ? 2 : 0);
      h += "<text x=\"" + Num(lx, 1) + "\" y=\"" + Num(top + ph + 16, 1) + "\" text-anchor=middle>" + text +
           "</text>";
    }
  }
  if (t.mean && hi > lo) {
    // A whole-number bar stands for its value at its middle.
    const double mx = left + (*t.mean - lo + (whole ? 0.5 : 0.0)) / (hi - lo) * pw;
    h += "<line class=mean x1=\"" + Num(mx, 1) + "\" x2=\"" + Num(mx, 1) + "\" y1=\"" + Num(top, 1) +
         "\" y2=\"" + Num(top + ph, 1) + "\"/><text x=\"" + Num(mx + 4, 1) + "\" y=\"" + Num(top + 10, 1) +
         "\">mean " + Num(*t.mean, 2) + "</text>";
  }
  h += "<text x=\"" + Num(left + pw / 2, 1) + "\" y=\"" + Num(H - 6, 1) +
       "\" text-anchor=middle>total points (as the students get them)</text><text x=\"12\" y=\"" +
       Num(top + ph / 2, 1) + "\" text-anchor=middle transform=\"rotate(-90 12 " + Num(top + ph / 2, 1) +
       ")\">sheets</text></svg>";
  h += "</section>";
}

// A small bar per option row (keyed green, the rival of "key?" orange) over
// its label and its share in percent: one line, so that a row stays low.
void OptionBars(std::string& h, const ItemResult& item) {
  const int cell = 30, barTop = 1, barH = 16;
  const int width = cell * static_cast<int>(item.options.size());
  h += "<svg class=opt width=\"" + std::to_string(width) + "\" height=\"30\" viewBox=\"0 0 " +
       std::to_string(width) + " 30\">";
  for (std::size_t i = 0; i < item.options.size(); ++i) {
    const OptionRow& row = item.options[i];
    const double share = row.share.value_or(0);
    const double bh = std::max(share * barH, row.count > 0 ? 1.0 : 0.0);
    const char* cls = row.kind != OptionRow::Kind::kLabel    ? "s"
                      : static_cast<int>(i) == item.keyRival ? "r"
                      : row.keyed                            ? "k"
                                                             : "o";
    const int x = cell * static_cast<int>(i);
    const std::string label = row.kind == OptionRow::Kind::kBlank      ? "&#8211;"
                              : row.kind == OptionRow::Kind::kMultiple ? "&#8805;2"
                                                                       : EscapeHtml(LabelText(row.label));
    const std::optional<double> percent = row.share ? std::optional<double>(*row.share * 100) : std::nullopt;
    h += "<g><title>" + EscapeHtml(RowName(row)) + (row.keyed ? " (keyed)" : "") + ": " +
         Fixed(percent, 1, "-") + "%</title>";
    h += "<rect class=t x=\"" + std::to_string(x + 3) + "\" y=\"" + std::to_string(barTop) +
         "\" width=\"24\" height=\"" + std::to_string(barH) + "\"/>";
    h += "<rect class=" + std::string(cls) + " x=\"" + std::to_string(x + 3) + "\" y=\"" +
         Num(barTop + barH - bh, 1) + "\" width=\"24\" height=\"" + Num(bh, 1) + "\"/>";
    h += "<text x=\"" + std::to_string(x + 15) + "\" y=\"28\" text-anchor=middle><tspan" +
         (row.keyed ? " class=kl" : "") + ">" + label + "</tspan> <tspan class=pc>" +
         Fixed(percent, 0, "&ndash;") + "</tspan></text></g>";
  }
  h += "</svg>";
}

std::string FlagsCell(const ItemResult& item) {
  if (item.isVoid) return "<td data-v=\"void\">void</td>";
  const std::string names = FlagNames(item.flags, " ");
  std::string text = item.bonus ? "bonus" : "";
  if (!names.empty())
    text += (text.empty() ? "" : " ") + std::string("<span class=flag>") + names + "</span>";
  // Sorted by the number of flags, most first when descending.
  int count = 0;
  for (unsigned f : kAllFlags) count += (item.flags & f) != 0;
  return "<td data-v=\"" + std::to_string(count) + "\">" + text + "</td>";
}

std::string ItemLink(const ItemResult& item) {
  return item.flags
             ? "<a href=\"#item-" + std::to_string(item.master) + "\">" + std::to_string(item.master) + "</a>"
             : std::to_string(item.master);
}

void ItemTable(std::string& h, const ExamAnalysis& exam) {
  const Analysis& a = exam.overall;
  h += "<section id=items><h2>Items</h2><p class=note><span class=screen>Click a column heading to sort by "
       "it. </span>Options: the share of sheets (%) choosing each option, keyed in green, an option that "
       "beats "
       "the key in orange, then blank (&#8211;) and multiple marks (&#8805;2).</p>";
  h += "<table class=sortable id=item-table><thead><tr><th class=n>Item</th><th>Key</th>"
       "<th class=n title=\"the item's points\">Max</th><th class=n title=\"mean points\">Mean</th>"
       "<th class=n title=\"share answered right\">p</th><th class=n>D</th>"
       "<th class=n title=\"point-biserial: right/wrong with the total\">r<sub>pb</sub></th>"
       "<th class=n title=\"corrected: right/wrong with the rest of the total\">r<sub>rest</sub></th>"
       "<th class=n title=\"alpha without the item\">&alpha; if deleted</th><th>Flags</th>"
       "<th title=\"sorted by the share choosing the key\">Options (% of sheets)</th></tr></thead><tbody>";
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    const ItemResult& item = a.items[i];
    const char* why = item.isVoid ? "void" : "undefined: no sheets";
    h += item.isVoid ? "<tr class=void>" : "<tr>";
    h += "<td class=n data-v=\"" + std::to_string(item.master) + "\">" + ItemLink(item) + "</td>";
    h += "<td>" + EscapeHtml(KeyText(exam, a, i)) + "</td>";
    NumCell(h, item.maximum, 2);
    NumCell(h, item.mean, 2, why);
    NumCell(h, item.p, 2, why);
    NumCell(h, item.d, 2, why);
    NumCell(h, item.pointBiserial, 2, item.isVoid ? "void" : "undefined: no variance");
    NumCell(h, item.r, 2, item.isVoid ? "void" : "undefined: no variance");
    NumCell(h, item.alphaIfDeleted, 3,
            item.isVoid ? "void" : "alpha does not count the item (its points do not vary) or too few items");
    h += FlagsCell(item);
    double keyShare = 0;
    for (const OptionRow& row : item.options) {
      if (row.keyed) keyShare += row.share.value_or(0);
    }
    h += "<td data-v=\"" + (item.isVoid ? std::string() : Fixed(keyShare, 6)) + "\">";
    if (!item.isVoid) OptionBars(h, item);
    h += "</td></tr>";
  }
  h += "</tbody></table></section>";
}

void OptionTable(std::string& h, const ItemResult& item) {
  h += "<table><thead><tr><th>Option</th><th class=n>Sheets</th><th class=n>Share</th><th class=n>Upper "
       "group</th>"
       "<th class=n>Lower group</th><th class=n>Point-biserial</th></tr></thead><tbody>";
  for (std::size_t i = 0; i < item.options.size(); ++i) {
    const OptionRow& row = item.options[i];
    const bool rival = static_cast<int>(i) == item.keyRival;
    h += rival ? "<tr class=rv>" : "<tr>";
    h += std::string(row.keyed ? "<td class=kd>" : "<td>") + EscapeHtml(RowName(row)) +
         (row.keyed ? " (key)" : "") + (!row.listed ? " (not an option)" : "") + "</td>";
    h += "<td class=n>" + Count(row.count) + "</td>";
    const auto pct = [](const std::optional<double>& v) {
      return v ? std::optional<double>(*v * 100) : std::nullopt;
    };
    h += "<td class=n>" + Fixed(pct(row.share), 1, "&ndash;") + "%</td>";
    h += "<td class=n>" + Fixed(pct(row.upperShare), 1, "&ndash;") + "%</td>";
    h += "<td class=n>" + Fixed(pct(row.lowerShare), 1, "&ndash;") + "%</td>";
    h += "<td class=n>" + Fixed(row.pointBiserial, 2, "&ndash;") + "</td></tr>";
  }
  h += "</tbody></table>";
}

void Panels(std::string& h, const ExamAnalysis& exam) {
  const Analysis& a = exam.overall;
  h += "<section id=flagged><h2>Items to decide</h2>";
  bool any = false;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    const ItemResult& item = a.items[i];
    if (!item.flags) continue;
    any = true;
    h += "<article class=panel id=\"item-" + std::to_string(item.master) + "\"><h3>Item " +
         std::to_string(item.master) + " &middot; <span class=flag>" + FlagNames(item.flags, ", ") +
         "</span></h3>";
    h += "<p class=sub>Key " + EscapeHtml(KeyText(exam, a, i)) +
         " &middot; p = " + Fixed(item.p, 2, "&ndash;") + " &middot; D = " + Fixed(item.d, 2, "&ndash;") +
         " &middot; r<sub>rest</sub> = " + Fixed(item.r, 2, "undefined") + " &middot; mean " +
         Fixed(item.mean, 2, "&ndash;") + " of " + Num(item.maximum, 2) + " points</p>";
    for (const std::string& s : FlagAdvice(exam, a, i)) h += "<p>" + EscapeHtml(s) + "</p>";
    OptionTable(h, item);
    h += "</article>";
  }
  if (!any) h += "<p class=none>No item is flagged.</p>";
  h += "</section>";
}

void Versions(std::string& h, const ExamAnalysis& exam) {
  if (exam.versions.size() < 2) return;
  h += "<section id=versions><h2>Items by version</h2><table class=sortable><thead><tr><th class=n>Item</th>";
  for (const Analysis& v : exam.versions) {
    const std::string name = EscapeHtml(v.version);
    h += "<th class=n>p " + name + "</th><th class=n>r " + name + "</th><th>Flags " + name + "</th>";
  }
  h += "</tr></thead><tbody>";
  for (std::size_t i = 0; i < exam.overall.items.size(); ++i) {
    const ItemResult& o = exam.overall.items[i];
    h += o.isVoid ? "<tr class=void>" : "<tr>";
    h += "<td class=n data-v=\"" + std::to_string(o.master) + "\">" + std::to_string(o.master) + "</td>";
    for (const Analysis& v : exam.versions) {
      const ItemResult& item = v.items[i];
      NumCell(h, item.p, 2, v.test.n == 0 ? "no sheets" : "undefined");
      NumCell(h, item.r, 2, v.test.n == 0 ? "no sheets" : "undefined: no variance");
      h += FlagsCell(item);
    }
    h += "</tr>";
  }
  h += "</tbody></table></section>";
}

// However many sheets wait, the page stays under 2 MB: the list stops after
// this many bytes and says how many more there are.
constexpr std::size_t kReviewListBytes = 1400 * 1024;

void Review(std::string& h, const ReportInfo& info) {
  h += "<section id=review><h2>Sheets waiting for review (" + std::to_string(info.waiting.size()) + ")</h2>";
  if (info.waiting.empty()) {
    h += "<p class=none>No sheet is waiting for review.</p></section>";
    return;
  }
  h += "<table class=sortable><thead><tr><th class=n>Sheet</th><th>Student</th><th>Name</th><th>Reasons</th>"
       "</tr></thead><tbody>";
  // End tags of cells and rows are implied: thousands of rows, a fifth smaller.
  const std::size_t start = h.size();
  std::size_t shown = 0;
  for (const ReviewEntry& e : info.waiting) {
    if (h.size() - start > kReviewListBytes) break;
    h += "<tr><td>" + std::to_string(e.sheet) + "<td>" + EscapeHtml(e.student) + "<td>" + EscapeHtml(e.name) +
         "<td>" + EscapeHtml(e.reasons) + "\n";
    ++shown;
  }
  h += "</tbody></table>";
  if (shown < info.waiting.size()) {
    h += "<p class=note>" + std::to_string(info.waiting.size() - shown) +
         " more sheets wait for review: <code>omrctl exam status</code> and the export's Review sheet list "
         "them "
         "all.</p>";
  }
  h += "</section>";
}

void Terms(std::string& h) {
  h +=
      "<section id=terms><h2>How to read it</h2><dl class=terms>"
      "<dt>Totals</dt><dd>the totals the students get, after the exam's floor, as in the exports: the "
      "summary, "
      "the histogram and the table of versions use them.</dd>"
      "<dt>Mean</dt><dd>an item's mean points; Max: its points.</dd>"
      "<dt>p</dt><dd>difficulty: the share of sheets that answered the item right (its key or an accepted "
      "option; an all-of item: exactly its options); on a partial-credit item, the mean points divided by "
      "the "
      "item's points.</dd>"
      "<dt>D</dt><dd>discrimination: p in the upper group minus p in the lower group, the 27% of sheets with "
      "the highest and with the lowest sums of item points (ties by sheet number).</dd>"
      "<dt>r<sub>pb</sub></dt><dd>point-biserial: the correlation of the item's right/wrong (on a "
      "partial-credit item, its points) with the sum of item points.</dd>"
      "<dt>r<sub>rest</sub></dt><dd>corrected item-rest correlation: the same with the sum of the other "
      "items' points (undefined when either does not vary). The flags negative and weak use it.</dd>"
      "<dt>Point-biserial</dt><dd>of an option: the correlation of choosing it with the sum of the other "
      "items' points.</dd>"
      "<dt>Alpha</dt><dd>Cronbach's alpha of the sum of item points, k/(k &minus; 1) &times; (1 &minus; "
      "&Sigma; item variances / variance of the sum), over the k items whose points vary (bonus and void "
      "items "
      "never do), as R's psych::alpha computes it. &alpha; if deleted: alpha over the other items.</dd>"
      "<dt>SD, SEM</dt><dd>the sample standard deviation of the totals (dividing by n &minus; 1); SEM = SD "
      "&times; &radic;(1 &minus; alpha).</dd>"
      "<dt>key?</dt><dd>an option other than the key, chosen by at least 5% of the sheets, has a higher "
      "point-biserial than the key.</dd>"
      "<dt>negative / weak</dt><dd>r<sub>rest</sub> below 0 / from 0 up to 0.15.</dd>"
      "<dt>hard / easy</dt><dd>p below 0.2 / p above 0.95.</dd></dl>"
      "<p class=note>Void items are left out of every figure; bonus items count in the totals but are not "
      "flagged.</p></section>";
}

}  // namespace

std::string RenderHtmlReport(const ExamAnalysis& exam, const ReportInfo& info) {
  std::string h;
  h.reserve(64 * 1024 + exam.overall.items.size() * 2048 + info.waiting.size() * 160);
  const std::string title = EscapeHtml(info.title);
  h += "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
       "<meta name=viewport content=\"width=device-width,initial-scale=1\">"
       "<link rel=icon href=\"data:,\"><title>Item analysis &middot; " +
       title + "</title><style>" + kStyle + "</style></head><body>\n";
  h += "<header><h1>Item analysis: " + title + "</h1><p class=sub>";
  if (!info.generated.empty()) h += "Made " + EscapeHtml(info.generated) + " &middot; ";
  h += Count(exam.overall.test.n) + " " + EscapeHtml(info.counted) + " &middot; " +
       std::to_string(exam.overall.test.k) + " items scored";
  if (exam.versions.size() > 1) h += " &middot; " + std::to_string(exam.versions.size()) + " versions";
  h += "</p></header>\n";
  Summary(h, exam, EscapeHtml(info.counted));
  h += '\n';
  Histogram(h, exam.overall.test);
  h += '\n';
  ItemTable(h, exam);
  h += '\n';
  Panels(h, exam);
  h += '\n';
  Versions(h, exam);
  h += '\n';
  Review(h, info);
  h += '\n';
  h += info.sections;
  Terms(h);
  h += "\n<script>";
  h += kScript;
  h += "</script></body></html>\n";
  return h;
}

std::string RenderHtmlPage(const std::string& title, const std::string& subtitle, const std::string& body) {
  const std::string t = EscapeHtml(title);
  return "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
         "<meta name=viewport content=\"width=device-width,initial-scale=1\">"
         "<link rel=icon href=\"data:,\"><title>" +
         t + "</title><style>" + kStyle + "</style></head><body>\n<header><h1>" + t + "</h1><p class=sub>" +
         subtitle + "</p></header>\n" + body + "\n<script>" + kScript + "</script></body></html>\n";
}

}  // namespace omr::exam

"""The item analysis of a simulated 200-sheet exam against Python's statistics
module, its XLSX worksheets read back, and the report page in headless
Chromium. OMR_EXAM_REPORT_SAMPLE names the program that writes the exam and
its reports (tests/exam/report_sample.cpp)."""

import json
import math
import os
import pathlib
import re
import shutil
import statistics as st
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "review"))
from review_support import browser  # noqa: E402,F401  (test_exam_project takes it from here too)

SAMPLE = os.environ.get("OMR_EXAM_REPORT_SAMPLE", "")
TOLERANCE = 1e-9


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    if not SAMPLE:
        pytest.fail("OMR_EXAM_REPORT_SAMPLE is not set")
    out = tmp_path_factory.mktemp("sample")
    subprocess.run([SAMPLE, "--out", str(out), "--sheets", "200", "--seed", "11"], check=True)
    return out


def load(sample, name):
    return json.loads((sample / name).read_text(encoding="utf-8"))


def correlation(x, y):
    try:
        return st.correlation(x, y)
    except st.StatisticsError:  # fewer than two values, or one side constant
        return None


def chosen(marked):
    labels = set(marked)
    if not labels:
        return "blank"
    if len(labels) > 1:
        return "multiple"
    return marked[0]


def alpha(columns):
    """Cronbach's alpha over item columns: k/(k-1) (1 - sum of item variances / variance of their sum)."""
    k = len(columns)
    if k < 2:
        return None
    var_sum = st.variance([sum(row) for row in zip(*columns)])
    return k / (k - 1) * (1 - sum(st.variance(c) for c in columns) / var_sum) if var_sum > 0 else None


def reference(items, sheets):
    """Every figure from its textbook definition: item figures on right/wrong ("right", a share for partial
    credit) against the sum of item points X, alpha over the items whose points vary, the figures of the
    totals on the total the student gets ("total", X when absent), sample variances."""
    n = len(sheets)
    scored = [i for i, item in enumerate(items) if not item["void"]]
    sums = [sum(s["points"][i] for i in scored) for s in sheets]
    totals = [s["total"] if s.get("total") is not None else x for s, x in zip(sheets, sums)]
    group = -(-27 * n // 100)
    order = sorted(range(n), key=lambda s: (-sums[s], sheets[s]["number"]))
    upper, lower = order[:group], order[n - group:]
    varying = {i: [s["points"][i] for s in sheets] for i in scored
               if n > 1 and len({s["points"][i] for s in sheets}) > 1}
    out = {"sheets": n, "group_size": group, "alpha_items": len(varying),
           "floored": sum(t != x for t, x in zip(totals, sums)), "items": []}
    if n:
        a = alpha(list(varying.values()))
        sd = st.stdev(totals) if n > 1 else None
        out.update(mean=st.fmean(totals), median=st.median(totals), sd=sd, min=min(totals), max=max(totals),
                   alpha=a, sem=sd * math.sqrt(1 - a) if a is not None else None)
    for i, item in enumerate(items):
        got = {"void": item["void"], "options": {}, "flags": set()}
        got.update({name: None for name in ("mean", "p", "point_biserial", "r", "d", "alpha_if_deleted")})
        out["items"].append(got)
        if item["void"] or not n:
            continue
        x = [s["points"][i] for s in sheets]
        u = [s["right"][i] for s in sheets]
        rest = [t - xi for t, xi in zip(sums, x)]
        got["mean"], got["p"] = st.fmean(x), st.fmean(u)
        got["point_biserial"], got["r"] = correlation(u, sums), correlation(u, rest)
        got["d"] = sum(u[s] for s in upper) / group - sum(u[s] for s in lower) / group
        if i in varying:
            got["alpha_if_deleted"] = alpha([c for j, c in varying.items() if j != i])
        for row in list(item["options"]) + ["blank", "multiple"]:
            c = [1.0 if chosen(s["marked"][i]) == row else 0.0 for s in sheets]
            got["options"][row] = {
                "count": int(sum(c)), "share": st.fmean(c), "upper_share": sum(c[s] for s in upper) / group,
                "lower_share": sum(c[s] for s in lower) / group, "point_biserial": correlation(c, rest)}
        if item["bonus"]:
            continue
        r, p = got["r"], got["p"]
        if r is not None and r < 0:
            got["flags"].add("negative")
        if r is not None and 0 <= r < 0.15:
            got["flags"].add("weak")
        if p < 0.2:
            got["flags"].add("hard")
        if p > 0.95:
            got["flags"].add("easy")
        keyed = [got["options"][k]["point_biserial"] for k in item["keyed"]]
        best = max((v for v in keyed if v is not None), default=None)
        for label in item["options"]:
            o = got["options"][label]
            if label in item["keyed"] or o["point_biserial"] is None or o["count"] * 100 < 5 * n:
                continue
            if best is None or o["point_biserial"] > best:
                got["flags"].add("key?")
    return out


def near(got, want, what):
    if want is None:
        assert got is None, what
    else:
        assert got is not None and abs(got - want) <= TOLERANCE, f"{what}: {got} != {want}"


def compare(analysis, want, where):
    for name in ("sheets", "group_size", "alpha_items", "floored"):
        assert analysis[name] == want[name], f"{where} {name}"
    for name in ("mean", "median", "sd", "min", "max", "alpha", "sem"):
        near(analysis[name], want.get(name), f"{where} {name}")
    for got, ref in zip(analysis["items"], want["items"], strict=True):
        at = f"{where} item {got['item']}"
        assert got["void"] == ref["void"], at
        for name in ("mean", "p", "point_biserial", "r", "d", "alpha_if_deleted"):
            near(got[name], ref[name], f"{at} {name}")
        assert set(got["flags"]) == ref["flags"], at
        if ref["void"]:
            continue
        rows = {o["label"] if o["kind"] == "label" else o["kind"]: o for o in got["options"]}
        if want["sheets"]:
            assert rows.keys() == ref["options"].keys(), at
        for row, o in ref["options"].items():
            assert rows[row]["count"] == o["count"], f"{at} {row}"
            for name in ("share", "upper_share", "lower_share", "point_biserial"):
                near(rows[row][name], o[name], f"{at} {row} {name}")


def test_figures_match_the_statistics_module(sample):
    exam, stats = load(sample, "input.json"), load(sample, "stats.json")
    compare(stats["overall"], reference(exam["items"], exam["sheets"]), "all versions")
    assert [v["version"] for v in stats["versions"]] == exam["versions"]
    for v in stats["versions"]:
        mine = [s for s in exam["sheets"] if s["version"] == v["version"]]
        compare(v, reference(exam["items"], mine), f"version {v['version']}")
    empty = stats["versions"][-1]
    assert empty["sheets"] == 0 and empty["mean"] is None and empty["distribution"] == []
    planted = exam["planted"]
    flagged = {item["item"] for item in stats["overall"]["items"] if item["flags"]}
    assert flagged == set(planted["wrong_key"] + planted["negative"] + planted["easy"])
    by_item = {item["item"]: set(item["flags"]) for item in stats["overall"]["items"]}
    assert all("key?" in by_item[i] for i in planted["wrong_key"])
    assert all("negative" in by_item[i] for i in planted["negative"])
    assert all("easy" in by_item[i] for i in planted["easy"])
    assert sum(b["count"] for b in stats["overall"]["distribution"]) == 200


def test_xlsx_holds_the_same_numbers(sample):
    openpyxl = pytest.importorskip("openpyxl")
    stats = load(sample, "stats.json")
    book = openpyxl.load_workbook(sample / "report.xlsx", read_only=True)
    assert book.sheetnames == ["Test statistics", "Item analysis", "Option analysis"]
    analyses = {None: stats["overall"], **{v["version"]: v for v in stats["versions"]}}

    def version(cell):
        return None if cell == "(all versions)" else cell

    def table(name):
        rows = list(book[name].iter_rows(values_only=True))
        return [dict(zip(rows[0], r)) for r in rows[1:]]

    tests = table("Test statistics")
    assert len(tests) == len(analyses)
    for row in tests:
        a = analyses[version(row["Version"])]
        assert (row["Sheets"], row["Alpha items"], row["Floored"]) == (a["sheets"], a["alpha_items"], a["floored"])
        for column, name in (("Mean", "mean"), ("Median", "median"), ("SD", "sd"), ("Min", "min"), ("Max", "max"),
                             ("Alpha", "alpha"), ("SEM", "sem")):
            assert row[column] is None or isinstance(row[column], (int, float))
            near(row[column], a[name], name)
    items = table("Item analysis")
    assert len(items) == sum(len(a["items"]) for a in analyses.values())
    for row in items:
        a = analyses[version(row["Version"])]
        item = next(i for i in a["items"] if i["item"] == row["Item"])
        assert isinstance(row["Item"], (int, float))
        for column, name in (("Mean", "mean"), ("p", "p"), ("D", "d"), ("Point-biserial", "point_biserial"),
                             ("r", "r"), ("Alpha if deleted", "alpha_if_deleted"), ("p upper", "p_upper"),
                             ("p lower", "p_lower")):
            near(row[column], item[name], f"item {row['Item']} {name}")
        assert (row["Flags"] or "") == " ".join(item["flags"])
    options = list(book["Option analysis"].iter_rows(min_row=2, values_only=True))
    assert len(options) == sum(len(i["options"]) for a in analyses.values() for i in a["items"])
    for row in options:
        item = next(i for i in analyses[version(row[0])]["items"] if i["item"] == row[1])
        o = next(o for o in item["options"] if (o["label"] if o["kind"] == "label" else o["kind"]) == row[2])
        assert row[4] == o["count"]
        for value, name in zip(row[5:9], ("share", "upper_share", "lower_share", "point_biserial"), strict=True):
            near(value, o[name], f"item {row[1]} {row[2]} {name}")


def test_page_renders_in_chromium_without_console_errors(sample):
    from selenium.webdriver.common.by import By

    driver = browser()
    try:
        driver.get((sample / "report.html").as_uri())
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        assert errors == []
        assert driver.title == "Item analysis \u00b7 Physics <final> & \"resit\" 'B'"
        assert driver.execute_script("return performance.getEntriesByType('resource').length") == 0
        # Caller text shows as text: no element came from it.
        assert driver.find_elements(By.CSS_SELECTOR, "#review td b") == []
        assert "O'Brien & \"Daughters\" <b>" in driver.find_element(By.ID, "review").text
        table = driver.find_element(By.ID, "item-table")
        headings = [th.text.strip() for th in table.find_elements(By.CSS_SELECTOR, "thead th")]
        assert headings[:5] == ["Item", "Key", "Max", "Mean", "p"]
        heading = table.find_elements(By.CSS_SELECTOR, "thead th")[4]

        def column():
            return [c.get_attribute("data-v") for c in table.find_elements(By.CSS_SELECTOR, "tbody td:nth-child(5)")]

        before = column()
        heading.click()
        ascending = [float(v) for v in column() if v]
        assert ascending == sorted(ascending) and column()[-1] == ""  # the void item's "-" sorts last
        heading.click()
        descending = [float(v) for v in column() if v]
        assert descending == sorted(descending, reverse=True)
        assert sorted(before) == sorted(column())
        # The item table shows the share of each option (percent) beside its label.
        stats = load(sample, "stats.json")
        rows = {int(r.find_element(By.CSS_SELECTOR, "td").get_attribute("data-v")): r.find_element(
            By.CSS_SELECTOR, "td:last-child") for r in table.find_elements(By.CSS_SELECTOR, "tbody tr")}
        assert len(rows) == len(stats["overall"]["items"])
        for item in stats["overall"]["items"]:
            cell = rows[item["item"]]
            shown = {"blank": "\u2013", "multiple": "\u22652"}
            want = [] if item["void"] else [
                token for o in item["options"]
                for token in (o["label"] if o["kind"] == "label" else shown[o["kind"]], f"{o['share'] * 100:.0f}")]
            assert cell.text.split() == want, item["item"]
        panels = driver.find_elements(By.CSS_SELECTOR, "article.panel")
        assert [p.get_attribute("id") for p in panels] == ["item-3", "item-7", "item-11"]
        assert all(p.is_displayed() and p.size["height"] > 0 for p in panels)
        assert driver.find_element(By.CSS_SELECTOR, "svg.hist").size["width"] > 300
        assert [e for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []
        driver.save_screenshot(str(sample / "report.png"))
    finally:
        driver.quit()


def test_pdf_is_printed_by_chromium(tmp_path):
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        pytest.skip("chromium is not installed (scripts/bootstrap installs it)")
    subprocess.run([SAMPLE, "--out", str(tmp_path), "--sheets", "200", "--pdf"], check=True, timeout=300)
    pdf = (tmp_path / "report.pdf").read_bytes()
    assert pdf.startswith(b"%PDF-")
    assert pdf.count(b"/Type /Page\n") + pdf.count(b"/Type /Page>") + pdf.count(b"/Type/Page") >= 2
    # The tables span the page: the headings of the items and of the versions end near its right margin.
    if shutil.which("pdftotext"):
        boxes = subprocess.run(["pdftotext", "-bbox", str(tmp_path / "report.pdf"), "-"], capture_output=True,
                               text=True, check=True).stdout
        width = float(re.search(r'<page width="([0-9.]+)"', boxes).group(1))
        words = [(float(x0), float(y0), float(x1), w) for x0, y0, x1, w in
                 re.findall(r'<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)"[^>]*>([^<]*)</word>', boxes)]
        for first, second, share in (("Item", "Key", 0.75), ("Version", "Sheets", 0.85)):
            heading = next(y for _, y, _, w in words if w == first and (y, second) in {(v, t) for _, v, _, t in words})
            assert max(x1 for _, y, x1, _ in words if y == heading) > share * width, first
    assert not [p for p in pathlib.Path(tmp_path).iterdir() if p.name.startswith(".report.pdf")]

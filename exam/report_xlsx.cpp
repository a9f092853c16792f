#include "report_xlsx.h"

#include <initializer_list>
#include <optional>

#include "report_common.h"

namespace omr::exam {

namespace {

// Writes cells left to right along one row, remembering the first failure.
class RowWriter {
 public:
  RowWriter(lxw_worksheet* sheet, lxw_row_t row, lxw_error& status)
      : sheet_(sheet), row_(row), status_(status) {}
  RowWriter& Text(const std::string& text) {
    Keep(worksheet_write_string(sheet_, row_, col_++, CleanUtf8(text).c_str(), nullptr));
    return *this;
  }
  RowWriter& Number(double v, lxw_format* format = nullptr) {
    Keep(worksheet_write_number(sheet_, row_, col_++, v, format));
    return *this;
  }
  RowWriter& Number(const std::optional<double>& v, lxw_format* format) {
    if (v) return Number(*v, format);
    ++col_;
    return *this;
  }
  RowWriter& Bool(bool v) {
    Keep(worksheet_write_boolean(sheet_, row_, col_++, v, nullptr));
    return *this;
  }

 private:
  void Keep(lxw_error e) {
    if (status_ == LXW_NO_ERROR) status_ = e;
  }
  lxw_worksheet* sheet_;
  lxw_row_t row_;
  lxw_col_t col_ = 0;
  lxw_error& status_;
};

void Header(lxw_worksheet* sheet, std::initializer_list<const char*> names, lxw_format* bold,
            lxw_error& status) {
  lxw_col_t c = 0;
  for (const char* n : names) {
    const lxw_error e = worksheet_write_string(sheet, 0, c++, n, bold);
    if (status == LXW_NO_ERROR) status = e;
  }
  worksheet_freeze_panes(sheet, 1, 0);
  worksheet_autofilter(sheet, 0, 0, 0, static_cast<lxw_col_t>(c - 1));
}

std::string VersionCell(const Analysis& a) {
  return a.allVersions ? "(all versions)" : a.version;
}

}  // namespace

bool AddAnalysisWorksheets(lxw_workbook* workbook, const ExamAnalysis& exam, std::string& error) {
  for (const char* name : {kTestSheetName, kItemSheetName, kOptionSheetName}) {
    if (workbook_get_worksheet_by_name(workbook, name)) {
      error = std::string("the workbook already has a sheet \"") + name + "\"";
      return false;
    }
  }
  lxw_worksheet* test = workbook_add_worksheet(workbook, kTestSheetName);
  lxw_worksheet* items = workbook_add_worksheet(workbook, kItemSheetName);
  lxw_worksheet* options = workbook_add_worksheet(workbook, kOptionSheetName);
  if (!test || !items || !options) {
    error = "cannot add the item analysis worksheets";
    return false;
  }
  lxw_format* bold = workbook_add_format(workbook);
  format_set_bold(bold);
  lxw_format* two = workbook_add_format(workbook);
  format_set_num_format(two, "0.00");
  lxw_format* three = workbook_add_format(workbook);
  format_set_num_format(three, "0.000");
  lxw_format* percent = workbook_add_format(workbook);
  format_set_num_format(percent, "0.0%");

  std::vector<const Analysis*> all{&exam.overall};
  for (const Analysis& v : exam.versions) all.push_back(&v);

  lxw_error status = LXW_NO_ERROR;
  Header(test,
         {"Version", "Sheets", "Items scored", "Maximum", "Group size", "Mean", "Median", "SD", "Min", "Max",
          "Alpha", "SEM", "Alpha items", "Floored"},
         bold, status);
  Header(items,
         {"Version", "Item", "Maximum", "Key", "Void", "Bonus", "Mean", "p", "D", "Point-biserial", "r",
          "Alpha if deleted", "p upper", "p lower", "Flags"},
         bold, status);
  Header(options,
         {"Version", "Item", "Option", "Keyed", "Sheets", "Share", "Upper share", "Lower share",
          "Point-biserial"},
         bold, status);
  lxw_row_t testRow = 1, itemRow = 1, optionRow = 1;
  for (const Analysis* a : all) {
    const TestResult& t = a->test;
    RowWriter(test, testRow++, status)
        .Text(VersionCell(*a))
        .Number(static_cast<double>(t.n))
        .Number(t.k)
        .Number(t.maximum)
        .Number(static_cast<double>(t.group))
        .Number(t.mean, two)
        .Number(t.median, two)
        .Number(t.sd, two)
        .Number(t.min, two)
        .Number(t.max, two)
        .Number(t.alpha, three)
        .Number(t.sem, two)
        .Number(t.alphaItems)
        .Number(static_cast<double>(t.floored));
    for (std::size_t i = 0; i < a->items.size(); ++i) {
      const ItemResult& item = a->items[i];
      RowWriter(items, itemRow++, status)
          .Text(VersionCell(*a))
          .Number(item.master)
          .Number(item.maximum)
          .Text(KeyText(exam, *a, i))
          .Bool(item.isVoid)
          .Bool(item.bonus)
          .Number(item.mean, two)
          .Number(item.p, three)
          .Number(item.d, three)
          .Number(item.pointBiserial, three)
          .Number(item.r, three)
          .Number(item.alphaIfDeleted, three)
          .Number(item.pUpper, three)
          .Number(item.pLower, three)
          .Text(FlagNames(item.flags, " "));
      for (const OptionRow& row : item.options) {
        RowWriter(options, optionRow++, status)
            .Text(VersionCell(*a))
            .Number(item.master)
            .Text(RowName(row))
            .Bool(row.keyed)
            .Number(static_cast<double>(row.count))
            .Number(row.share, percent)
            .Number(row.upperShare, percent)
            .Number(row.lowerShare, percent)
            .Number(row.pointBiserial, three);
      }
    }
    if (status != LXW_NO_ERROR) break;
  }
  if (status != LXW_NO_ERROR) {
    error = std::string("cannot write the item analysis worksheets: ") + lxw_strerror(status);
    return false;
  }
  worksheet_set_column(test, 0, 0, 16, nullptr);
  worksheet_set_column(items, 0, 0, 16, nullptr);
  worksheet_set_column(options, 0, 0, 16, nullptr);
  worksheet_set_column(options, 5, 8, 13, nullptr);
  return true;
}

}  // namespace omr::exam

#include "project_integrity.h"

#include <omr_offline.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "error.h"
#include "integrity_report.h"
#include "project_analysis.h"
#include "report_html.h"
#include "vocabulary.h"

namespace omr::exam {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

constexpr const char* kStation = "station";

// A word as a POSIX shell reads it back: plain when it is, else in single quotes.
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isalnum(c) || std::strchr("/._-+:@=,", c) != nullptr;
  });
  if (plain) return word;
  std::string out = "'";
  for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::vector<std::string> GroupColumnsOf(const Roster& roster, const std::string& wanted) {
  std::vector<std::string> out;
  for (std::size_t c = 0; c < roster.columns.size(); ++c) {
    const std::string& name = roster.columns[c];
    if (name == wanted) {
      out.push_back(name);
      continue;
    }
    if (Lower(name) == "name" || Lower(name) == kStation) continue;
    std::set<std::string> values;
    std::size_t filled = 0;
    for (const auto& [id, row] : roster.rows) {
      if (c >= row.size() || row[c].empty()) continue;
      ++filled;
      values.insert(row[c]);
    }
    if (values.size() >= 2 && values.size() * 2 <= filled) out.push_back(name);
  }
  out.push_back(kStation);
  return out;
}

std::vector<int> DoubtedItems(const SheetScore& score) {
  std::set<int> doubted;
  for (const Reason& r : score.reasons) {
    if (r.code != reason::kDoubtful) continue;
    if (r.item > 0) {
      doubted.insert(r.item);
      continue;
    }
    for (const ItemScore& item : score.items)
      if (item.question == r.question) doubted.insert(item.master);
  }
  return {doubted.begin(), doubted.end()};
}

std::vector<std::string> ErasedLabels(const std::vector<QuestionDetail>& questions) {
  std::vector<std::string> out;
  for (const QuestionDetail& q : questions) {
    if (q.question < 1) continue;
    if (out.size() < static_cast<std::size_t>(q.question)) out.resize(static_cast<std::size_t>(q.question));
    std::string& labels = out[static_cast<std::size_t>(q.question - 1)];
    for (const CellDetail& c : q.cells)
      if (!c.marked && (c.doubtful & OMRO_DOUBT_ERASURE) && c.label != ' ') labels += c.label;
  }
  return out;
}

IntegrityInput IntegrityInputOf(Project& project, const std::vector<SheetScore>& scores,
                                const std::vector<SheetRecord>& sheets, const std::string& group) {
  const Roster& roster = project.roster();
  if (!group.empty() && group != kStation &&
      std::find(roster.columns.begin(), roster.columns.end(), group) == roster.columns.end()) {
    std::string names;
    for (const std::string& c : GroupColumnsOf(roster, "")) names += (names.empty() ? "" : ", ") + c;
    throw Error("there is no group \"" + group + "\": the groups are the roster's columns and station (" +
                names + ")");
  }
  IntegrityInput in;
  const std::vector<SheetScore> candidates = CombineSheets(project.exam(), scores);
  in.analysis = AnalysisInputOf(project.exam(), project.shape(), candidates);
  // The groups the exam names, when it names them; else the roster's columns that look like groups.
  if (group.empty() && !project.exam().groups.empty()) {
    in.groupColumns = project.exam().groups;
    in.groupColumns.push_back(kStation);
  } else {
    in.groupColumns = GroupColumnsOf(roster, group);
  }
  in.placeColumns = {kStation};
  std::vector<int> rosterColumn;
  for (const std::string& c : in.groupColumns) {
    const auto hit = std::find(roster.columns.begin(), roster.columns.end(), c);
    rosterColumn.push_back(hit == roster.columns.end() ? -1 : static_cast<int>(hit - roster.columns.begin()));
  }
  // A candidate is numbered by its first sheet: its station and place in the run are that one's.
  std::map<std::int64_t, std::size_t> byNumber;
  for (std::size_t i = 0; i < candidates.size(); ++i) byNumber[candidates[i].number] = i;
  std::map<std::int64_t, std::size_t> recordOf;
  for (std::size_t i = 0; i < sheets.size(); ++i) recordOf[sheets[i].number] = i;
  // The analysed candidates with items read from each sheet.
  std::map<int, std::vector<std::size_t>> readFrom;

  const std::size_t items = in.analysis.items.size();
  in.sheets.resize(in.analysis.sheets.size());
  for (std::size_t s = 0; s < in.analysis.sheets.size(); ++s) {
    const SheetScore& score = candidates[byNumber.at(in.analysis.sheets[s].number)];
    const SheetRecord& record = sheets[recordOf.at(score.number)];
    for (const ItemScore& item : score.items)
      if (item.sheet && (readFrom[item.sheet].empty() || readFrom[item.sheet].back() != s))
        readFrom[item.sheet].push_back(s);
    IntegritySheet& extra = in.sheets[s];
    extra.student = score.idState == IdState::kValid ? score.studentId : "";
    const auto row = roster.rows.find(extra.student);
    for (std::size_t c = 0; c < in.groupColumns.size(); ++c) {
      if (in.groupColumns[c] == kStation) {
        extra.groups.push_back(record.station);
      } else if (row != roster.rows.end() && rosterColumn[c] >= 0 &&
                 static_cast<std::size_t>(rosterColumn[c]) < row->second.size()) {
        extra.groups.push_back(row->second[static_cast<std::size_t>(rosterColumn[c])]);
      } else {
        extra.groups.emplace_back();
      }
    }
    extra.run = record.station + "#" + (record.batch ? std::to_string(record.batch) : std::string("import"));
    extra.position = record.stationNumber;
    extra.doubted.assign(items, false);
    for (const int master : DoubtedItems(score))
      if (master >= 1 && static_cast<std::size_t>(master) <= items)
        extra.doubted[static_cast<std::size_t>(master - 1)] = true;
  }

  // Erasures: the stored grids decoded again with the project's form.
  ProgressMeter meter(project.progress(), step::kIntegrity, static_cast<std::int64_t>(sheets.size()));
  project.store().ForEachSheet(project.examId(), true, [&](SheetRecord& record, std::vector<Response>&) {
    meter.Add();
    const auto at = readFrom.find(record.number);
    if (at == readFrom.end() || record.grid.empty()) return;
    SheetGrid grid;
    std::string error;
    if (!ExpandGrid(record.lines, record.columns, record.grid, grid, error))
      throw Error("sheet " + std::to_string(record.number) + ": " + error);
    const std::vector<std::string> erased = ErasedLabels(project.form().Cells(grid));
    for (const std::size_t s : at->second) {
      const SheetScore& score = candidates[byNumber.at(in.analysis.sheets[s].number)];
      IntegritySheet& extra = in.sheets[s];
      if (extra.erased.empty()) extra.erased.assign(items, std::string());
      for (std::size_t m = 0; m < score.items.size() && m < items; ++m) {
        const int q = score.items[m].question;
        if (score.items[m].sheet == record.number && q >= 1 && static_cast<std::size_t>(q) <= erased.size())
          extra.erased[m] = erased[static_cast<std::size_t>(q - 1)];
      }
    }
  });
  meter.Finish();
  return in;
}

ProjectIntegrity AnalyzeProjectIntegrity(Project& project, const IntegrityOptions& options) {
  // Read once: every proposed key's dry run scores these again in memory.
  project.Sync();
  const Project::ScoringInputs inputs = project.ReadScoringInputs();
  const std::vector<SheetRecord>& sheets = inputs.sheets;
  const std::vector<SheetScore> scores = project.ScoreInputs(inputs);
  ProjectIntegrity out;
  out.analysis = AnalyzeScores(project.exam(), project.shape(), CombineSheets(project.exam(), scores));
  const IntegrityInput input = IntegrityInputOf(project, scores, sheets, options.group);
  std::string error;
  if (!AnalyzeIntegrity(input, options, &out.analysis, out.result, error))
    throw Error("cannot screen the exam: " + error);
  // Each proposed key as one re-key, tried without storing anything.
  const bool several = project.store().Exams().size() > 1;
  for (KeyFix& fix : out.result.keyFixes) {
    if (!fix.version.empty()) continue;  // a key of one version: the exam file says which
    // An item right when all of its options are marked has no one key to put in its place.
    if (!project.exam().rules[static_cast<std::size_t>(fix.master - 1)].all.empty()) continue;
    ItemChange change;
    change.item = fix.master;
    change.key = std::string(1, fix.proposed);
    try {
      fix.preview = project.PreviewRekey(change, inputs, scores);
    } catch (const StoreError&) {
      throw;
    } catch (const Error&) {
      continue;  // no one-item re-key makes it (an "all" item): the exam file says how
    }
    fix.command = "omrctl exam rekey " + ShellWord(project.store().Location()) +
                  (several ? " --name " + ShellWord(project.examName()) : "") + " --item " +
                  std::to_string(fix.master) + " --key " + ShellWord(change.key.value_or(""));
  }
  out.title = project.exam().title.empty() ? project.examName() : project.exam().title;
  out.generated = NowUtc();
  return out;
}

std::string RenderProjectReport(Project& project) {
  ProjectReport report = AnalyzeProject(project);
  report.info.sections += IntegritySection(AnalyzeProjectIntegrity(project, {}).result);
  return RenderHtmlReport(report.analysis, report.info);
}

}  // namespace omr::exam

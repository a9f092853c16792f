#include "planted_exam.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "error.h"
#include "form/form_loader.h"
#include "form/reader_settings.h"
#include "seeded_draw.h"

namespace omr::exam::testing {

namespace {

constexpr const char* kOptions = "ABCDE";

int Option(char label) {
  return static_cast<int>(std::string(kOptions).find(label));
}

int Wrong(const PlantedExam& e, const PlantedStudent& s) {
  int w = 0;
  for (int m = 1; m <= PlantedExam::kItems; ++m)
    w += s.answers[static_cast<std::size_t>(m - 1)] != ' ' && !e.Right(s, m);
  return w;
}

}  // namespace

bool PlantedExam::Right(const PlantedStudent& s, int m) const {
  return s.answers[static_cast<std::size_t>(m - 1)] == writtenKey[static_cast<std::size_t>(m - 1)];
}

std::vector<sim::Answer> PlantedExam::SheetAnswers(const PlantedStudent& s) const {
  std::vector<sim::Answer> out;
  for (const char c : s.id) out.push_back(sim::Answer::Char(c));
  out.push_back(sim::Answer::Char('0'));
  out.push_back(sim::Answer::Char(static_cast<char>('0' + s.version)));
  for (int i = 0; i < kItems; ++i) {
    const std::size_t m =
        static_cast<std::size_t>(s.version == 1 ? i : order2[static_cast<std::size_t>(i)] - 1);
    if (s.answers[m] == ' ') {
      out.push_back(sim::Answer::Blank());
      continue;
    }
    std::vector<sim::Mark> marks = {{Option(s.answers[m]), sim::MarkStyle::Normal}};
    if (s.erased[m] != ' ') marks.push_back({Option(s.erased[m]), sim::MarkStyle::Erasure});
    out.push_back(sim::Answer::Marks(marks));
  }
  return out;
}

PlantedExam PlantExam(const PlantedPlan& plan) {
  PlantedExam e;
  e.plan = plan;
  Draw draw(plan.seed);
  constexpr int k = PlantedExam::kItems;
  std::vector<double> a(k), b(k);
  std::vector<std::vector<double>> lure(k);  // how attractive each distractor is
  for (int i = 0; i < k; ++i) {
    e.trueKey += kOptions[draw.Below(5)];
    a[static_cast<std::size_t>(i)] = draw.Uniform(0.8, 1.6);
    b[static_cast<std::size_t>(i)] = draw.Uniform(-1.5, 1.0);
    for (int o = 0; o < 5; ++o) lure[static_cast<std::size_t>(i)].push_back(-std::log(1.0 - draw.Uniform()));
  }
  // The biased item of middle difficulty, so that its margin shows.
  if (plan.difItem > 0) {
    a[static_cast<std::size_t>(plan.difItem - 1)] = 1.2;
    b[static_cast<std::size_t>(plan.difItem - 1)] = 0.3;
  }
  e.writtenKey = e.trueKey;
  if (plan.wrongKeyItem > 0) {
    const std::size_t w = static_cast<std::size_t>(plan.wrongKeyItem - 1);
    e.writtenKey[w] = kOptions[(Option(e.trueKey[w]) + 1) % 5];
  }
  for (int m = 1; m <= k; ++m) e.order2.push_back(m);
  draw.Shuffle(e.order2);
  const std::string classes[] = {"7A", "8B", "9C", "10D", "11E", "12F"};
  if (plan.difItem > 0) e.difClass = classes[plan.difClass];
  if (plan.doubledRoom >= 0) e.doubledRoom = "R" + std::to_string(plan.doubledRoom + 1);

  // Students and their own answers; classes of equal size.
  std::vector<PlantedStudent> all(static_cast<std::size_t>(plan.students));
  std::vector<int> seat(all.size());
  for (std::size_t s = 0; s < seat.size(); ++s) seat[s] = static_cast<int>(s);
  draw.Shuffle(seat);
  for (int s = 0; s < plan.students; ++s) {
    PlantedStudent& st = all[static_cast<std::size_t>(s)];
    char id[16];
    std::snprintf(id, sizeof id, "2024%04d", s + 1);
    st.id = id;
    st.name = "Student " + std::to_string(s + 1);
    st.klass = classes[seat[static_cast<std::size_t>(s)] % plan.classes];
    st.room = "R" + std::to_string(s % plan.rooms + 1);
    st.version = 1 + draw.Below(2);
    st.ability = draw.Normal();
    st.answers.assign(k, ' ');
    st.erased.assign(k, ' ');
    for (int i = 0; i < k; ++i) {
      const std::size_t ii = static_cast<std::size_t>(i);
      if (draw.Uniform() < plan.blankRate) continue;
      const double shift = (i + 1 == plan.difItem && st.klass == e.difClass) ? plan.difShift : 0.0;
      const double p = 0.2 + 0.8 / (1 + std::exp(-1.7 * a[ii] * (st.ability - b[ii] + shift)));
      if (draw.Uniform() < p) {
        st.answers[ii] = e.trueKey[ii];
        continue;
      }
      double total = 0;
      for (int o = 0; o < 5; ++o)
        if (kOptions[o] != e.trueKey[ii]) total += lure[ii][static_cast<std::size_t>(o)];
      double u = draw.Uniform() * total;
      for (int o = 0; o < 5; ++o) {
        if (kOptions[o] == e.trueKey[ii]) continue;
        st.answers[ii] = kOptions[o];
        u -= lure[ii][static_cast<std::size_t>(o)];
        if (u <= 0) break;
      }
    }
  }

  // Reading order: room after room, shuffled within the room.
  std::vector<std::vector<int>> rooms(static_cast<std::size_t>(plan.rooms));
  for (int s = 0; s < plan.students; ++s) rooms[static_cast<std::size_t>(s % plan.rooms)].push_back(s);
  for (auto& r : rooms) draw.Shuffle(r);

  // Copiers: in rooms 1, 2, ... each copies a source with enough wrong
  // answers, and hands in right after it.
  std::vector<bool> taken(all.size(), false);
  std::vector<std::pair<int, int>> pairs;  // original indexes
  for (int p = 0; p < plan.pairs; ++p) {
    auto& room = rooms[static_cast<std::size_t>(p % plan.rooms)];
    int source = -1, copier = -1;
    for (const int s : room) {
      if (taken[static_cast<std::size_t>(s)]) continue;
      if (source < 0 && Wrong(e, all[static_cast<std::size_t>(s)]) >= plan.minSourceWrong)
        source = s;
      else if (copier < 0)
        copier = s;
    }
    if (source < 0 || copier < 0) throw Error("the plan leaves no source or copier in a room");
    taken[static_cast<std::size_t>(source)] = taken[static_cast<std::size_t>(copier)] = true;
    // Shares spread evenly over the range, the lowest first.
    const double share =
        plan.pairs > 1 ? plan.copyLow + (plan.copyHigh - plan.copyLow) * p / (plan.pairs - 1) : plan.copyLow;
    e.shares.push_back(share);
    PlantedStudent& c = all[static_cast<std::size_t>(copier)];
    const PlantedStudent& src = all[static_cast<std::size_t>(source)];
    for (int i = 0; i < k; ++i)
      if (draw.Uniform() < share)
        c.answers[static_cast<std::size_t>(i)] = src.answers[static_cast<std::size_t>(i)];
    room.erase(std::find(room.begin(), room.end(), copier));
    room.insert(std::find(room.begin(), room.end(), source) + 1, copier);
    pairs.emplace_back(source, copier);
  }

  // Erasers: in rooms other than the doubled one, one a room; six of their
  // wrong answers erased and changed to the key.
  std::vector<int> erasers;
  for (int r = 0, placed = 0; r < plan.rooms && placed < plan.erasers; ++r) {
    if (r == plan.doubledRoom) continue;
    for (const int s : rooms[static_cast<std::size_t>(r)]) {
      PlantedStudent& st = all[static_cast<std::size_t>(s)];
      if (taken[static_cast<std::size_t>(s)] || Wrong(e, st) < plan.erasuresEach + 4) continue;
      std::vector<int> wrong;
      for (int m = 1; m <= k; ++m)
        if (m != plan.wrongKeyItem && st.answers[static_cast<std::size_t>(m - 1)] != ' ' && !e.Right(st, m))
          wrong.push_back(m);
      if (static_cast<int>(wrong.size()) < plan.erasuresEach) continue;
      draw.Shuffle(wrong);
      for (int j = 0; j < plan.erasuresEach; ++j) {
        const std::size_t m = static_cast<std::size_t>(wrong[static_cast<std::size_t>(j)] - 1);
        st.erased[m] = st.answers[m];
        st.answers[m] = e.writtenKey[m];
      }
      taken[static_cast<std::size_t>(s)] = true;
      erasers.push_back(s);
      ++placed;
      break;
    }
  }
  if (static_cast<int>(erasers.size()) < plan.erasers) throw Error("the plan leaves no room for an eraser");

  // Erasures at the base rate (twice it in the doubled room), beside any
  // answered item that has none yet, of another option.
  for (PlantedStudent& st : all) {
    const double rate = st.room == e.doubledRoom ? 2 * plan.erasureRate : plan.erasureRate;
    for (int i = 0; i < k; ++i) {
      const std::size_t ii = static_cast<std::size_t>(i);
      if (st.answers[ii] == ' ' || st.erased[ii] != ' ' || draw.Uniform() >= rate) continue;
      st.erased[ii] = kOptions[(Option(st.answers[ii]) + 1 + draw.Below(4)) % 5];
    }
  }

  // Reading order and the indexes of what was planted in it.
  std::vector<int> where(all.size());
  for (const auto& room : rooms)
    for (const int s : room) {
      where[static_cast<std::size_t>(s)] = static_cast<int>(e.students.size());
      e.students.push_back(all[static_cast<std::size_t>(s)]);
    }
  for (const auto& [s, c] : pairs)
    e.pairs.emplace_back(where[static_cast<std::size_t>(s)], where[static_cast<std::size_t>(c)]);
  for (const int s : erasers) e.erasers.push_back(where[static_cast<std::size_t>(s)]);

  // The exam file and the roster.
  std::string order;
  std::string key2;
  for (std::size_t i = 0; i < e.order2.size(); ++i) {
    order += (i ? ", " : "") + std::to_string(e.order2[i]);
    key2 += e.writtenKey[static_cast<std::size_t>(e.order2[i] - 1)];
  }
  e.examJson =
      "{\"title\": \"Planted exam\", \"form\": \"exam60.form\",\n"
      " \"student\": {\"questions\": \"1-8\", \"roster\": \"students.csv\"},\n"
      " \"version\": {\"question\": 10}, \"items\": \"11-70\",\n"
      " \"keys\": {\"1\": \"" +
      e.writtenKey + "\",\n  \"2\": {\"answers\": \"" + key2 + "\", \"order\": [" + order + "]}}}\n";
  e.rosterCsv = "id,name,class,room\n";
  for (int s = 0; s < plan.students; ++s) {
    const PlantedStudent& st = all[static_cast<std::size_t>(s)];
    e.rosterCsv += st.id + "," + st.name + "," + st.klass + "," + st.room + "\n";
  }
  return e;
}

namespace {

std::string StationOf(const PlantedExam& exam, const std::string& room) {
  return std::stoi(room.substr(1)) <= exam.plan.rooms / 2 ? "desk1" : "desk2";
}

}  // namespace

IntegrityInput PlantedInput(const PlantedExam& exam) {
  IntegrityInput in;
  in.analysis.versions = {"1", "2"};
  for (int m = 1; m <= PlantedExam::kItems; ++m) {
    AnalysisItem item;
    item.master = m;
    item.maximum = 1;
    item.options = kOptions;
    item.keyed = std::string(1, exam.writtenKey[static_cast<std::size_t>(m - 1)]);
    in.analysis.items.push_back(item);
  }
  in.groupColumns = {"class", "room", "station"};
  in.placeColumns = {"station"};
  std::string room;
  std::int64_t position = 0;
  for (std::size_t s = 0; s < exam.students.size(); ++s) {
    const PlantedStudent& st = exam.students[s];
    AnalysisSheet sheet;
    sheet.number = static_cast<std::int64_t>(s + 1);
    sheet.version = std::to_string(st.version);
    IntegritySheet extra;
    extra.student = st.id;
    for (int m = 1; m <= PlantedExam::kItems; ++m) {
      const std::size_t i = static_cast<std::size_t>(m - 1);
      sheet.points.push_back(exam.Right(st, m) ? 1.0 : 0.0);
      sheet.right.push_back(sheet.points.back());
      sheet.marked.push_back(st.answers[i] == ' ' ? std::string() : std::string(1, st.answers[i]));
      extra.erased.push_back(st.erased[i] == ' ' ? std::string() : std::string(1, st.erased[i]));
      extra.doubted.push_back(st.erased[i] != ' ');
    }
    if (st.room != room) position = 0;
    room = st.room;
    extra.groups = {st.klass, st.room, StationOf(exam, st.room)};
    extra.run = StationOf(exam, st.room) + "#" + st.room;
    extra.position = ++position;
    in.analysis.sheets.push_back(std::move(sheet));
    in.sheets.push_back(std::move(extra));
  }
  return in;
}

std::unique_ptr<Project> StorePlantedExam(const PlantedExam& exam, const std::string& dir,
                                          const std::string& location) {
  namespace fs = std::filesystem;
  const std::string form = OMR_SOURCE_DIR "/examples/exam60.form";
  fs::copy_file(form, fs::path(dir) / "exam60.form", fs::copy_options::overwrite_existing);
  std::ofstream(fs::path(dir) / "exam.json") << exam.examJson;
  std::ofstream(fs::path(dir) / "students.csv") << exam.rosterCsv;
  auto project = Project::Create(location, (fs::path(dir) / "exam.json").string(), "exam", "test");

  FormDefinition forms;
  ReaderSettings settings;
  std::int32_t code = 0;
  if (!ReadFormFile(forms, settings, form.c_str(), code)) throw Error("cannot read " + form);
  forms.SelectLayout(kFaceA);
  const SheetLayout& layout = forms.Layout(kFaceA, 0);
  std::string room;
  Id batch = 0;
  std::string station;
  for (std::size_t s = 0; s < exam.students.size(); ++s) {
    const PlantedStudent& st = exam.students[s];
    if (st.room != room) {
      if (batch) project->EndBatch(batch, "done");
      room = st.room;
      station = StationOf(exam, room);
      batch = project->BeginBatch(station);
    }
    sim::DrawOptions draw;
    draw.seed = static_cast<std::uint32_t>(exam.plan.seed * 100003 + s);
    draw.noise = 1;
    sim::SheetGrid grid;
    std::string why;
    if (!sim::DrawSheet(layout, exam.SheetAnswers(st), draw, grid, why))
      throw Error("cannot draw the sheet of " + st.id + ": " + why);
    SheetInput input;
    input.station = station;
    input.batch = batch;
    input.hasGrid = true;
    input.decoded = project->form().Decode(
        {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
    project->AddSheet(input);
  }
  if (batch) project->EndBatch(batch, "done");
  return project;
}

}  // namespace omr::exam::testing

// The integrity analyses: their time on a large exam, and how often they find
// what a planted exam hides over many seeds (the tests check one seed).
//
//   omr_bench_integrity [--students N] [--rooms N] [--repetitions N]
//   omr_bench_integrity --detection SEEDS [--erasure-rate R]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "integrity.h"
#include "planted_exam.h"

namespace {

using namespace omr::exam;

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 0, cpu = 0;
};

template <class F>
Timing Median(int repetitions, F&& f) {
  std::vector<Timing> runs;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    f();
    runs.push_back({std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                    CpuSeconds() - cpu});
  }
  std::sort(runs.begin(), runs.end(), [](const Timing& a, const Timing& b) { return a.cpu < b.cpu; });
  return runs[runs.size() / 2];
}

int Benchmark(int students, int rooms, int repetitions) {
  testing::PlantedPlan plan;
  plan.students = students;
  plan.rooms = rooms;
  const testing::PlantedExam exam = testing::PlantExam(plan);
  const IntegrityInput input = testing::PlantedInput(exam);
  std::printf("exam: %d students x %d items, %d rooms; load average before: %s\n", students,
              testing::PlantedExam::kItems, rooms, LoadAverage().c_str());
  ExamAnalysis analysis;
  std::string error;
  if (!AnalyzeExam(input.analysis, analysis, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  struct Case {
    const char* name;
    IntegrityOptions options;
  };
  std::vector<Case> cases(2);
  cases[0].name = "every column, pairs as chosen by size";
  cases[1].name = "--group room (pairs within rooms)";
  cases[1].options.group = "room";
  for (const Case& c : cases) {
    IntegrityResult result;
    const Timing t = Median(repetitions, [&] {
      if (!AnalyzeIntegrity(input, c.options, &analysis, result, error))
        std::fprintf(stderr, "%s\n", error.c_str());
    });
    const char* scope = result.similarity.scope == PairScope::kAll     ? "all pairs"
                        : result.similarity.scope == PairScope::kGroup ? "within groups"
                                                                       : "run neighbours";
    std::printf("%-40s cpu %.2f s  wall %.2f s  (pairs: %s, %lld tested)  target < 10 s: %s\n", c.name, t.cpu,
                t.wall, scope, static_cast<long long>(result.similarity.pairsTested),
                t.cpu < 10 ? "met" : "NOT met");
  }
  // Each part alone, every column.
  const IntegrityOptions all;
  std::printf("  erasures %.2f s, similarity %.2f s, DIF %.2f s, Rasch %.2f s (cpu)\n",
              Median(repetitions, [&] { AnalyzeErasures(input, all); }).cpu,
              Median(repetitions, [&] { AnalyzeSimilarity(input, all); }).cpu,
              Median(repetitions, [&] { AnalyzeDif(input, all); }).cpu,
              Median(repetitions, [&] { AnalyzeRasch(input.analysis); }).cpu);
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

int Detection(int seeds, double erasureRate) {
  struct Tally {
    int runs = 0;
    int allErasers = 0, othersAtMostOne = 0, roomFound = 0, noOtherRoom = 0;
    int pairsRoomAtLeast4 = 0, honestRoomAtMost1 = 0, pairsAllAtLeast4 = 0, honestAllAtMost1 = 0;
    int difC = 0, difBeyond = 0, chanceC = 0, chanceBeyond = 0, keyFixed = 0;
    double erasersFound = 0, pairsRoom = 0, pairsAll = 0, honestRoom = 0, honestAll = 0, otherStudents = 0;
  } t;
  for (int seed = 1; seed <= seeds; ++seed) {
    testing::PlantedPlan plan;
    plan.seed = static_cast<std::uint64_t>(seed);
    plan.erasureRate = erasureRate;
    const testing::PlantedExam exam = testing::PlantExam(plan);
    const IntegrityInput input = testing::PlantedInput(exam);
    IntegrityOptions room;
    room.group = "room";
    ++t.runs;

    const ErasureResult e = AnalyzeErasures(input, room);
    std::set<std::size_t> erasers(exam.erasers.begin(), exam.erasers.end());
    int found = 0, others = 0;
    for (const StudentErasures& s : e.students)
      if (s.test.flagged) (erasers.count(s.sheet) ? found : others)++;
    t.erasersFound += found;
    t.otherStudents += others;
    t.allErasers += found == static_cast<int>(erasers.size());
    t.othersAtMostOne += others <= 1;
    bool roomFlagged = false, otherRoom = false;
    for (const GroupErasures& g : e.groups)
      if (g.test.flagged) (g.value == exam.doubledRoom ? roomFlagged : otherRoom) = true;
    t.roomFound += roomFlagged;
    t.noOtherRoom += !otherRoom;

    std::set<std::pair<std::size_t, std::size_t>> planted;
    for (const auto& [s, c] : exam.pairs)
      planted.insert(std::minmax(static_cast<std::size_t>(s), static_cast<std::size_t>(c)));
    auto count = [&](const SimilarityResult& r, int& hits, int& honest) {
      hits = honest = 0;
      for (const PairSimilarity& p : r.pairs)
        if (p.flagged) (planted.count(std::minmax(p.source, p.copier)) ? hits : honest)++;
    };
    int hits = 0, honest = 0;
    count(AnalyzeSimilarity(input, room), hits, honest);
    t.pairsRoom += hits;
    t.honestRoom += honest;
    t.pairsRoomAtLeast4 += hits >= 4;
    t.honestRoomAtMost1 += honest <= 1;
    count(AnalyzeSimilarity(input, IntegrityOptions{}), hits, honest);
    t.pairsAll += hits;
    t.honestAll += honest;
    t.pairsAllAtLeast4 += hits >= 4;
    t.honestAllAtMost1 += honest <= 1;

    // Every column's comparisons: the planted one, and the C classes elsewhere (the biased
    // item against "the others" that hold its class aside).
    for (const DifComparison& c : AnalyzeDif(input, IntegrityOptions{}).comparisons) {
      const bool planted = c.column == "class" && c.focal == exam.difClass;
      for (const DifItem& d : c.items) {
        if (d.master == plan.difItem && planted) {
          t.difC += d.category == DifClass::kC;
          t.difBeyond += d.category == DifClass::kC && d.beyondChance;
        }
        if (d.master != plan.difItem && d.category == DifClass::kC) ++t.chanceC;
        if (d.master != plan.difItem && d.category == DifClass::kC && d.beyondChance) ++t.chanceBeyond;
      }
    }
    ExamAnalysis analysis;
    std::string error;
    if (AnalyzeExam(input.analysis, analysis, error)) {
      for (const KeyFix& f : ProposeKeys(analysis))
        t.keyFixed += f.master == plan.wrongKeyItem &&
                      f.proposed == exam.trueKey[static_cast<std::size_t>(plan.wrongKeyItem - 1)];
    }
  }
  const double n = t.runs;
  std::printf("%d planted exams of 400 students x 60 items, base erasure rate %.3f\n", t.runs, erasureRate);
  std::printf(
      "erasures: planted students flagged %.2f of 4 (all four in %.0f%%), others flagged %.2f "
      "(at most one in %.0f%%)\n",
      t.erasersFound / n, 100 * t.allErasers / n, t.otherStudents / n, 100 * t.othersAtMostOne / n);
  std::printf("          doubled room flagged in %.0f%%, another room in %.0f%%\n", 100 * t.roomFound / n,
              100 * (n - t.noOtherRoom) / n);
  std::printf(
      "copying within rooms: %.2f of 5 pairs (at least four in %.0f%%), honest pairs %.2f (at most one "
      "in %.0f%%)\n",
      t.pairsRoom / n, 100 * t.pairsRoomAtLeast4 / n, t.honestRoom / n, 100 * t.honestRoomAtMost1 / n);
  std::printf(
      "copying, all pairs:   %.2f of 5 pairs (at least four in %.0f%%), honest pairs %.2f (at most one "
      "in %.0f%%)\n",
      t.pairsAll / n, 100 * t.pairsAllAtLeast4 / n, t.honestAll / n, 100 * t.honestAllAtMost1 / n);
  std::printf(
      "DIF: the planted item in C in %.0f%% (beyond chance in %.0f%%); other items in C %.2f an exam "
      "(%.2f beyond chance)\n",
      100 * t.difC / n, 100 * t.difBeyond / n, t.chanceC / n, t.chanceBeyond / n);
  std::printf("key fix proposing the right answer in %.0f%%\n", 100 * t.keyFixed / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int students = 10000, rooms = 200, repetitions = 3, seeds = 0;
  double erasureRate = testing::PlantedPlan{}.erasureRate;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--students" && more)
      students = std::atoi(argv[++i]);
    else if (a == "--rooms" && more)
      rooms = std::atoi(argv[++i]);
    else if (a == "--repetitions" && more)
      repetitions = std::max(1, std::atoi(argv[++i]));
    else if (a == "--detection" && more)
      seeds = std::atoi(argv[++i]);
    else if (a == "--erasure-rate" && more)
      erasureRate = std::atof(argv[++i]);
    else {
      std::fprintf(stderr,
                   "usage: omr_bench_integrity [--students N] [--rooms N] [--repetitions N]\n"
                   "       omr_bench_integrity --detection SEEDS [--erasure-rate R]\n");
      return 2;
    }
  }
  if (students < 100 || rooms < 1 || rooms > students / 20) {
    std::fprintf(stderr, "omr_bench_integrity: at least 100 students and 20 a room\n");
    return 2;
  }
  return seeds > 0 ? Detection(seeds, erasureRate) : Benchmark(students, rooms, repetitions);
}

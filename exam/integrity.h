// Screening analyses that keep an exam fair: answer changes (erasures),
// answer similarity between pairs of students, item bias between groups
// (DIF), Rasch measures and item fit, and a proposed key where an item looks
// mis-keyed. Pure functions of the scored sheets, the erasures the
// recognition saw on them and the groups the students belong to: no store,
// no I/O. Every figure is a screening figure: it says where a person should
// look, never what happened.
//
// Conventions:
// - "Right" on an item means answered right in full (the item analysis's
//   share right is 1); anything else (wrong, blank, several marks, partial
//   credit) is not right. Void and bonus items are
//   left out of every analysis here.
// - An "answer" is one marked option; a wrong answer one that is not keyed
//   for the sheet's version. Blanks and several marks are neither answers
//   nor matches.
// - Every flag comes with the figures that raised it and a family-wise
//   false-alarm rate (Bonferroni over everything tested).
// - A figure that cannot be computed is an empty std::optional.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rekey.h"
#include "statistics.h"

namespace omr::exam {

// What the analyses read of a scored sheet beyond its points and marks.
struct IntegritySheet {
  std::string student;  // the student ID ("" when unknown)
  // Per item (AnalysisInput::items order): the labels of option cells the
  // recognition saw erased beside a mark. Empty vector: the reader kept no
  // grid of this sheet, so its erasures are unknown.
  std::vector<std::string> erased;
  // Per item: the recognition doubted the answer and no person reviewed it.
  std::vector<bool> doubted;
  // The sheet's value of each IntegrityInput::groupColumns column ("" none).
  std::vector<std::string> groups;
  std::string run;            // the reading run it came in (station and batch); "" unknown
  std::int64_t position = 0;  // its place in the run (the station's sheet number)
};

struct IntegrityInput {
  AnalysisInput analysis;              // items and scored sheets
  std::vector<IntegritySheet> sheets;  // one per analysis.sheets entry, in the same order
  // Names of the group columns ("class", "room", "station"), in the order of
  // IntegritySheet::groups.
  std::vector<std::string> groupColumns;
  // Those of them that say where a sheet was read (station), not who wrote
  // it: item bias is compared across them only when they are asked for.
  std::vector<std::string> placeColumns;
};

enum class PairScope {
  kAuto,   // pairs within IntegrityOptions::group when given, else all pairs up to kMaxAllPairs, else kRun
  kAll,    // every pair of students
  kGroup,  // pairs within each group of IntegrityOptions::group
  kRun,    // pairs of sheets read close to each other in one run (IntegrityOptions::runWindow)
};

inline constexpr std::size_t kMaxAllPairs = 5000;

struct IntegrityOptions {
  // The family-wise false-alarm rate of each screening: the chance, under its
  // model, that an exam where nothing happened shows any flag at all.
  double alpha = 0.05;
  // The group column the comparisons use; "" for every column.
  std::string group;
  PairScope pairs = PairScope::kAuto;
  int runWindow = 2;  // kRun: sheets at most this many places apart in their run
  // DIF classes need groups of this many sheets at least (the figures are
  // computed for smaller ones too): small groups make the MH estimate
  // unstable and the C rule fire by chance.
  std::int64_t difMinimum = 100;
  std::size_t pairsShown = 20;  // pairs kept beside the flagged ones: the most similar
};

// ---------------------------------------------------------------- erasures --

struct ErasureCounts {
  std::int64_t wrongToRight = 0;
  std::int64_t rightToWrong = 0;
  std::int64_t wrongToWrong = 0;
  std::int64_t items = 0;  // items that could show an erasure (the binomial's trials)
};

// Binomial upper tail of the wrong-to-right count against the rate of
// everyone else: P(X >= observed) for X ~ Binomial(items, rate).
struct ErasureTest {
  double rate = 0;      // the rate of the others (wrong-to-right erasures per item)
  double expected = 0;  // items x rate
  double p = 1;
  bool flagged = false;  // p < alpha / tested
};

struct StudentErasures {
  std::size_t sheet = 0;  // index in the input's sheets
  std::int64_t number = 0;
  std::string student;
  ErasureCounts counts;
  std::vector<int> wrongToRightItems;  // master numbers
  ErasureTest test;
};

struct GroupErasures {
  std::string column;
  std::string value;
  std::int64_t sheets = 0;        // the sheets tested: those with erasures known, but
  std::int64_t flaggedAlone = 0;  // the students flagged on their own, left out
  ErasureCounts counts;
  ErasureTest test;
};

struct ErasureResult {
  std::int64_t sheetsWithGrid = 0;  // sheets whose erasures are known: the students tested
  ErasureCounts total;
  std::optional<double> rate;   // wrong-to-right erasures per item over the exam
  double studentThreshold = 0;  // alpha / students tested
  std::int64_t groupsTested = 0;
  double groupThreshold = 0;  // alpha / groups tested
  // Students with at least one erasure, the least probable first.
  std::vector<StudentErasures> students;
  // Every group of the compared columns, the least probable first.
  std::vector<GroupErasures> groups;
};

// ------------------------------------------------------ answer similarity --

// One ordered pair in the generalized binomial test (GBT; van der Linden &
// Sotaridona 2006): the number of items the copier answers exactly as the
// source did, against its exact distribution when each item matches
// independently with the probability that a student of the copier's total
// score chooses the source's option. Those probabilities come from option
// response curves estimated by kernel smoothing over the total score
// (Ramsay 1991) instead of a fitted nominal response model; the pair itself
// is left out of them.
struct PairSimilarity {
  std::size_t source = 0;  // indexes in the input's sheets; the direction with the smaller p
  std::size_t copier = 0;
  std::int64_t sourceNumber = 0, copierNumber = 0;
  std::string sourceStudent, copierStudent;
  int compared = 0;     // items the source answered with one option: the trials
  int identical = 0;    // of them, answered alike by the copier
  double expected = 0;  // the sum of the match probabilities
  double p = 1;         // P(identical or more)
  bool flagged = false;
  std::string scope;                              // the group or run both belong to ("" for all pairs)
  std::vector<std::pair<int, char>> sharedWrong;  // (master item, label) of the identical wrong answers
};

struct SimilarityResult {
  PairScope scope = PairScope::kAll;  // as applied (never kAuto)
  std::string column;                 // kGroup: the column
  double bandwidth = 0;               // of the kernel, in points of the total score
  std::int64_t pairsTested = 0;       // ordered pairs (each pair is tested both ways)
  double threshold = 0;               // alpha / pairsTested
  // Flagged pairs, then the most similar others up to IntegrityOptions::pairsShown,
  // the least probable first.
  std::vector<PairSimilarity> pairs;
};

// ------------------------------------------------------------------- DIF --

enum class DifClass { kNone, kA, kB, kC };  // kNone: not computable
const char* DifClassName(DifClass c);       // "A", "B", "C" or "-"

// Mantel-Haenszel over total-score strata of one item for one comparison.
struct DifItem {
  int master = 0;
  std::optional<double> oddsRatio;  // alpha_MH: the reference group's odds of right over the focal group's
  std::optional<double> logSe;      // of ln alpha_MH (Robins, Breslow & Greenland 1986)
  std::optional<double> delta;      // MH D-DIF = -2.35 ln alpha_MH; negative: harder for the focal group
  std::optional<double> deltaSe;
  std::optional<double> chiSquare;  // MH chi-square with continuity correction
  std::optional<double> p;          // its p-value (1 degree of freedom)
  DifClass category = DifClass::kNone;
  // p below alpha / (items x classified comparisons): the ETS rule tests each
  // item at 5 %, so among many a few reach B or C by chance; this says which
  // would stand out with the exam's false-alarm rate over all of them.
  bool beyondChance = false;
};

struct DifComparison {
  std::string column;     // "version" or a group column
  std::string focal;      // the focal group's value
  std::string reference;  // the reference group's value, or "others"
  std::int64_t focalSheets = 0, referenceSheets = 0;
  bool classified = false;     // both groups hold IntegrityOptions::difMinimum sheets
  std::vector<DifItem> items;  // the analysed items, in item order
};

struct DifResult {
  std::vector<DifComparison> comparisons;
  std::int64_t tests = 0;  // item comparisons classified
  double threshold = 0;    // alpha / tests
};

// ----------------------------------------------------------------- Rasch --

struct RaschItem {
  int master = 0;
  bool estimated = false;
  std::string left;        // why it was left out ("void", "bonus", "everyone right", ...)
  std::int64_t right = 0;  // among the persons whose score is not extreme
  double difficulty = 0;   // logits, centred to mean 0 over the estimated items
  double se = 0;
  std::optional<double> infit;   // information-weighted mean square
  std::optional<double> outfit;  // unweighted mean square
};

struct RaschScore {
  int score = 0;  // right answers over the estimated items
  double measure = 0;
  std::optional<double> se;   // none for the extreme scores
  bool extrapolated = false;  // 0 and the full score: from a natural cubic spline through all the others
  std::int64_t persons = 0;
};

struct RaschResult {
  bool estimated = false;
  std::string why;  // when not estimated
  int iterations = 0;
  std::int64_t persons = 0;         // persons whose score is not extreme (they carry the estimates)
  std::int64_t extremePersons = 0;  // scores 0 and full
  std::vector<RaschItem> items;     // every item of the input, in its order
  std::vector<RaschScore> scores;   // 0 .. the number of estimated items
  // The test information I(theta) = sum P(1 - P) on a grid of theta.
  std::vector<std::pair<double, double>> information;
};

// ------------------------------------------------------------- key fixes --

// An item flagged "key?" and the option that behaves like its key: the one
// with the highest correlation with the rest of the test.
struct KeyFix {
  int master = 0;
  std::string version;  // "" when all versions share the key
  std::string keyed;    // as keyed now
  char proposed = 0;
  std::optional<double> keyedR;     // point-biserial of the keyed option with the rest score
  std::optional<double> proposedR;  // of the proposed option
  std::optional<double> proposedShare;
  // Filled by the project (AnalyzeProjectIntegrity) for a key all versions
  // share: the command that accepts the proposal, and its dry run (whose
  // totals change, old and new).
  std::string command;
  std::optional<RekeyReport> preview;
};

// ---------------------------------------------------------------- result --

struct IntegrityResult {
  IntegrityOptions options;
  std::int64_t sheets = 0;
  ErasureResult erasures;
  SimilarityResult similarity;
  DifResult dif;
  RaschResult rasch;
  std::vector<KeyFix> keyFixes;
  // Per item (input order): the sheets whose answer the recognition doubted
  // and nobody reviewed.
  std::vector<std::int64_t> doubtedAnswers;
};

// Checks the input (CheckAnalysisInput and the integrity parts); empty when
// sound, otherwise what is wrong and where.
std::string CheckIntegrityInput(const IntegrityInput& input);

// Every analysis. `analysis` (the item analysis of the same sheets) gives the
// "key?" flags the key fixes start from; null: no key fixes. False, with the
// reason, for an input CheckIntegrityInput refuses or an unknown group column.
bool AnalyzeIntegrity(const IntegrityInput& input, const IntegrityOptions& options,
                      const ExamAnalysis* analysis, IntegrityResult& out, std::string& error);

// The parts, for tests and benchmarks (input already checked).
ErasureResult AnalyzeErasures(const IntegrityInput& input, const IntegrityOptions& options);
SimilarityResult AnalyzeSimilarity(const IntegrityInput& input, const IntegrityOptions& options);
DifResult AnalyzeDif(const IntegrityInput& input, const IntegrityOptions& options);
RaschResult AnalyzeRasch(const AnalysisInput& input);
std::vector<KeyFix> ProposeKeys(const ExamAnalysis& analysis);

// Mantel-Haenszel of one 2x2xK table: per stratum {reference right,
// reference not right, focal right, focal not right}.
DifItem MantelHaenszel(const std::vector<std::array<double, 4>>& strata);
// The ETS class of an MH D-DIF with its standard error and chi-square p.
DifClass EtsClass(double delta, double deltaSe, double p);

// P(X >= x) for X ~ Binomial(n, p).
double BinomialUpperTail(std::int64_t x, std::int64_t n, double p);

}  // namespace omr::exam

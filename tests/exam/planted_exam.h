// A simulated exam with planted irregularities, for the integrity analyses'
// tests and benchmark: students of normally distributed ability answer the
// 60 items of examples/exam60.form in two versions; the simulator draws their
// sheets with erasure marks at a base rate, and the plan plants what the
// analyses must find:
// - a few students with extra wrong-to-right erasures, and a room whose
//   students erase at twice the rate;
// - copiers, each taking a share of one source's answers (wrong ones too),
//   seated next to the source (their sheets follow each other in the run);
// - an item much easier for one class than its ability says (item bias);
// - an item whose written key names a distractor (the students know the
//   right answer).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "integrity.h"
#include "project.h"
#include "sim/synth.h"

namespace omr::exam::testing {

struct PlantedPlan {
  std::uint64_t seed = 1;
  int students = 400;
  int rooms = 8;
  int classes = 4;
  double blankRate = 0.01;
  double erasureRate = 0.0125;  // share of answered items with an erasure beside the mark
  int doubledRoom = 2;          // its erasure rate is twice the others' (-1: none)
  int erasers = 4;              // students with extra wrong-to-right erasures
  int erasuresEach = 6;
  int pairs = 5;                         // copiers
  double copyLow = 0.5, copyHigh = 0.8;  // shares of the source's answers copied, spread evenly
  int minSourceWrong = 12;               // a source has at least this many wrong answers to copy
  int difItem = 17;                      // master item much easier for one class (0: none)
  int difClass = 2;
  double difShift = 1.5;  // ability units the class is ahead on that item
  int wrongKeyItem = 23;  // master item whose written key is a distractor (0: none)
};

struct PlantedStudent {
  std::string id;
  std::string name;
  std::string klass;
  std::string room;
  int version = 1;  // 1 or 2
  double ability = 0;
  std::string answers;  // per master item: the label marked, ' ' blank
  std::string erased;   // per master item: the label erased beside it, ' ' none
};

struct PlantedExam {
  PlantedPlan plan;
  static constexpr int kItems = 60;
  std::string trueKey;      // per master item
  std::string writtenKey;   // as the exam file keys it
  std::vector<int> order2;  // version 2: its item i is master item order2[i]
  std::string examJson;     // names "exam60.form" and "students.csv" beside it
  std::string rosterCsv;    // id,name,class,room
  // Students in reading order: room after room, a copier right after its source.
  std::vector<PlantedStudent> students;
  std::vector<int> erasers;                // indexes into students
  std::string doubledRoom;                 // "" none
  std::vector<std::pair<int, int>> pairs;  // (source, copier) indexes
  std::vector<double> shares;              // of each pair: the share of answers copied
  std::string difClass;

  // The sheet's answers as the simulator draws them (70 questions).
  std::vector<sim::Answer> SheetAnswers(const PlantedStudent& s) const;
  // 1 when the student's answer to master item m (from 1) is right by the written key.
  bool Right(const PlantedStudent& s, int m) const;
};

PlantedExam PlantExam(const PlantedPlan& plan);

// The integrity input the planted answers make when the recognition reads
// every mark and erasure as drawn (group columns class, room, station; one
// run per room): for the benchmark and for detection rates over many seeds.
IntegrityInput PlantedInput(const PlantedExam& exam);

// The exam drawn by the simulator, recognised by the offline library and
// stored in a new SQLite project at `location` (the exam and roster files
// written to `dir`): rooms 1 to 4 read at station "desk1", the others at
// "desk2", one run per room. Throws Error when a sheet cannot be drawn.
std::unique_ptr<Project> StorePlantedExam(const PlantedExam& exam, const std::string& dir,
                                          const std::string& location);

}  // namespace omr::exam::testing

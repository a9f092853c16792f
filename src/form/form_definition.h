// The form store: up to 26 sheet layouts per face with fixed-size record
// tables, the code of the last rejected line and the block sent to the reader.
#pragma once

#include <cstdint>

namespace omr {

inline constexpr int kFaces = 2;
inline constexpr int kLayoutsPerFace = 26;
inline constexpr int kBarRecords = 6;
inline constexpr int kLabelRecords = 120;
inline constexpr int kFieldRecords = 350;
inline constexpr int kLabelTextSize = 64;  // 63 characters and the zero
inline constexpr int kFormLineMax = 255;   // characters, quotes included
inline constexpr int kFormParameterBlockSize = 29;
inline constexpr int kFaceA = 0;
inline constexpr int kFaceB = 1;

// Error codes produced by the form store.
inline constexpr int kErrNoFormat = 1;
inline constexpr int kErrHeadAOverflow = 2;
inline constexpr int kErrBadParameters = 6;
inline constexpr int kErrHeadBOverflow = 12;
inline constexpr int kErrRedefinedD = 23;
inline constexpr int kErrDOverflow = 24;
inline constexpr int kErrFOverflow = 25;
inline constexpr int kErrMOverflow = 26;

struct IdentRecord {  // T
  char letter = ' ';
  std::int32_t line = 0;
  std::int32_t column = 0;
};

struct GradeRecord {  // G
  std::int32_t g1 = 3;
  std::int32_t g2 = 2;
  std::int32_t g3 = 2;
  std::int32_t g4 = 5;
};

struct LengthRecord {  // L
  std::int32_t l1 = 0;
  std::int32_t l2 = 0;
  std::int32_t l3 = 0;
};

struct BarRecord {  // M
  std::uint8_t used = 0;
  std::int32_t line = 0;
  std::int32_t first = 0;
  std::int32_t last = 0;
};

struct LabelRecord {  // D
  std::uint8_t used = 0;
  std::uint8_t id = 0;
  char text[kLabelTextSize] = {};
};

struct FieldRecord {  // F
  std::uint8_t used = 0;
  std::uint8_t line = 0;
  std::uint8_t column = 0;
  char cellDirection = ' ';
  char type = ' ';
  std::uint8_t labelId = 0;
  std::uint8_t repeat = 0;
  char groupDirection = ' ';
  std::uint8_t gap = 0;
};

struct StarRecord {  // *
  std::int32_t first = 0;
  double second = 0.0;
  std::int32_t third = 0;
};

struct CodingRecord {  // +
  std::int32_t mode = 1;
  char emptyChar = '.';
  char multipleChar = '>';
};

template <typename Record, int N>
struct RecordTable {
  Record records[N];
  std::int32_t code = 0;

  static constexpr int kCapacity = N;
  void Clear() { *this = RecordTable{}; }
};

struct SheetLayout {
  IdentRecord ident;
  GradeRecord grade;
  LengthRecord length;
  RecordTable<BarRecord, kBarRecords> bars;
  RecordTable<LabelRecord, kLabelRecords> labels;
  RecordTable<FieldRecord, kFieldRecords> fields;
  StarRecord star;
  CodingRecord coding;
  std::uint16_t hValue = 0xFFFF;
  std::uint8_t cValue = 255;
  std::uint8_t defined = 0;
  std::int32_t code = 0;

  // Back to the reset values; the grade and coding records are kept.
  void Reset();
  // The first used label with this id, or null.
  const LabelRecord* FindLabel(std::uint8_t id) const;
  // Its text ("" when none) and length (0 when none).
  const char* LabelText(std::uint8_t id) const;
  int LabelLength(std::uint8_t id) const;
};

class FormDefinition {
 public:
  FormDefinition();

  void ResetForms();

  // Route a line that passed IsFormLine to the handler of its letter. A line
  // longer than kFormLineMax characters is rejected with code 6.
  bool AddLine(char letter, int face, const char* line);
  // Reject a line without routing it: the current layout's code and the
  // error code become `code`.
  void RejectLine(std::int32_t code);
  void SelectLayout(int face);
  void CompleteLayouts(int face);
  bool SummarizeLengths(int face);

  // Defined layouts of the current face; 0 also sets the error code to 1.
  int CountDefinedLayouts();
  // Layouts of the current face whose form letter is not blank.
  int CountLetteredLayouts() const;

  SheetLayout& Layout(int face, int index) { return layouts[face][index]; }
  const SheetLayout& Layout(int face, int index) const { return layouts[face][index]; }
  SheetLayout& CurrentLayout() { return layouts[kFaceA][currentIndex]; }

  SheetLayout layouts[kFaces][kLayoutsPerFace];
  char eLetter[kFaces] = {};
  char xFrom[kFaces] = {};
  char xTo[kFaces] = {};
  SheetLayout* selected[kFaces] = {};
  SheetLayout* recognised = nullptr;
  int currentFace = kFaceA;
  int currentIndex = 0;
  std::int32_t errorCode = 0;
  std::uint8_t parameterBlock[kFormParameterBlockSize] = {};

 private:
  void ResetParameterBlock();
  void WriteStarBytes(const StarRecord& star);
  // Line handlers, each on the current layout. A rejection sets the layout's
  // code and (except for a T line with a blank letter) the error code.
  bool AddT(int face, const char* line);
  bool AddG(const char* line);
  bool AddL(const char* line);
  bool AddM(const char* line);
  bool AddD(const char* line);
  bool AddF(const char* line);
  bool AddStar(const char* line);
  bool AddPlus(int face, const char* line);
  bool AddH(const char* line);
  bool AddC(const char* line);
  bool AddE(int face, const char* line);
  bool AddX(int face, const char* line);
  // Gives up with `code` on the current layout and in the error code.
  bool Reject(std::int32_t code);
  friend class FormDefinitionTest;
};

}  // namespace omr

// Frames the simulator sends, unpacked by the library's own DeviceFrame.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "read/device_frame.h"
#include "sim/synth.h"
#include "sim_test_util.h"

namespace omr::sim {
namespace {

TEST(HostUnpackTest, SynthesizedSheetsUnpackToTheDrawnGrid) {
  auto forms = test::SmallExam();
  std::mt19937 rng(3);
  for (int i = 0; i < 10; ++i) {
    SheetPlan plan;
    plan.answers = RandomAnswers(forms->layouts[kFaceA][0], rng);
    plan.draw.noise = 1;
    plan.draw.seed = static_cast<std::uint32_t>(i);
    SynthesizedSheet sheet;
    std::string error;
    ASSERT_TRUE(Synthesize(*forms, plan, sheet, error)) << error;
    auto frame = std::make_unique<DeviceFrame>();
    if (!frame->Unpack(sheet.frame.data(), static_cast<int>(sheet.frame.size())) && frame->frameError == 0) {
      GTEST_SKIP() << "sheet frame unpacking not available in this build";
    }
    ASSERT_EQ(frame->lines, sheet.grid.Lines());
    ASSERT_EQ(frame->columns, sheet.grid.Columns());
    for (int line = 0; line <= sheet.grid.Lines() + 1; ++line)
      for (int column = 0; column <= sheet.grid.Columns() + 1; ++column)
        ASSERT_EQ(frame->CellAt(line, column), sheet.grid.At(line, column)) << line << "," << column;
  }
}

}  // namespace
}  // namespace omr::sim

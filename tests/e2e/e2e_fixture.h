// Shared fixture of the end-to-end suites: the one loaded library, a simulator
// per suite (or per test where a test needs its own faults), and the checks of
// a read against omrsim's expected file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace omr::e2e {

// The library under test. Each test (or each suite sharing a simulator) loads
// it and unloads it at its end, so every one starts, like a new application,
// with a fresh driver context.
Library& Omr();

// Loads the library for one test; closes and unloads it after the test.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

enum class ReadEntry { Read, ReadNoWait, ReadWithLine };

// Reads one sheet through `entry` and checks the outcome against `want`: the
// error code, or the result text in every mode.
void ExpectRead(const ExpectedSheet& want, ReadEntry entry, const std::string& where);
// MR_GetResult in modes 0 to 3 (and an unlisted mode, read as 0) against `want`.
void ExpectResult(const ExpectedSheet& want, const std::string& where);

// Points the library at `sim` and connects; the token, 0 when nothing answered.
int Connect(const Simulator& sim);

// A suite with one simulator started by StartSuite (from SetUpTestSuite) and a
// connection per test: connected in SetUp, closed in TearDown.
class SimulatorSuite : public ::testing::Test {
 protected:
  // Starts omrsim with `args`, connects, loads `form` (when given) and closes.
  static void StartSuite(const std::vector<std::string>& args, const std::string& form);
  static void StopSuite();

  void SetUp() override;
  void TearDown() override;

  // The next unread sheet of the tray, and moves the cursor past it.
  static const ExpectedSheet& TakeSheet();
  static std::size_t SheetsLeft();
  static std::string SimulatorLogTail();

  static Simulator* sim_;
  static std::string startError_;
  static std::size_t cursor_;
};

}  // namespace omr::e2e

// The two places a project lives, for tests that must hold for both: an
// SQLite file in a temporary folder, and a PostgreSQL database of its own on
// the cluster scripts/pg-test-server started (OMR_PG_ENV names its
// environment file; CTest sets it).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace omr::exam::testing {

class Backend {
 public:
  virtual ~Backend() = default;
  // "sqlite" or "postgresql".
  virtual std::string Name() const = 0;
  // A new, empty place for a project (a path that does not exist, an empty
  // database); removed with the backend.
  virtual std::string NewLocation() = 0;
  // Runs fixed SQL on a project behind the store's back (tampering tests).
  virtual void Execute(const std::string& location, const std::string& sql) = 0;
  // The first column of the first row of a query.
  virtual std::string Query(const std::string& location, const std::string& sql) = 0;
};

// Empty when the backend cannot run here; the reason then says why.
std::unique_ptr<Backend> MakeBackend(const std::string& name, std::string& reason);

// The names of both backends, for INSTANTIATE_TEST_SUITE_P.
std::vector<std::string> BackendNames();

// Cuts the PostgreSQL sessions of a database (a server restart, as seen by a
// client).
void TerminateSessions(const std::string& location);

// A test run once per backend (the parameter is its name).
class BackendTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string reason;
    backend_ = MakeBackend(GetParam(), reason);
    if (backend_) return;
    // Under CTest the cluster is there: its absence is a failure, not a skip.
    if (std::getenv("OMR_PG_ENV")) FAIL() << reason;
    GTEST_SKIP() << reason;
  }
  std::unique_ptr<Backend> backend_;
};

#define OMR_FOR_EACH_BACKEND(Suite)                                                                  \
  INSTANTIATE_TEST_SUITE_P(Stores, Suite, ::testing::ValuesIn(::omr::exam::testing::BackendNames()), \
                           [](const ::testing::TestParamInfo<std::string>& info) { return info.param; })

}  // namespace omr::exam::testing

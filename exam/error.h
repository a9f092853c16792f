// Failures of the exam layer: one exception type whose text says what went
// wrong, where, and what to do. Caught by omrctl, the review server and tests.
#pragma once

#include <stdexcept>
#include <string>

namespace omr::exam {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A project that is busy (another writer holds it past the wait) or gone.
class StoreError : public Error {
 public:
  using Error::Error;
};

// A transaction the database gave up on because of another writer (a
// serialisation failure, a deadlock): running it again from the start is safe.
class RetryableError : public StoreError {
 public:
  using StoreError::StoreError;
};

}  // namespace omr::exam

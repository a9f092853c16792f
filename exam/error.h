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

// Something asked for that does not exist: a sheet, an exam (HTTP 404).
class NotFoundError : public Error {
 public:
  using Error::Error;
};

// The project cannot be used as it is: it cannot be opened, its database is
// malformed, a stored value is bad (HTTP 500 unless it is one of the below).
class StoreError : public Error {
 public:
  using Error::Error;
};

// What may pass: the project busy (another writer held it past the wait), the
// connection to its database lost or timed out (HTTP 503 with Retry-After).
class UnavailableError : public StoreError {
 public:
  using StoreError::StoreError;
};

// The database did not answer, nor did its server take a new connection (it
// stopped, or the network to it is cut): trying again at once would wait again.
class NoAnswerError : public UnavailableError {
 public:
  using UnavailableError::UnavailableError;
};

// A transaction the database gave up on because of another writer (a
// serialisation failure, a deadlock): running it again from the start is safe.
class RetryableError : public UnavailableError {
 public:
  using UnavailableError::UnavailableError;
};

}  // namespace omr::exam

#include "db.h"

namespace omr::exam::db {

Params& Params::Null() {
  values_.push_back({});
  return *this;
}

Params& Params::Typed(Type type) {
  values_.push_back({type, true, 0, 0, {}});
  return *this;
}

Params& Params::Int(std::int64_t v) {
  values_.push_back({Type::kInt, false, v, 0, {}});
  return *this;
}

Params& Params::Real(double v) {
  values_.push_back({Type::kReal, false, 0, v, {}});
  return *this;
}

// A NUL would end the text early in PostgreSQL; neither store keeps one.
Params& Params::Text(std::string v) {
  if (v.find('\0') != std::string::npos) throw StoreError("a text to store holds a NUL byte");
  values_.push_back({Type::kText, false, 0, 0, std::move(v)});
  return *this;
}

Params& Params::Bytes(std::string v) {
  values_.push_back({Type::kBytes, false, 0, 0, std::move(v)});
  return *this;
}

}  // namespace omr::exam::db

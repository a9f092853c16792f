#include "api_support.h"

#include <algorithm>
#include <charconv>

#include "text.h"
#include "vocabulary.h"

namespace omr::exam::api {

using http::HttpError;

std::string Dump(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void SendJson(http::Response& res, const Json& j, int status) {
  res.status = status;
  res.type = "application/json";
  res.body = Dump(j);
}

std::string Quote(const std::string& text) {
  constexpr std::size_t kShown = 40;
  std::string shown = CleanUtf8(text.substr(0, kShown));
  return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

int ParseNumber(const std::string& text, const std::string& what, int low, int high) {
  int value = 0;
  const bool digits = !text.empty() && text.size() <= 9 &&
                      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) std::from_chars(text.data(), text.data() + text.size(), value);
  if (!digits || value < low || value > high)
    throw HttpError(400, what + ": a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + " (got " + Quote(text) + ")");
  return value;
}

Json ParseBody(const http::Request& req, std::initializer_list<const char*> fields, int depth) {
  Json body;
  try {
    body = Json::parse(req.body, [depth](int level, Json::parse_event_t, Json&) {
      if (level > depth) throw HttpError(400, "the JSON body is nested too deep");
      return true;
    });
  } catch (const Json::exception& e) {
    throw HttpError(400, std::string("malformed JSON: ") + e.what());
  }
  if (!body.is_object()) throw HttpError(400, "the body must be a JSON object");
  for (const auto& item : body.items())
    if (std::none_of(fields.begin(), fields.end(), [&](const char* f) { return item.key() == f; }))
      throw HttpError(400, "unknown field " + Quote(item.key()));
  return body;
}

std::string TextField(const Json& body, const char* name, std::size_t limit, bool required) {
  const auto hit = body.find(name);
  if (hit == body.end() || (!required && hit->is_null())) {
    if (required) throw HttpError(400, std::string(name) + ": missing");
    return {};
  }
  if (!hit->is_string()) throw HttpError(400, std::string(name) + ": must be a text");
  const std::string& text = hit->get_ref<const std::string&>();
  if (text.size() > limit)
    throw HttpError(400, std::string(name) + ": longer than " + std::to_string(limit) + " bytes");
  return text;
}

std::int64_t NumberField(const Json& body, const char* name, std::int64_t low, std::int64_t high) {
  const auto hit = body.find(name);
  if (hit == body.end()) throw HttpError(400, std::string(name) + ": missing");
  if (!hit->is_number_integer() || hit->get<std::int64_t>() < low || hit->get<std::int64_t>() > high)
    throw HttpError(400, std::string(name) + ": a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high));
  return hit->get<std::int64_t>();
}

std::optional<double> RealField(const Json& body, const char* name, double low, double high) {
  const auto hit = body.find(name);
  if (hit == body.end() || hit->is_null()) return std::nullopt;
  if (!hit->is_number() || hit->get<double>() < low || hit->get<double>() > high)
    throw HttpError(
        400, std::string(name) + ": a number from " + std::to_string(low) + " to " + std::to_string(high));
  return hit->get<double>();
}

std::string BytesField(const Json& body, const char* name, std::size_t limit, bool required) {
  const std::string text = TextField(body, name, limit / 3 * 4 + 8, required);
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned bits = 0;
  int count = 0;
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  for (std::size_t i = 0; i < end; ++i) {
    const int v = value(text[i]);
    if (v < 0) throw HttpError(400, std::string(name) + ": not base64 (at byte " + std::to_string(i) + ")");
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  if (out.size() > limit)
    throw HttpError(400, std::string(name) + ": larger than " + std::to_string(limit) + " bytes");
  return out;
}

std::string Base64(const std::string& bytes) {
  return omr::exam::Base64(bytes);
}

bool FlagField(const Json& body, const char* name, bool otherwise) {
  const auto hit = body.find(name);
  if (hit == body.end()) return otherwise;
  if (!hit->is_boolean()) throw HttpError(400, std::string(name) + ": true or false");
  return hit->get<bool>();
}

void CheckName(const std::string& name, const char* field) {
  if (const std::string problem = NameProblem(name); !problem.empty())
    throw HttpError(400, std::string(field) + ": " + problem);
}

Json OptionalText(const std::optional<std::string>& v) {
  return v ? Json(CleanUtf8(*v)) : Json(nullptr);
}

}  // namespace omr::exam::api

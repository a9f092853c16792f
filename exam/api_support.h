// What the routes of the exam server share: JSON in and out, every field of
// a request checked for its kind and bounded before use, errors that name
// the field.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "http_server.h"

namespace omr::exam::api {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j);
void SendJson(http::Response& res, const Json& j, int status = 200);

// What the caller sent, short enough to quote back.
std::string Quote(const std::string& text);

// A whole number of at most nine digits from `low` to `high` (a query parameter).
int ParseNumber(const std::string& text, const std::string& what, int low, int high);

// The body as a JSON object with only these fields (nested at most `depth` deep).
Json ParseBody(const http::Request& req, std::initializer_list<const char*> fields, int depth = 4);

std::string TextField(const Json& body, const char* name, std::size_t limit, bool required);
std::int64_t NumberField(const Json& body, const char* name, std::int64_t low, std::int64_t high);
// A number (not necessarily whole) from `low` to `high`; none when absent.
std::optional<double> RealField(const Json& body, const char* name, double low, double high);
// Bytes sent as base64 (a file the page read): at most `limit` of them.
std::string BytesField(const Json& body, const char* name, std::size_t limit, bool required);

// Bytes as base64, for the page to keep as they are.
std::string Base64(const std::string& bytes);

// true or false; `otherwise` when absent.
bool FlagField(const Json& body, const char* name, bool otherwise);

// A reviewer's or author's name: as the name on a correction.
void CheckName(const std::string& name, const char* field);

Json OptionalText(const std::optional<std::string>& v);

}  // namespace omr::exam::api

#include "station.h"

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "text.h"

namespace omr::exam {

Station::Station(Project& project, Options options, OnStored onStored)
    : project_(project), options_(std::move(options)), onStored_(std::move(onStored)) {
  batch_ = project_.BeginBatch(options_.name);
}

reading::SheetVerdict Station::Take(reading::FedSheet& sheet) {
  SheetInput input;
  input.station = options_.name;
  input.batch = batch_;
  input.readAt = NowUtc(true);  // the same time in the project and in a spool
  input.serial = options_.serial;
  input.firmware = options_.firmware;
  input.code = sheet.code;
  AddedSheet added;
  std::chrono::steady_clock::duration storing{};
  try {
    if (sheet.lines > 0) {
      input.decoded = project_.form().Decode({sheet.lines, sheet.columns, sheet.cells});
      input.hasGrid = true;
    }
    const auto began = std::chrono::steady_clock::now();
    added = project_.AddSheet(input);
    storing = std::chrono::steady_clock::now() - began;
  } catch (const std::exception& e) {
    // Nothing more is fed: the sheet in flight is the only one lost, or kept in a spool.
    storeError_ = e.what();
    if (dynamic_cast<const StoreError*>(&e) && project_.store().Shared()) {
      const std::string spool = options_.spool.empty() ? SpoolName(options_.name) : options_.spool;
      try {
        project_.Spool(spool, input);
        spooled_ = spool;
      } catch (const std::exception& f) {
        spoolError_ = spool + ": " + f.what();
      }
    }
    return {true, true};
  }
  last_ = added.number;
  ++stored_;
  const int code =
      added.score.scored || input.code != 0 ? input.code : (input.hasGrid ? input.decoded.code : 0);
  failed_ += code != 0 ? 1 : 0;
  waiting_ += added.score.reasons.empty() ? 0 : 1;
  if (onStored_)
    onStored_({added, code, sheet.outcome == reading::SheetOutcome::FeedAgain,
               std::chrono::duration<double, std::milli>(storing).count()});
  // Sheets stored into a file nobody will look for under its name: stop.
  displaced_ = !project_.store().InPlace();
  return {code != 0, displaced_};
}

void Station::Finish(const std::string& outcome) {
  project_.EndBatch(batch_, outcome);
}

namespace station_lines {

namespace {

using Json = nlohmann::ordered_json;

std::string Line(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Words(const Message& m) {
  return {{"en", CleanUtf8(m.en)}, {"zh", CleanUtf8(m.zh)}};
}

}  // namespace

std::string Connected(const std::string& station, const std::string& exam, const std::string& port,
                      const std::string& firmware, const std::string& serial) {
  return Line({{"event", "connected"},
               {"station", CleanUtf8(station)},
               {"exam", CleanUtf8(exam)},
               {"port", CleanUtf8(port)},
               {"firmware", VisibleAscii(firmware)},
               {"serial", VisibleAscii(serial)}});
}

std::string Sheet(const Project& project, const Station::Stored& stored, const Message& message, int count,
                  double rate) {
  const SheetScore& s = stored.added.score;
  Json reasons = Json::array();
  for (const Reason& r : s.reasons)
    reasons.push_back(
        {{"reason", r.code}, {"question", r.question}, {"item", r.item}, {"detail", CleanUtf8(r.detail)}});
  return Line({{"event", "sheet"},
               {"sheet", stored.added.number},
               {"station_number", stored.added.stationNumber},
               {"stored_at", NowUtc(true)},
               {"student_id", CleanUtf8(s.studentId)},
               {"id_state", IdStateName(s.idState)},
               {"name", CleanUtf8(project.roster().Name(s.studentId))},
               {"version", CleanUtf8(s.version)},
               {"scored", s.scored},
               {"total", s.scored ? Json(s.total) : Json(nullptr)},
               {"maximum", s.scored ? Json(s.maximum) : Json(nullptr)},
               {"percent", s.scored && s.percent ? Json(*s.percent) : Json(nullptr)},
               {"reasons", reasons},
               {"code", stored.code},
               {"message", Words(message)},
               {"feed_again", stored.feedAgain},
               {"store_ms", std::round(stored.storeMs * 1000) / 1000},
               {"stored", count},
               {"rate", rate}});
}

std::string Waiting(int lastStored) {
  return Line({{"event", "waiting"}, {"after", lastStored}});
}

std::string Lost(int code, const Message& message, const std::string& inFlight) {
  return Line({{"event", "lost"}, {"code", code}, {"message", Words(message)}, {"in_flight", inFlight}});
}

std::string End(const std::string& end, const Station& station, const std::string& message, int exit) {
  return Line({{"event", "end"},
               {"end", end},
               {"stored", station.stored()},
               {"failed", station.failed()},
               {"waiting", station.waiting()},
               {"spooled", CleanUtf8(station.spooled())},
               {"message", CleanUtf8(message)},
               {"exit", exit}});
}

std::string Failed(const std::string& message, int exit) {
  return Line({{"event", "error"}, {"message", CleanUtf8(message)}, {"exit", exit}});
}

}  // namespace station_lines

}  // namespace omr::exam

#include "station.h"

#include <utility>

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
  try {
    if (sheet.lines > 0) {
      input.decoded = project_.form().Decode({sheet.lines, sheet.columns, sheet.cells});
      input.hasGrid = true;
    }
    added = project_.AddSheet(input);
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
  if (onStored_) onStored_({added, code, sheet.outcome == reading::SheetOutcome::FeedAgain});
  // Sheets stored into a file nobody will look for under its name: stop.
  displaced_ = !project_.store().InPlace();
  return {code != 0, displaced_};
}

void Station::Finish(const std::string& outcome) {
  project_.EndBatch(batch_, outcome);
}

}  // namespace omr::exam

// A reading station of an exam: what the read loop (read_loop.h) hands each
// sheet to, from `omrctl exam read` or the office page. It decodes the grid
// with the exam's form and stores the sheet (one transaction) before the
// next is fed; a sheet a shared project cannot take (the database is gone)
// is kept in a spool, a local SQLite project that `exam import` brings in
// later, and the run stops.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "project.h"
#include "read_loop.h"

namespace omr::exam {

class Station final : public reading::SheetHandler {
 public:
  struct Options {
    std::string name;      // the station's name
    std::string spool;     // where a sheet the project cannot take is kept; "": SpoolName(name) here
    std::string serial;    // the reader's serial number
    std::string firmware;  // its firmware version
  };
  // A sheet as stored, for the operator.
  struct Stored {
    const AddedSheet& added;
    int code = 0;            // 0 read and scored; else the reader's or the recognition's code
    bool feedAgain = false;  // the reader refused it: it is stored as not read, and must be fed again
    double storeMs = 0;      // how long storing it took, its transaction and commit (a centre's load figure)
  };
  using OnStored = std::function<void(const Stored&)>;

  // Starts a batch of the station in the project; `onStored` sees every sheet stored.
  Station(Project& project, Options options, OnStored onStored);

  reading::SheetVerdict Take(reading::FedSheet& sheet) override;

  // Ends the batch with the run's end ("tray empty", "stopped", ...). Throws Error.
  void Finish(const std::string& outcome);

  const std::string& name() const { return options_.name; }
  int last() const { return last_; }      // the project's number of the last sheet stored; 0: none
  int stored() const { return stored_; }  // sheets stored
  int failed() const { return failed_; }  // of them, not read
  int waiting() const { return waiting_; }
  // When a sheet was read but not stored: why, and where it was kept ("": nowhere, feed it again).
  const std::string& storeError() const { return storeError_; }
  const std::string& spooled() const { return spooled_; }
  const std::string& spoolError() const { return spoolError_; }
  // The project file was moved or deleted under the run (seen after a
  // commit): the run stopped with that sheet stored in the file it holds.
  bool displaced() const { return displaced_; }

 private:
  Project& project_;
  Options options_;
  OnStored onStored_;
  Id batch_ = 0;
  int last_ = 0;
  int stored_ = 0;
  int failed_ = 0;
  int waiting_ = 0;
  std::string storeError_;
  std::string spooled_;
  std::string spoolError_;
  bool displaced_ = false;
};

// A station's report as JSON Lines (`omrctl exam read --json`; the office
// page's reading runs `exam read` per reader and follows these lines): one
// object a line, its "event" first. Texts are UTF-8 (cleaned), numbers as
// they read back.
namespace station_lines {

// A reader's message for a code in both languages ("" for code 0).
struct Message {
  std::string en;
  std::string zh;
};

// {"event":"connected","station","exam","port","firmware","serial"}
std::string Connected(const std::string& station, const std::string& exam, const std::string& port,
                      const std::string& firmware, const std::string& serial);
// {"event":"sheet","sheet","station_number","stored_at","student_id","id_state","name","version","scored",
//  "total","maximum","percent","reasons":[{"reason","question","item","detail"}],"code","message",
//  "feed_again","store_ms","stored","rate"}: a sheet as stored (committed); `stored` counts this run's
// sheets, `rate` is sheets per minute.
std::string Sheet(const Project& project, const Station::Stored& stored, const Message& message, int count,
                  double rate);
// {"event":"waiting","after"}: the tray is empty; the station waits for more sheets.
std::string Waiting(int lastStored);
// {"event":"lost","code","message","in_flight"}: the reader stopped answering.
std::string Lost(int code, const Message& message, const std::string& inFlight);
// {"event":"end","end","stored","failed","waiting","spooled","message","exit"}
std::string End(const std::string& end, const Station& station, const std::string& message, int exit);
// {"event":"error","message","exit"}: the run did not start.
std::string Failed(const std::string& message, int exit);

}  // namespace station_lines

}  // namespace omr::exam

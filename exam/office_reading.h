// The office page's reading: the readers on this computer, and a reading
// station per reader that reads into an exam while the page shows each sheet
// as it is stored.
//
// The reader interface (omr.h) is one connection per process, so each
// station is a process of its own: `omrctl exam read PROJECT --json --wait`
// with the reader's port, the very command a terminal runs, which stores
// each sheet (one transaction) before it feeds the next and, asked to stop
// (SIGTERM), finishes the sheet in flight first. This follows its JSON Lines
// (station.h) and turns them into events for the pages; a reader that
// crashes or hangs takes no other station and not the server with it.
// Readers are found the same way: `omrctl scan --json` per port.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api_support.h"
#include "http_server.h"

namespace omr::exam::office {

using api::Json;

inline constexpr int kMaxStations = 8;
inline constexpr std::size_t kMaxEventsKept = 2000;  // per exam
inline constexpr int kHeartbeatSeconds = 5;

// One reader this computer has, as discovery found it.
struct ReaderInfo {
  std::string port;  // a device path; "" for the USB bridge
  std::string name;  // the port, or "USB bridge"
  bool found = false;
  std::string firmware;
  std::string serial;
  std::string problem;  // why it is not offered
  int station = 0;      // the station reading on it now (0: none)
};

// What starts a station.
struct StationStart {
  std::string examKey;   // the exam's key in the office (project file and exam name)
  std::string project;   // the project's file name in the place ("" on a server)
  std::string exam;      // the exam's name
  std::string location;  // the project's location, as `exam read` takes it
  std::string port;      // the reader's port ("" for the USB bridge)
  std::string name;      // the station's name
};

class Reading {
 public:
  // `program` is omrctl; `ports` the readers to offer (none: those found).
  Reading(std::string program, std::vector<std::string> ports);
  ~Reading();  // stops every station (each finishes its sheet in flight)
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  // The readers, as found within the last half minute (or now, when fresh).
  Json Readers(bool fresh);
  // Starts a station; throws HttpError when the port is in use, the name is
  // taken by a station of the exam, or too many read.
  Json Start(const StationStart& start);
  // Asks a station of the exam to stop after the sheet in flight.
  Json Stop(const std::string& examKey, int station);
  // Every station of the exam this server ran, and the last event's number.
  Json Stations(const std::string& examKey);
  // An event of the exam for every page that follows it (a sheet typed in).
  void Publish(const std::string& examKey, const std::string& event, const Json& data);
  // Server-sent events of the exam after event `since`.
  std::shared_ptr<http::Stream> Events(const std::string& examKey, std::int64_t since);
  // Stops every station and waits for them (the server stops).
  void StopAll();

  struct Station;
  struct Log;

 private:
  void Relay(std::shared_ptr<Station> station, int out, int err);
  void Take(Station& station, const std::string& line);
  void Changed(Station& station);  // under mutex_: a "station" event
  void Append(const std::string& examKey, const std::string& event, const Json& data);  // under mutex_
  Json StationJson(const Station& station) const;
  std::vector<ReaderInfo> Discover();

  std::string program_;
  std::vector<std::string> ports_;

  std::mutex discoveryMutex_;  // one discovery at a time
  std::vector<ReaderInfo> found_;
  std::chrono::steady_clock::time_point foundAt_{};

  std::mutex mutex_;  // guards what follows
  std::condition_variable ended_;
  int nextStation_ = 1;
  std::int64_t nextEvent_ = 1;
  std::list<std::shared_ptr<Station>> stations_;
  std::map<std::string, std::shared_ptr<Log>> logs_;
  std::vector<std::pair<std::shared_ptr<Station>, std::thread>> relays_;
  bool stopping_ = false;
};

}  // namespace omr::exam::office

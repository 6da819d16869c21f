#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "records.h"

namespace ftmd::station {

// The station's records of one run: each unit's JSON record and the run's
// JUnit report in the records directory, every file replaced whole. A record
// that cannot be written (a full or read-only file system) is not lost: it
// stays here as pending, is written again by retry(), and at the end by
// rescue() somewhere else, or onto the error stream whole. Thread-safe.
class RecordBook {
 public:
  // Records go to `dir`, named after the run's start `run_time`
  // ("20261205T183228Z"); the JUnit report is named `run_name`.
  RecordBook(std::string dir, std::string run_time, std::string run_name);

  // Whether records can be written into `dir`: a small file is written
  // there whole and removed again.
  static Status probe(const std::string& dir);

  // Writes `record` (replacing an earlier one of the same unit index) and
  // the run's JUnit report. On failure the record is pending and the
  // failure returned. `path` gets the record's file.
  // Once frozen, a unit that already has a record keeps it: `left_alone`
  // says so, and nothing is written.
  Status keep(const UnitRecord& record, std::string* path = nullptr, bool* left_alone = nullptr);
  // The same for a station that is quitting: only when the unit has no
  // record yet, so a unit's own final record is never replaced by one made
  // from its state half-way. False when it was left alone.
  bool keep_if_new(const UnitRecord& record, Status* written, std::string* path = nullptr);
  // The station stops at once: the records it writes for the units under
  // way (keep_if_new) and a slot's own final record, whichever comes first,
  // is the one kept, counted and sent.
  void freeze();

  // Writes the pending records again; how many are still pending. `written`
  // gets the files written now.
  std::size_t retry(std::vector<std::string>* written = nullptr);
  std::size_t pending() const;

  // The last resort, for records still pending when the station ends: each
  // is written whole into `rescue_dir` (made when needed); what cannot be is
  // printed as JSON onto `err`. Returns one line per record saying where it
  // went.
  std::vector<std::string> rescue(const std::string& rescue_dir, std::FILE* err);

  // The JUnit report's path when the report on disk holds every unit kept
  // so far; nothing (and why, when it was tried) otherwise.
  std::optional<std::string> junit(std::string* why = nullptr) const;
  const std::string& dir() const { return dir_; }

 private:
  struct Entry {
    UnitRecord record;
    bool on_disk = false;
  };
  Status write_entry(Entry& entry, std::string* path);  // with mutex_ held
  void write_junit();                                   // with mutex_ held

  const std::string dir_, run_time_, run_name_, junit_path_;
  mutable std::mutex mutex_;      // guards everything below
  std::map<int, Entry> entries_;  // by unit index
  Status junit_status_;           // of the last JUnit write
  bool junit_tried_ = false;
  bool frozen_ = false;
};

// The record as written: 2-space indented JSON, invalid UTF-8 replaced
// (device texts are kept exactly in their "_hex" fields).
std::string record_text(const UnitRecord& record);

}  // namespace ftmd::station

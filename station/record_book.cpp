#include "record_book.h"

#include <unistd.h>

#include <filesystem>

#include "common/atomic_file.h"

namespace ftmd::station {
namespace {

constexpr char kProbeName[] = ".ftmstation-probe";
// As large as a record of the default plan, so that a file system with room
// for less says so before the first unit rather than after it.
constexpr std::size_t kProbeBytes = std::size_t{64} * 1024;

}  // namespace

std::string record_text(const UnitRecord& record) {
  return unit_json(record).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

RecordBook::RecordBook(std::string dir, std::string run_time, std::string run_name)
    : dir_(std::move(dir)),
      run_time_(std::move(run_time)),
      run_name_(std::move(run_name)),
      junit_path_(dir_ + "/junit-" + run_time_ + ".xml") {}

Status RecordBook::probe(const std::string& dir) {
  const std::string path = dir + "/" + kProbeName;
  Status written = write_file_atomic(path, std::string(kProbeBytes, '\n'));
  if (!written) return written;
  if (::unlink(path.c_str()) != 0) return Status::from_errno("cannot remove " + path);
  return {};
}

Status RecordBook::write_entry(Entry& entry, std::string* path) {
  const std::string file = dir_ + "/" + record_file_name(entry.record, run_time_);
  if (path) *path = file;
  Status written = write_file_atomic(file, record_text(entry.record));
  entry.on_disk = written.ok();
  return written;
}

void RecordBook::write_junit() {
  std::vector<UnitRecord> units;
  for (const auto& [index, entry] : entries_) units.push_back(entry.record);
  junit_status_ = write_file_atomic(junit_path_, junit_xml(units, run_name_));
  junit_tried_ = true;
}

Status RecordBook::keep(const UnitRecord& record, std::string* path, bool* left_alone) {
  std::lock_guard lock(mutex_);
  if (left_alone) *left_alone = frozen_ && entries_.contains(record.index);
  if (frozen_ && entries_.contains(record.index)) return {};
  Entry& entry = entries_[record.index];
  entry.record = record;
  Status written = write_entry(entry, path);
  write_junit();
  return written;
}

bool RecordBook::keep_if_new(const UnitRecord& record, Status* written, std::string* path) {
  std::lock_guard lock(mutex_);
  if (entries_.contains(record.index)) return false;
  Entry& entry = entries_[record.index];
  entry.record = record;
  *written = write_entry(entry, path);
  write_junit();
  return true;
}

void RecordBook::freeze() {
  std::lock_guard lock(mutex_);
  frozen_ = true;
}

std::size_t RecordBook::retry(std::vector<std::string>* written) {
  std::lock_guard lock(mutex_);
  std::size_t left = 0;
  bool any = false;
  for (auto& [index, entry] : entries_) {
    if (entry.on_disk) continue;
    std::string path;
    if (write_entry(entry, &path)) {
      any = true;
      if (written) written->push_back(path);
    } else {
      ++left;
    }
  }
  if (any || (junit_tried_ && !junit_status_)) write_junit();
  return left;
}

std::size_t RecordBook::pending() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [index, entry] : entries_) n += !entry.on_disk;
  return n;
}

std::vector<std::string> RecordBook::rescue(const std::string& rescue_dir, std::FILE* err) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> said;
  std::error_code ec;
  for (auto& [index, entry] : entries_) {
    if (entry.on_disk) continue;
    const std::string name = record_file_name(entry.record, run_time_);
    const std::string text = record_text(entry.record);
    std::filesystem::create_directories(rescue_dir, ec);
    const std::string path = (rescue_dir + "/").append(name);
    if (Status written = write_file_atomic(path, text); written) {
      said.push_back(("the record " + name)
                         .append(" is in ")
                         .append(path)
                         .append(" (move it to ")
                         .append(dir_)
                         .append(")"));
      continue;
    }
    std::fprintf(err, "ftmstation: the record %s could be written nowhere; here it is whole:\n%s",
                 name.c_str(), text.c_str());
    std::fflush(err);
    said.push_back("the record " + name + " could be written nowhere: it is on the error output");
  }
  return said;
}

std::optional<std::string> RecordBook::junit(std::string* why) const {
  std::lock_guard lock(mutex_);
  if (!junit_tried_) return std::nullopt;
  if (!junit_status_) {
    if (why) *why = junit_status_.message();
    return std::nullopt;
  }
  return junit_path_;
}

}  // namespace ftmd::station

#include "line/outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/atomic_file.h"
#include "common/c_handle.h"
#include "common/unique_fd.h"

namespace ftmd::line {
namespace {

constexpr std::string_view kSuffix = ".json";
constexpr std::string_view kBadSuffix = ".bad";
constexpr std::size_t kNameMax = 240;

using Dir = CHandle<DIR, closedir>;

// The run id as a file name: bytes outside [A-Za-z0-9._-] as "%XX", so two
// run ids never share a file. A leading "." would hide the file (and the
// atomic writer's temp files begin with one), so it is encoded too.
std::string file_name(const std::string& run_id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < run_id.size(); ++i) {
    auto c = static_cast<unsigned char>(run_id[i]);
    bool plain = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out + std::string(kSuffix);
}

Status sync_dir(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return Status::from_errno("cannot open " + dir);
  if (::fsync(fd.get()) != 0) return Status::from_errno("cannot sync " + dir);
  return {};
}

}  // namespace

Outbox::Outbox(std::string dir) : dir_(std::move(dir)) {}

std::string Outbox::beside(const std::string& records_dir) {
  std::string dir = records_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + ".outbox";
}

Status Outbox::put(const RunRecord& run) {
  if (auto why = run_problem(run); !why.empty()) return Status::failure("run " + run.run_id + ": " + why);
  std::string name = file_name(run.run_id);
  if (name.size() > kNameMax)
    return Status::failure("run " + run.run_id + ": the run id is too long to keep");
  if (::mkdir(dir_.c_str(), 0755) != 0 && errno != EEXIST) return Status::from_errno("cannot create " + dir_);
  return write_file_atomic(dir_ + "/" + name, run_to_json(run));
}

std::vector<std::string> Outbox::files() const {
  std::vector<std::string> names;
  Dir dir(::opendir(dir_.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (!name.starts_with('.') && name.ends_with(kSuffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t Outbox::waiting() const { return files().size(); }

Outbox::Flushed Outbox::flush(LineDb& db, const BeforeStore& before) {
  Flushed flushed;
  auto names = files();
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string path = dir_ + "/" + names[i];
    std::ifstream in(path, std::ios::binary);
    if (!in && errno == ENOENT) continue;  // sent meanwhile by another process
    std::stringstream text;
    text << in.rdbuf();
    std::string why;
    auto run = in ? run_from_json(text.str(), &why) : std::nullopt;
    if (!in) why = std::string("cannot be read: ") + std::strerror(errno);
    if (run && before) {
      if (auto ready = before(db, *run); !ready && ready.error().kind != ErrorKind::kRefused) {
        flushed.waiting = names.size() - i;
        flushed.last_error = ready.error();
        return flushed;
      }
    }
    if (run) {
      auto stored = db.store_run(*run);
      // Only a run the database refuses is set aside; any other failure
      // (unreachable, a role or schema problem) leaves every run waiting.
      if (!stored && stored.error().kind != ErrorKind::kRefused) {
        flushed.waiting = names.size() - i;
        flushed.last_error = stored.error();
        return flushed;
      }
      if (stored) {
        // Gone from the outbox only once the database has it.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
          flushed.problems.push_back(path + ": stored, but cannot be removed: " + std::strerror(errno));
        } else {
          ++flushed.sent;
        }
        continue;
      }
      why = stored.error().message;
    }
    std::string problem = path;
    problem.append(": ").append(why);
    if (::rename(path.c_str(), (path + std::string(kBadSuffix)).c_str()) == 0)
      problem.append(" (kept as ").append(names[i]).append(kBadSuffix).append(")");
    else
      problem.append(" (and cannot be set aside: ").append(std::strerror(errno)).append(")");
    flushed.problems.push_back(std::move(problem));
  }
  if (flushed.sent > 0) {
    if (auto synced = sync_dir(dir_); !synced) flushed.problems.push_back(synced.message());
  }
  return flushed;
}

Outbox::Flushed Outbox::deliver(LineDb& db, const RunRecord& run, Status* kept, const BeforeStore& before) {
  *kept = put(run);
  return flush(db, before);
}

std::string run_to_json(const RunRecord& run) {
  nlohmann::ordered_json j = {
      {"run_id", run.run_id},          {"hwid", run.hwid},
      {"verdict", run.verdict},        {"plan_name", run.plan_name},
      {"plan_md5", run.plan_md5},      {"station", run.station},
      {"operator", run.operator_name}, {"started_at", run.started_at},
      {"ended_at", run.ended_at},      {"record_json", run.record_json},
  };
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<RunRecord> run_from_json(const std::string& text, std::string* why) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "not JSON";
    return std::nullopt;
  }
  RunRecord run;
  struct Field {
    const char* key;
    std::string* value;
  };
  for (Field f :
       {Field{"run_id", &run.run_id}, Field{"hwid", &run.hwid}, Field{"verdict", &run.verdict},
        Field{"plan_name", &run.plan_name}, Field{"plan_md5", &run.plan_md5}, Field{"station", &run.station},
        Field{"operator", &run.operator_name}, Field{"started_at", &run.started_at},
        Field{"ended_at", &run.ended_at}, Field{"record_json", &run.record_json}}) {
    auto it = j.find(f.key);
    if (it == j.end() || !it->is_string()) {
      *why = std::string("no text \"") + f.key + "\"";
      return std::nullopt;
    }
    *f.value = it->get<std::string>();
  }
  return run;
}

}  // namespace ftmd::line

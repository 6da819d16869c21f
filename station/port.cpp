#include "port.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "common/deadline.h"

namespace ftmd::station {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Where udev puts the stable names of serial ports, under the device root.
constexpr char kByIdDir[] = "/serial/by-id";
constexpr char kByPathDir[] = "/serial/by-path";
// A by-id name ends in the USB interface: usb-<maker>_<product>_<serial>-if00.
constexpr std::string_view kInterfaceMark = "-if";

// How often a re-enumerating port is looked for, and how long one
// "are you there" request may take once it is back (the daemon answers it at
// once; a daemon still starting is simply asked again).
constexpr auto kPollStep = 50ms;
constexpr auto kRetryStep = 100ms;
constexpr auto kProbeTimeout = 700ms;
// A read-only query every build of the daemon answers at once.
constexpr char kProbeCommand[] = "at+ftm,ftmver=?";

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

// The file a path names now, following links; nothing when it is not there.
std::optional<FileId> file_id(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

struct Candidate {
  std::string name;    // the udev name (by-id or by-path entry)
  std::string device;  // what it leads to, links resolved
};

// The entries of `dir` that lead to an existing file, sorted by name. A
// dangling entry (a device that went, udev not yet caught up) is left out.
std::vector<Candidate> live_entries(const std::string& dir) {
  std::vector<Candidate> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::error_code bad;
    fs::path device = fs::canonical(e.path(), bad);
    if (bad) continue;
    out.push_back({e.path().filename().string(), device.string()});
  }
  std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.name < b.name; });
  return out;
}

// usb-Acme_FTM-Audio_1234-if00 carries the serial number 1234: the field
// after the last '_' before the interface. "34" does not match it.
bool serial_matches(std::string_view name, const std::string& serial) {
  std::size_t mark = name.rfind(kInterfaceMark);
  if (mark == std::string_view::npos) return false;
  std::string_view head = name.substr(0, mark);
  return head.size() > serial.size() && head.ends_with(serial) &&
         head[head.size() - serial.size() - 1] == '_';
}

// pci-0000:00:14.0-usb-0:2:1.0 is at location "usb-0:2" (port 2 of the
// controller's root hub), at "pci-0000:00:14.0-usb-0:2" and at its whole
// name, but not at "usb-0:2.1" (a hub behind port 2) nor "usb-0:21".
bool location_matches(std::string_view name, const std::string& location) {
  if (location.empty()) return false;
  for (std::size_t at = name.find(location); at != std::string_view::npos; at = name.find(location, at + 1)) {
    bool starts = at == 0 || name[at - 1] == '-';
    std::size_t end = at + location.size();
    bool ends = end == name.size() || name[end] == ':';
    if (starts && ends) return true;
  }
  return false;
}

std::string joined_names(const std::vector<Candidate>& list) {
  std::string out;
  for (const auto& c : list) out += (out.empty() ? "" : ", ") + c.name;
  return out;
}

// One port among udev's names in `dir`: exactly one device must match
// (several names of one device count once).
PortLookup pick(const std::string& dir, const std::string& what,
                bool (*matches)(std::string_view, const std::string&), const std::string& key) {
  auto entries = live_entries(dir);
  std::vector<Candidate> hits;
  for (const auto& c : entries) {
    if (!matches(c.name, key)) continue;
    bool same_device =
        std::any_of(hits.begin(), hits.end(), [&](const Candidate& h) { return h.device == c.device; });
    if (!same_device) hits.push_back(c);
  }
  if (hits.size() == 1) return {hits[0].device, {}};
  if (hits.size() > 1) return {std::nullopt, what + " names more than one port: " + joined_names(hits)};
  if (entries.empty()) return {std::nullopt, "no port with " + what + ": " + dir + " lists no serial port"};
  return {std::nullopt, "no port with " + what + " in " + dir + " (present: " + joined_names(entries) + ")"};
}

struct Holder {
  int pid = 0;
  std::string comm;
};

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The processes with a descriptor on `path`, by pid; the caller itself left out.
std::vector<Holder> holders_of(const std::string& path, const std::string& proc_root) {
  std::vector<Holder> out;
  auto target = file_id(path);
  if (!target) return out;
  const int self = static_cast<int>(::getpid());
  std::error_code ec;
  for (const auto& p : fs::directory_iterator(proc_root, ec)) {
    const std::string pid_text = p.path().filename().string();
    if (pid_text.empty() ||
        !std::all_of(pid_text.begin(), pid_text.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const int pid = std::atoi(pid_text.c_str());
    if (pid == self) continue;
    std::error_code denied;  // another user's process: its descriptors are not ours to see
    for (const auto& fd : fs::directory_iterator(p.path() / "fd", denied)) {
      if (file_id(fd.path().string()) != target) continue;
      std::string comm = read_line((p.path() / "comm").string());
      out.push_back({pid, comm.empty() ? "?" : comm});
      break;
    }
  }
  std::sort(out.begin(), out.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return out;
}

std::string describe_holders(const std::vector<Holder>& holders) {
  std::string out;
  for (const auto& h : holders)
    out += (out.empty() ? "" : ", ") + ("pid " + std::to_string(h.pid) + " (" + h.comm + ")");
  return out;
}

// The pid that holds a flock on `path`, from the kernel's lock list
// ("1: FLOCK  ADVISORY  WRITE 4242 00:19:5 0 EOF"); 0 when none is listed.
int lock_owner(const std::string& path, const std::string& proc_root) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  char id[64];
  std::snprintf(id, sizeof(id), "%02x:%02x:%lu", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ifstream in(proc_root + "/locks");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    if (!(fields >> number >> kind >> mode >> access >> pid >> file)) continue;
    if (kind == "FLOCK" && file == id) return std::atoi(pid.c_str());
  }
  return 0;
}

// Who to name when `path` is busy: the lock's owner when it is among the
// holders (the others may only have it open), else every holder.
std::string busy_holders(const std::string& path, bool locked) {
  auto holders = holders_of(path, "/proc");
  if (locked) {
    int owner = lock_owner(path, "/proc");
    auto it = std::find_if(holders.begin(), holders.end(), [&](const Holder& h) { return h.pid == owner; });
    if (it != holders.end()) return describe_holders({*it});
  }
  return describe_holders(holders);
}

}  // namespace

std::string PortChoice::describe() const {
  if (!usb_serial.empty()) return "USB serial " + usb_serial;
  if (!usb_location.empty()) return "USB location " + usb_location;
  return path;
}

PortLookup find_port(const PortChoice& choice, const std::string& dev_root) {
  if (!choice.usb_serial.empty())
    return pick(dev_root + kByIdDir, choice.describe(), serial_matches, choice.usb_serial);
  if (!choice.usb_location.empty())
    return pick(dev_root + kByPathDir, choice.describe(), location_matches, choice.usb_location);
  if (choice.path.empty()) return {std::nullopt, "no port given"};
  if (!file_id(choice.path)) return {std::nullopt, "no port " + choice.path + " (it does not exist)"};
  return {choice.path, {}};
}

std::string port_holders(const std::string& path, const std::string& proc_root) {
  return describe_holders(holders_of(path, proc_root));
}

std::optional<pc::SerialLink> open_port(const PortChoice& choice, std::string* error) {
  auto found = find_port(choice);
  if (!found.path) {
    *error = found.error;
    return std::nullopt;
  }
  const std::string& path = *found.path;
  std::string why;
  int err = 0;
  if (auto link = pc::SerialLink::open(path, &why, &err)) return link;
  if (err == EBUSY || err == EWOULDBLOCK) {
    std::string who = busy_holders(path, err == EWOULDBLOCK);
    *error =
        path + " is held by another program" +
        (who.empty() ? " (one this user cannot see; `fuser -v " + path + "` as root names it)" : ": " + who) +
        (err == EWOULDBLOCK ? "; it has the port locked (flock: EWOULDBLOCK)"
                            : "; it opened the port exclusively (TIOCEXCL: EBUSY)") +
        ". Close it and try again.";
  } else {
    *error = why;
  }
  return std::nullopt;
}

std::optional<pc::SerialLink> reopen_after_reboot(const PortChoice& choice,
                                                  std::chrono::milliseconds gone_within,
                                                  std::chrono::milliseconds back_within, std::string* error) {
  auto now_id = [&]() -> std::optional<FileId> {
    auto found = find_port(choice);
    return found.path ? file_id(*found.path) : std::nullopt;
  };
  // Gone: no longer found, or found as another device node (a fresh one).
  const auto before = now_id();
  const Deadline gone_deadline(gone_within);
  for (bool gone = !before; !gone && !gone_deadline.passed();) {
    std::this_thread::sleep_for(kPollStep);
    auto id = now_id();
    gone = !id || *id != *before;
  }
  // Back: found, opened and answering. A port that is there but whose
  // daemon has not started yet keeps being asked.
  const Deadline back_deadline(back_within);
  std::string last = "the port did not come back";
  for (;;) {
    std::string why;
    if (auto link = open_port(choice, &why)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(back_deadline.left());
      auto ex =
          link->transact(kProbeCommand, std::clamp<std::chrono::milliseconds>(left, 100ms, kProbeTimeout));
      if (ex.outcome == pc::LinkOutcome::kReply) return link;
      last = "the port is back but the device did not answer: " + ex.error;
    } else if (find_port(choice).path) {
      last = why;
    }
    if (back_deadline.passed()) break;
    std::this_thread::sleep_for(kRetryStep);
  }
  *error = choice.describe() + ": " + last;
  return std::nullopt;
}

}  // namespace ftmd::station
